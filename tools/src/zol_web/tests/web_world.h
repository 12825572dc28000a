// A gateway under test: its own name server, simulated board and ZOL_server, and zol_web on
// a port the system chose, with an HTTP client pointed at it.
#pragma once

#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/world.h"

namespace zoltest {

struct Reply {
  int status = 0;  // 0 when no answer came
  std::string body;
  std::string content_type;
  nlohmann::json json() const;
};

class WebWorld {
 public:
  // `gateway_args` are added to zol_web's command line.
  explicit WebWorld(const std::string &tag, std::vector<std::string> gateway_args = {});
  ~WebWorld();

  // Starts another gateway on the same name server; its port is returned.
  std::unique_ptr<Process> start_gateway(std::vector<std::string> args, int &port);

  Reply get(const std::string &path, int port = 0);
  Reply post_json(const std::string &path, const nlohmann::json &body, int port = 0);
  Reply post(const std::string &path, const std::string &body, const std::string &type,
             int port = 0);
  // Waits until the gateway lists the board.
  bool board_listed(int port = 0);

  World world;
  std::unique_ptr<Process> server;
  std::unique_ptr<Process> gateway;
  int port = 0;
  const std::string board = kEchoBoard;
};

std::string file_text(const std::string &path);

}  // namespace zoltest
