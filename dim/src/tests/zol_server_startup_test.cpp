// ZOL_server start-up: what it prints, in which order, how its command line steers the
// name-server settings, how the board identity names it, and how it ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>

#include "testing/world.h"

namespace zoltest {
namespace {

// The output up to and including the "Starting up server" line.
std::vector<std::string> startup_lines(World &world, std::vector<std::string> args,
                                       const Env &extra_env = {}) {
  Env env = world.env();
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  std::vector<std::string> argv{bin("ZOL_server")};
  argv.insert(argv.end(), args.begin(), args.end());
  Process server(argv, env);
  EXPECT_TRUE(server.wait_for("Starting up server", 10s)) << server.out() << server.err();
  EXPECT_TRUE(server.wait_out(
      [](const std::string &s) { return s.find("SERVER\n") != std::string::npos; }, 5s));
  server.stop();
  std::vector<std::string> lines = lines_of(server.out());
  return lines;
}

// The lines between the banner's empty line and "Initializing PCI".
std::vector<std::string> command_line_echo(const std::vector<std::string> &lines) {
  std::vector<std::string> out;
  for (size_t i = 2; i < lines.size() && lines[i] != "Initializing PCI"; ++i)
    out.push_back(lines[i]);
  return out;
}

TEST(ZolServerStartup, PrintsBannerSettingsBusOpenAndServerNameInOrder) {
  World world("startup_order");
  world.boardsim({"set-id", "0x20020005"});
  std::vector<std::string> lines = startup_lines(world, {"127.0.0.1"});
  ASSERT_GE(lines.size(), 7u);
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(
          "Starting ZOL_server v2\\.1 at \\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}")))
      << lines[0];
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "Setting DIM_DNS_NODE to 127.0.0.1");
  EXPECT_EQ(lines[3], "Initializing PCI");
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5], "");
  EXPECT_EQ(lines[6], "Starting up server /ZOL/KeshV2_05/SERVER");
}

// The CSR is written only once the name server has granted the name: a refused second server
// of the same board must not rewrite it.
TEST(ZolServerStartup, ReadsIdentityBytesInOrderThenWritesControlRegister) {
  World world("startup_bus");
  world.boardsim({"set-id", "0x20020005"});
  world.boardsim({"trace", "on"});
  auto server = start_server(world, "ZOL_server");
  server->stop();
  std::vector<std::string> trace = world.trace();
  std::string joined;
  for (const auto &l : trace) joined += l + "\n";
  size_t csr = joined.find("W 0x0000 0x00000043\n");
  ASSERT_NE(csr, std::string::npos) << joined;
  size_t last_i2c = joined.rfind("I2C ");
  ASSERT_NE(last_i2c, std::string::npos);
  EXPECT_GT(csr, last_i2c) << "the control register is written after the identity read";
  // Bytes 0..3 of the EEPROM at 0xA0, in address order.
  std::string i2c;
  for (const auto &l : trace)
    if (l.rfind("I2C ", 0) == 0) i2c += l + "\n";
  std::regex offset_byte("I2C BYTE 0xA0 ACK\nI2C BYTE 0x(0[0-3]) ACK");
  std::vector<std::string> offsets;
  for (std::sregex_iterator it(i2c.begin(), i2c.end(), offset_byte), end; it != end; ++it)
    offsets.push_back((*it)[1]);
  EXPECT_EQ(offsets, (std::vector<std::string>{"00", "01", "02", "03"})) << joined;
}

TEST(ZolServerStartup, IdentityNamesEveryCommandAndService) {
  World world("startup_names");
  world.boardsim({"set-id", "0x20020005"});
  auto server = start_server(world, "ZOL_server");
  RunResult list = world.run_program("dimctl", {"list"});
  for (const char *entry :
       {"/ZOL/KeshV2_05/CMD/DownloadFPGA", "/ZOL/KeshV2_05/SVC/FPGALoadStatus",
        "/ZOL/KeshV2_05/CMD/ReadWriteRegisters", "/ZOL/KeshV2_05/SVC/UpdateRegisters",
        "/ZOL/KeshV2_05/CMD/SubscribeRegisters", "/ZOL/KeshV2_05/SVC/UpdateSubscribedRegisters",
        "/ZOL/KeshV2_05/SERVER"})
    EXPECT_NE(list.out.find(entry), std::string::npos) << entry << " missing from\n" << list.out;
}

