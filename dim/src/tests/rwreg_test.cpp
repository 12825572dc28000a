// rwreg: the command line, local register access on a simulated board, and remote access
// through ZOL_server and echo_server, including servers that vanish or do not answer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "testing/records.h"
#include "testing/world.h"

namespace zoltest {
namespace {

std::string pad48(const std::string &s) { return s + std::string(48 - s.size(), ' '); }

const std::string kHelp =
    std::string(48, '*') + "\n" + "cmd : rwreg - R #address - W#Value #address \n\n" +
    "-R reading the content of the specified register\n\n" +
    pad48("-W writing the specified value to the specified") + "\n" +
    pad48("   register and reading back this value") + "\n" +
    pad48("-P writing the specified value to the specified") + "\n" +
    pad48("   register without reading back") + "\n" + pad48("-T target board, e.g. KeshV2_00") +
    "\n" + pad48("   DIM_DNS_NODE (and DIM_DNS_PORT) must be set") + "\n" + std::string(48, '*') +
    "\n\n";

std::string result_lines(uint32_t addr, uint32_t val) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "Add 0x%X  : Value 0x%X\nAdd 0x%X  : Value %d\n", addr, val, addr,
                static_cast<int>(val));
  return buf;
}

// -W sends the write and then a read of the complement; the messaging library hands a
// subscriber only the latest contents, so the first answer it sees is either one. The echo
// server answers each with its value plus one.
bool is_echo_write_answer(const std::string &out, uint32_t value) {
  return out == result_lines(0x38, value + 1) || out == result_lines(0x38, ~value + 1);
}

TEST(RwregCommandLine, NoArgumentsPrintsHelpAndEndsWith255) {
  World world("rw_noargs");
  RunResult r = world.run_program("rwreg");
  EXPECT_EQ(r.out, kHelp);
  EXPECT_EQ(r.status, 255);
}

TEST(RwregCommandLine, ValueAsSeparateWordIsAUsageErrorWithoutAction) {
  World world("rw_sepvalue");
  world.poke(0x100, 0x77);
  RunResult r = world.run_program("rwreg", {"-W", "5", "100"});
  EXPECT_EQ(r.out, kHelp);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(world.peek(0x100), 0x77u) << "nothing may be written";
}

TEST(RwregCommandLine, UnknownOptionPrintsHelpButTheReadIsStillDone) {
  World world("rw_unknown");
  world.poke(0x20, 0x1F);
  RunResult r = world.run_program("rwreg", {"-R", "-X", "20"});
  EXPECT_EQ(r.out, kHelp + result_lines(0x20, 0x1F));
  EXPECT_EQ(r.status, 0);
}

TEST(RwregCommandLine, ActionWithoutReadableAddressIsRefused) {
  World world("rw_noaddr");
  for (auto args : {std::vector<std::string>{"-R"}, std::vector<std::string>{"-W5", "zz"},
                    std::vector<std::string>{"-r", "-TKeshV2_00"}}) {
    RunResult r = world.run_program("rwreg", args);
    EXPECT_EQ(r.out, "No register address was given, exiting...\n" + kHelp);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out.find("Add 0x"), std::string::npos);
  }
}

TEST(RwregCommandLine, TargetWithoutNameEndsAfterHelp) {
  World world("rw_notarget");
  RunResult r = world.run_program("rwreg", {"-R", "38", "-T"});
  EXPECT_EQ(r.out, "No [-T]arget was specified, exiting...\n" + kHelp);
  EXPECT_NE(r.status, 0);
}

TEST(RwregCommandLine, BoardNameTooLongForTheNamesIsRefused) {
  World world("rw_longname");
  RunResult r = world.run_program("rwreg", {"-R", "38", "-T" + std::string(104, 'K')});
  EXPECT_EQ(r.out, "The [-T]arget name is longer than 103 characters, exiting...\n" + kHelp);
  EXPECT_NE(r.status, 0);
  // The longest name that fits is taken (and then finds no server).
  RunResult fits = world.run_program("rwreg", {"-R", "38", "-T" + std::string(103, 'K')});
  EXPECT_EQ(fits.out, "");
  EXPECT_NE(fits.err.find("cannot be reached"), std::string::npos) << fits.err;
}

