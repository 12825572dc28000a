// The library's server and client halves in one process, talking through a name server of
// the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "testing/name_server.h"
#include "testing/process.h"

namespace {

using zoltest::wait_for;
using namespace std::chrono_literals;

// Deliveries seen by one subscription callback.
struct Inbox {
  std::mutex m;
  std::vector<std::vector<uint8_t>> items;
  std::vector<bool> fill;

  void add(const void *data, int size) {
    std::lock_guard lock(m);
    auto p = static_cast<const uint8_t *>(data);
    items.emplace_back(p, p + size);
    fill.push_back(dim::delivering_fill());
  }
  std::size_t count() {
    std::lock_guard lock(m);
    return items.size();
  }
  std::vector<uint8_t> last() {
    std::lock_guard lock(m);
    return items.empty() ? std::vector<uint8_t>{} : items.back();
  }
  bool last_is_fill() {
    std::lock_guard lock(m);
    return !fill.empty() && fill.back();
  }
};

Inbox inboxes[4];
void into_inbox(long *tag, void *data, int *size) { inboxes[*tag].add(data, *size); }

std::vector<uint8_t> bytes_of(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

class DimLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(dns_.port(), 0);
    dns_.use();
    for (auto &i : inboxes) {
      std::lock_guard lock(i.m);
      i.items.clear();
      i.fill.clear();
    }
  }
  void TearDown() override { dim::shutdown(); }

  zoltest::NameServerProcess dns_;
};

// ---- commands ----

std::mutex g_cmd_mutex;
std::vector<uint8_t> g_cmd_bytes;
long g_cmd_tag = 0;
std::atomic<int> g_cmd_count{0};
void record_command(long *tag, void *data, int *size) {
  std::lock_guard lock(g_cmd_mutex);
  auto p = static_cast<uint8_t *>(data);
  g_cmd_bytes.assign(p, p + *size);
  g_cmd_tag = *tag;
  ++g_cmd_count;
}

TEST_F(DimLibrary, CommandReachesItsHandlerWithExactBytesAndTag) {
  g_cmd_count = 0;
  ASSERT_NE(dis_add_cmnd_("/LIB/A/CMD", "L", record_command, 42), 0u);
  ASSERT_EQ(dis_start_serving_("/LIB/A/SERVER"), 1);
  uint32_t record[5] = {1, 0x38, 5, 0xFFFFFFFF, 1};
  ASSERT_EQ(dic_cmnd_service_("/LIB/A/CMD", record, 20), 1);
  ASSERT_TRUE(wait_for([] { return g_cmd_count == 1; }));
  std::lock_guard lock(g_cmd_mutex);
  ASSERT_EQ(g_cmd_bytes.size(), 20u);
  EXPECT_EQ(std::memcmp(g_cmd_bytes.data(), record, 20), 0);
  EXPECT_EQ(g_cmd_tag, 42);
}

TEST_F(DimLibrary, EmptyAndLargestCommandsArriveWhole) {
  g_cmd_count = 0;
  ASSERT_NE(dis_add_cmnd_("/LIB/B/CMD", "L", record_command, 0), 0u);
  ASSERT_EQ(dis_start_serving_("/LIB/B/SERVER"), 1);
  std::string error;
  ASSERT_TRUE(dim::send_command("/LIB/B/CMD", nullptr, 0, 5000, error)) << error;
  ASSERT_TRUE(wait_for([] { return g_cmd_count == 1; }));
  EXPECT_TRUE(g_cmd_bytes.empty());

  std::vector<uint8_t> big(dim::wire::kMaxPayload);
  std::iota(big.begin(), big.end(), uint8_t{7});
  ASSERT_TRUE(
      dim::send_command("/LIB/B/CMD", big.data(), static_cast<int>(big.size()), 20000, error))
      << error;
  ASSERT_TRUE(wait_for([] { return g_cmd_count == 2; }, 20000ms));
  std::lock_guard lock(g_cmd_mutex);
  EXPECT_TRUE(g_cmd_bytes == big);
}

