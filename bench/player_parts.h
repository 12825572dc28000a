// The player's share of a download, run in this process: expansion of the file's compressed
// data, the driver's whole run on a simulated board of our own, and the same number of raw
// TCK cycles through the JTAG port for comparison.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/lb/sim/board_control.h"

namespace zolbench {

// A compressed Boolean array with initial data: its block in the image and the length the
// block states for its expanded data.
struct CompressedBlock {
  const uint8_t *data = nullptr;
  uint32_t length = 0;
  uint32_t expanded = 0;
};

// The compressed blocks of an image, found through its symbol table the way the player finds
// them at start-up; `version` gets the expander's version (0 format 1, 1 format 2). Empty
// when the image is not a byte-code file or a block lies outside it.
std::vector<CompressedBlock> compressed_blocks(const std::vector<uint8_t> &image, int *version);

// Expands every block into fresh storage, as the player's start-up does. False when one does
// not give its stated length. `last` (optional) receives the last block's expanded bytes.
bool expand_blocks(const std::vector<CompressedBlock> &blocks, int version,
                   std::vector<uint8_t> *last = nullptr);

// This process's local bus, opened on a new simulated board that is removed again when the
// object goes. Only one may exist per process: the bus is opened once.
class PlayerBoard {
 public:
  static std::unique_ptr<PlayerBoard> open(const std::string &name);
  ~PlayerBoard();
  PlayerBoard(const PlayerBoard &) = delete;
  PlayerBoard &operator=(const PlayerBoard &) = delete;

  // TCK cycles the board's chain has been clocked so far.
  uint64_t cycles();
  // State of the FPGA at device 0.
  lbsim::FpgaState fpga();

  // FPGADownload of the image's action "configure", as the server runs it; the driver's
  // listing is kept off standard output. Returns the driver's result.
  int download(const std::vector<uint8_t> &image);

  // Starts a configuration and leaves the chain in Shift-DR with the FPGA taking data bits,
  // so that raw cycles cost the board what the data cycles of a download cost.
  void enter_data_shift();
  // `count` jbi_jtag_io cycles with TMS 0, TDI taken bit by bit from `bits` (repeated).
  void raw_cycles(uint64_t count, const std::vector<uint8_t> &bits);
  // Five cycles with TMS 1: the chain back in Test-Logic-Reset.
  void reset_tap();

 private:
  PlayerBoard(std::string name, std::unique_ptr<lbsim::BoardControl> control)
      : name_(std::move(name)), control_(std::move(control)) {}
  std::string name_;
  std::unique_ptr<lbsim::BoardControl> control_;
};

}  // namespace zolbench