// A number of more than 32 significant bits names no register and no value: it used to be cut
// to its low 32 bits and the access went ahead.
TEST(RwregCommandLine, NumbersWiderThan32BitsEndTheRunWithoutAccess) {
  World world("rw_wide");
  world.poke(0x2000, 0x11);
  world.poke(0x38, 0x22);
  world.boardsim({"trace", "on"});
  for (auto args : {std::vector<std::string>{"-W123456789", "0x2000"},
                    std::vector<std::string>{"-R", "100000038"},
                    std::vector<std::string>{"-P0x1FFFFFFFF", "38"},
                    std::vector<std::string>{"-R", "38", "0x100000038"},
                    std::vector<std::string>{"-W5", "100000038", "-TKeshV2_00"}}) {
    RunResult r = world.run_program("rwreg", args);
    EXPECT_EQ(r.out, kHelp) << args[0] << " " << args[1];
    EXPECT_NE(r.err.find("is wider than 32 bits"), std::string::npos) << r.err;
    EXPECT_NE(r.status, 0);
  }
  EXPECT_EQ(world.trace(), std::vector<std::string>{}) << "no register may be touched";
  EXPECT_EQ(world.peek(0x2000), 0x11u);

  // Leading zeros are no significant bits.
  RunResult zeros = world.run_program("rwreg", {"-W00000000012345678", "0000000000038"});
  EXPECT_EQ(zeros.out, result_lines(0x38, 0x12345678));
  EXPECT_EQ(zeros.status, 0);
  RunResult widest = world.run_program("rwreg", {"-R", "0xFFFFFFFF"});
  EXPECT_EQ(widest.err.find("wider"), std::string::npos) << widest.err;
}

TEST(RwregLocal, ReadsWithOrWithoutHexPrefix) {
  World world("rw_local_read");
  world.poke(0x38, 0x12AB);
  for (const char *word : {"0x38", "38", "0X38"}) {
    RunResult r = world.run_program("rwreg", {"-R", word});
    EXPECT_EQ(r.out, result_lines(0x38, 0x12AB)) << word;
    EXPECT_EQ(r.status, 0);
  }
}

TEST(RwregLocal, AllOnesShowsAsMinusOne) {
  World world("rw_local_ones");
  world.poke(0x38, 0xFFFFFFFF);
  RunResult r = world.run_program("rwreg", {"-r", "38"});
  EXPECT_EQ(r.out, "Add 0x38  : Value 0xFFFFFFFF\nAdd 0x38  : Value -1\n");
}

TEST(RwregLocal, WriteReadsBackAndPlainWritePrintsNothing) {
  World world("rw_local_write");
  RunResult w = world.run_program("rwreg", {"-wCAFE", "38"});
  EXPECT_EQ(w.out, result_lines(0x38, 0xCAFE));
  EXPECT_EQ(w.status, 0);
  RunResult p = world.run_program("rwreg", {"-P0x5", "38"});
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(world.peek(0x38), 5u);
}

TEST(RwregLocal, FailedReadReportsTheSystemErrorAndFails) {
  World world("rw_local_fail");
  world.boardsim({"fail-access", "0x38"});
  RunResult r = world.run_program("rwreg", {"-R", "38"});
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("lb_read_word: "), std::string::npos) << r.err;
  EXPECT_NE(r.status, 0);
  RunResult w = world.run_program("rwreg", {"-W1", "38"});
  EXPECT_NE(w.err.find("lb_read_word: "), std::string::npos) << w.err;
  EXPECT_NE(w.status, 0);
}

TEST(RwregRemote, AllActionsThroughTheEchoServer) {
  World world("rw_echo");
  auto server = start_server(world, "echo_server", {"-D"});
  RunResult read = world.run_program("rwreg", {"-R", "38", "-TKeshV2_00"});
  // A read carries the complement of the unset value, 0xFFFFFFFF, which the echo turns to 0.
  EXPECT_EQ(read.out, result_lines(0x38, 0));
  EXPECT_EQ(read.status, 0);
  RunResult write = world.run_program("rwreg", {"-W5", "38", "-TKeshV2_00"});
  EXPECT_TRUE(is_echo_write_answer(write.out, 5)) << write.out;
  EXPECT_EQ(write.status, 0);
  RunResult put = world.run_program("rwreg", {"-P5", "38", "-TKeshV2_00"});
  EXPECT_EQ(put.out, "");
  EXPECT_EQ(put.status, 0);
  // -P sends the write, then a read of register 0x1000.
  EXPECT_TRUE(
      server->wait_for(": Met 0x1, Add 0x1000, Val 0xFFFFFFFA, Mask 0xFFFFFFFF, WR 0x0\n", 5s))
      << server->out();
  std::string out = server->out();
  size_t w = out.rfind(": Met 0x1, Add 0x38, Val 0x5, Mask 0xFFFFFFFF, WR 0x1\n");
  ASSERT_NE(w, std::string::npos);
  EXPECT_LT(w, out.rfind("Add 0x1000"));
}

