#include "bench/sink_server.h"

#include <pthread.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/dim/dim.h"

namespace zolbench {

namespace {

int32_t received_bytes = 0;
int received_service = 0;

void take(long *, void *, int *size) {
  received_bytes = *size;
  dis_update_service_(received_service);
}

}  // namespace

void run_sink_server() {
  // Blocked before the library starts its threads, so only sigwait below sees them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  received_service = dis_add_service_(kSinkService.c_str(), "L", &received_bytes,
                                      sizeof received_bytes, nullptr, 0);
  dis_add_cmnd_(kSinkCommand.c_str(), "C", take, 0);
  dis_start_serving_(kSinkServer.c_str());
  std::printf("%s\n", kSinkReady.c_str());

  int sig = 0;
  while (sigwait(&stop, &sig) != 0 || (sig != SIGTERM && sig != SIGINT)) {
  }
  std::fflush(stdout);
  std::_Exit(0);  // the library's threads are still running; no static destructors
}

}  // namespace zolbench
