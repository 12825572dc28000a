// zol_web: a station-side web gateway to the boards. Serves the boards and board pages, a
// JSON API under /api/, live updates as Server-Sent Events and a Prometheus /metrics page.
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/version.h"
#include "tools/src/zol_web/api.h"
#include "tools/src/zol_web/event_hub.h"
#include "tools/src/zol_web/gateway.h"

namespace {

struct Options {
  int port = 8080;
  std::string bind = "127.0.0.1";
  bool read_only = false;
  size_t max_upload_mib = 64;
  size_t history_points = 100000;
  int history_minutes = 60;
  size_t max_streams = 64;
  std::string web_root;
};

// The pages next to the program: <prefix>/share/zol_web for <prefix>/bin/zol_web, which is
// both the build tree's layout and an installed one.
std::string default_web_root() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "share/zol_web";
  self[n] = '\0';
  return (std::filesystem::path(self).parent_path().parent_path() / "share" / "zol_web").string();
}

}  // namespace

int main(int argc, char **argv) {
  if (asks_help_or_version(argc, argv) == ASKS_VERSION) {
    print_version("zol_web");
    return 0;
  }
  Options o;
  CLI::App app{"zol_web: web pages and a JSON API for the boards the name server knows", "zol_web"};
  app.add_option("-p,--port", o.port, "HTTP port (0: any free one)")->check(CLI::Range(0, 65535));
  app.add_option("--bind", o.bind,
                 "address to listen on; anything but 127.0.0.1 lets other hosts in");
  app.add_flag("--read-only", o.read_only, "refuse register writes and FPGA loads");
  app.add_option("--max-upload", o.max_upload_mib, "largest byte-code file accepted, MiB")
      ->check(CLI::Range(1, 1024));
  app.add_option("--history-points", o.history_points, "samples kept per watched register")
      ->check(CLI::Range(10, 10000000));
  app.add_option("--history-minutes", o.history_minutes, "minutes kept per watched register")
      ->check(CLI::Range(1, 7 * 24 * 60));
  app.add_option("--max-streams", o.max_streams, "live-update streams open at once (pages)")
      ->check(CLI::Range(1, 1000));
  app.add_option("--web-root", o.web_root, "folder of the pages");
  app.footer("The name server is DIM_DNS_NODE, DIM_DNS_PORT (default 2505).");
  CLI11_PARSE(app, argc, argv);
  if (o.web_root.empty()) o.web_root = default_web_root();
  if (!std::filesystem::is_directory(o.web_root)) {
    std::fprintf(stderr, "zol_web: no pages in %s (use --web-root)\n", o.web_root.c_str());
    return 1;
  }

  // SIGINT and SIGTERM are taken by one thread, which ends the streams and the server.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  zolweb::EventHub hub(o.max_streams, 4096);
  zolweb::GatewayLimits limits;
  limits.history_points = o.history_points;
  limits.history_ms = int64_t{o.history_minutes} * 60 * 1000;
  limits.read_only = o.read_only;
  zolweb::Gateway gateway(limits, hub);

  zolweb::ApiLimits api;
  api.max_upload = o.max_upload_mib * 1024 * 1024;
  httplib::Server server;
  // Every open page holds one thread with its event stream; the rest serve requests.
  const size_t threads = o.max_streams + 16;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_payload_max_length(api.max_upload);
  zolweb::add_routes(server, gateway, hub, api, o.web_root);

  const int port = o.port == 0 ? server.bind_to_any_port(o.bind) : o.port;
  if (port <= 0 || (o.port != 0 && !server.bind_to_port(o.bind, o.port))) {
    std::fprintf(stderr, "zol_web: cannot listen on %s port %d\n", o.bind.c_str(), o.port);
    return 1;
  }
  const bool v6 = o.bind.find(':') != std::string::npos;
  std::printf("zol_web: http://%s%s%s:%d/%s\n", v6 ? "[" : "", o.bind.c_str(), v6 ? "]" : "", port,
              o.read_only ? " (read-only)" : "");
  std::fflush(stdout);

  std::thread stopper([&] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    hub.close();
    server.stop();
  });
  const bool ok = server.listen_after_bind();
  if (!ok) {
    // Listening failed by itself: wake the stopper so it can be joined.
    kill(getpid(), SIGTERM);
  }
  stopper.join();
  hub.close();
  gateway.stop();
  std::printf("zol_web: stopped\n");
  return ok ? 0 : 1;
}
