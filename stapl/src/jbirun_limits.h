// What ends a run early from outside its program: the host's stop request and the run's
// budgets. The interpreter and the scan engine ask here; the host reads afterwards which
// budget, if any, ended the run (jbi_run_end_cause).
#pragma once

#include <atomic>

#include "stapl/src/jbiexprt.h"

// Set by jbi_request_stop; the interpreter loads it (relaxed) before every instruction.
extern std::atomic<int> jbi_stop_flag;

inline bool jbi_stop_pending() { return jbi_stop_flag.load(std::memory_order_relaxed) != 0; }

// Start of a run: forgets the previous run's cause and starts its clock.
void jbi_limits_start_run();
// Records why the run is ending, unless a cause is already recorded.
void jbi_limits_note(int cause);
// Between pieces of long work: 0 to go on, or JBI_RC_CANCELLED (cause recorded) when a stop
// is asked for or the run's time is up. Reads the clock, so callers space their calls out.
int jbi_limits_check();