TEST(ZolServerStartup, IdentityBeyondTheNameTablesUsesNumbersAndStillServes) {
  World world("startup_numeric");
  // System 2, type 7 (no such row), revision 2, serial 26 (no such row).
  world.boardsim({"set-id", "0x2072001A"});
  auto server = start_server(world, "ZOL_server");
  EXPECT_NE(server->out().find("Starting up server /ZOL/Type7V2_26/SERVER\n"), std::string::npos)
      << server->out();
  // In-range fields keep their exact names.
  world.boardsim({"set-id", "0x90520019"});
  auto other = start_server(world, "ZOL_server");
  EXPECT_NE(other->out().find("Starting up server /NAVU/GorvV2_25/SERVER\n"), std::string::npos)
      << other->out();
}

// An EEPROM that does not acknowledge leaves a name made of whatever the data register held;
// the operator must be told that it is not the board's own.
TEST(ZolServerStartup, UnreadableIdentityIsToldOnStderrWithTheNameUsed) {
  World world("startup_noack");
  world.boardsim({"noack", "0xA0"});
  Process server({bin("ZOL_server")}, world.env());
  ASSERT_TRUE(server.wait_for("/SERVER\n", 10s)) << server.out() << server.err();
  std::smatch m;
  const std::string out = server.out();
  ASSERT_TRUE(std::regex_search(out, m, std::regex("Starting up server (\\S+)\n"))) << out;
  const std::string name = m[1];
  ASSERT_TRUE(server.wait_err(
      [](const std::string &err) { return err.find("could not be read") != std::string::npos; },
      5s))
      << server.err();
  server.stop();
  const std::vector<std::string> err_lines = lines_of(server.err());
  const std::string expected =
      "ZOL_server: the board identity could not be read from the EEPROM at 0xA0; serving as " +
      name;
  EXPECT_EQ(std::count(err_lines.begin(), err_lines.end(), expected), 1) << server.err();

  // A board that answers gets no such line.
  world.boardsim({"reset"});
  world.boardsim({"set-id", "0x20020005"});
  auto good = start_server(world, "ZOL_server");
  good->stop();
  EXPECT_EQ(good->err().find("could not be read"), std::string::npos) << good->err();
}

TEST(ZolServerCommandLine, PortOptionWithoutValueAssumes2505) {
  World world("cmdline_p");
  auto echo = command_line_echo(startup_lines(world, {"-P"}));
  EXPECT_EQ(echo, (std::vector<std::string>{"No DIM_DNS_PORT was specified, assuming 2505",
                                            "Setting DIM_DNS_PORT to 2505"}));
}

TEST(ZolServerCommandLine, PortAsSeparateWordBecomesTheHost) {
  World world("cmdline_p_sep");
  auto echo = command_line_echo(startup_lines(world, {"-P", "4000"}));
  EXPECT_EQ(echo, (std::vector<std::string>{"No DIM_DNS_PORT was specified, assuming 2505",
                                            "Setting DIM_DNS_PORT to 2505",
                                            "Setting DIM_DNS_NODE to 4000"}));
}

// A host word of digits alone is most likely a port given as a separate word; it is still the
// host, but the operator hears about it. Both servers read the same command line.
TEST(ZolServerCommandLine, AllDigitsHostWordIsKeptWithAWarning) {
  World world("cmdline_digits");
  for (const char *program : {"ZOL_server", "echo_server"}) {
    Process server({bin(program), "127.0.0.1", "-p", "2505"}, world.env());
    EXPECT_TRUE(server.wait_for("Setting DIM_DNS_NODE to 2505\n", 10s)) << program << server.out();
    EXPECT_TRUE(server.wait_err(
        [&](const std::string &err) {
          return err.find(std::string(program) +
                          ": warning: name-server host '2505' is all digits; did you mean "
                          "-P2505?\n") != std::string::npos;
        },
        10s))
        << program << " stderr: " << server.err();
    server.stop();
  }
  // A host with letters or dots is no reason to warn.
  Process server({bin("echo_server"), "127.0.0.1", "-P" + std::to_string(world.dns_port())},
                 world.env());
  ASSERT_TRUE(server.wait_for("Starting up server", 10s));
  server.stop();
  EXPECT_EQ(server.err().find("did you mean"), std::string::npos) << server.err();
}