TEST_F(DimLibrary, CommandOverTheLimitOrUnknownIsReportedNotSent) {
  std::string error;
  std::vector<uint8_t> over(dim::wire::kMaxPayload + 1);
  EXPECT_FALSE(
      dim::send_command("/LIB/C/CMD", over.data(), static_cast<int>(over.size()), 5000, error));
  EXPECT_NE(error.find("over the limit"), std::string::npos) << error;
  EXPECT_FALSE(dim::send_command("/LIB/NOBODY/CMD", over.data(), 4, 5000, error));
  EXPECT_NE(error.find("not known"), std::string::npos) << error;
}

// ---- services ----

uint32_t g_value = 0;

TEST_F(DimLibrary, FirstDeliveryIsCurrentContentsThenEveryUpdateToEverySubscriber) {
  g_value = 7;
  const int id = dis_add_service_("/LIB/D/SVC", "L", &g_value, 4, nullptr, 0);
  ASSERT_GT(id, 0);
  ASSERT_EQ(dis_start_serving_("/LIB/D/SERVER"), 1);
  for (long t = 1; t <= 3; ++t)
    ASSERT_NE(dic_info_service_("/LIB/D/SVC", MONITORED, 0, nullptr, 0, into_inbox, t,
                                const_cast<char *>("No Link"), 8),
              0u);
  for (int t = 1; t <= 3; ++t) {
    ASSERT_TRUE(wait_for([t] { return inboxes[t].count() == 1; })) << t;
    EXPECT_EQ(inboxes[t].last(), bytes_of(7));
  }
  // Contents are taken when the update is made, not when it is sent.
  g_value = 8;
  dis_update_service_(id);
  for (int t = 1; t <= 3; ++t) {
    ASSERT_TRUE(wait_for([t] { return inboxes[t].count() == 2; })) << t;
    EXPECT_EQ(inboxes[t].last(), bytes_of(8));
    EXPECT_FALSE(inboxes[t].last_is_fill());
  }
}

std::vector<uint8_t> g_table;
void build_table(long *, void **address, int *size) {
  *address = g_table.data();
  *size = static_cast<int>(g_table.size());
}

TEST_F(DimLibrary, BufferRoutineGivesTheContentsIncludingAnEmptyOne) {
  g_table = {1, 2, 3, 4, 5, 6, 7, 8};
  const int id = dis_add_service_("/LIB/E/SVC", "L", nullptr, 0, build_table, 0);
  ASSERT_EQ(dis_start_serving_("/LIB/E/SERVER"), 1);
  dic_info_service_("/LIB/E/SVC", MONITORED, 0, nullptr, 0, into_inbox, 1, nullptr, 0);
  ASSERT_TRUE(wait_for([] { return inboxes[1].count() == 1; }));
  EXPECT_EQ(inboxes[1].last(), g_table);
  g_table.clear();
  dis_update_service_(id);
  ASSERT_TRUE(wait_for([] { return inboxes[1].count() == 2; }));
  EXPECT_TRUE(inboxes[1].last().empty());
  EXPECT_FALSE(inboxes[1].last_is_fill());
}

TEST_F(DimLibrary, UnknownServiceGetsTheFillDataOnce) {
  dic_info_service_("/LIB/NOBODY/SVC", MONITORED, 0, nullptr, 0, into_inbox, 2,
                    const_cast<char *>("No Link"), 8);
  ASSERT_TRUE(wait_for([] { return inboxes[2].count() >= 1; }));
  EXPECT_EQ(inboxes[2].last(), std::vector<uint8_t>({'N', 'o', ' ', 'L', 'i', 'n', 'k', 0}));
  EXPECT_TRUE(inboxes[2].last_is_fill());
  // Retries go on in the background; they do not repeat the fill.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(inboxes[2].count(), 1u);
}

