// Programs that leave things behind when they are killed halfway (a benchmark's simulated
// boards in /dev/shm): a stop signal runs their clean-up before the process ends.
#pragma once

#include <functional>
#include <string>

namespace zoltest {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread, and so in every thread it starts
// afterwards (call it before starting any), and starts a thread that waits for one of them.
// On the first it runs `clean_up`, prints "<program>: stopped by signal N" and ends the
// process with status 128 + N. Child processes started through Process end with it.
void clean_up_on_stop_signal(std::string program, std::function<void()> clean_up);

}  // namespace zoltest
