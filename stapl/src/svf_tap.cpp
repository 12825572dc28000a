#include "stapl/src/svf_tap.h"

#include <cctype>

namespace {

const char *const state_names[16] = {
    "RESET",    "IDLE",     "DRSELECT",  "DRCAPTURE", "DRSHIFT", "DREXIT1", "DRPAUSE", "DREXIT2",
    "DRUPDATE", "IRSELECT", "IRCAPTURE", "IRSHIFT",   "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE",
};

bool same_name(const char *name, int length, const char *upper) {
  int i = 0;
  for (; i < length; ++i) {
    if (upper[i] == 0) return false;
    if (std::toupper(static_cast<unsigned char>(name[i])) != upper[i]) return false;
  }
  return upper[i] == 0;
}

}  // namespace

const char *svf_state_name(int state) {
  return state >= 0 && state < 16 ? state_names[state] : "UNKNOWN";
}

JBIE_JTAG_STATE svf_state_from_name(const char *name, int length) {
  for (int s = 0; s < 16; ++s)
    if (same_name(name, length, state_names[s])) return static_cast<JBIE_JTAG_STATE>(s);
  return JBI_ILLEGAL_JTAG_STATE;
}

bool svf_is_stable(JBIE_JTAG_STATE state) {
  return state == RESET || state == IDLE || state == DRPAUSE || state == IRPAUSE;
}

JBIE_JTAG_STATE svf_next_state(JBIE_JTAG_STATE state, int tms) {
  const JBIS_JTAG_MACHINE &row = jbi_jtag_state_transitions[state];
  return tms ? row.tms_high : row.tms_low;
}

int svf_tms_towards(JBIE_JTAG_STATE from, JBIE_JTAG_STATE to) {
  return (jbi_jtag_path_map[from] >> to) & 1;
}

int svf_default_path(JBIE_JTAG_STATE from, JBIE_JTAG_STATE to, JBIE_JTAG_STATE path[8]) {
  int n = 0;
  while (from != to && n < 8) {
    from = svf_next_state(from, svf_tms_towards(from, to));
    path[n++] = from;
  }
  return n;
}