TEST_F(DimLibrary, SubscriptionMadeBeforeTheServerStartsConnectsWhenItAppears) {
  g_value = 3;
  dic_info_service_("/LIB/F/SVC", MONITORED, 0, nullptr, 0, into_inbox, 3,
                    const_cast<char *>("No Link"), 8);
  ASSERT_TRUE(wait_for([] { return inboxes[3].last_is_fill(); }));
  dis_add_service_("/LIB/F/SVC", "L", &g_value, 4, nullptr, 0);
  ASSERT_EQ(dis_start_serving_("/LIB/F/SERVER"), 1);
  ASSERT_TRUE(wait_for([] { return inboxes[3].last() == bytes_of(3); }, 5000ms));
}

// ---- one dispatch thread ----

std::atomic<int> g_inside{0};
std::atomic<int> g_overlaps{0};
std::atomic<int> g_calls{0};
std::mutex g_threads_mutex;
std::vector<std::thread::id> g_threads;

void enter() {
  if (++g_inside != 1) ++g_overlaps;
  {
    std::lock_guard lock(g_threads_mutex);
    g_threads.push_back(std::this_thread::get_id());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ++g_calls;
  --g_inside;
}
int g_serial_svc = 0;
void serial_command(long *, void *, int *) {
  enter();
  dis_update_service_(g_serial_svc);
}
void serial_routine(long *, void **address, int *size) {
  enter();
  *address = &g_value;
  *size = 4;
}
void serial_callback(long *, void *, int *) { enter(); }
void serial_timer(long) { enter(); }

TEST_F(DimLibrary, HandlersRoutinesTimersAndCallbacksNeverOverlap) {
  g_calls = 0;
  g_overlaps = 0;
  g_threads.clear();
  dis_add_cmnd_("/LIB/G/CMD", "L", serial_command, 0);
  g_serial_svc = dis_add_service_("/LIB/G/SVC", "L", nullptr, 0, serial_routine, 0);
  ASSERT_EQ(dis_start_serving_("/LIB/G/SERVER"), 1);
  for (int i = 0; i < 3; ++i)
    dic_info_service_("/LIB/G/SVC", MONITORED, 0, nullptr, 0, serial_callback, 0, nullptr, 0);
  dtq_start_timer(1, serial_timer, 1);
  dtq_start_timer(1, serial_timer, 2);
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t)
    senders.emplace_back([] {
      uint32_t w = 1;
      for (int i = 0; i < 25; ++i) dic_cmnd_service_("/LIB/G/CMD", &w, 4);
    });
  for (auto &s : senders) s.join();
  // 100 commands, their buffer routine runs, deliveries and two timers.
  ASSERT_TRUE(wait_for([] { return g_calls >= 202; }, 15000ms)) << g_calls;
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(g_overlaps, 0);
  std::lock_guard lock(g_threads_mutex);
  for (auto id : g_threads) EXPECT_EQ(id, g_threads.front());
}

// ---- timers ----

std::atomic<int> g_fired[4];
void count_timer(long tag) { ++g_fired[tag]; }
void rearming_timer(long tag) {
  ++g_fired[tag];
  if (g_fired[tag] < 2) dtq_start_timer(1, rearming_timer, tag);
}

