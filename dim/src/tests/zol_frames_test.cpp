// Hostile peers on ZOL_server's own port: garbage, lying lengths, truncated and oversized
// frames, wrong kinds and bad fields. Each peer may lose its own connection, but the server
// keeps serving every other station.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/dim/wire.h"
#include "testing/records.h"
#include "testing/world.h"

namespace zoltest {
namespace {

namespace wire = dim::wire;

const std::string kBoard = "/ZOL/KeshV2_05";
const std::string kCmd = kBoard + "/CMD/ReadWriteRegisters";
const std::string kSvc = kBoard + "/SVC/UpdateRegisters";

int connect_to(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void send_all(int fd, const void *data, size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return;  // the server may already have dropped us
    p += n;
    size -= static_cast<size_t>(n);
  }
}

// Waits up to `timeout` for the peer to close; true when it did.
bool closed_by_peer(int fd, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return true;
  }
  return false;
}

wire::Bytes frame(std::vector<uint8_t> body) {
  wire::Bytes out(4);
  uint32_t len = static_cast<uint32_t>(body.size());
  std::memcpy(out.data(), &len, 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

wire::Bytes command_frame(const std::string &name, const std::vector<uint32_t> &words,
                          size_t bytes) {
  wire::Bytes out = wire::command_head(name, bytes);
  std::vector<uint8_t> data(bytes, 0);
  size_t given = std::min(bytes, words.size() * 4);
  if (given > 0) std::memcpy(data.data(), words.data(), given);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// A server with a station following its results; the server's port found at the name server.
struct FrameWorld {
  explicit FrameWorld(const std::string &tag) : world(tag) {
    world.boardsim({"set-id", "0x20020005"});
    server = start_server(world, "ZOL_server");
    station = std::make_unique<Station>(world);
    station->subscribe(kSvc);
    EXPECT_TRUE(station->wait_updates(kSvc, 1));
    port = lookup_port(kCmd);
  }

  uint16_t lookup_port(const std::string &name) {
    int fd = connect_to(static_cast<uint16_t>(world.dns_port()));
    EXPECT_GE(fd, 0);
    wire::Bytes ask = wire::encode(wire::LookupMsg{7, name});
    send_all(fd, ask.data(), ask.size());
    wire::FrameReader reader;
    std::vector<wire::Frame> frames;
    while (frames.empty()) {
      auto buf = reader.buffer();
      ssize_t n = recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      if (reader.commit(static_cast<size_t>(n), frames)) break;
    }
    close(fd);
    if (frames.empty()) {
      ADD_FAILURE() << "no answer from the name server";
      return 0;
    }
    auto reply = wire::decode_lookup_reply(frames[0]);
    EXPECT_TRUE(reply && reply->found);
    return reply ? static_cast<uint16_t>(reply->port) : 0;
  }

  // The server is alive and answers a normal station correctly.
  void expect_serving() {
    ASSERT_FALSE(server->wait_exit(0ms).has_value()) << "server died: " << server->err();
    uint32_t token = 0x1000 + static_cast<uint32_t>(++probes);
    size_t before = station->updates(kSvc).size();
    station->command(kCmd, write_rec(1, 0x38, token, 0xFFFFFFFF, 1));
    ASSERT_TRUE(station->wait_updates(kSvc, before + 1)) << server->out() << server->err();
    EXPECT_EQ(station->updates(kSvc).back().words,
              (std::vector<uint32_t>{1, 0x38, token, 0xFFFFFFFF}));
  }

  // Sends the bytes on a fresh connection and expects the server to drop that connection.
  void expect_dropped(const wire::Bytes &bytes, const char *what) {
    int fd = connect_to(port);
    ASSERT_GE(fd, 0);
    send_all(fd, bytes.data(), bytes.size());
    EXPECT_TRUE(closed_by_peer(fd, 5s)) << what << ": connection kept open";
    close(fd);
    expect_serving();
  }

  World world;
  std::unique_ptr<Process> server;
  std::unique_ptr<Station> station;
  uint16_t port = 0;
  int probes = 0;
};

TEST(ZolFrames, MalformedFramesCostOnlyTheSendersConnection) {
  FrameWorld w("frames_malformed");
  ASSERT_NE(w.port, 0);
  w.expect_dropped(frame({0xEE, 1, 2, 3}), "unknown kind");
  // A zero length, followed by the start of another frame.
  w.expect_dropped({0, 0, 0, 0, static_cast<uint8_t>(wire::Kind::kCommand)}, "empty frame");
  // A command whose name claims more bytes than the frame has.
  w.expect_dropped(frame({static_cast<uint8_t>(wire::Kind::kCommand), 0xFF, 0xFF, 'x'}),
                   "name overrun");
  w.expect_dropped(frame({static_cast<uint8_t>(wire::Kind::kCommand), 0x05}), "half a name length");
  // A subscription with a missing name.
  w.expect_dropped(frame({static_cast<uint8_t>(wire::Kind::kSubscribe), 1, 0, 0, 0}),
                   "subscribe without name");
  // Frames only a name server should get.
  w.expect_dropped(wire::encode(wire::LookupMsg{1, kCmd}), "lookup sent to a server");
  wire::Bytes noise(4096);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 131 + 7);
  w.expect_dropped(noise, "noise");
}

TEST(ZolFrames, OversizedAndTruncatedFramesLeaveTheServerServing) {
  FrameWorld w("frames_size");
  ASSERT_NE(w.port, 0);
  // A length beyond anything the server accepts is refused before any allocation.
  wire::Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, static_cast<uint8_t>(wire::Kind::kCommand)};
  w.expect_dropped(huge, "4 GiB length");
  uint32_t just_over = static_cast<uint32_t>(wire::kMaxFrameBody + 1);
  wire::Bytes over(4);
  std::memcpy(over.data(), &just_over, 4);
  over.push_back(static_cast<uint8_t>(wire::Kind::kCommand));
  w.expect_dropped(over, "one byte over the limit");

  // Truncated: a frame announced longer than what arrives before the peer hangs up.
  for (size_t cut : {2u, 4u, 9u, 30u}) {
    wire::Bytes cmd = command_frame(kCmd, write_rec(1, 0x38, 0xBAD, 0xFFFFFFFF, 1), 20);
    int fd = connect_to(w.port);
    ASSERT_GE(fd, 0);
    send_all(fd, cmd.data(), cmd.size() - cut);
    close(fd);
    w.expect_serving();
  }
  EXPECT_NE(w.world.peek(0x38), 0xBADu) << "a truncated command was served";
}

TEST(ZolFrames, RawCommandFramesAreServedLikeAnyStations) {
  FrameWorld w("frames_raw");
  ASSERT_NE(w.port, 0);
  int fd = connect_to(w.port);
  ASSERT_GE(fd, 0);
  // Two whole records and three stray bytes: two results.
  wire::Bytes cmd = command_frame(
      kCmd, join({write_rec(1, 0x38, 0x51, 0xFFFFFFFF, 1), write_rec(1, 0x38, 0, 0, 0)}), 43);
  size_t before = w.station->updates(kSvc).size();
  send_all(fd, cmd.data(), cmd.size());
  ASSERT_TRUE(w.station->wait_updates(kSvc, before + 1));
  EXPECT_EQ(w.station->updates(kSvc).back().words,
            (std::vector<uint32_t>{1, 0x38, 0x51, 0xFFFFFFFF, 1, 0x38, 0x51, 0}));
  // A command to a name the server does not have changes nothing.
  wire::Bytes stray =
      command_frame(kBoard + "/CMD/NoSuchCommand", write_rec(1, 0x38, 0x99, ~0u, 1), 20);
  send_all(fd, stray.data(), stray.size());
  close(fd);
  w.expect_serving();
  EXPECT_NE(w.world.peek(0x38), 0x99u);
}

}  // namespace
}  // namespace zoltest
