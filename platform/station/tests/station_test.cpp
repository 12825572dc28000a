// The station library against fake register servers (fake_board.cpp): which deliveries
// answer a transaction, and which exception each failure raises.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "dim/src/zol_records.h"
#include "platform/station/answer_match.h"
#include "platform/station/board.h"
#include "testing/name_server.h"
#include "testing/process.h"

namespace {

using namespace zoltest;
using station::Answer;
using station::Request;

std::vector<uint8_t> records(const std::vector<READ> &rs) {
  std::vector<uint8_t> bytes(rs.size() * sizeof(READ));
  if (!rs.empty()) std::memcpy(bytes.data(), rs.data(), bytes.size());
  return bytes;
}

TEST(AnswerMatch, TakesOnlyTheRecordsOfItsOwnRequestsInOrder) {
  const std::vector<Request> asked = {Request{1, 0x38, 5, 0xFF, true}, Request{2, 0xA002}};
  std::vector<Answer> out;
  auto own = records({READ{1, 0x38, 0x105, 0xFF}, READ{2, 0xA002, 0x20, 0xFFFFFFFF}});
  ASSERT_TRUE(station::match_answer(asked, own.data(), static_cast<int>(own.size()), out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].value, 0x105u);
  EXPECT_EQ(out[1].value, 0x20u);
  EXPECT_EQ(out[1].method, 2);

  const std::vector<std::vector<READ>> others = {
      {READ{1, 0x3C, 0x105, 0xFF}, READ{2, 0xA002, 0x20, 0xFFFFFFFF}},        // another address
      {READ{1, 0x38, 0x105, 0xFFFFFFFF}, READ{2, 0xA002, 0x20, 0xFFFFFFFF}},  // another mask
      {READ{2, 0x38, 0x105, 0xFF}, READ{2, 0xA002, 0x20, 0xFFFFFFFF}},        // another method
      {READ{2, 0xA002, 0x20, 0xFFFFFFFF}, READ{1, 0x38, 0x105, 0xFF}},        // another order
      {READ{1, 0x38, 0x105, 0xFF}},                                           // fewer
      {READ{1, 0x38, 0x105, 0xFF}, READ{2, 0xA002, 0x20, 0xFFFFFFFF}, READ{1, 0, 0, 0}},
  };
  for (size_t i = 0; i < others.size(); ++i) {
    auto bytes = records(others[i]);
    out.clear();
    EXPECT_FALSE(station::match_answer(asked, bytes.data(), static_cast<int>(bytes.size()), out))
        << "delivery " << i << " is not the answer";
    EXPECT_TRUE(out.empty());
  }
  auto cut = records({READ{1, 0x38, 0x105, 0xFF}, READ{2, 0xA002, 0x20, 0xFFFFFFFF}});
  EXPECT_FALSE(station::match_answer(asked, cut.data(), static_cast<int>(cut.size()) - 1, out));
}

TEST(AnswerMatch, EncodesTheRequestRecords) {
  auto bytes = station::encode_requests({Request{2, 0xA010, 0x5A, 0xFFFFFFFF, true}});
  ASSERT_EQ(bytes.size(), sizeof(WRITE));
  WRITE w;
  std::memcpy(&w, bytes.data(), sizeof w);
  EXPECT_EQ(w.method, 2);
  EXPECT_EQ(w.addr, 0xA010u);
  EXPECT_EQ(w.val, 0x5Au);
  EXPECT_EQ(w.mask, 0xFFFFFFFFu);
  EXPECT_EQ(w.write, 1);
}

// One name server for the whole program: the messaging library of a process follows one.
NameServerProcess &name_server() {
  static NameServerProcess dns;
  static bool used = (dns.use(), true);
  (void)used;
  return dns;
}

// A fake board server that the name server already knows.
std::unique_ptr<Process> fake(const std::string &mode, const std::string &name) {
  NameServerProcess &dns = name_server();
  EXPECT_GT(dns.port(), 0);
  auto p = std::make_unique<Process>(
      std::vector<std::string>{test_bin("fake_board"), mode, name},
      Env{{"DIM_DNS_NODE", "127.0.0.1"}, {"DIM_DNS_PORT", std::to_string(dns.port())}});
  EXPECT_TRUE(p->wait_for("Starting up server", 10s)) << p->err();
  bool known = zoltest::wait_for(
      [&] {
        try {
          for (const auto &b : station::list_boards(2000))
            if (b.name == name) return true;
        } catch (const station::Error &) {
        }
        return false;
      },
      10s);
  EXPECT_TRUE(known) << name << " never appeared at the name server";
  return p;
}

TEST(StationBoard, AnswersAreTheServersRecordsForOwnRequestsNotOthersOrTheEarlierContents) {
  auto server = fake("decoy", "FakeV1_01");
  station::Board board("FakeV1_01", 5000);
  // The server's contents already answer a read of 0x38 (with 0xDEAD); that answered some
  // earlier command and must not be taken for this one.
  EXPECT_EQ(board.read(0x38), 1u);
  auto answers = board.transact({Request{1, 0x10, 7, 0xF, true}, Request{2, 0xA003, 0, 0xFFFFFFFF},
                                 Request{1, 0x38, 0x41, 0xFFFFFFFF}});
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].value, 8u);
  EXPECT_EQ(answers[0].mask, 0xFu);
  EXPECT_EQ(answers[1].method, 2);
  EXPECT_EQ(answers[1].addr, 0xA003u);
  EXPECT_EQ(answers[2].value, 0x42u);
}