TEST(RwregRemote, AllActionsThroughTheRegisterServer) {
  World world("rw_zol");
  world.boardsim({"set-id", "0x20020005"});
  auto server = start_server(world, "ZOL_server");
  world.poke(0x38, 0x1234);
  RunResult read = world.run_program("rwreg", {"-R", "38", "-TKeshV2_05"});
  EXPECT_EQ(read.out, result_lines(0x38, 0x1234));
  EXPECT_EQ(read.status, 0);
  RunResult write = world.run_program("rwreg", {"-WABCD", "38", "-TKeshV2_05"});
  EXPECT_EQ(write.out, result_lines(0x38, 0xABCD));
  EXPECT_EQ(world.peek(0x38), 0xABCDu);
  world.boardsim({"trace", "on"});
  RunResult put = world.run_program("rwreg", {"-P77", "38", "-TKeshV2_05"});
  EXPECT_EQ(put.out, "");
  EXPECT_EQ(put.status, 0);
  EXPECT_EQ(world.peek(0x38), 0x77u);
  std::vector<std::string> trace = world.trace();
  auto write_at = std::find(trace.begin(), trace.end(), "W 0x0038 0x00000077");
  ASSERT_NE(write_at, trace.end());
  bool read_1000_after = false;
  for (auto it = write_at; it != trace.end(); ++it)
    read_1000_after |= it->rfind("R 0x1000", 0) == 0;
  EXPECT_TRUE(read_1000_after);
}

TEST(RwregRemote, AnotherStationsEarlierCommandDoesNotChangeWhatIsPrinted) {
  World world("rw_stale");
  world.boardsim({"set-id", "0x20020005"});
  auto server = start_server(world, "ZOL_server");
  world.poke(0x38, 0x11);
  world.poke(0x3C0, 0x99);
  // The service now holds another station's answer: register 0x3C0 and more records.
  Station other(world);
  other.subscribe("/ZOL/KeshV2_05/SVC/UpdateRegisters");
  ASSERT_TRUE(other.wait_updates("/ZOL/KeshV2_05/SVC/UpdateRegisters", 1));
  other.command("/ZOL/KeshV2_05/CMD/ReadWriteRegisters", write_rec(1, 0x3C0, 0, 0xFFFFFFFF, 0));
  ASSERT_TRUE(other.wait_updates("/ZOL/KeshV2_05/SVC/UpdateRegisters", 2));
  for (int i = 0; i < 5; ++i) {
    RunResult r = world.run_program("rwreg", {"-R", "38", "-TKeshV2_05"});
    EXPECT_EQ(r.out, result_lines(0x38, 0x11));
  }
  // And one whose last answer was for the very same register but another value.
  other.command("/ZOL/KeshV2_05/CMD/ReadWriteRegisters", write_rec(1, 0x38, 0x22, 0xFFFFFFFF, 1));
  ASSERT_TRUE(other.wait_updates("/ZOL/KeshV2_05/SVC/UpdateRegisters", 3));
  RunResult w = world.run_program("rwreg", {"-W33", "38", "-TKeshV2_05"});
  EXPECT_EQ(w.out, result_lines(0x38, 0x33));
}

