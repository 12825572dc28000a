// A connection read and written through the ring, and the ring's loop beside asio: frames and
// the peer's close arrive; a frame the socket takes in part goes out whole; a post from
// another thread and a timer each wake a loop asleep in the ring; a receive whose thread has
// ended is submitted again; frames stay in order and whole while the loop passes between
// threads, when the ring's buffers run out and around a large frame; a peer whose answers pile
// up is read no more; and a closed descriptor's queued receive never reads the socket that
// takes its number next.
#include "platform/dim/ring_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dim/connection.h"
#include "platform/dim/wire.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

dim::wire::Bytes data_frame(uint32_t sub, std::size_t size = 8) {
  std::vector<uint8_t> contents(size);
  for (std::size_t i = 0; i < size; ++i) contents[i] = static_cast<uint8_t>(i * 7 + sub);
  dim::wire::Bytes f = dim::wire::data_head(sub, static_cast<uint32_t>(size));
  f.insert(f.end(), contents.begin(), contents.end());
  return f;
}

// Reads from a plain socket until `size` bytes came or 5 s passed.
std::vector<uint8_t> read_bytes(int fd, std::size_t size) {
  std::vector<uint8_t> got;
  const auto deadline = Clock::now() + 5s;
  uint8_t buf[65536];
  while (got.size() < size && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

class RingConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DIM_IO_URING", "1", 1);
    ring_ = dim::RingLoop::create(io_);
    if (!ring_) GTEST_SKIP() << "no io_uring here";
    conn_ = connect(peer_);
  }
  void TearDown() override {
    for (auto &c : conns_) c->drop();
    if (ring_) ring_->run_one(Clock::now() + 10ms);
  }

  std::shared_ptr<dim::Connection> connect(asio::ip::tcp::socket &peer, int *fd = nullptr) {
    asio::ip::tcp::acceptor acceptor(io_, {asio::ip::make_address("127.0.0.1"), 0});
    peer.connect(acceptor.local_endpoint());
    asio::ip::tcp::socket accepted(io_);
    acceptor.accept(accepted);
    if (fd != nullptr) *fd = accepted.native_handle();
    dim::Connection::Options options;
    options.read_buffer = 64;  // a few frames per read: a burst takes many reads
    options.ring = ring_.get();
    options.backlog_limit = backlog_limit_;
    auto c = std::make_shared<dim::Connection>(std::move(accepted), "peer", options);
    dim::Connection *self = c.get();  // the handler lives no longer than its connection
    c->start(
        [this, self](dim::wire::Frame &&f) {
          auto d = dim::wire::decode_data(f);
          ASSERT_TRUE(d.has_value());
          if (reply_size_ > 0) self->send(data_frame(d->sub, reply_size_));
          subs_.push_back(d->sub);
          intact_ = intact_ && std::equal(d->data, d->data + d->size,
                                          data_frame(d->sub, d->size).end() -
                                              static_cast<std::ptrdiff_t>(d->size));
          sizes_.push_back(d->size);
        },
        [this](const std::string &reason) {
          closed_ = true;
          close_reason_ = reason;
        });
    conns_.push_back(c);
    return c;
  }

  template <class Done>
  bool run_until(Done done) {
    const auto deadline = Clock::now() + 5s;
    while (!done() && Clock::now() < deadline) ring_->run_one(Clock::now() + 50ms);
    return done();
  }

  asio::io_context io_;
  // As the library's dispatch context: it is never out of work, so polling never stops it.
  asio::executor_work_guard<asio::io_context::executor_type> work_{asio::make_work_guard(io_)};
  std::unique_ptr<dim::RingLoop> ring_;
  asio::ip::tcp::socket peer_{io_};
  std::shared_ptr<dim::Connection> conn_;
  std::vector<std::shared_ptr<dim::Connection>> conns_;
  std::size_t backlog_limit_ = std::size_t{8} << 20;
  std::size_t reply_size_ = 0;  // each frame answered with this many bytes when not 0
  std::vector<uint32_t> subs_;
  std::vector<std::size_t> sizes_;
  bool intact_ = true;  // every frame's contents as sent
  bool closed_ = false;
  std::string close_reason_ = "not closed";
};

