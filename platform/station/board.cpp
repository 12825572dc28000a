#include "platform/station/board.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <thread>

#include "dim/src/zol_records.h"
#include "platform/dim/dim_extra.h"
#include "platform/station/answer_match.h"
#include "platform/station/board_state.h"

namespace station {

namespace {

std::string prefix_of(const std::string &name) {
  if (!name.empty() && name.front() == '/') return name;
  return "/ZOL/" + name;
}

std::shared_ptr<TransactionTurn> transaction_lock_of(const std::string &prefix) {
  static std::mutex m;
  static std::map<std::string, std::weak_ptr<TransactionTurn>> locks;
  std::lock_guard lock(m);
  auto &slot = locks[prefix];
  auto held = slot.lock();
  if (!held) {
    held = std::make_shared<TransactionTurn>();
    slot = held;
  }
  return held;
}

void on_registers(const std::weak_ptr<Board::State> &weak, const uint8_t *data, int size,
                  bool fill) {
  auto s = weak.lock();
  if (!s) return;
  std::lock_guard lock(s->m);
  if (fill) {
    s->rw_fill = true;
    s->rw_current = false;
    return;
  }
  s->rw_fill = false;
  if (!s->rw_current) {
    s->rw_current = true;
    return;
  }
  if (s->expected != nullptr && !s->answered && match_answer(*s->expected, data, size, s->answer))
    s->answered = true;
}

void on_progress(const std::weak_ptr<Board::State> &weak, const uint8_t *data, int size,
                 bool fill) {
  auto s = weak.lock();
  if (!s) return;
  std::shared_ptr<std::function<void(const LOADPROGRESS &)>> call;
  LOADPROGRESS p{};
  {
    std::lock_guard lock(s->m);
    s->progress_fill = fill;
    if (fill || size < static_cast<int>(sizeof p)) return;
    std::memcpy(&p, data, sizeof p);
    s->progress = p;
    s->progress_known = true;
    ++s->progress_count;
    call = s->on_progress;
  }
  if (call && *call) (*call)(p);
}

// A request that touches nothing (method 0) and is unique to one transaction of this process.
Request transaction_mark() {
  static std::atomic<uint32_t> count{0};
  return Request{0, static_cast<uint32_t>(getpid()), 0, ++count, false};
}

}  // namespace

int ms_until(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 1;
}

bool Board::State::wait(const std::function<bool()> &done, Clock::time_point deadline) const {
  // The answer would have to come through the very thread that waits for it.
  if (in_subscription_handler())
    throw Error("board " + name + ": a station call cannot wait inside a station callback");
  auto check = [&] {
    std::lock_guard lock(m);
    return done();
  };
  while (!check()) {
    if (Clock::now() >= deadline) return false;
    if (!dim::wait_until(check, ms_until(deadline)))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void Board::State::throw_no_link(const std::string &what) const {
  switch (rw_sub->lookup()) {
    case dim::ServiceLookup::kNoAnswer:
      throw NoLink(what + ": the name server did not answer (is DIM_DNS_NODE right?)");
    case dim::ServiceLookup::kUnknown:
      throw NoLink(what + ": the name server does not know board " + name);
    case dim::ServiceLookup::kFound:
      break;
  }
  throw NoLink(what + ": the server of board " + name + " cannot be reached (No Link)");
}

void Board::State::ensure_link(Clock::time_point deadline) const {
  // A board the name server does not know fails at once; a server that is coming back (its
  // connection lost, the name server still naming it) gets until the deadline.
  bool here = wait(
      [this] {
        return rw_current || (rw_fill && rw_sub->lookup() == dim::ServiceLookup::kUnknown);
      },
      deadline);
  std::lock_guard lock(m);
  if (here && rw_current) return;
  if (rw_fill || rw_sub->lookup() != dim::ServiceLookup::kFound) throw_no_link("board " + name);
  throw Timeout("no answer from the server of board " + name + " within " +
                std::to_string(timeout_ms) + " ms");
}

std::string Board::State::busy_text() const {
  std::lock_guard lock(m);
  if (!progress_known || progress_fill || progress.state != LOAD_RUNNING) return {};
  std::string text = "board " + name + " is busy with a download";
  if (progress.bits_total > 0) {
    unsigned long long pct = 100ULL * progress.bits_shifted / progress.bits_total;
    text += " (" + std::to_string(pct > 100 ? 100 : pct) + " %)";
  }
  return text;
}

Board::Board(std::string name, int timeout_ms) : state_(std::make_shared<State>()) {
  if (name.empty()) throw Error("a board needs a name");
  state_->name = std::move(name);
  state_->prefix = prefix_of(state_->name);
  state_->timeout_ms = timeout_ms > 0 ? timeout_ms : 1;
  state_->transaction_lock = transaction_lock_of(state_->prefix);
  std::weak_ptr<State> weak = state_;
  state_->rw_sub = std::make_unique<Subscription>(
      state_->entry("/SVC/UpdateRegisters"),
      [weak](const uint8_t *d, int n, bool fill) { on_registers(weak, d, n, fill); });
  state_->progress_sub = std::make_unique<Subscription>(
      state_->entry("/SVC/FPGALoadProgress"),
      [weak](const uint8_t *d, int n, bool fill) { on_progress(weak, d, n, fill); });
}

Board::~Board() {
  state_->rw_sub.reset();
  state_->progress_sub.reset();
}

const std::string &Board::name() const { return state_->name; }
const std::string &Board::prefix() const { return state_->prefix; }
int Board::timeout_ms() const { return state_->timeout_ms; }

std::vector<Answer> Board::transact(const std::vector<Request> &requests) {
  if (requests.size() > static_cast<size_t>(kMaxRequests))
    throw Error("a transaction carries at most " + std::to_string(kMaxRequests) +
                " requests, not " + std::to_string(requests.size()));
  if (requests.empty()) return {};
  State &s = *state_;
  const auto deadline = Clock::now() + std::chrono::milliseconds(s.timeout_ms);
  TransactionTurn &turn = *s.transaction_lock;
  if (!turn.take_until(deadline))
    throw Timeout("board " + s.name + ": other transactions of this process took the whole " +
                  std::to_string(s.timeout_ms) + " ms");
  struct GiveBack {
    TransactionTurn &turn;
    ~GiveBack() { turn.give_back(); }
  } give_back{turn};
  s.ensure_link(deadline);

  // A delivery that repeats earlier contents (a subscription sent again, another station's
  // identical read) must not pass for this answer: a last no-access record carries a mark of
  // this transaction, which the server echoes untouched. A full command has no room for it.
  std::vector<Request> sent = requests;
  const bool marked = sent.size() < static_cast<size_t>(kMaxRequests);
  if (marked) sent.push_back(transaction_mark());
  {
    std::lock_guard lock(s.m);
    s.expected = &sent;
    s.answered = false;
  }
  struct Forget {
    State &s;
    ~Forget() {
      std::lock_guard lock(s.m);
      s.expected = nullptr;
    }
  } forget{s};

  const std::vector<uint8_t> bytes = encode_requests(sent);
  std::string why;
  if (!dim::send_command(s.entry("/CMD/ReadWriteRegisters"), bytes.data(),
                         static_cast<int>(bytes.size()), ms_until(deadline), why)) {
    if (why.empty())
      throw Timeout("board " + s.name + ": the command could not be sent within " +
                    std::to_string(s.timeout_ms) + " ms");
    throw NoLink("board " + s.name + ": the command was not sent: " + why);
  }
  s.wait([&s] { return s.answered || s.rw_fill; }, deadline);
  {
    std::lock_guard lock(s.m);
    if (s.answered) {
      std::vector<Answer> answers = std::move(s.answer);
      if (marked) answers.pop_back();
      return answers;
    }
    if (s.rw_fill) s.throw_no_link("board " + s.name + " lost its link during a transaction");
  }
  if (std::string busy = s.busy_text(); !busy.empty()) throw BoardBusy(busy);
  throw Timeout("no answer from the server of board " + s.name + " within " +
                std::to_string(s.timeout_ms) + " ms");
}

uint32_t Board::read(uint32_t addr) {
  return transact({Request{METHOD_LOCAL_BUS, addr, 0, 0xFFFFFFFF, false}}).front().value;
}

uint32_t Board::write(uint32_t addr, uint32_t value, uint32_t mask) {
  return transact({Request{METHOD_LOCAL_BUS, addr, value, mask, true}}).front().value;
}

uint8_t Board::read_i2c(uint32_t addr) {
  return static_cast<uint8_t>(
      transact({Request{METHOD_I2C, addr, 0, 0xFFFFFFFF, false}}).front().value & 0xFF);
}

void Board::write_i2c(uint32_t addr, uint8_t value) {
  transact({Request{METHOD_I2C, addr, value, 0xFFFFFFFF, true}});
}

bool Board::last_progress(LOADPROGRESS &out) const {
  std::lock_guard lock(state_->m);
  if (!state_->progress_known || state_->progress_fill) return false;
  out = state_->progress;
  return true;
}

}  // namespace station
