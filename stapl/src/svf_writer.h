// Recording of a run as an SVF file. The recorder sees every TCK cycle the scan engine
// clocks (TMS, TDI, whether TDO was read and its level), one at a time or in runs, and keeps
// its own model of the TAP, so the file says exactly what was clocked, whatever the byte-code
// did to get there. Any SVF player that follows the format's default state paths clocks the
// same TMS and TDI levels, cycle for cycle.
//
// How the cycles are written:
//   - the first reset of the TAP (five TMS = 1 cycles from an unknown state): STATE RESET;
//   - every walk between stable states (RESET, IDLE, DRPAUSE, IRPAUSE): STATE with the full
//     path, so that no player's choice of path matters;
//   - cycles that hold a stable state: RUNTEST <state> n TCK ENDSTATE <state>;
//   - a timed wait of the program: RUNTEST <state> t SEC ENDSTATE <state>;
//   - every pass through Shift-IR or Shift-DR: one SIR or SDR with all bits shifted. The
//     padding around the target device is folded into the scan (HIR, TIR, HDR and TDR stay
//     0): readers have differed in the order they put header and trailer bits, folded scans
//     leave nothing to interpret;
//   - the scan engine always leaves a Shift state through Pause, so ENDIR IRPAUSE and
//     ENDDR DRPAUSE stand at the top, and the walk from Pause to the program's stop state
//     follows as a STATE path;
//   - TDO the program captured: TDO with a MASK over the target device's bits (the padding
//     bits that come back are dropped by the engine and not compared).
// Paths SVF cannot express (a scan entered or left along a non-default path, a walk that
// stops in an unstable state, a run stopped inside a scan) are written as the nearest
// statement with a "!" comment saying so.
#pragma once

#include <cstdint>

// 1 while a recording is open; the scan engine checks it on every cycle.
extern int svf_recording;

// Starts recording into `path` (created or truncated). 0, or -1 when the file cannot be
// opened (errno tells why). A recording still open is closed first.
int svf_record_open(const char *path);
// Writes what is pending and closes the file. 0, or -1 when any write failed.
int svf_record_close();

// One TCK cycle, as handed to jbi_jtag_io, and the TDO level it returned.
void svf_record_tck(int tms, int tdi, int read_tdo, int tdo);
// Runs of cycles the scan engine hands over whole after clocking them: a call per cycle would
// cost a recorded run a fifth of its time. Each writes what the svf_record_tck calls it stands
// for write.
// `count` cycles with TMS 0 in a Shift state: TDI bit i of `tdi` in cycle i, and the TDO level
// read in it as bit i of `tdo`; `tdo` null when no cycle read TDO.
void svf_record_shift(const uint8_t *tdi, const uint8_t *tdo, uint32_t count);
// `count` cycles with the TMS levels of `tms`, one a byte; TDI 0 and TDO not read.
void svf_record_tms(const uint8_t *tms, int count);
// `count` cycles with one TMS level, TDI 0 and TDO not read: a wait in one state.
void svf_record_hold(int tms, uint32_t count);
// A timed wait of the program, before it happens.
void svf_record_delay(int32_t microseconds);
// The next scan's target device bits: `count` bits after `preamble` padding bits.
void svf_record_scan_target(unsigned int preamble, unsigned int count);
