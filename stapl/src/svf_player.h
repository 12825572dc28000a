// Playing an SVF file over the JTAG port (jbi_jtag_io, jbi_delay of jbiport.h), statement by
// statement, stopping at the first TDO that differs from what the file expects.
//
// What it plays: SIR, SDR with TDI, TDO, MASK and SMASK; HIR, TIR, HDR, TDR (header bits are
// shifted first, then the statement's bits, then the trailer); ENDIR, ENDDR; STATE with or
// without a path; RUNTEST with TCK counts and times in SEC (MAXIMUM is read and not needed:
// the player never overruns a wait by much). FREQUENCY and TRST are read and ignored with a
// note (the port clocks as fast as the local bus allows and has no TRST line), RUNTEST's SCK
// counts likewise. PIO and PIOMAP are refused. Beyond the format, a STATE path and a timed
// RUNTEST may end in any state, as the recorder writes when a run stops in one.
//
// Default paths are those of the format, which are the scan engine's; a STATE RESET from the
// unknown state at the start clocks five TMS = 1 cycles. Cycles outside the Shift states
// drive TDI 0. TDO is read only where the file compares it.
#pragma once

#include <cstdint>

constexpr int SVF_OK = 0;
constexpr int SVF_SYNTAX = 1;        // text that is not SVF, or data that does not fit
constexpr int SVF_TDO_MISMATCH = 2;  // a compared TDO bit differed
constexpr int SVF_UNSUPPORTED = 3;   // PIO, PIOMAP, or a state SVF cannot scan or wait in
constexpr int SVF_LIMIT = 4;         // svf_tck_limit reached, or no memory for a scan

// TCK cycles one play may clock (0 = no limit); a harness playing untrusted text sets it.
extern long svf_tck_limit;

// How the last svf_play ended.
struct SVF_PLAY_OUTCOME {
  int result;
  int line;  // the statement that failed (0 when none did)
  long statements;
  uint64_t tck_cycles;
  uint64_t compared_bits;
  uint64_t differing_bits;   // of the failing scan
  uint64_t first_differing;  // its first differing bit, counted in the statement's own data
  int first_in;              // where that bit lies: 0 the statement, 1 header, 2 trailer
};
extern SVF_PLAY_OUTCOME svf_last_play;

// Plays `size` bytes of SVF text, printing notes, the failure and a closing summary on
// standard output. The TAP state is unknown at the start.
int svf_play(const char *text, int64_t size);
