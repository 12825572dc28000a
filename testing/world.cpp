#include "testing/world.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <sstream>

namespace zoltest {

World::World(const std::string &tag, std::vector<std::string> dns_options) {
  board_ = "zoltest_" + std::to_string(getpid()) + "_" + tag;
  boardsim({"reset"});
  launch_dns(0, dns_options);
}

World::~World() {
  if (dns_) dns_->stop();
  run({bin("boardsim"), "remove"}, env(), 10s);
}

Env World::env() const {
  return {{"LB_SIM", board_},
          {"DIM_DNS_NODE", "127.0.0.1"},
          {"DIM_DNS_PORT", std::to_string(dns_port_)}};
}

void World::launch_dns(int port, const std::vector<std::string> &options) {
  std::vector<std::string> argv{bin("dim_dns"), "-p", std::to_string(port)};
  argv.insert(argv.end(), options.begin(), options.end());
  dns_ = std::make_unique<Process>(argv, Env{});
  std::smatch m;
  std::regex listening("dim_dns: listening on port ([0-9]+)");
  bool up = dns_->wait_out(
      [&](const std::string &out) { return std::regex_search(out, m, listening); }, 10s);
  ASSERT_TRUE(up) << "name server did not start: " << dns_->err();
  std::string out = dns_->out();
  std::regex_search(out, m, listening);
  dns_port_ = std::stoi(m[1].str());
}

void World::stop_dns() {
  if (dns_) dns_->stop();
  dns_.reset();
}

void World::kill_dns() {
  if (dns_) {
    dns_->signal(SIGKILL);
    dns_->wait_exit(5s);
  }
  dns_.reset();
}

void World::start_dns(std::vector<std::string> options) {
  std::vector<std::string> argv{bin("dim_dns"), "-p", std::to_string(dns_port_)};
  argv.insert(argv.end(), options.begin(), options.end());
  // The old port may linger briefly in the kernel; try for a while.
  for (int attempt = 0; attempt < 50; ++attempt) {
    dns_ = std::make_unique<Process>(argv, Env{});
    if (dns_->wait_for("listening on port", 2s)) return;
    dns_->stop();
    std::this_thread::sleep_for(100ms);
  }
  FAIL() << "name server did not restart on port " << dns_port_;
}

std::string World::boardsim(const std::vector<std::string> &args) {
  std::vector<std::string> argv{bin("boardsim")};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = run(argv, {{"LB_SIM", board_}}, 10s);
  EXPECT_EQ(r.status, 0) << "boardsim failed: " << r.out << r.err;
  return r.out;
}

uint32_t World::peek(uint32_t addr) {
  char a[16];
  std::snprintf(a, sizeof a, "0x%X", addr);
  std::string out = boardsim({"peek", a});
  return static_cast<uint32_t>(std::stoul(out, nullptr, 0));
}

void World::poke(uint32_t addr, uint32_t value) {
  char a[16], v[16];
  std::snprintf(a, sizeof a, "0x%X", addr);
  std::snprintf(v, sizeof v, "0x%X", value);
  boardsim({"poke", a, v});
}

std::vector<std::string> World::trace() { return lines_of(boardsim({"trace", "show"})); }

std::unique_ptr<Process> World::start(const std::string &program, std::vector<std::string> args) {
  std::vector<std::string> argv{bin(program)};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<Process>(argv, env());
}

RunResult World::run_program(const std::string &program, std::vector<std::string> args,
                             std::chrono::milliseconds timeout) {
  std::vector<std::string> argv{bin(program)};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, env(), timeout);
}

std::unique_ptr<Process> start_server(World &world, const std::string &program,
                                      std::vector<std::string> args) {
  auto server = world.start(program, std::move(args));
  EXPECT_TRUE(server->wait_for("Starting up server", 10s)) << server->out() << server->err();
  // The server is usable once the name server knows it; ask until it does.
  std::string name;
  {
    std::smatch m;
    std::string out = server->out();
    if (std::regex_search(out, m, std::regex("Starting up server (\\S+)/SERVER"))) name = m[1];
  }
  for (int attempt = 0; attempt < 200 && !name.empty(); ++attempt) {
    RunResult r = world.run_program("dimctl", {"list"}, 5s);
    if (r.out.find(name + "/SVC/UpdateRegisters") != std::string::npos) return server;
    std::this_thread::sleep_for(50ms);
  }
  ADD_FAILURE() << "server " << name << " never appeared at the name server";
  return server;
}

Station::Station(World &world) {
  process_ =
      std::make_unique<Process>(std::vector<std::string>{test_bin("zol_station")}, world.env());
  EXPECT_TRUE(process_->wait_for("READY\n", 10s));
}

void Station::subscribe(const std::string &service) {
  process_->write_stdin("sub " + service + "\n");
}

namespace {

std::string hex_words(const std::vector<uint32_t> &words) {
  std::string out;
  char w[16];
  for (uint32_t word : words) {
    std::snprintf(w, sizeof w, " %X", word);
    out += w;
  }
  return out;
}

}  // namespace

void Station::command(const std::string &name, const std::vector<uint32_t> &words) {
  process_->write_stdin("cmd " + name + hex_words(words) + "\n");
}

void Station::command_bytes(const std::string &name, size_t bytes,
                            const std::vector<uint32_t> &words) {
  process_->write_stdin("raw " + name + " " + std::to_string(bytes) + hex_words(words) + "\n");
}

std::vector<Station::Update> Station::updates(const std::string &service) const {
  std::vector<Update> out;
  std::string prefix = "UPDATE " + service + " ";
  for (const std::string &line : lines_of(process_->out())) {
    if (line.rfind(prefix, 0) != 0) continue;
    std::istringstream in(line.substr(prefix.size()));
    Update u;
    in >> u.size;
    std::string w;
    while (in >> w) u.words.push_back(static_cast<uint32_t>(std::stoul(w, nullptr, 16)));
    out.push_back(u);
  }
  return out;
}

bool Station::wait_updates(const std::string &service, size_t count,
                           std::chrono::milliseconds timeout) {
  std::string prefix = "UPDATE " + service + " ";
  return process_->wait_out(
      [&](const std::string &out) {
        size_t n = 0;
        for (size_t pos = out.find(prefix); pos != std::string::npos;
             pos = out.find(prefix, pos + 1))
          ++n;
        return n >= count;
      },
      timeout);
}

int Station::nolinks(const std::string &service) const {
  int n = 0;
  for (const std::string &line : lines_of(process_->out()))
    if (line == "NOLINK " + service) ++n;
  return n;
}

bool Station::wait_nolink(const std::string &service, std::chrono::milliseconds timeout) {
  std::string text = "NOLINK " + service + "\n";
  return process_->wait_for(text, timeout);
}

}  // namespace zoltest
