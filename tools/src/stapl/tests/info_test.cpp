// `stapl info`: the listing of an assembled file, offsets that match the interpreter's error
// addresses, and survival on damaged files.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "stapl/src/jbiexprt.h"
#include "tools/src/stapl/info_listing.h"
#include "tools/src/stapl/tests/asm_support.h"

namespace {

using stapl_test::build;

std::string listing(const std::vector<uint8_t> &f, int *status = nullptr) {
  std::ostringstream out;
  int s = stapl::print_info(out, f, "t.jbc");
  if (status != nullptr) *status = s;
  return out.str();
}

const char *kSource = R"(
.note "TITLE" "Listing test"
.action configure "Load it" = setup, load recommended, check optional
.integer count = 3
.boolean mask[8] = hex A5
.integer table[] = 1, -2
.procedure setup
        PUSH_VARIABLE count
        DRSTOP DRPAUSE
        RETURN
.procedure load
        PRINT_STRING "loading"
        PRINT_FLUSH
        RETURN
.procedure check
        .byte 0x19              ; not an instruction: the run stops here
        RETURN
)";

TEST(InfoListing, ShowsFormatCrcNotesActionsSymbolsAndCode) {
  std::vector<uint8_t> f = build(kSource);
  int status = -1;
  std::string text = listing(f, &status);
  EXPECT_EQ(status, 0);
  for (const char *line : {
           "Format: 2 (Jam STAPL byte-code)\n",
           "  \"TITLE\" = \"Listing test\"\n",
           "  \"configure\" \"Load it\"\n",
           "      \"setup\"\n",
           "      \"load\" (recommended)\n",
           "      \"check\" (optional)\n",
           "  attr 0x14  count  integer = 3\n",
           "  attr 0x0C  mask  Boolean array [8] = hex A5\n",
           "  attr 0x1C  table  integer array [2] = 1, -2\n",
           "       0  PUSH_VARIABLE count\n",
           "       5  DRSTOP DRPAUSE\n",
           "      11  PRINT_STRING \"loading\"\n",
           "      18  (illegal opcode 0x19)\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << text;
  }
  uint16_t crc = 0;
  jbi_check_crc(f.data(), static_cast<int32_t>(f.size()), nullptr, &crc);
  char expected[32];
  std::snprintf(expected, sizeof expected, "CRC: %04X, matched\n", crc);
  EXPECT_NE(text.find(expected), std::string::npos);
}

TEST(InfoListing, DisassemblyOffsetIsTheInterpretersErrorAddress) {
  std::vector<uint8_t> f = build(kSource);
  const char *init[] = {"check=1", nullptr};
  long error_address = -1;
  int exit_code = 0, format = 0;
  int rc = jbi_execute(f.data(), static_cast<long>(f.size()), "configure", init, 0, &error_address,
                       &exit_code, &format);
  ASSERT_EQ(rc, JBI_RC_ILLEGAL_OPCODE);
  std::string offset = std::to_string(error_address);
  std::string text = listing(f);
  std::string line = std::string(8 - offset.size(), ' ') + offset + "  (illegal opcode 0x19)";
  EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

TEST(InfoListing, DamagedCrcIsReportedAndGivesStatusOne) {
  std::vector<uint8_t> f = build(kSource);
  f[80] ^= 1;
  int status = 0;
  std::string text = listing(f, &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(text.find("CRC: mismatch, stored "), std::string::npos);
}

TEST(InfoListing, ShortAndForeignBlocksAreNamedAsSuch) {
  int status = 0;
  std::vector<uint8_t> short_block(52, 0);
  EXPECT_NE(listing(short_block, &status).find("Not a byte-code file: 52 bytes or fewer"),
            std::string::npos);
  EXPECT_EQ(status, 1);
  std::vector<uint8_t> foreign(60, 0);
  foreign[0] = 'J', foreign[1] = 'A', foreign[2] = 'M', foreign[3] = 2;
  EXPECT_NE(listing(foreign).find("identification word 0x4A414D02"), std::string::npos);
}

TEST(InfoListing, EveryPrefixAndRandomDamageOfAFileIsListedWithoutFault) {
  // Run under the sanitizers, this is where a read past the block would show.
  std::vector<uint8_t> f = build(kSource);
  for (size_t n = 0; n < f.size(); ++n) {
    std::vector<uint8_t> prefix(f.begin(), f.begin() + n);
    int status = 0;
    std::string text = listing(prefix, &status);
    EXPECT_EQ(status, 1) << n;  // the stored CRC is gone or cut
    EXPECT_EQ(text.rfind("File: t.jbc", 0), 0u);
  }
  std::mt19937 rng(31337);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> damaged = f;
    for (int k = 0; k < 4; ++k) damaged[rng() % damaged.size()] = static_cast<uint8_t>(rng());
    std::string text = listing(damaged);
    EXPECT_FALSE(text.empty());
  }
}

TEST(InfoListing, LoopingProcedureChainIsShownOnce) {
  std::vector<uint8_t> f = build(R"(
.action a = p, q
.procedure p
        RETURN
.procedure q
        RETURN
)");
  // Entry 1 (q) names itself as its successor.
  const uint32_t procs = stapl_test::be32(f, 8);
  f[procs + 13 + 7] = 1;
  std::string text = listing(f);
  EXPECT_NE(text.find("procedure 1 again: the chain loops"), std::string::npos) << text;
}

}  // namespace
