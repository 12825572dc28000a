// Peers that try to exhaust the name server and a server rather than confuse them: requests
// whose answers are never read, thousands of idle connections, connections that never speak,
// half-sent frames.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "platform/dim/wire.h"
#include "testing/name_server.h"
#include "testing/proc_figures.h"
#include "testing/process.h"
#include "testing/raw_socket.h"

namespace {

using zoltest::NameServerProcess;
using zoltest::Process;
using zoltest::RawSocket;
using zoltest::wait_for;
using namespace std::chrono_literals;
namespace wire = dim::wire;

std::size_t lines(const std::string &text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool listed(const std::string &server) {
  std::vector<wire::ServerInfo> servers;
  std::string error;
  if (!dim::list_servers(servers, error, 5000)) return false;
  for (const auto &s : servers)
    if (s.server == server) return true;
  return false;
}

// Programs started while it lives measure their own peak memory: under AddressSanitizer freed
// blocks wait in a quarantine instead of being reused, which would count what was already
// dropped as held.
class NoQuarantine {
 public:
  NoQuarantine() {
    const char *inherited = std::getenv("ASAN_OPTIONS");
    had_ = inherited != nullptr;
    saved_ = inherited ? inherited : "";
    const std::string options = (saved_.empty() ? "" : saved_ + ":") + "quarantine_size_mb=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
  }
  ~NoQuarantine() {
    if (had_)
      setenv("ASAN_OPTIONS", saved_.c_str(), 1);
    else
      unsetenv("ASAN_OPTIONS");
  }
  NoQuarantine(const NoQuarantine &) = delete;
  NoQuarantine &operator=(const NoQuarantine &) = delete;

 private:
  bool had_ = false;
  std::string saved_;
};

class HostilePeers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(dns_->port(), 0);
    dns_->use();
  }
  void TearDown() override { dim::shutdown(); }

  // Replaces the name server by one whose peak memory is its own (NoQuarantine).
  void measure_memory_of_a_fresh_name_server() {
    {
      NoQuarantine for_the_name_server;
      dns_ = std::make_unique<NameServerProcess>();
    }
    ASSERT_GT(dns_->port(), 0);
    dns_->use();
  }

  std::unique_ptr<NameServerProcess> dns_ = std::make_unique<NameServerProcess>();
};

void no_contents(long *, void **address, int *size) {
  *address = nullptr;
  *size = 0;
}

// Serves BASE + "SERVER" with about 0.9 MB of names, which makes every list reply that large.
void serve_a_long_list(const std::string &base) {
  for (int i = 0; i < 3500; ++i) {
    std::string name = base + "SVC/" + std::to_string(i) + "/";
    name += std::string(250 - name.size(), 'n');
    ASSERT_NE(dis_add_service_(name.c_str(), "L", nullptr, 0, no_contents, 0), 0);
  }
  ASSERT_EQ(dis_start_serving_((base + "SERVER").c_str()), 1);
  ASSERT_TRUE(wait_for([&] { return listed(base + "SERVER"); }, 10000ms));
}

TEST_F(HostilePeers, NameServerAnswersAPeerThatNeverReadsOnlyUpToItsBacklog) {
  measure_memory_of_a_fresh_name_server();
  const std::string base = "/HP/BIG/";
  ASSERT_NO_FATAL_FAILURE(serve_a_long_list(base));

  const long before = zoltest::status_kib(dns_->child().pid(), "VmHWM") / 1024;
  RawSocket greedy(dns_->port());
  wire::Bytes asks;
  for (uint32_t i = 0; i < 300; ++i) {
    const auto f = wire::encode_list(i);
    asks.insert(asks.end(), f.begin(), f.end());
  }
  ASSERT_TRUE(greedy.send_all(asks));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long grown = zoltest::status_kib(dns_->child().pid(), "VmHWM") / 1024 - before;
  // All 300 answers at once would be about 270 MB.
  EXPECT_LT(grown, 64) << "the name server grew by " << grown << " MiB";
  EXPECT_TRUE(listed(base + "SERVER"));
}

