// The TAP as SVF names and walks it, shared by the SVF recorder and player. The state names
// are the engine's own (RESET, IDLE, DRSELECT, ...), which are also SVF's. Default paths
// between states are the scan engine's path map, which takes the paths SVF prescribes
// between its stable states.
#pragma once

#include "stapl/src/jbijtag.h"

// "RESET", "IDLE", ... for 0..15; "UNKNOWN" otherwise.
const char *svf_state_name(int state);
// The state named (any letter case), or JBI_ILLEGAL_JTAG_STATE.
JBIE_JTAG_STATE svf_state_from_name(const char *name, int length);
// RESET, IDLE, DRPAUSE and IRPAUSE: where SVF lets a walk or scan end.
bool svf_is_stable(JBIE_JTAG_STATE state);
// The state after one TCK cycle with `tms` in `state`.
JBIE_JTAG_STATE svf_next_state(JBIE_JTAG_STATE state, int tms);
// The TMS level that moves one step from `from` towards `to` along the default path.
int svf_tms_towards(JBIE_JTAG_STATE from, JBIE_JTAG_STATE to);
// The states the default path visits after `from` up to and including `to`; at most 8,
// nothing when they are equal. Returns the count.
int svf_default_path(JBIE_JTAG_STATE from, JBIE_JTAG_STATE to, JBIE_JTAG_STATE path[8]);
