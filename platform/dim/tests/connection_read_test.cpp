// How a connection reads its socket: every frame of a burst larger than the read buffer, a
// frame that arrives in pieces, and the peer's close, each noticed with no timer to help.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dim/connection.h"
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

}  // namespace