TEST_F(RingConnection, FramesArriveInOrderAndThePeersCloseEndsTheConnection) {
  dim::wire::Bytes burst;
  for (uint32_t i = 0; i < 500; ++i) {
    auto f = data_frame(i);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  asio::write(peer_, asio::buffer(burst));
  ASSERT_TRUE(run_until([&] { return subs_.size() == 500; })) << subs_.size() << " arrived";
  for (uint32_t i = 0; i < 500; ++i) ASSERT_EQ(subs_[i], i);

  conn_->send(data_frame(7));
  const auto sent = data_frame(7);
  EXPECT_EQ(read_bytes(peer_.native_handle(), sent.size()), sent);

  peer_.close();
  ASSERT_TRUE(run_until([&] { return closed_; }));
  EXPECT_EQ(close_reason_, "");
}

TEST_F(RingConnection, AFrameTheSocketTakesInPartGoesOutWholeBeforeTheNextOne) {
  const auto big = data_frame(1, std::size_t{4} << 20);
  const auto small = data_frame(2);
  bool written = false;
  bool ok = false;
  conn_->send(big, [&](bool w) {
    written = true;
    ok = w;
  });
  conn_->send(small);
  std::vector<uint8_t> got;
  std::thread reader([&] { got = read_bytes(peer_.native_handle(), big.size() + small.size()); });
  const bool done = run_until([&] { return written; });
  reader.join();
  ASSERT_TRUE(done);
  EXPECT_TRUE(ok);
  ASSERT_EQ(got.size(), big.size() + small.size());
  EXPECT_TRUE(std::equal(big.begin(), big.end(), got.begin()));
  EXPECT_TRUE(std::equal(small.begin(), small.end(), got.begin() + big.size()));
}

TEST_F(RingConnection, APostFromAnotherThreadAndATimerEachWakeTheLoopAsleepInTheRing) {
  ring_->run_one(Clock::now() + 10ms);  // the connection's receive is in the ring
  std::atomic<bool> posted{false};
  std::thread poster([&] {
    std::this_thread::sleep_for(50ms);
    asio::post(io_, [&] { posted = true; });
  });
  auto t0 = Clock::now();
  while (!posted && Clock::now() - t0 < 5s) ring_->run_one(Clock::now() + 5s);
  poster.join();
  EXPECT_TRUE(posted);
  EXPECT_LT(Clock::now() - t0, 2s);

  bool fired = false;
  asio::steady_timer timer(io_, 30ms);
  timer.async_wait([&](const asio::error_code &ec) { fired = !ec; });
  t0 = Clock::now();
  while (!fired && Clock::now() - t0 < 5s) ring_->run_one(Clock::now() + 5s);
  EXPECT_TRUE(fired);
  EXPECT_LT(Clock::now() - t0, 2s);
}

TEST_F(RingConnection, AReceiveWhoseThreadEndedIsSubmittedAgain) {
  // A caller's thread that held the loop once submitted the receive and is gone; the kernel
  // cancels what it submitted. First the plain receive of a connection that has not spoken,
  // then the standing one of a connection that has.
  std::thread([&] { ring_->run_one(Clock::now() + 20ms); }).join();
  const auto f = data_frame(5);
  asio::write(peer_, asio::buffer(f));
  ASSERT_TRUE(run_until([&] { return subs_.size() == 1; }));
  EXPECT_EQ(subs_[0], 5u);

  std::thread([&] {
    asio::write(peer_, asio::buffer(data_frame(6)));
    run_until([&] { return subs_.size() == 2; });
  }).join();
  asio::write(peer_, asio::buffer(data_frame(7)));
  ASSERT_TRUE(run_until([&] { return subs_.size() == 3; }));
  EXPECT_EQ(subs_, (std::vector<uint32_t>{5, 6, 7}));
  EXPECT_FALSE(closed_) << close_reason_;
}

// Each thread that takes the loop over moves the standing receive to itself. A socket must
// never have two receives at once: they would share its bytes between them, out of order.
TEST_F(RingConnection, FramesStayInOrderWhileTheLoopPassesBetweenThreads) {
  uint32_t sent = 0;
  auto send_some = [&] {
    dim::wire::Bytes burst;
    for (int i = 0; i < 3; ++i) {
      auto f = data_frame(sent++);
      burst.insert(burst.end(), f.begin(), f.end());
    }
    asio::write(peer_, asio::buffer(burst));
  };
  for (int round = 0; round < 20; ++round) {
    send_some();
    if (round % 2 == 0) {
      ASSERT_TRUE(run_until([&] { return subs_.size() == sent; })) << round;
    } else {
      bool ok = false;
      std::thread([&] {
        ok = run_until([&] { return subs_.size() == sent; });
        send_some();  // waits in the ring of a thread about to end
        ring_->run_one(Clock::now() + 1ms);
      }).join();
      ASSERT_TRUE(ok) << round;
    }
  }
  ASSERT_TRUE(run_until([&] { return subs_.size() == sent; }));
  for (uint32_t i = 0; i < sent; ++i) ASSERT_EQ(subs_[i], i);
  EXPECT_TRUE(intact_);
  EXPECT_FALSE(closed_) << close_reason_;
}

// The ring lends a fixed number of buffers. Arrivals on more connections than that, before the
// loop takes any, leave the rest without one: their bytes wait in the socket and a plain
// receive takes them.
TEST_F(RingConnection, ConnectionsBeyondTheRingsBuffersStillGetEveryFrame) {
  constexpr uint32_t kPeers = 300;
  std::vector<std::unique_ptr<asio::ip::tcp::socket>> peers;
  for (uint32_t i = 0; i < kPeers; ++i) {
    peers.push_back(std::make_unique<asio::ip::tcp::socket>(io_));
    connect(*peers.back());
  }
  // Each speaks once, and has a standing receive from then on.
  for (uint32_t i = 0; i < kPeers; ++i) asio::write(*peers[i], asio::buffer(data_frame(i)));
  ASSERT_TRUE(run_until([&] { return subs_.size() == kPeers; }));
  ring_->run_one(Clock::now() + 1ms);
  // Written by the thread the receives belong to: each arrival takes a buffer before this
  // thread looks at the ring again.
  for (int round = 0; round < 2; ++round) {
    for (uint32_t i = 0; i < kPeers; ++i)
      asio::write(*peers[i], asio::buffer(data_frame(1000 + i, 40)));
    ASSERT_TRUE(run_until([&] { return subs_.size() == kPeers * (2 + round); })) << subs_.size();
  }
  EXPECT_TRUE(intact_);
  EXPECT_FALSE(closed_) << close_reason_;
}

// While answers wait beyond the backlog limit (a peer that sends and never reads) the connection
// reads nothing more: what the peer sends then stays in the socket, where the kernel holds the
// peer back, instead of piling up as frames.
TEST_F(RingConnection, NothingMoreIsReadFromAPeerWhoseAnswersPileUp) {
  backlog_limit_ = 64 * 1024;
  reply_size_ = 256 * 1024;
  asio::ip::tcp::socket peer(io_);
  int fd = -1;
  connect(peer, &fd);
  auto burst = [&](uint32_t first, uint32_t count) {
    dim::wire::Bytes all;
    for (uint32_t i = first; i < first + count; ++i) {
      auto f = data_frame(i);
      all.insert(all.end(), f.begin(), f.end());
    }
    asio::write(peer, asio::buffer(all));
    return all.size();
  };
  burst(0, 100);
  ASSERT_TRUE(run_until([&] { return !subs_.empty(); }));
  for (int i = 0; i < 10; ++i) ring_->run_one(Clock::now() + 5ms);
  const std::size_t answered = subs_.size();
  EXPECT_LT(answered, 100u) << "the answers never held reading back";

  const std::size_t later = burst(1000, 1000);
  for (int i = 0; i < 20; ++i) ring_->run_one(Clock::now() + 5ms);
  int unread = 0;
  ASSERT_EQ(::ioctl(fd, FIONREAD, &unread), 0);
  EXPECT_GE(static_cast<std::size_t>(unread), later);
  EXPECT_EQ(subs_.size(), answered);
}

// A frame too large for the read buffer goes straight into its own buffer, between small ones
// that came through the standing receive.
TEST_F(RingConnection, ALargeFrameArrivesWholeBetweenSmallOnes) {
  const std::size_t kLarge = std::size_t{3} << 20;
  for (uint32_t round = 0; round < 2; ++round) {
    dim::wire::Bytes all = data_frame(10 * round + 1);
    const auto large = data_frame(10 * round + 2, kLarge);
    all.insert(all.end(), large.begin(), large.end());
    const auto small = data_frame(10 * round + 3);
    all.insert(all.end(), small.begin(), small.end());
    std::thread writer([&] { asio::write(peer_, asio::buffer(all)); });
    const bool done = run_until([&] { return subs_.size() == 3 * (round + 1); });
    writer.join();
    ASSERT_TRUE(done) << subs_.size();
  }
  EXPECT_EQ(subs_, (std::vector<uint32_t>{1, 2, 3, 11, 12, 13}));
  EXPECT_EQ(sizes_, (std::vector<std::size_t>{8, kLarge, 8, 8, kLarge, 8}));
  EXPECT_TRUE(intact_);
}

TEST_F(RingConnection, AClosedDescriptorsQueuedReceiveNeverReadsTheSocketTakingItsNumber) {
  asio::ip::tcp::socket peer2(io_);
  int first_fd = -1;
  auto first = connect(peer2, &first_fd);
  // Its receive is queued, not yet handed to the kernel; then its number is free again.
  first->drop();
  asio::ip::tcp::socket peer3(io_);
  int second_fd = -1;
  auto second = connect(peer3, &second_fd);
  // Either end of the new pair may take the number.
  ASSERT_TRUE(peer3.native_handle() == first_fd || second_fd == first_fd);
  const auto f = data_frame(9);
  second->send(f);
  for (int i = 0; i < 5; ++i) ring_->run_one(Clock::now() + 10ms);
  EXPECT_EQ(read_bytes(peer3.native_handle(), f.size()), f);
  asio::write(peer3, asio::buffer(f));
  ASSERT_TRUE(run_until([&] { return !subs_.empty(); }));
  EXPECT_EQ(subs_.back(), 9u);
}

}  // namespace
