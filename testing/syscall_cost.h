// The price of entering the kernel on this machine, for benchmarks that compare a design's
// system calls per round trip with a raw figure: on a bare machine a call costs some tens of
// nanoseconds, under some hypervisors a whole microsecond, and the same count of extra calls
// then weighs very differently against the raw round trip.
#pragma once

namespace zoltest {

// Microseconds of one system call that does no work (the median of a few batches).
double syscall_us();

}  // namespace zoltest
