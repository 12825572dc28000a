// How a connection reads its socket: every frame of a burst larger than the read buffer, a
// frame that arrives in pieces, and the peer's close, each noticed with no timer to help. And
// how it writes: a frame the socket takes only in part goes out whole before anything sent
// after it, whichever way it was sent.
#include "platform/dim/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dim/wire.h"

namespace {

using namespace std::chrono_literals;

class ConnectionRead : public ::testing::Test {
 protected:
  void SetUp() override {
    asio::ip::tcp::acceptor acceptor(io_, {asio::ip::make_address("127.0.0.1"), 0});
    peer_.connect(acceptor.local_endpoint());
    asio::ip::tcp::socket accepted(io_);
    acceptor.accept(accepted);
    dim::Connection::Options options;
    options.read_buffer = 64;  // a few frames per read: the burst takes many reads
    conn_ = std::make_shared<dim::Connection>(std::move(accepted), "peer", options);
    conn_->start(
        [this](dim::wire::Frame &&f) {
          auto d = dim::wire::decode_data(f);
          ASSERT_TRUE(d.has_value());
          subs_.push_back(d->sub);
        },
        [this](const std::string &reason) {
          closed_ = true;
          close_reason_ = reason;
        });
  }
  void TearDown() override {
    conn_->drop();
    io_.poll();
  }

  static dim::wire::Bytes data_frame(uint32_t sub) {
    const uint8_t contents[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    dim::wire::Bytes f = dim::wire::data_head(sub, sizeof contents);
    f.insert(f.end(), contents, contents + sizeof contents);
    return f;
  }

  // Runs the connection's context until `done` or 5 s.
  template <class Done>
  bool run_until(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done() && std::chrono::steady_clock::now() < deadline) io_.run_one_for(50ms);
    return done();
  }

