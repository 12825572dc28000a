// Handing work from a thread of the program's own to the library's dispatch context, so that
// it runs one at a time with the handlers, buffer routines and timer routines.
#pragma once

#include <functional>

namespace dim {

// Any thread. `work` runs on the dispatch context after what is already queued there; once the
// library is halted (stop_dispatch) nothing posted runs any more.
void post_to_dispatch(std::function<void()> work);

}  // namespace dim