TEST_F(DimLibrary, TimerRunsOnceStopCancelsAndRoutineCanRearm) {
  for (auto &f : g_fired) f = 0;
  dtq_start_timer(1, count_timer, 1);
  dtq_start_timer(1, count_timer, 2);
  dtq_stop_timer(2);
  dtq_start_timer(1, rearming_timer, 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(g_fired[1], 1);
  EXPECT_EQ(g_fired[2], 0);
  EXPECT_EQ(g_fired[3], 2);
  EXPECT_EQ(dtq_stop_timer(99), 1);  // stopping a tag with no timer is harmless
}

// ---- commands from callbacks ----

// Each update's callback sends the next command: the client's one thread receives and sends,
// so nothing may wait for another thread to write the command.
std::atomic<uint32_t> g_pong_last{0};
std::atomic<int> g_pong_handled{0};
uint32_t g_pong_value = 0;
int g_pong_svc = 0;
void pong_command(long *, void *data, int *size) {
  if (*size == 4) std::memcpy(&g_pong_value, data, 4);
  ++g_pong_handled;
  dis_update_service_(g_pong_svc);
}
void ping_callback(long *, void *data, int *size) {
  if (*size != 4) return;
  uint32_t v;
  std::memcpy(&v, data, 4);
  g_pong_last = v;
  if (v == 0 || v >= 50) return;
  ++v;
  dic_cmnd_service_("/LIB/P/CMD", &v, 4);
}

TEST_F(DimLibrary, CallbackSendsTheNextCommandAndEveryUpdateComesBack) {
  g_pong_value = 0;
  g_pong_handled = 0;
  dis_add_cmnd_("/LIB/P/CMD", "L", pong_command, 0);
  g_pong_svc = dis_add_service_("/LIB/P/SVC", "L", &g_pong_value, 4, nullptr, 0);
  ASSERT_EQ(dis_start_serving_("/LIB/P/SERVER"), 1);
  dic_info_service_("/LIB/P/SVC", MONITORED, 0, nullptr, 0, ping_callback, 0, nullptr, 0);
  uint32_t first = 1;
  std::string error;
  ASSERT_TRUE(dim::send_command("/LIB/P/CMD", &first, 4, 5000, error)) << error;
  ASSERT_TRUE(wait_for([] { return g_pong_last == 50; })) << g_pong_last;
  EXPECT_EQ(g_pong_handled, 50);
}

// Commands from the main thread go out directly when their connection is idle and are queued
// behind the others when it is not; either way they must arrive whole and in order.
std::mutex g_seq_mutex;
std::vector<uint32_t> g_seq;
void record_sequence(long *, void *data, int *size) {
  if (*size < 4) return;
  uint32_t v;
  std::memcpy(&v, data, 4);
  std::lock_guard lock(g_seq_mutex);
  g_seq.push_back(v);
}

TEST_F(DimLibrary, CommandsFromOneThreadArriveWholeAndInOrderWhateverTheirSize) {
  {
    std::lock_guard lock(g_seq_mutex);
    g_seq.clear();
  }
  dis_add_cmnd_("/LIB/Q/CMD", "L", record_sequence, 0);
  ASSERT_EQ(dis_start_serving_("/LIB/Q/SERVER"), 1);
  constexpr uint32_t kCount = 300;
  std::vector<uint8_t> data(std::size_t{512} * 1024);
  for (uint32_t i = 0; i < kCount; ++i) {
    // Every fourth starts on an idle connection (written from this thread); the others
    // follow at once. Every tenth is large enough to fill the socket, so it goes out in part
    // and its rest must still come before the commands sent after it.
    if (i % 4 == 1) {
      ASSERT_TRUE(wait_for([i] {
        std::lock_guard lock(g_seq_mutex);
        return g_seq.size() == i;
      }));
    }
    const std::size_t size = i % 10 == 1 ? data.size() : 4 + (i % 7) * 4;
    std::memcpy(data.data(), &i, 4);
    ASSERT_EQ(dic_cmnd_service_("/LIB/Q/CMD", data.data(), static_cast<int>(size)), 1);
  }
  ASSERT_TRUE(wait_for(
      [] {
        std::lock_guard lock(g_seq_mutex);
        return g_seq.size() == kCount;
      },
      20000ms));
  std::lock_guard lock(g_seq_mutex);
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(g_seq[i], i) << "at position " << i;
}

// ---- a name server that accepts but never answers ----

// Accepts connections, counts them, keeps them open and never says a word.
class SilentNameServer {
 public:
  SilentNameServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(fd_, 16);
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const int c = accept(fd_, nullptr, nullptr);
        if (c < 0) continue;
        std::lock_guard lock(m_);
        accepted_.push_back(c);
      }
    });
  }
  ~SilentNameServer() {
    stop_ = true;
    thread_.join();
    for (int c : accepted_) close(c);
    close(fd_);
  }
  void use() const {
    setenv("DIM_DNS_NODE", "127.0.0.1", 1);
    setenv("DIM_DNS_PORT", std::to_string(port_).c_str(), 1);
  }
  std::size_t connections() {
    std::lock_guard lock(m_);
    return accepted_.size();
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<int> accepted_;
  std::thread thread_;
};