  asio::io_context io_;
  asio::ip::tcp::socket peer_{io_};
  std::shared_ptr<dim::Connection> conn_;
  std::vector<uint32_t> subs_;
  bool closed_ = false;
  std::string close_reason_ = "not closed";
};

TEST_F(ConnectionRead, EveryFrameOfABurstLargerThanTheBufferArrivesInOrder) {
  dim::wire::Bytes burst;
  for (uint32_t i = 0; i < 500; ++i) {
    auto f = data_frame(i);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  ASSERT_GT(burst.size(), 100u * 64);
  asio::write(peer_, asio::buffer(burst));
  ASSERT_TRUE(run_until([&] { return subs_.size() == 500; })) << subs_.size() << " arrived";
  for (uint32_t i = 0; i < 500; ++i) ASSERT_EQ(subs_[i], i);

  // The socket was left empty by a short read; the next arrival must still be noticed, also
  // when the exact buffer's worth came in the read before.
  for (int round = 0; round < 3; ++round) {
    auto f = data_frame(1000 + round);
    asio::write(peer_, asio::buffer(f));
    ASSERT_TRUE(run_until([&] { return subs_.size() == 501u + round; }));
    EXPECT_EQ(subs_.back(), 1000u + round);
  }
}

TEST_F(ConnectionRead, AFrameThatArrivesInPiecesIsDeliveredOnceWhole) {
  const auto f = data_frame(7);
  for (std::size_t cut : {std::size_t{1}, std::size_t{3}, f.size() - 1}) {
    subs_.clear();
    asio::write(peer_, asio::buffer(f.data(), cut));
    io_.run_for(30ms);  // what has come is read, and is not a frame yet
    EXPECT_TRUE(subs_.empty());
    asio::write(peer_, asio::buffer(f.data() + cut, f.size() - cut));
    ASSERT_TRUE(run_until([&] { return subs_.size() == 1; })) << "cut at " << cut;
  }
}

TEST_F(ConnectionRead, ThePeersCloseEndsTheConnectionQuietly) {
  auto f = data_frame(3);
  asio::write(peer_, asio::buffer(f));
  peer_.close();
  ASSERT_TRUE(run_until([&] { return closed_; }));
  EXPECT_EQ(subs_, std::vector<uint32_t>{3});
  EXPECT_EQ(close_reason_, "");
}

// Reads from the peer's end until `bytes` have come (or 10 s), decoding frames as they come.
std::vector<dim::wire::Frame> read_frames(asio::ip::tcp::socket &peer, std::size_t bytes) {
  dim::wire::FrameReader reader(std::size_t{64} << 20);
  std::vector<dim::wire::Frame> frames;
  std::size_t got = 0;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (got < bytes && std::chrono::steady_clock::now() < deadline) {
    auto buf = reader.buffer();
    asio::error_code ec;
    const std::size_t n = peer.read_some(asio::buffer(buf.data(), buf.size()), ec);
    if (ec) break;
    got += n;
    if (reader.commit(n, frames)) break;
  }
  return frames;
}

TEST_F(ConnectionRead, AFrameWrittenInPartGoesOutWholeBeforeEverythingSentAfterIt) {
  // Far more than the socket buffers hold while the peer is not reading: the first write
  // takes only part of it.
  std::vector<uint8_t> big(std::size_t{4} << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  const uint8_t older[3] = {1, 1, 1}, newer[3] = {2, 2, 2}, command[2] = {9, 9};

  auto latest = [&](uint32_t sub, dim::wire::Payload p) { conn_->send_latest(sub, p); };
  latest(1, dim::wire::Payload::copy_of(big.data(), big.size()));
  latest(2, dim::wire::Payload::copy_of(older, sizeof older));
  int written = 0;
  conn_->send(dim::wire::command_head("/CMD", sizeof command),
              dim::wire::Payload::copy_of(command, sizeof command),
              [&](bool ok) { written += ok ? 1 : 100; });
  latest(2, dim::wire::Payload::copy_of(newer, sizeof newer));  // replaces `older`

  const std::size_t expected = dim::wire::kDataHeadSize * 2 + big.size() + sizeof newer +
                               dim::wire::command_head("/CMD", 0).size() + sizeof command;
  std::vector<dim::wire::Frame> frames;
  std::thread peer([&] { frames = read_frames(peer_, expected); });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (written == 0 && std::chrono::steady_clock::now() < deadline) io_.run_one_for(50ms);
  peer.join();

  EXPECT_EQ(written, 1);
  ASSERT_EQ(frames.size(), 3u);
  auto first = dim::wire::decode_data(frames[0]);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->sub, 1u);
  ASSERT_EQ(first->size, big.size());
  EXPECT_EQ(std::memcmp(first->data, big.data(), big.size()), 0);
  auto cmd = dim::wire::decode_command(frames[1]);
  ASSERT_TRUE(cmd.has_value());
  EXPECT_EQ(cmd->name, "/CMD");
  ASSERT_EQ(cmd->size, sizeof command);
  auto last = dim::wire::decode_data(frames[2]);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->sub, 2u);
  ASSERT_EQ(last->size, sizeof newer);
  EXPECT_EQ(std::memcmp(last->data, newer, sizeof newer), 0);
}

// A service's contents are lent to the connection, not copied, for an idle write. When the
// connection is busy they must be copied before the service's buffer changes again, and the
// copy is shared with the next subscriber that must wait too.
TEST_F(ConnectionRead, BorrowedContentsThatMustWaitAreCopiedBeforeTheServiceChangesThem) {
  std::vector<uint8_t> big(std::size_t{4} << 20, 0x33);
  auto filler = dim::wire::Payload::copy_of(big.data(), big.size());
  conn_->send_latest(1, filler);  // the socket takes only part: the rest waits
  uint8_t service[4] = {7, 7, 7, 7};
  dim::wire::Payload lent{nullptr, service, sizeof service};
  conn_->send_latest(2, lent);
  ASSERT_NE(lent.owner, nullptr);
  EXPECT_NE(lent.data, service);
  const auto copy = lent.data;
  conn_->send_latest(3, lent);
  EXPECT_EQ(lent.data, copy);  // one copy for both subscribers
  std::memset(service, 0, sizeof service);

  const std::size_t expected = dim::wire::kDataHeadSize * 3 + big.size() + 2 * sizeof service;
  std::vector<dim::wire::Frame> frames;
  std::atomic<bool> read_all{false};
  std::thread peer([&] {
    frames = read_frames(peer_, expected);
    read_all = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!read_all && std::chrono::steady_clock::now() < deadline) io_.run_one_for(50ms);
  peer.join();

  ASSERT_EQ(frames.size(), 3u);
  const uint8_t sent[4] = {7, 7, 7, 7};
  for (std::size_t i = 1; i < 3; ++i) {
    auto d = dim::wire::decode_data(frames[i]);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->sub, i + 1);
    ASSERT_EQ(d->size, sizeof sent);
    EXPECT_EQ(std::memcmp(d->data, sent, sizeof sent), 0);
  }
}

// From another thread, like a station's main thread: an idle connection writes at once, a
// busy one refuses so the caller queues in order, and a frame that fits only in part is
// finished by the owning thread.
TEST_F(ConnectionRead, ASendFromAnyThreadWritesWholeFramesOrLeavesThemToTheOwner) {
  std::vector<uint8_t> big(std::size_t{4} << 20, 0x5a);
  uint8_t head[dim::wire::kMaxCommandHead];
  const std::span<const uint8_t> h(head, dim::wire::put_command_head(head, "/BIG", big.size()));
  bool first = false, second = true;
  std::thread caller([&] {
    first = conn_->send_from_any_thread(h, big.data(), big.size());
    second = conn_->send_from_any_thread(h, big.data(), 1);  // the rest is still waiting
  });
  caller.join();
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);

