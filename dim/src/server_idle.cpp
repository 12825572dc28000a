#include "dim/src/server_idle.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>

namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void server_hold_stop_signals() {
  sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void server_idle() {
  sigset_t set = stop_signals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0 && (sig == SIGTERM || sig == SIGINT)) break;
  }
  std::fflush(stdout);
  std::exit(0);
}