TEST(RwregRemote, UnreachableServerPrintsNoResultAndFails) {
  World world("rw_nolink");
  RunResult r = world.run_program("rwreg", {"-R", "38", "-TKeshV2_00"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.find("Add 0x"), std::string::npos);
  EXPECT_NE(r.err.find("rwreg: the server of board KeshV2_00 cannot be reached (No Link)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.status, 0);
}

// The server holds the answer to the write until the read arrives and then sends both at
// once, so the second answer lands while the client is still about to print the first.
TEST(RwregRemote, WritePrintsTheFirstAnswerEvenWhenTheSecondFollowsAtOnce) {
  World world("rw_first");
  Process server({test_bin("paired_answers")}, world.env());
  ASSERT_TRUE(server.wait_for("Starting up server", 10s));
  bool registered = false;
  for (int i = 0; i < 200 && !registered; ++i) {
    registered = world.run_program("dimctl", {"list"}, 5s).out.find("/ZOL/KeshV2_00/SERVER") !=
                 std::string::npos;
    if (!registered) std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(registered);
  int wrong = 0;
  std::string last_wrong;
  for (uint32_t round = 1; round <= 30; ++round) {
    char value[16];
    std::snprintf(value, sizeof value, "-W%X", round);
    RunResult r = world.run_program("rwreg", {value, "38", "-TKeshV2_00"});
    if (r.out != result_lines(0x38, round + 1)) {
      ++wrong;
      last_wrong = r.out + r.err;
    }
  }
  EXPECT_EQ(wrong, 0) << "the last wrong run printed:\n" << last_wrong;
}

// The same through the echo server, which answers each command as it comes.
TEST(RwregRemote, WriteThroughTheEchoServerAlwaysPrintsTheWrittenValuePlusOne) {
  World world("rw_echo_rounds");
  auto server = start_server(world, "echo_server");
  for (uint32_t round = 1; round <= 40; ++round) {
    char value[16];
    std::snprintf(value, sizeof value, "-W%X", round * 3);
    RunResult r = world.run_program("rwreg", {value, "38", "-TKeshV2_00"});
    ASSERT_EQ(r.out, result_lines(0x38, round * 3 + 1)) << "round " << round << "\n" << r.err;
  }
}

// A name server that takes the connection and never answers: the server was never asked, so
// this is no link, not a silent server.
TEST(RwregRemote, SilentNameServerIsReportedAsNoLink) {
  World world("rw_silent_dns");
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 8), 0);  // the kernel accepts; nobody reads or answers
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&a), &length), 0);
  Env env = {{"LB_SIM", world.board()},
             {"DIM_DNS_NODE", "127.0.0.1"},
             {"DIM_DNS_PORT", std::to_string(ntohs(a.sin_port))}};
  RunResult r = run({bin("rwreg"), "-R", "38", "-TKeshV2_00"}, env, 20s);
  close(listener);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("rwreg: the name server (DIM_DNS_NODE 127.0.0.1, DIM_DNS_PORT " +
                       std::to_string(ntohs(a.sin_port)) + ") did not answer"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("no answer from the server"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 2) << "the status of no link";
}

TEST(RwregRemote, SilentServerMeetsTheTimeLimit) {
  World world("rw_timeout");
  auto server = start_server(world, "echo_server");
  server->signal(SIGSTOP);
  auto start = std::chrono::steady_clock::now();
  RunResult r = world.run_program("rwreg", {"-R", "38", "-TKeshV2_00"}, 20s);
  auto took = std::chrono::steady_clock::now() - start;
  server->signal(SIGCONT);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("rwreg: no answer from the server of board KeshV2_00 within 5 seconds"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.status, 0);
  EXPECT_LT(took, 10s);
}

TEST(RwregRemote, AnswersAgainAfterServerAndNameServerRestart) {
  World world("rw_restart");
  auto server = start_server(world, "echo_server");
  RunResult first = world.run_program("rwreg", {"-W1", "38", "-TKeshV2_00"});
  EXPECT_TRUE(is_echo_write_answer(first.out, 1)) << first.out;

  server->stop();
  RunResult down = world.run_program("rwreg", {"-W1", "38", "-TKeshV2_00"});
  EXPECT_EQ(down.out, "");
  EXPECT_NE(down.status, 0);

  server = start_server(world, "echo_server");
  RunResult again = world.run_program("rwreg", {"-W2", "38", "-TKeshV2_00"});
  EXPECT_TRUE(is_echo_write_answer(again.out, 2)) << again.out;

  world.stop_dns();
  world.start_dns();
  // The server registers again with the new name server on its own.
  std::string out;
  for (int i = 0; i < 100; ++i) {
    out = world.run_program("rwreg", {"-W3", "38", "-TKeshV2_00"}).out;
    if (!out.empty()) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(is_echo_write_answer(out, 3)) << out;
}

}  // namespace
}  // namespace zoltest