TEST(StationBoard, EarlierContentsAreNeverTakenForAnAnswer) {
  auto server = fake("silent", "FakeV1_02");
  station::Board board("FakeV1_02", 1500);
  EXPECT_THROW(board.read(0x38), station::Timeout);
}

TEST(StationBoard, ThreadsEachGetTheirOwnAnswers) {
  auto server = fake("decoy", "FakeV1_03");
  station::Board shared("FakeV1_03", 5000);
  std::atomic<int> wrong{0}, failed{0};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      // A second Board of the same board in the same process shares its turn.
      station::Board own("FakeV1_03", 5000);
      for (uint32_t i = 0; i < 25; ++i) {
        const uint32_t addr = 0x100 * (t + 1) + 4 * i;
        try {
          if ((t % 2 == 0 ? shared : own).write(addr, i) != i + 1) ++wrong;
        } catch (const station::Error &) {
          ++failed;
        }
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(failed.load(), 0);
}

TEST(StationBoard, ServerRunningADownloadGivesBoardBusyWithItsShare) {
  auto server = fake("busy", "FakeV1_04");
  station::Board board("FakeV1_04", 1500);
  try {
    board.read(0x38);
    FAIL() << "a server that does not answer gave a value";
  } catch (const station::BoardBusy &e) {
    EXPECT_STREQ(e.what(), "board FakeV1_04 is busy with a download (42 %)");
  }
  LOADPROGRESS p;
  ASSERT_TRUE(board.last_progress(p));
  EXPECT_EQ(p.state, static_cast<uint32_t>(LOAD_RUNNING));
}

TEST(StationBoard, UnknownBoardIsNoLink) {
  name_server();
  station::Board board("NoSuchV2_25", 10000);
  try {
    board.read(0x38);
    FAIL() << "an unknown board gave a value";
  } catch (const station::NoLink &e) {
    EXPECT_NE(std::string(e.what()).find("does not know board NoSuchV2_25"), std::string::npos)
        << e.what();
  }
}

TEST(StationBoard, ServerLostDuringATransactionIsNoLinkNotTimeout) {
  auto server = fake("silent", "FakeV1_05");
  station::Board board("FakeV1_05", 8000);
  std::thread killer([&] {
    std::this_thread::sleep_for(300ms);
    server->kill_now();
  });
  EXPECT_THROW(board.read(0x20), station::NoLink);
  killer.join();
}

TEST(StationBoard, TransactionSizeIsChecked) {
  name_server();
  station::Board board("FakeV1_06", 1000);
  EXPECT_TRUE(board.transact({}).empty());
  EXPECT_THROW(board.transact(std::vector<Request>(101)), station::Error);
}

}  // namespace