// One never-reading peer is held to its backlog; a crowd of them must not add up to the
// host's memory. The answers they leave waiting share one budget, and the peer whose answers
// have waited longest is let go first, so a station that reads still gets its list.
TEST_F(HostilePeers, ManyPeersThatNeverReadShareOneBudgetAtTheNameServer) {
  measure_memory_of_a_fresh_name_server();
  const std::string base = "/HP/CROWD/";
  ASSERT_NO_FATAL_FAILURE(serve_a_long_list(base));

  const long before = zoltest::status_kib(dns_->child().pid(), "VmHWM") / 1024;
  wire::Bytes asks;
  for (uint32_t i = 0; i < 12; ++i) {
    const auto f = wire::encode_list(i);
    asks.insert(asks.end(), f.begin(), f.end());
  }
  std::vector<std::unique_ptr<RawSocket>> greedy;
  for (int i = 0; i < 30; ++i) {
    greedy.push_back(std::make_unique<RawSocket>(dns_->port()));
    ASSERT_TRUE(greedy.back()->send_all(asks));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_TRUE(listed(base + "SERVER"));
  const long grown = zoltest::status_kib(dns_->child().pid(), "VmHWM") / 1024 - before;
  // Each would hold about 10 MB on its own: 300 MB for the crowd.
  EXPECT_LT(grown, 80) << "the name server grew by " << grown << " MiB";
}

void raise_descriptor_limit() {
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
}

TEST_F(HostilePeers, IdleConnectionsLeaveRoomAtTheNameServer) {
  raise_descriptor_limit();
  Process peer(
      {zoltest::test_bin("dim_echo_peer"), "/HP/IDLE/SERVER", "/HP/IDLE/SVC", "/HP/IDLE/CMD"});
  ASSERT_EQ(peer.line(), "ready");
  std::vector<std::unique_ptr<RawSocket>> idle;
  for (int i = 0; i < 4200; ++i) idle.push_back(std::make_unique<RawSocket>(dns_->port()));
  Process list({zoltest::bin("dimctl"), "list"});
  auto first = list.line(10000ms);
  ASSERT_TRUE(first.has_value()) << list.err_text();
  EXPECT_EQ(first->rfind("/HP/IDLE/SERVER", 0), 0u) << *first;
  EXPECT_EQ(list.wait_exit(10000ms), 0);
  // The registered server kept its place: it has spoken.
  EXPECT_TRUE(listed("/HP/IDLE/SERVER"));
  EXPECT_LE(lines(dns_->child().err_text(500ms)), 20u);
}

int server_port(const std::string &server) {
  std::vector<wire::ServerInfo> servers;
  std::string error;
  if (!dim::list_servers(servers, error, 5000)) return 0;
  for (const auto &s : servers)
    if (s.server == server) return static_cast<int>(s.port);
  return 0;
}

TEST_F(HostilePeers, SilentConnectionsCostAServerNoReceiveBuffer) {
  raise_descriptor_limit();
  Process peer(
      {zoltest::test_bin("dim_echo_peer"), "/HP/MUTE/SERVER", "/HP/MUTE/SVC", "/HP/MUTE/CMD"});
  ASSERT_EQ(peer.line(), "ready");
  const int port = server_port("/HP/MUTE/SERVER");
  ASSERT_GT(port, 0);
  const long before = zoltest::status_kib(peer.pid(), "VmRSS");
  // Within the limit of one address, so every one of them is kept.
  std::vector<std::unique_ptr<RawSocket>> silent;
  for (int i = 0; i < 250; ++i) silent.push_back(std::make_unique<RawSocket>(port));
  std::this_thread::sleep_for(500ms);
  const long grown = zoltest::status_kib(peer.pid(), "VmRSS") - before;
  // A read buffer each would be 16 MiB.
  EXPECT_LT(grown, 4096) << "250 silent connections took " << grown << " KiB";
  RawSocket talking(port);
  ASSERT_TRUE(talking.send_all(wire::encode(wire::SubscribeMsg{1, "/HP/MUTE/SVC"})));
  EXPECT_FALSE(talking.closed_by_peer(300));
}

// The same crowd at a server: each subscribes thousands of times to a 16 KiB service and never
// reads. Each is held to its backlog, and all of them to the server's budget; a station that
// reads still gets its data.
TEST_F(HostilePeers, ManyPeersThatNeverReadShareOneBudgetAtAServer) {
  raise_descriptor_limit();
  std::unique_ptr<Process> started;
  {
    NoQuarantine for_the_server;
    started = std::make_unique<Process>(std::vector<std::string>{
        zoltest::test_bin("dim_echo_peer"), "/HP/HOARD/SERVER", "/HP/HOARD/SVC", "/HP/HOARD/CMD"});
  }
  Process &peer = *started;
  ASSERT_EQ(peer.line(), "ready");
  const int port = server_port("/HP/HOARD/SERVER");
  ASSERT_GT(port, 0);
  std::vector<char> contents(16384, 'h');
  ASSERT_EQ(dic_cmnd_service_("/HP/HOARD/CMD", contents.data(), static_cast<int>(contents.size())),
            1);
  std::this_thread::sleep_for(300ms);

  const long before = zoltest::status_kib(peer.pid(), "VmHWM") / 1024;
  wire::Bytes asks;
  for (uint32_t sub = 1; sub <= 1024; ++sub) {
    const auto f = wire::encode(wire::SubscribeMsg{sub, "/HP/HOARD/SVC"});
    asks.insert(asks.end(), f.begin(), f.end());
  }
  std::vector<std::unique_ptr<RawSocket>> greedy;
  for (int i = 0; i < 40; ++i) {
    greedy.push_back(std::make_unique<RawSocket>(port));
    ASSERT_TRUE(greedy.back()->send_all(asks));
  }
  std::this_thread::sleep_for(2s);
  RawSocket station(port);
  ASSERT_TRUE(station.send_all(wire::encode(wire::SubscribeMsg{1, "/HP/HOARD/SVC"})));
  EXPECT_GE(station.drain(500).size(), contents.size());
  const long grown = zoltest::status_kib(peer.pid(), "VmHWM") / 1024 - before;
  // Each would hold about 9 MB on its own: 360 MB for the crowd.
  EXPECT_LT(grown, 120) << "the server grew by " << grown << " MiB";
}

// A station's first frame has arrived by the time the server takes its connection; a burst
// of silent newcomers taken right after it must not close it as silent.
TEST_F(HostilePeers, ASpeakerIsKeptThroughABurstOfSilentNewcomersTakenAfterIt) {
  raise_descriptor_limit();
  // Each command keeps the server's handlers busy for a while, so the connections below
  // wait to be taken and are then taken in one go.
  Process peer({zoltest::test_bin("dim_echo_peer"), "/HP/BURST/SERVER", "/HP/BURST/SVC",
                "/HP/BURST/CMD", "400"});
  ASSERT_EQ(peer.line(), "ready");
  const int port = server_port("/HP/BURST/SERVER");
  ASSERT_GT(port, 0);
  char busy[] = "busy";
  ASSERT_EQ(dic_cmnd_service_("/HP/BURST/CMD", busy, sizeof busy), 1);
  std::this_thread::sleep_for(100ms);
  RawSocket speaker(port);
  ASSERT_TRUE(speaker.send_all(wire::encode(wire::SubscribeMsg{1, "/HP/BURST/SVC"})));
  // More than one address may hold.
  std::vector<std::unique_ptr<RawSocket>> silent;
  for (int i = 0; i < 300; ++i) silent.push_back(std::make_unique<RawSocket>(port));
  EXPECT_FALSE(speaker.closed_by_peer(2000));
}

TEST_F(HostilePeers, ConnectionsThatNeverSpeakAreClosedAfterTheHandshakeTimeout) {
  setenv("DIM_HANDSHAKE_TIMEOUT_MS", "300", 1);
  NameServerProcess dns;
  dns.use();
  Process peer(
      {zoltest::test_bin("dim_echo_peer"), "/HP/QUIET/SERVER", "/HP/QUIET/SVC", "/HP/QUIET/CMD"});
  unsetenv("DIM_HANDSHAKE_TIMEOUT_MS");
  ASSERT_EQ(peer.line(), "ready");
  std::vector<wire::ServerInfo> servers;
  std::string error;
  ASSERT_TRUE(dim::list_servers(servers, error, 5000)) << error;
  int port = 0;
  for (const auto &s : servers)
    if (s.server == "/HP/QUIET/SERVER") port = static_cast<int>(s.port);
  ASSERT_GT(port, 0);

  RawSocket silent_dns(dns.port()), silent_server(port);
  RawSocket talking_dns(dns.port()), talking_server(port);
  ASSERT_TRUE(talking_dns.send_all(wire::encode(wire::LookupMsg{1, "/HP/QUIET/SVC"})));
  ASSERT_TRUE(talking_server.send_all(wire::encode(wire::SubscribeMsg{1, "/HP/QUIET/SVC"})));
  EXPECT_TRUE(silent_dns.closed_by_peer(3000));
  EXPECT_TRUE(silent_server.closed_by_peer(3000));
  EXPECT_FALSE(talking_dns.closed_by_peer(500));
  EXPECT_FALSE(talking_server.closed_by_peer(500));
}

// Sends `bytes` of the body of a registration frame announced `length` long, or less when the
// name server closes the connection first.
void send_partial_registration(RawSocket &s, uint32_t length, std::size_t bytes) {
  timeval limit{10, 0};
  setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  wire::Bytes head(4);
  std::memcpy(head.data(), &length, 4);
  head.push_back(static_cast<uint8_t>(wire::Kind::kRegister));
  if (!s.send_all(head)) return;
  const wire::Bytes chunk(std::size_t{1} << 19, 0);
  for (std::size_t sent = 0; sent < bytes; sent += chunk.size())
    if (!s.send_all(chunk)) return;
}

TEST_F(HostilePeers, HalfSentFramesCostTheNameServerLittle) {
  measure_memory_of_a_fresh_name_server();
  const long before = zoltest::status_kib(dns_->child().pid(), "VmHWM") / 1024;
  std::vector<std::unique_ptr<RawSocket>> peers;
  // Frames far larger than anything a name server needs, and many frames of a size it accepts.
  for (int i = 0; i < 4; ++i) {
    peers.push_back(std::make_unique<RawSocket>(dns_->port()));
    send_partial_registration(*peers.back(), 48u << 20, std::size_t{32} << 20);
  }
  for (int i = 0; i < 48; ++i) {
    peers.push_back(std::make_unique<RawSocket>(dns_->port()));
    send_partial_registration(*peers.back(), 1900u << 10, std::size_t{3} << 19);
  }
  const long grown = zoltest::status_kib(dns_->child().pid(), "VmHWM") / 1024 - before;
  // Held all at once they would be 200 MiB.
  EXPECT_LT(grown, 40) << "the name server grew by " << grown << " MiB";
  Process peer(
      {zoltest::test_bin("dim_echo_peer"), "/HP/AFTER/SERVER", "/HP/AFTER/SVC", "/HP/AFTER/CMD"});
  ASSERT_EQ(peer.line(), "ready");
  EXPECT_TRUE(listed("/HP/AFTER/SERVER"));
}

}  // namespace
