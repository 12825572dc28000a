#include "platform/dim/dispatch_post.h"

#include <utility>

#include "platform/dim/runtime.h"

namespace dim {

void post_to_dispatch(std::function<void()> work) {
  Runtime &rt = Runtime::get();
  rt.to_dispatch([&rt, work = std::move(work)] {
    if (!rt.halted()) work();
  });
}

}  // namespace dim
