#include "testing/stop_signals.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

namespace zoltest {

void clean_up_on_stop_signal(std::string program, std::function<void()> clean_up) {
  sigset_t stop;
  sigemptyset(&stop);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop, s);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::thread([stop, program = std::move(program), clean_up = std::move(clean_up)] {
    int sig = 0;
    while (sigwait(&stop, &sig) != 0) {
    }
    if (clean_up) clean_up();
    std::fprintf(stderr, "%s: stopped by signal %d\n", program.c_str(), sig);
    std::_Exit(128 + sig);
  }).detach();
}

}  // namespace zoltest