class DimSilentNameServer : public ::testing::Test {
 protected:
  void SetUp() override {
    silent_.use();
    dim::set_name_server_timeout(300);
    for (auto &i : inboxes) {
      std::lock_guard lock(i.m);
      i.items.clear();
      i.fill.clear();
    }
  }
  void TearDown() override {
    dim::shutdown();
    dim::set_name_server_timeout(5000);
  }
  SilentNameServer silent_;
};

TEST_F(DimSilentNameServer, SubscriptionGetsTheFillDataAndTheLookupIsRetried) {
  dic_info_service_("/SILENT/SVC", MONITORED, 0, nullptr, 0, into_inbox, 0,
                    const_cast<char *>("No Link"), 8);
  ASSERT_TRUE(wait_for([] { return inboxes[0].last_is_fill(); }, 3000ms))
      << "the lookup never gave up on a name server that does not answer";
  EXPECT_EQ(inboxes[0].count(), 1u);
  // Given up, then tried afresh on a new connection.
  EXPECT_TRUE(wait_for([this] { return silent_.connections() >= 2; }, 4000ms));
}

TEST_F(DimSilentNameServer, CommandFailsWithTheReasonInsteadOfWaitingForEver) {
  std::string error;
  EXPECT_FALSE(dim::send_command("/SILENT/CMD", "abcd", 4, 4000, error));
  EXPECT_NE(error.find("did not answer"), std::string::npos) << error;
}

TEST_F(DimSilentNameServer, ServerRegistrationGivesUpAndTriesAgain) {
  uint32_t v = 1;
  dis_add_service_("/SILENT/S/SVC", "L", &v, 4, nullptr, 0);
  const auto t0 = std::chrono::steady_clock::now();
  // Not refused, only not registered yet: serving goes on and registration is retried.
  EXPECT_EQ(dis_start_serving_("/SILENT/S/SERVER"), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_TRUE(wait_for([this] { return silent_.connections() >= 2; }, 4000ms));
}

// ---- names ----

TEST_F(DimLibrary, SecondServerOfTheSameNameIsRefused) {
  zoltest::Process first(
      {zoltest::test_bin("dim_echo_peer"), "/LIB/H/SERVER", "/LIB/H/SVC", "/LIB/H/CMD"});
  ASSERT_EQ(first.line(), "ready");
  dim::set_exit_on_refusal(false);
  EXPECT_EQ(dis_start_serving_("/LIB/H/SERVER"), 0);
  // The first keeps serving.
  std::string error;
  EXPECT_TRUE(dim::send_command("/LIB/H/CMD", "abcd", 4, 5000, error)) << error;
}

TEST_F(DimLibrary, NameUsedTwiceInOneProcessIsRefused) {
  EXPECT_NE(dis_add_cmnd_("/LIB/I/X", "L", record_command, 0), 0u);
  EXPECT_EQ(dis_add_service_("/LIB/I/X", "L", &g_value, 4, nullptr, 0), 0);
  EXPECT_EQ(dis_add_service_("/LIB/I/Y", "L", nullptr, -1, nullptr, 0), 0);
  EXPECT_EQ(dis_update_service_(12345), 0);
}

}  // namespace
