#include "platform/lb/sim/trace.h"

#include <cstdio>

namespace lbsim {

void trace_add(Trace &trace, TraceKind kind, uint32_t addr, uint32_t value) {
  TraceRecord &r = trace.ring[trace.written % kTraceCapacity];
  r.seq = static_cast<uint32_t>(trace.written);
  r.kind = kind;
  r.addr = addr;
  r.value = value;
  ++trace.written;
}

void trace_clear(Trace &trace) { trace.written = 0; }

uint64_t trace_dropped(const Trace &trace) {
  return trace.written > kTraceCapacity ? trace.written - kTraceCapacity : 0;
}

std::string trace_format(const TraceRecord &r) {
  char buf[64];
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
    default:
      std::snprintf(buf, sizeof buf, "? %u 0x%X 0x%X", static_cast<unsigned>(r.kind), r.addr,
                    r.value);
      break;
  }
  return buf;
}

}  // namespace lbsim
