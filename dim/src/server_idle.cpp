#include "dim/src/server_idle.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/dim/dim_extra.h"

namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

constexpr int kInterruptEveryMs = 50;

}  // namespace

void server_hold_stop_signals() {
  sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void server_stop_serving(void (*interrupt)()) {
  // Repeated while waiting, so that it reaches a routine whichever moment its long work
  // begins, whatever the interrupt remembers.
  do {
    if (interrupt) interrupt();
  } while (!dim::stop_dispatch(kInterruptEveryMs));
}

void server_idle(void (*interrupt)()) {
  sigset_t set = stop_signals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0 && (sig == SIGTERM || sig == SIGINT)) break;
  }
  server_stop_serving(interrupt);
  std::fflush(stdout);
  std::exit(0);
}
