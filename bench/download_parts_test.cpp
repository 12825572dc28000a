// The parts the download benchmark times must be the work they claim to be: the blocks it
// expands are the file's configuration frame, its raw TCK cycles are data cycles of the
// FPGA like a download's, its in-process run really configures the FPGA, and its raw TCP
// reference really moves every byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/player_parts.h"
#include "bench/raw_tcp.h"
#include "platform/lb/sim/tap_chain.h"

namespace {

std::vector<uint8_t> file_bytes(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "bits N" and "crc 0x..." of the generator's sidecar.
uint32_t sidecar_value(const char *path, const std::string &key) {
  std::ifstream in(path);
  std::string k, v;
  while (in >> k >> v)
    if (k == key) return static_cast<uint32_t>(std::stoul(v, nullptr, 0));
  ADD_FAILURE() << "no " << key << " in " << path;
  return 0;
}

uint32_t word_at_bit(const std::vector<uint8_t> &bytes, size_t bit) {
  uint32_t w = 0;
  for (int i = 0; i < 32; ++i)
    w |= static_cast<uint32_t>((bytes[(bit + i) / 8] >> ((bit + i) % 8)) & 1) << i;
  return w;
}

TEST(CompressedBlocks, TheFileBlockExpandsToItsWholeConfigurationFrame) {
  const auto image = file_bytes(FPGA_CONFIGURE_GOOD_JBC);
  ASSERT_FALSE(image.empty());
  const uint32_t bits = sidecar_value(FPGA_CONFIGURE_GOOD_TXT, "bits");
  int version = -1;
  const auto blocks = zolbench::compressed_blocks(image, &version);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(version, 1);  // a Jam STAPL file
  std::vector<uint8_t> frame;
  ASSERT_TRUE(zolbench::expand_blocks(blocks, version, &frame));
  ASSERT_EQ(frame.size(), blocks[0].expanded);
  // Sync word, length, data, CRC: the whole frame the download shifts into the FPGA.
  ASSERT_GE(frame.size() * 8, bits + 96u);
  EXPECT_EQ(word_at_bit(frame, 0), lbsim::kFpgaSyncWord);
  EXPECT_EQ(word_at_bit(frame, 32), bits);
  EXPECT_EQ(word_at_bit(frame, 64 + bits), sidecar_value(FPGA_CONFIGURE_GOOD_TXT, "crc"));
}

TEST(CompressedBlocks, DamagedFilesGiveNoBlocksInsteadOfReadingOrAllocatingBeyondThem) {
  const auto image = file_bytes(FPGA_CONFIGURE_GOOD_JBC);
  int version = 0;
  const auto blocks = zolbench::compressed_blocks(image, &version);
  ASSERT_EQ(blocks.size(), 1u);
  const size_t block_at = static_cast<size_t>(blocks[0].data - image.data());

  // Cut inside the block.
  std::vector<uint8_t> cut(image.begin(), image.begin() + static_cast<long>(block_at + 100));
  EXPECT_TRUE(zolbench::compressed_blocks(cut, &version).empty());
  // Not a byte-code file at all.
  EXPECT_TRUE(zolbench::compressed_blocks(std::vector<uint8_t>(200, 0x55), &version).empty());
  // A stated length the block cannot produce (4 GiB): refused, nothing allocated for it.
  std::vector<uint8_t> inflated = image;
  for (int i = 0; i < 4; ++i) inflated[block_at + i] = 0xFF;
  EXPECT_TRUE(zolbench::compressed_blocks(inflated, &version).empty());
}

TEST(CompressedBlocks, AStreamThatDoesNotGiveItsStatedLengthFailsTheExpansion) {
  auto image = file_bytes(FPGA_CONFIGURE_GOOD_JBC);
  int version = 0;
  auto blocks = zolbench::compressed_blocks(image, &version);
  ASSERT_EQ(blocks.size(), 1u);
  // One byte less stated than the stream produces: it no longer fits its output.
  zolbench::CompressedBlock shorter = blocks[0];
  shorter.expanded -= 1;
  EXPECT_FALSE(zolbench::expand_blocks({shorter}, version));
}

// One process opens its local bus once, so the board's uses share one test.
TEST(PlayerBoard, DownloadConfiguresTheFpgaAndRawCyclesAreDataCyclesOfTheFpga) {
  const std::string name = "t-dlparts-" + std::to_string(getpid());
  {
    auto board = zolbench::PlayerBoard::open(name);
    ASSERT_NE(board, nullptr);
    const auto image = file_bytes(FPGA_CONFIGURE_GOOD_JBC);
    const uint32_t bits = sidecar_value(FPGA_CONFIGURE_GOOD_TXT, "bits");

    const uint64_t before = board->cycles();
    EXPECT_EQ(board->download(image), 0);
    const uint64_t cycles = board->cycles() - before;
    const auto loaded = board->fpga();
    EXPECT_TRUE(loaded.configured);
    EXPECT_EQ(loaded.bits, bits);
    EXPECT_EQ(loaded.crc, sidecar_value(FPGA_CONFIGURE_GOOD_TXT, "crc"));
    // The frame's bits plus the instruction scans and idle cycles around them.
    EXPECT_GT(cycles, uint64_t{bits} + 96);
    EXPECT_LT(cycles, uint64_t{bits} + 4096);

    // Raw cycles: every one is a data bit the FPGA counts and checksums.
    std::vector<uint8_t> pattern(1250);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 37 + 11);
    board->enter_data_shift();
    const uint64_t raw_start = board->cycles();
    board->raw_cycles(20003, pattern);  // the pattern twice and three bits more
    EXPECT_EQ(board->cycles() - raw_start, 20003u);
    const auto taking = board->fpga();
    EXPECT_TRUE(taking.busy);
    EXPECT_FALSE(taking.configured);
    EXPECT_EQ(taking.bits, 20003u);
    std::vector<uint8_t> fed(pattern);
    fed.insert(fed.end(), pattern.begin(), pattern.end());
    fed.push_back(pattern[0]);
    EXPECT_EQ(taking.crc, lbsim::fpga_crc32(fed.data(), 20003));

    // Back in Test-Logic-Reset the next download configures the FPGA again.
    board->reset_tap();
    EXPECT_EQ(board->download(image), 0);
    EXPECT_TRUE(board->fpga().configured);
  }
  // The board went with its object.
  EXPECT_EQ(lbsim::BoardControl::remove(name), ENOENT);
}

TEST(RawTcpPeer, EveryExchangeMovesAllBytesBeforeTheAnswer) {
  const size_t size = 3 << 20;  // more than the socket buffers hold
  zolbench::RawTcpPeer peer(size);
  ASSERT_TRUE(peer.valid());
  std::vector<uint8_t> bytes(size, 0xA5);
  // The peer answers with the last byte it read, so each answer tells which message ended.
  for (uint8_t last : {1, 2, 3}) {
    bytes.back() = last;
    EXPECT_TRUE(peer.exchange(bytes.data())) << "message ending in " << int{last};
  }
}

}  // namespace
