// The gateway's HTTP face: the JSON API under /api/, the live event stream, /metrics and the
// pages. Every route answers JSON errors as {"error": text} with a fitting status.
#pragma once

#include <cstddef>
#include <string>

namespace httplib {
class Server;
}

namespace zolweb {

class EventHub;
class Gateway;

struct ApiLimits {
  size_t max_json = 64 * 1024;           // bytes of a JSON request
  size_t max_upload = 64 * 1024 * 1024;  // bytes of a byte-code file
  int keepalive_ms = 10000;              // comment lines that keep idle streams open
};

void add_routes(httplib::Server &server, Gateway &gateway, EventHub &hub, const ApiLimits &limits,
                const std::string &web_root);

}  // namespace zolweb
