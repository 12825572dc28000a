// --help and --version of every program: exit status 0, the usage or one version line, and
// neither the board nor the network touched on the way.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/version.h"
#include "testing/world.h"

namespace zoltest {
namespace {

const char *const kPrograms[] = {"ZOL_server", "echo_server", "rwreg",    "chainmux", "kesh_ctrl",
                                 "dim_dns",    "dimctl",      "fpgaload", "stapl",    "boardsim"};

// A name server address that takes connections and never answers: whoever connects leaves a
// connection waiting in its queue.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
          listen(fd_, 16) == 0 && getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &length) == 0;
    port_ = ntohs(a.sin_port);
  }
  ~SilentListener() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  int port() const { return port_; }
  bool someone_connected() const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
  int port_ = 0;
};

TEST(ProgramWords, HelpAndVersionAnswerWithoutTouchingBoardOrNetwork) {
  World world("words");
  SilentListener dns;
  ASSERT_TRUE(dns.ok());
  world.boardsim({"trace", "on"});
  const Env env = {{"LB_SIM", world.board()},
                   {"DIM_DNS_NODE", "127.0.0.1"},
                   {"DIM_DNS_PORT", std::to_string(dns.port())}};
  for (const char *program : kPrograms) {
    RunResult version = run({bin(program), "--version"}, env, 5s);
    EXPECT_EQ(version.status, 0) << program;
    EXPECT_EQ(version.out, std::string(program) + " (" + ZOL_PROJECT + ") " + ZOL_VERSION + "\n")
        << program;

    RunResult help = run({bin(program), "--help"}, env, 5s);
    EXPECT_EQ(help.status, 0) << program << "\n" << help.out << help.err;
    EXPECT_NE(help.out.find(program), std::string::npos) << program << " names itself:\n"
                                                         << help.out;
  }
  EXPECT_EQ(world.trace(), std::vector<std::string>{}) << "the board must not be touched";
  EXPECT_FALSE(dns.someone_connected()) << "nothing may reach for the name server";
}

}  // namespace
}  // namespace zoltest
