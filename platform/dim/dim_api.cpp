// The C calls of dim.h and dim_extra.h, forwarded to the runtime's parts.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/dim/client_side.h"
#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "platform/dim/runtime.h"
#include "platform/dim/server_side.h"
#include "platform/dim/timers.h"

using dim::Runtime;

unsigned dis_add_cmnd_(const char *name, const char *format, dis_cmnd_handler handler, long tag) {
  return Runtime::get().server().add_command(name, format, handler, tag);
}

int dis_add_service_(const char *name, const char *format, void *address, int size,
                     dis_service_routine routine, long tag) {
  return Runtime::get().server().add_service(name, format, address, size, routine, tag);
}

int dis_update_service_(int service_id) { return Runtime::get().server().update(service_id); }

int dis_start_serving_(const char *server_name) {
  return Runtime::get().server().start_serving(server_name);
}

int dtq_start_timer(int seconds, dtq_timer_routine routine, long tag) {
  if (!routine) return 0;
  Runtime::get().timers().start(seconds, routine, tag);
  return 1;
}

int dtq_stop_timer(long tag) {
  Runtime::get().timers().stop(tag);
  return 1;
}

unsigned dic_info_service_(const char *name, int type, int /*timeout*/, void *address, int size,
                           dic_info_callback callback, long tag, void *fill_address,
                           int fill_size) {
  return Runtime::get().client().subscribe(name, type, address, size, callback, tag, fill_address,
                                           fill_size);
}

int dic_cmnd_service_(const char *name, void *data, int size) {
  return Runtime::get().client().command(name, data, size, nullptr);
}

namespace dim {

void shutdown() { Runtime::shutdown(); }

bool stop_dispatch(int timeout_ms) { return Runtime::halt(std::chrono::milliseconds(timeout_ms)); }

void set_exit_on_refusal(bool on) { Runtime::get().server().set_exit_on_refusal(on); }

void set_name_server_timeout(int ms) {
  dim::set_name_server_timeout(std::chrono::milliseconds(ms));
}

int server_port() { return Runtime::get().server().port(); }

void release_service(unsigned id) { Runtime::get().client().release(id); }

bool delivering_fill() { return ClientSide::delivering_fill(); }

ServiceLookup service_lookup(unsigned id) {
  return static_cast<ServiceLookup>(Runtime::get().client().lookup_state(id));
}

bool send_command(const std::string &name, const void *data, int size, int timeout_ms,
                  std::string &error) {
  struct Wait {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool ok = false;
    std::string error;
  };
  Runtime &rt = Runtime::get();
  if (rt.on_dispatch()) {
    // Waiting here would hold up the very thread that writes it.
    error.clear();
    const int queued = rt.client().command(name.c_str(), data, size, nullptr);
    if (!queued) error = "refused";
    return queued != 0;
  }
  auto w = std::make_shared<Wait>();
  rt.client().command(name.c_str(), data, size, [w](bool ok, const std::string &why) {
    std::lock_guard lock(w->m);
    w->done = true;
    w->ok = ok;
    w->error = why;
    w->cv.notify_all();
  });
  std::unique_lock lock(w->m);
  if (!w->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return w->done; })) {
    error = "timed out";
    return false;
  }
  error = w->error;
  return w->ok;
}

bool wait_until(const std::function<bool()> &done, int timeout_ms) {
  Runtime &rt = Runtime::get();
  if (rt.on_dispatch()) return done();
  return rt.wait_for_dispatch(
      done, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms));
}

bool list_servers(std::vector<wire::ServerInfo> &out, std::string &error, int timeout_ms) {
  Runtime &rt = Runtime::get();
  if (rt.on_dispatch()) {
    error = "cannot wait for the name server inside a handler or callback";
    return false;
  }
  return rt.client().list(out, error, timeout_ms);
}

}  // namespace dim
