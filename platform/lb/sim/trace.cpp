#include "platform/lb/sim/trace.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <map>

namespace lbsim {
namespace {

uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// getpid is a system call; a download adds millions of records. A forked child must not
// report its parent's id, so the cache is emptied in every child.
std::atomic<uint32_t> g_pid{0};

}  // namespace

uint32_t current_process_id() {
  uint32_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const bool registered =
        pthread_atfork(nullptr, nullptr, [] { g_pid.store(0, std::memory_order_relaxed); }) == 0;
    (void)registered;
    pid = static_cast<uint32_t>(getpid());
    g_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

namespace {

// Where record number `index` (counted since the last clear) is stored.
uint32_t slot(const Trace &t, uint64_t index) {
  if (index < t.head) return static_cast<uint32_t>(index);
  return t.head + static_cast<uint32_t>((index - t.head) % (t.capacity - t.head));
}

uint32_t capacity_of(const Trace &t) {
  return t.capacity >= kTraceMinCapacity && t.capacity <= kTraceMaxCapacity ? t.capacity
                                                                            : kTraceDefaultCapacity;
}

}  // namespace

void trace_add(Trace &t, TraceKind kind, uint32_t addr, uint32_t value, uint32_t aux) {
  const uint32_t pid = current_process_id();
  if (t.written != 0) {
    TraceRecord &last = t.ring[slot(t, t.written - 1)];
    if (last.kind == kind && last.addr == addr && last.value == value && last.aux == aux &&
        last.pid == pid && last.count != UINT32_MAX) {
      ++last.count;
      return;
    }
  }
  TraceRecord &r = t.ring[slot(t, t.written)];
  r.time_ns = monotonic_ns() - t.start_ns;
  r.pid = pid;
  r.count = 1;
  r.kind = kind;
  r.addr = addr;
  r.value = value;
  r.aux = aux;
  ++t.written;
}

void trace_clear(Trace &t) {
  t.capacity = capacity_of(t);
  if (t.head >= t.capacity) t.head = t.capacity / 4;
  t.written = 0;
}

void trace_switch(Trace &t, bool on) {
  if (on && !t.on) t.start_ns = monotonic_ns();
  t.on = on ? 1 : 0;
}

bool trace_set_capacity(Trace &t, uint32_t capacity) {
  if (capacity < kTraceMinCapacity || capacity > kTraceMaxCapacity) return false;
  t.capacity = capacity;
  t.head = capacity / 4;
  t.written = 0;
  return true;
}

uint64_t trace_dropped(const Trace &t) {
  return t.written > t.capacity ? t.written - t.capacity : 0;
}

std::vector<TraceRecord> trace_records(const Trace &t, size_t *gap) {
  std::vector<TraceRecord> out;
  const uint64_t dropped = trace_dropped(t);
  out.reserve(static_cast<size_t>(t.written - dropped));
  const uint64_t head_end = dropped ? t.head : t.written;
  for (uint64_t i = 0; i < head_end; ++i) out.push_back(t.ring[slot(t, i)]);
  if (gap) *gap = dropped ? out.size() : static_cast<size_t>(t.written);
  for (uint64_t i = head_end + dropped; i < t.written; ++i) out.push_back(t.ring[slot(t, i)]);
  return out;
}

std::string trace_format(const TraceRecord &r) {
  char buf[80];
  switch (r.kind) {
    case TraceKind::kRead:
      std::snprintf(buf, sizeof buf, "R 0x%04X 0x%08X", r.addr, r.value);
      break;
    case TraceKind::kReadFail:
      std::snprintf(buf, sizeof buf, "R 0x%04X FAIL", r.addr);
      break;
    case TraceKind::kWrite:
      std::snprintf(buf, sizeof buf, "W 0x%04X 0x%08X", r.addr, r.value);
      break;
    case TraceKind::kWriteFail:
      std::snprintf(buf, sizeof buf, "W 0x%04X 0x%08X FAIL", r.addr, r.value);
      break;
    case TraceKind::kTck:
      std::snprintf(buf, sizeof buf, "TCK TMS=%u TDI=%u TDO=%u", r.value & 1, (r.value >> 1) & 1,
                    (r.value >> 2) & 1);
      break;
    case TraceKind::kI2cStart:
      return "I2C START";
    case TraceKind::kI2cRestart:
      return "I2C RESTART";
    case TraceKind::kI2cByte:
      std::snprintf(buf, sizeof buf, "I2C BYTE 0x%02X %s", r.value & 0xFF, r.addr ? "ACK" : "NACK");
      break;
    case TraceKind::kI2cRecv:
      std::snprintf(buf, sizeof buf, "I2C RECV 0x%02X", r.value & 0xFF);
      break;
    case TraceKind::kI2cStop:
      return "I2C STOP";
    case TraceKind::kLines:
      std::snprintf(buf, sizeof buf, "LINES 0x%02X DIR 0x%02X", r.value & 0xFF, r.addr & 0xFF);
      break;
    case TraceKind::kSelWrite:
      std::snprintf(buf, sizeof buf, "SEL WRITE %u 0x%X", r.addr & 3, r.value & 0xF);
      break;
    case TraceKind::kSelSelect:
      std::snprintf(buf, sizeof buf, "SEL SELECT %u", r.addr & 3);
      break;
    case TraceKind::kSelReset:
      return "SEL RESET";
    case TraceKind::kTapIr:
      std::snprintf(buf, sizeof buf, "TAP %u IR 0x%0*X", r.addr & 0xFF,
                    static_cast<int>(((r.addr >> 8) & 0xFF) + 3) / 4, r.value);
      break;
    case TraceKind::kTapDr: {
      const uint32_t check = (r.addr >> 16) & 3;
      std::snprintf(buf, sizeof buf, "TAP %u DR 0x%0*X %u BITS%s", r.addr & 0xFF,
                    static_cast<int>(((r.addr >> 8) & 0xFF) + 3) / 4, r.value, r.aux,
                    check == 1   ? " EXPECTED"
                    : check == 2 ? " UNEXPECTED"
                                 : "");
      break;
    }
    default:
      std::snprintf(buf, sizeof buf, "? %u 0x%X 0x%X", static_cast<unsigned>(r.kind), r.addr,
                    r.value);
      break;
  }
  return buf;
}

namespace {

uint32_t class_of(TraceKind kind) {
  switch (kind) {
    case TraceKind::kRead:
    case TraceKind::kReadFail:
      return kTraceClassRead;
    case TraceKind::kWrite:
    case TraceKind::kWriteFail:
      return kTraceClassWrite;
    case TraceKind::kTck:
      return kTraceClassTck;
    case TraceKind::kLines:
    case TraceKind::kSelWrite:
    case TraceKind::kSelSelect:
    case TraceKind::kSelReset:
      return kTraceClassLines;
    case TraceKind::kTapIr:
    case TraceKind::kTapDr:
      return kTraceClassTap;
    default:
      return kTraceClassI2c;
  }
}

}  // namespace

bool trace_filter_keeps(const TraceFilter &f, const TraceRecord &r) {
  if (f.kinds != 0 && (class_of(r.kind) & f.kinds) == 0) return false;
  if (f.pid != 0 && r.pid != f.pid) return false;
  if (f.by_address) {
    const uint32_t c = class_of(r.kind);
    if (c != kTraceClassRead && c != kTraceClassWrite && c != kTraceClassTck) return false;
    const uint32_t addr = c == kTraceClassTck ? 4u : r.addr;
    if (addr < f.addr_lo || addr > f.addr_hi) return false;
  }
  return true;
}

std::vector<std::string> trace_summary(const std::vector<TraceRecord> &records) {
  struct Counts {
    uint64_t reads = 0, writes = 0, read_fails = 0, write_fails = 0;
  };
  std::map<uint32_t, Counts> per_address;
  uint64_t tck = 0, tms_high = 0;
  std::vector<std::string> i2c, tap;
  std::string transaction;
  char buf[96];
  auto append = [&transaction](const std::string &part) {
    if (!transaction.empty()) transaction += ", ";
    transaction += part;
  };
  bool address_next = false;
  for (const TraceRecord &r : records) {
    switch (r.kind) {
      case TraceKind::kRead:
        per_address[r.addr].reads += r.count;
        break;
      case TraceKind::kReadFail:
        per_address[r.addr].read_fails += r.count;
        break;
      case TraceKind::kWrite:
        per_address[r.addr].writes += r.count;
        break;
      case TraceKind::kWriteFail:
        per_address[r.addr].write_fails += r.count;
        break;
      case TraceKind::kTck:
        tck += r.count;
        if (r.value & 1) tms_high += r.count;
        break;
      case TraceKind::kI2cStart:
        if (!transaction.empty()) i2c.push_back("I2C " + transaction);
        transaction.clear();
        append("S");
        address_next = true;
        break;
      case TraceKind::kI2cRestart:
        append("Sr");
        address_next = true;
        break;
      case TraceKind::kI2cByte:
        for (uint32_t n = 0; n < r.count; ++n) {
          if (address_next)
            std::snprintf(buf, sizeof buf, "0x%02X %s %s", r.value & 0xFF,
                          (r.value & 1) ? "R" : "W", r.addr ? "ACK" : "NACK");
          else
            std::snprintf(buf, sizeof buf, "0x%02X %s", r.value & 0xFF, r.addr ? "ACK" : "NACK");
          append(buf);
          address_next = false;
        }
        break;
      case TraceKind::kI2cRecv:
        for (uint32_t n = 0; n < r.count; ++n) {
          std::snprintf(buf, sizeof buf, "RECV 0x%02X", r.value & 0xFF);
          append(buf);
        }
        break;
      case TraceKind::kI2cStop:
        append("P");
        i2c.push_back("I2C " + transaction);
        transaction.clear();
        address_next = false;
        break;
      case TraceKind::kTapIr:
      case TraceKind::kTapDr:
        tap.push_back(trace_format(r));
        break;
      default:
        break;
    }
  }
  if (!transaction.empty()) i2c.push_back("I2C " + transaction);
  std::vector<std::string> out;
  for (const auto &[addr, c] : per_address) {
    std::snprintf(buf, sizeof buf, "ADDR 0x%04X READS %llu WRITES %llu FAILED %llu", addr,
                  static_cast<unsigned long long>(c.reads),
                  static_cast<unsigned long long>(c.writes),
                  static_cast<unsigned long long>(c.read_fails + c.write_fails));
    out.push_back(buf);
  }
  std::snprintf(buf, sizeof buf, "TCK %llu CYCLES TMS-HIGH %llu",
                static_cast<unsigned long long>(tck), static_cast<unsigned long long>(tms_high));
  out.push_back(buf);
  out.insert(out.end(), tap.begin(), tap.end());
  out.insert(out.end(), i2c.begin(), i2c.end());
  return out;
}

}  // namespace lbsim
