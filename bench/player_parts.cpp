#include "bench/player_parts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "board/jtag_port.h"
#include "board/pci_init.h"
#include "platform/lb/sim/tap_chain.h"
#include "stapl/src/jbicomp.h"
#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbimain_file.h"
#include "stapl/src/jbistub.h"

namespace zolbench {

std::vector<CompressedBlock> compressed_blocks(const std::vector<uint8_t> &image, int *version) {
  std::vector<CompressedBlock> blocks;
  const unsigned char *p = image.data();
  const auto size = static_cast<int64_t>(image.size());
  JbiHeader h{};
  if (!jbi_read_header(p, size, &h)) return {};
  *version = h.version;
  // Symbol entry: attributes, name offset (16 bits), [2 more bytes in format 2], value
  // (data offset of the initial data), size (the compressed block's length in bytes).
  const uint32_t entry_size = 11u + 2u * static_cast<uint32_t>(h.version);
  if (!jbi_span_ok(size, h.symbol_table, uint64_t{h.symbol_count} * entry_size)) return {};
  const int wide = 2 * h.version;
  for (uint32_t i = 0; i < h.symbol_count; ++i) {
    const unsigned char *entry = p + h.symbol_table + uint64_t{entry_size} * i;
    const uint8_t attr = entry[0] & 0x7F;
    if ((attr & 0x1E) != 0x0E) continue;  // not a compressed array with initial data
    const uint64_t offset = uint64_t{h.data_section} + jbi_be32(entry + 3 + wide);
    const uint32_t length = jbi_be32(entry + 7 + wide);
    if (length < 4 || !jbi_span_ok(size, offset, length)) return {};
    // Every group takes at least 9 bits and yields at most 255 bytes: a stated length
    // beyond that cannot come out of the block, and is not allocated for.
    const uint32_t expanded = jbi_get_dword(p + offset);
    if (expanded > (uint64_t{length - 4} * 8 / 9 + 1) * 255) return {};
    blocks.push_back({p + offset, length, expanded});
  }
  return blocks;
}

bool expand_blocks(const std::vector<CompressedBlock> &blocks, int version,
                   std::vector<uint8_t> *last) {
  for (const CompressedBlock &b : blocks) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[b.expanded > 0 ? b.expanded : 1]);
    if (jbi_uncompress(b.data, b.length, out.get(), b.expanded, version) != b.expanded) {
      return false;
    }
    if (last != nullptr) last->assign(out.get(), out.get() + b.expanded);
  }
  return true;
}

std::unique_ptr<PlayerBoard> PlayerBoard::open(const std::string &name) {
  auto control = lbsim::BoardControl::open(name);
  if (!control) return nullptr;
  control->reset();
  unsetenv("LB_DEVICE");
  setenv("LB_SIM", name.c_str(), 1);
  open_local_bus();  // ends the process if the bus cannot be opened
  return std::unique_ptr<PlayerBoard>(new PlayerBoard(name, std::move(control)));
}

PlayerBoard::~PlayerBoard() {
  control_.reset();
  lbsim::BoardControl::remove(name_);
}

uint64_t PlayerBoard::cycles() {
  lbsim::BoardLock lock = control_->hold_lock();
  return control_->state_unlocked().chain.cycles;
}

lbsim::FpgaState PlayerBoard::fpga() {
  for (const auto &f : control_->fpgas())
    if (f.device == 0) return f.state;
  return {};
}

int PlayerBoard::download(const std::vector<uint8_t> &image) {
  std::fflush(stdout);
  const int saved = dup(1);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0) dup2(null, 1);
  const int result = FPGADownload(image.data(), static_cast<long>(image.size()), "configure");
  std::fflush(stdout);
  if (saved >= 0) {
    dup2(saved, 1);
    close(saved);
  }
  if (null >= 0) close(null);
  return result;
}

namespace {

// From Run-Test/Idle: an IR scan that gives the FPGA (device 0, nearest TDI) `code` and the
// six-bit device 1 BYPASS (all ones, shifted first so that they travel furthest).
void load_instruction(uint32_t code) {
  for (int tms : {1, 1, 0, 0}) jbi_jtag_io(tms, 0, 0);
  for (int i = 0; i < 16; ++i)
    jbi_jtag_io(i == 15, i < 6 ? 1 : static_cast<int>((code >> (i - 6)) & 1), 0);
  jbi_jtag_io(1, 0, 0);  // Update-IR
  jbi_jtag_io(0, 0, 0);  // Run-Test/Idle
}

}  // namespace

void PlayerBoard::reset_tap() {
  for (int i = 0; i < 5; ++i) jbi_jtag_io(1, 0, 0);
}

void PlayerBoard::enter_data_shift() {
  reset_tap();
  jbi_jtag_io(0, 0, 0);  // Run-Test/Idle
  load_instruction(lbsim::kFpgaStartIr);
  load_instruction(lbsim::kFpgaLoadIr);
  for (int tms : {1, 0, 0}) jbi_jtag_io(tms, 0, 0);  // Shift-DR
  // The sync word and the largest length: every later bit is a data bit.
  for (uint32_t word : {lbsim::kFpgaSyncWord, lbsim::kFpgaMaxConfigBits})
    for (int i = 0; i < 32; ++i) jbi_jtag_io(0, static_cast<int>((word >> i) & 1), 0);
}

void PlayerBoard::raw_cycles(uint64_t count, const std::vector<uint8_t> &bits) {
  const std::vector<uint8_t> zero(1, 0);
  const std::vector<uint8_t> &data = bits.empty() ? zero : bits;
  size_t at = 0;
  while (count >= 8) {
    const unsigned byte = data[at];
    for (int b = 0; b < 8; ++b) jbi_jtag_io(0, static_cast<int>((byte >> b) & 1), 0);
    count -= 8;
    if (++at == data.size()) at = 0;
  }
  for (uint64_t b = 0; b < count; ++b) jbi_jtag_io(0, (data[at] >> b) & 1, 0);
}

}  // namespace zolbench
