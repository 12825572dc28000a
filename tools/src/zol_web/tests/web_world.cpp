#include "tools/src/zol_web/tests/web_world.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>

namespace zoltest {

nlohmann::json Reply::json() const {
  nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << "not JSON: " << body;
  return j;
}

WebWorld::WebWorld(const std::string &tag, std::vector<std::string> gateway_args) : world(tag) {
  server = start_server(world, "ZOL_server");
  gateway = start_gateway(std::move(gateway_args), port);
}

WebWorld::~WebWorld() {
  if (gateway) {
    EXPECT_EQ(gateway->stop(), 0) << gateway->out() << gateway->err();
  }
}

std::unique_ptr<Process> WebWorld::start_gateway(std::vector<std::string> args, int &out_port) {
  args.insert(args.begin(), {"-p", "0"});
  auto p = world.start("zol_web", args);
  out_port = 0;
  const auto line = p->line(10s);
  std::smatch m;
  static const std::regex url(R"(^zol_web: http://127\.0\.0\.1:(\d+)/)");
  if (line && std::regex_search(*line, m, url)) out_port = std::stoi(m[1]);
  EXPECT_GT(out_port, 0) << "first line: " << line.value_or("(none)") << "\n" << p->err();
  return p;
}

namespace {

Reply reply_of(const httplib::Result &r) {
  Reply out;
  if (!r) return out;
  out.status = r->status;
  out.body = r->body;
  out.content_type = r->get_header_value("Content-Type");
  return out;
}

httplib::Client client(int port) {
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(20, 0);
  c.set_connection_timeout(5, 0);
  return c;
}

}  // namespace

Reply WebWorld::get(const std::string &path, int p) {
  auto c = client(p ? p : port);
  return reply_of(c.Get(path.c_str()));
}

Reply WebWorld::post_json(const std::string &path, const nlohmann::json &body, int p) {
  return post(path, body.dump(), "application/json", p);
}

Reply WebWorld::post(const std::string &path, const std::string &body, const std::string &type,
                     int p) {
  auto c = client(p ? p : port);
  return reply_of(c.Post(path.c_str(), body, type.c_str()));
}

bool WebWorld::board_listed(int p) {
  return wait_for(
      [&] {
        const Reply r = get("/api/boards", p);
        if (r.status != 200) return false;
        const nlohmann::json listing = r.json();
        for (const auto &b : listing["boards"])
          if (b["prefix"] == board && b["answers"] == true) return true;
        return false;
      },
      10s);
}

std::string file_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace zoltest
