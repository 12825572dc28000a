// Names of the TAP controller states as the text form writes them (IDLE, DRPAUSE, ...).
#pragma once

#include <optional>
#include <string_view>

namespace stapl {

// The name of state `number`, or null when the number is not a TAP state.
const char *tap_state_name(long long number);
// The number of the state called `name` (any letter case).
std::optional<int> tap_state_number(std::string_view name);

}  // namespace stapl
