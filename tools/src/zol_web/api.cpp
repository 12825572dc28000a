#include "tools/src/zol_web/api.h"

#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>

#include "tools/src/zol_web/board_identity.h"
#include "tools/src/zol_web/event_hub.h"
#include "tools/src/zol_web/fpga_file.h"
#include "tools/src/zol_web/gateway.h"
#include "tools/src/zol_web/http_error.h"

namespace zolweb {
namespace {

using nlohmann::json;

// The Debian package's copy of the chart library, served as it is installed.
constexpr const char *kDygraphsDir = "/usr/share/javascript/dygraphs";

void send_json(httplib::Response &res, const json &body, int status = 200) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(), "application/json");
}

// A handler whose HttpError, JSON or other failures become {"error": ...} answers.
template <typename F>
httplib::Server::Handler guarded(F handler) {
  return [handler](const httplib::Request &req, httplib::Response &res) {
    try {
      handler(req, res);
    } catch (const HttpError &e) {
      send_json(res, {{"error", e.what()}}, e.status());
    } catch (const json::exception &e) {
      send_json(res, {{"error", std::string("bad request: ") + e.what()}}, 400);
    } catch (const std::exception &e) {
      send_json(res, {{"error", e.what()}}, 500);
    }
  };
}

std::string param(const httplib::Request &req, const char *name) {
  if (!req.has_param(name)) throw HttpError(400, std::string("missing parameter ") + name);
  return req.get_param_value(name);
}

// Hexadecimal with or without 0x, as the page's address fields are; JSON numbers as they are.
uint32_t parse_u32(const std::string &text) {
  std::string t = text;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  if (t.empty() || t.size() > 8 ||
      t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    throw HttpError(400, "not a 32-bit hexadecimal number: " + text);
  return static_cast<uint32_t>(std::strtoul(t.c_str(), nullptr, 16));
}

uint32_t u32_of(const json &v, const char *what) {
  if (v.is_string()) return parse_u32(v.get<std::string>());
  if (v.is_number_unsigned() && v.get<uint64_t>() <= 0xFFFFFFFFull) return v.get<uint32_t>();
  throw HttpError(400, std::string(what) + " must be a 32-bit number or hexadecimal text");
}

// A JSON request body: JSON content type (so another site's page cannot send one without
// the browser asking first) and a bounded size.
json body_of(const httplib::Request &req, const ApiLimits &limits) {
  if (req.body.size() > limits.max_json) throw HttpError(413, "request too large");
  if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
    throw HttpError(415, "send application/json");
  json j = json::parse(req.body);
  if (!j.is_object()) throw HttpError(400, "send a JSON object");
  return j;
}

std::span<const uint8_t> upload_of(const httplib::Request &req, const ApiLimits &limits) {
  if (req.body.size() > limits.max_upload) throw HttpError(413, "file too large");
  if (req.get_header_value("Content-Type").rfind("application/octet-stream", 0) != 0)
    throw HttpError(415, "send the file as application/octet-stream");
  return {reinterpret_cast<const uint8_t *>(req.body.data()), req.body.size()};
}

Method method_of(const json &body) {
  const std::string m = body.value("method", "lb");
  if (m == "lb") return Method::kLocalBus;
  if (m == "i2c") return Method::kI2c;
  throw HttpError(400, "method is \"lb\" or \"i2c\"");
}

void add_event_stream(httplib::Server &server, EventHub &hub, const ApiLimits &limits) {
  server.Get(
      "/api/events", guarded([&hub, limits](const httplib::Request &req, httplib::Response &res) {
        const std::string topic = identity_of(param(req, "board")).prefix;
        std::shared_ptr<EventHub::Listener> listener = hub.join(topic);
        if (!listener) throw HttpError(503, "too many open event streams");
        auto opened = std::make_shared<bool>(false);
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream", [listener, opened, limits](size_t, httplib::DataSink &sink) {
              std::string text;
              if (!*opened) {
                // Sent at once so the page knows the stream is open before the first event.
                *opened = true;
                text = "retry: 1000\n: open\n\n";
              } else {
                std::optional<std::string> record =
                    listener->next(std::chrono::milliseconds(limits.keepalive_ms));
                if (!record) {
                  sink.done();
                  return true;
                }
                text = record->empty() ? ": keepalive\n\n" : *record;
                // Whatever else is queued goes out in the same write.
                for (int i = 0; i < 64; ++i) {
                  std::optional<std::string> more = listener->next(std::chrono::milliseconds(0));
                  if (!more || more->empty()) break;
                  text += *more;
                }
              }
              return sink.write(text.data(), text.size());
            });
      }));
}

