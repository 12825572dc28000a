#include "tools/src/stapl/tap_states.h"

#include <cctype>

#include "stapl/src/jbijtag.h"

namespace stapl {
namespace {

struct StateName {
  JBIE_JTAG_STATE state;
  const char *name;
};

constexpr StateName kStates[] = {
    {RESET, "RESET"},         {IDLE, "IDLE"},           {DRSELECT, "DRSELECT"},
    {DRCAPTURE, "DRCAPTURE"}, {DRSHIFT, "DRSHIFT"},     {DREXIT1, "DREXIT1"},
    {DRPAUSE, "DRPAUSE"},     {DREXIT2, "DREXIT2"},     {DRUPDATE, "DRUPDATE"},
    {IRSELECT, "IRSELECT"},   {IRCAPTURE, "IRCAPTURE"}, {IRSHIFT, "IRSHIFT"},
    {IREXIT1, "IREXIT1"},     {IRPAUSE, "IRPAUSE"},     {IREXIT2, "IREXIT2"},
    {IRUPDATE, "IRUPDATE"},
};

bool same_name(std::string_view a, const char *b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return i == a.size() && b[i] == 0;
}

}  // namespace

const char *tap_state_name(long long number) {
  for (const StateName &s : kStates) {
    if (s.state == number) return s.name;
  }
  return nullptr;
}

std::optional<int> tap_state_number(std::string_view name) {
  for (const StateName &s : kStates) {
    if (same_name(name, s.name)) return static_cast<int>(s.state);
  }
  return std::nullopt;
}

}  // namespace stapl