// A port the name server can never be reached on used to make the server retry for ever.
TEST(ZolServerCommandLine, PortThatIsNoPortIsAUsageErrorBeforeAnythingElse) {
  World world("cmdline_badport");
  world.boardsim({"trace", "on"});
  for (const char *program : {"ZOL_server", "echo_server"}) {
    for (const char *word : {"-Pabc", "-p0", "-P65536", "-P25a", "-P-1", "-P99999999999"}) {
      RunResult r = world.run_program(program, {"127.0.0.1", word}, 5s);
      EXPECT_NE(r.status, 0) << program << " " << word;
      EXPECT_NE(r.status, -1) << program << " " << word << " kept running";
      EXPECT_EQ(r.out, "") << program << " " << word;
      EXPECT_NE(r.err.find("is not a port (a number from 1 to 65535)"), std::string::npos)
          << program << " " << word << ": " << r.err;
    }
  }
  EXPECT_EQ(world.trace(), std::vector<std::string>{}) << "the board must not be touched";
  // The extremes are ports.
  auto echo = command_line_echo(startup_lines(world, {"-P1", "-P65535", "-P02505"}));
  EXPECT_EQ(echo,
            (std::vector<std::string>{"Setting DIM_DNS_PORT to 1", "Setting DIM_DNS_PORT to 65535",
                                      "Setting DIM_DNS_PORT to 02505"}));
}

TEST(ZolServerCommandLine, LettersAreCaseBlindAndUnknownOptionsSilent) {
  World world("cmdline_case");
  auto echo = command_line_echo(startup_lines(world, {"-p1234", "-x", "-Q7", "-"}));
  EXPECT_EQ(echo, (std::vector<std::string>{"Setting DIM_DNS_PORT to 1234"}));
}

TEST(ZolServerCommandLine, EveryBareWordPrintsItsSettingAndTheLastWins) {
  World world("cmdline_words");
  // The last word is the host that works; the server must register through it.
  Env env = {{"DIM_DNS_NODE", "192.0.2.1"}};
  auto echo = command_line_echo(startup_lines(world, {"first.example", "127.0.0.1"}, env));
  EXPECT_EQ(echo, (std::vector<std::string>{"Setting DIM_DNS_NODE to first.example",
                                            "Setting DIM_DNS_NODE to 127.0.0.1"}));
}

TEST(ZolServerCommandLine, HostAndPortWordsReachTheNameServer) {
  World world("cmdline_reach");
  world.boardsim({"set-id", "0x20020005"});
  // The environment points nowhere useful; only the command line leads to the name server.
  std::vector<std::string> argv{bin("ZOL_server"), "127.0.0.1",
                                "-P" + std::to_string(world.dns_port())};
  Env env = world.env();
  env.push_back({"DIM_DNS_NODE", "192.0.2.1"});
  env.push_back({"DIM_DNS_PORT", "1"});
  Process server(argv, env);
  ASSERT_TRUE(server.wait_for("Starting up server", 10s));
  bool registered = false;
  for (int i = 0; i < 100 && !registered; ++i) {
    registered = world.run_program("dimctl", {"list"}).out.find("/ZOL/KeshV2_05/SERVER") !=
                 std::string::npos;
    if (!registered) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(registered);
  server.stop();
}

TEST(ZolServerExit, TermAndInterruptEndThroughTheExitHandler) {
  World world("exit");
  for (int sig : {SIGTERM, SIGINT}) {
    auto server = start_server(world, "ZOL_server");
    server->signal(sig);
    auto status = server->wait_exit(10s);
    ASSERT_TRUE(status.has_value()) << "server ignored signal " << sig;
    EXPECT_EQ(*status, 0);
    std::vector<std::string> lines = lines_of(server->out());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Server exiting") << server->out();
  }
}

TEST(ZolServerExit, FailedBusOpenEndsWithTheSystemErrorAndTheExitHandler) {
  World world("exit_busfail");
  world.boardsim({"fail-init", "19"});
  RunResult init = world.run_program("ZOL_server");
  EXPECT_EQ(init.status, 19);
  EXPECT_NE(init.err.find("local bus init: No such device\n"), std::string::npos) << init.err;
  const std::string tail = "Initializing PCI\n\n\nServer exiting\n";
  ASSERT_GE(init.out.size(), tail.size());
  EXPECT_EQ(init.out.substr(init.out.size() - tail.size()), tail) << init.out;

  world.boardsim({"fail-init", "0"});
  world.boardsim({"fail-map"});
  RunResult map = world.run_program("ZOL_server");
  EXPECT_EQ(map.status, 1);
  EXPECT_NE(map.err.find("lb_map: "), std::string::npos) << map.err;
  EXPECT_EQ(lines_of(map.out).back(), "Server exiting");
  EXPECT_EQ(map.out.find("Starting up server"), std::string::npos);
}

}  // namespace
}  // namespace zoltest