void add_fpga_routes(httplib::Server &server, Gateway &gateway, const ApiLimits &limits) {
  server.Post("/api/fpga/inspect",
              guarded([limits](const httplib::Request &req, httplib::Response &res) {
                send_json(res, to_json(inspect_file(upload_of(req, limits))));
              }));
  server.Post("/api/fpga/load",
              guarded([&gateway, limits](const httplib::Request &req, httplib::Response &res) {
                const std::span<const uint8_t> bytes = upload_of(req, limits);
                const std::string action =
                    req.has_param("action") ? req.get_param_value("action") : "configure";
                if (action.empty() || action.size() >= 32)
                  throw HttpError(400, "action of 1 to 31 characters");
                const std::string file =
                    req.has_param("file") ? req.get_param_value("file") : "upload.jbc";
                json out = gateway.start_load(param(req, "board"),
                                              std::vector<uint8_t>(bytes.begin(), bytes.end()),
                                              file.substr(0, 256), action);
                send_json(res, out, out["state"] == "refused" ? 422 : 202);
              }));
  server.Get("/api/fpga/status",
             guarded([&gateway](const httplib::Request &req, httplib::Response &res) {
               send_json(res, gateway.load_status(param(req, "board")));
             }));
}

}  // namespace

void add_routes(httplib::Server &server, Gateway &gateway, EventHub &hub, const ApiLimits &limits,
                const std::string &web_root) {
  server.Get("/api/boards", guarded([&gateway](const httplib::Request &, httplib::Response &res) {
               send_json(res, gateway.boards());
             }));
  server.Get("/api/board", guarded([&gateway](const httplib::Request &req, httplib::Response &res) {
               send_json(res, gateway.board(param(req, "board")));
             }));
  server.Post(
      "/api/read", guarded([&gateway, limits](const httplib::Request &req, httplib::Response &res) {
        const json body = body_of(req, limits);
        std::vector<uint32_t> addrs;
        const json &list = body.at("addrs");
        if (!list.is_array()) throw HttpError(400, "addrs must be a list");
        for (const json &a : list) {
          addrs.push_back(u32_of(a, "an address"));
          if (addrs.size() > 100) throw HttpError(413, "at most 100 addresses per read");
        }
        send_json(res, gateway.read(body.at("board").get<std::string>(), method_of(body), addrs));
      }));
  server.Post("/api/write",
              guarded([&gateway, limits](const httplib::Request &req, httplib::Response &res) {
                const json body = body_of(req, limits);
                const uint32_t mask =
                    body.contains("mask") ? u32_of(body["mask"], "mask") : 0xFFFFFFFF;
                send_json(res, gateway.write(body.at("board").get<std::string>(), method_of(body),
                                             u32_of(body.at("addr"), "addr"),
                                             u32_of(body.at("value"), "value"), mask));
              }));
  server.Post("/api/watch",
              guarded([&gateway, limits](const httplib::Request &req, httplib::Response &res) {
                const json body = body_of(req, limits);
                send_json(res, gateway.watch(body.at("board").get<std::string>(),
                                             u32_of(body.at("addr"), "addr"),
                                             body.value("interval", 1), body.value("on", true)));
              }));
  server.Get("/api/watched",
             guarded([&gateway](const httplib::Request &req, httplib::Response &res) {
               send_json(res, gateway.watched(param(req, "board")));
             }));
  server.Get("/api/history",
             guarded([&gateway](const httplib::Request &req, httplib::Response &res) {
               uint32_t addr = 0;
               const bool one = req.has_param("addr");
               if (one) addr = parse_u32(req.get_param_value("addr"));
               const int64_t since =
                   req.has_param("since") ? std::atoll(req.get_param_value("since").c_str()) : 0;
               send_json(res, gateway.history(param(req, "board"), one ? &addr : nullptr, since));
             }));
  server.Get(
      "/api/history.csv", guarded([&gateway](const httplib::Request &req, httplib::Response &res) {
        const std::string board = param(req, "board");
        std::string file = identity_of(board).prefix.substr(1);
        for (char &c : file)
          if (c == '/') c = '_';
        res.set_header("Content-Disposition", "attachment; filename=\"" + file + "_watched.csv\"");
        res.set_content(gateway.history_csv(board), "text/csv");
      }));
  add_event_stream(server, hub, limits);
  add_fpga_routes(server, gateway, limits);
  server.Get("/metrics", [&gateway](const httplib::Request &, httplib::Response &res) {
    res.set_content(gateway.metrics(), "text/plain; version=0.0.4");
  });
  server.Get("/api/.*", [](const httplib::Request &, httplib::Response &res) {
    send_json(res, {{"error", "no such API route"}}, 404);
  });

  if (std::filesystem::is_directory(kDygraphsDir))
    server.set_mount_point("/js/dygraphs", kDygraphsDir);
  server.set_mount_point("/", web_root);
}

}  // namespace zolweb