  std::vector<dim::wire::Frame> frames;
  std::thread peer([&] { frames = read_frames(peer_, h.size() + big.size()); });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (frames.empty() && std::chrono::steady_clock::now() < deadline) io_.run_one_for(20ms);
  peer.join();
  ASSERT_EQ(frames.size(), 1u);
  auto cmd = dim::wire::decode_command(frames[0]);
  ASSERT_TRUE(cmd.has_value());
  EXPECT_EQ(cmd->name, "/BIG");
  ASSERT_EQ(cmd->size, big.size());
  EXPECT_EQ(std::memcmp(cmd->data, big.data(), big.size()), 0);
}

}  // namespace

namespace {

// Connections to peers on the loopback that hold their part of `budget`, each recording why
// it was closed ("open" until then).
struct BudgetSides {
  struct Side {
    std::unique_ptr<asio::ip::tcp::socket> peer;
    std::shared_ptr<dim::Connection> conn;
    std::string closed = "open";
  };
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor{io, {asio::ip::make_address("127.0.0.1"), 0}};
  std::vector<Side> sides;

  using Slot = std::shared_ptr<dim::SharedBudget> dim::Connection::Options::*;
  BudgetSides(std::size_t count, const std::shared_ptr<dim::SharedBudget> &budget, Slot slot)
      : sides(count) {
    for (auto &s : sides) {
      s.peer = std::make_unique<asio::ip::tcp::socket>(io);
      s.peer->connect(acceptor.local_endpoint());
      asio::ip::tcp::socket accepted(io);
      acceptor.accept(accepted);
      dim::Connection::Options options;
      options.*slot = budget;
      s.conn = std::make_shared<dim::Connection>(std::move(accepted), "peer", options);
      s.conn->start([](dim::wire::Frame &&) {}, [&s](const std::string &why) { s.closed = why; });
    }
  }
  ~BudgetSides() {
    for (auto &s : sides) s.conn->drop();
    io.poll();
  }
};

}  // namespace

// Frames half received share one budget. Over it, the connection holding the most is closed,
// whoever came first: one large transfer fits, a crowd of half-sent frames does not.
TEST(SharedBudget, FramesBeingReceivedCloseTheLargestHolder) {
  auto budget = std::make_shared<dim::SharedBudget>(dim::SharedBudget::Kind::kFramesBeingReceived,
                                                    std::size_t{32} << 20);
  BudgetSides b(3, budget, &dim::Connection::Options::frame_budget);
  budget->hold(b.sides[0].conn.get(), std::size_t{10} << 20);
  budget->hold(b.sides[1].conn.get(), std::size_t{12} << 20);
  budget->release(b.sides[0].conn.get());  // its frame completed
  budget->hold(b.sides[0].conn.get(), std::size_t{4} << 20);
  budget->hold(b.sides[2].conn.get(), std::size_t{16} << 20);  // 32 MiB: still within
  EXPECT_EQ(b.sides[2].closed, "open");
  budget->hold(b.sides[0].conn.get(), std::size_t{6} << 20);  // the grower is not the largest
  b.io.poll();
  EXPECT_EQ(b.sides[0].closed, "open");
  EXPECT_EQ(b.sides[1].closed, "open");
  EXPECT_EQ(b.sides[2].closed,
            "frames being received take more than the budget of 33554432 bytes, and this "
            "connection holds the most");
}

// Answers left waiting by peers that do not read share one budget. Over it, the connection
// whose answers have waited longest is closed, even when another holds more: one that was
// still being read a moment ago is not the one to blame.
TEST(SharedBudget, TheLongestStalledConnectionIsClosedNotTheLargest) {
  auto budget = std::make_shared<dim::SharedBudget>(dim::SharedBudget::Kind::kAnswersWaiting,
                                                    std::size_t{32} << 20);
  BudgetSides b(2, budget, &dim::Connection::Options::answer_budget);
  auto &sides = b.sides;
  auto &io = b.io;
  std::vector<uint8_t> bytes(std::size_t{20} << 20, 0x11);
  auto payload = dim::wire::Payload::copy_of(bytes.data(), bytes.size());
  sides[0].conn->send_latest(1, payload);  // far more than the sockets take: most waits
  io.poll();
  std::this_thread::sleep_for(50ms);
  bytes.resize(std::size_t{28} << 20, 0x22);
  auto more = dim::wire::Payload::copy_of(bytes.data(), bytes.size());
  sides[1].conn->send_latest(1, more);
  io.poll();

  EXPECT_NE(sides[0].closed.find("waited longest"), std::string::npos) << sides[0].closed;
  EXPECT_EQ(sides[1].closed, "open");
  EXPECT_TRUE(sides[1].conn->is_open());
}
