// JTAG, wait, print and export instructions. What an instruction hands the scan engine is
// checked by comparing its TCK trace with the trace of the engine called directly with the
// expected arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stapl/src/jbijtag.h"
#include "stapl/src/jbiopcodes.h"
#include "stapl/src/tests/core_run.h"
#include "stapl/src/tests/support/bytecode_builder.h"

namespace {

using playertest::bytecode::Builder;
using playertest::run::Outcome;
using playertest::run::run;

struct Cycle {
  int tms, tdi;
  bool operator==(const Cycle &) const = default;
};

std::vector<Cycle> recorded() {
  std::vector<Cycle> out;
  for (const auto &c : playertest::port::trace()) out.push_back({c.tms, c.tdi});
  return out;
}

template <typename Calls>
std::vector<Cycle> reference(Calls calls) {
  playertest::port::reset();
  jbi_init_jtag();
  calls();
  std::vector<Cycle> out = recorded();
  jbi_free_jtag_padding_buffers(0);
  return out;
}

std::vector<uint8_t> finish(Builder &b) {
  b.procedure("p", 0, 0, 0);
  b.action("main", 0);
  return b.build();
}

TEST(Scans, ValueScanShiftsBitIOfTheValueAsScanBitI) {
  Builder b(1);
  b.push({3, 0x5});
  b.op(OP_DRSCAN_VALUE);
  b.push({0});
  b.op(OP_EXIT);
  const Outcome o = run(b.build());
  ASSERT_EQ(o.result, 0);
  const auto got = recorded();
  const uint8_t bits[] = {0x05};
  EXPECT_EQ(got, reference([&] { jbi_do_drscan(3, bits, 0); }));
}

TEST(Scans, CapturedValueKeepsTheUnscannedBitsOfTheValue) {
  Builder b(1);
  b.push({4, 0xFF});
  b.op(OP_IRSCAN_VALUE_CAPTURE);
  b.op(OP_EXIT);
  playertest::port::reset();
  const auto image = b.build();
  // The script is consumed by the capture cycles only.
  long error = 0;
  int exit_code = 0, format = 0;
  playertest::port::set_tdo_script({1, 0, 1, 0});
  ASSERT_EQ(jbi_execute(image.data(), static_cast<long>(image.size()), nullptr, nullptr, 0, &error,
                        &exit_code, &format),
            0);
  EXPECT_EQ(exit_code, 0xF5);
  EXPECT_EQ(playertest::port::tdo_reads(), 4);
}

TEST(Scans, ValueCountsAbove32AndNegativePaddingCountsAreRefused) {
  Builder b(1);
  b.push({33, 1});
  b.op(OP_DRSCAN_VALUE);
  EXPECT_EQ(run(b.build()).result, 11);
  EXPECT_TRUE(playertest::port::trace().empty());
  Builder c(1);
  c.push({-1});
  c.op(OP_IR_PREAMBLE);
  EXPECT_EQ(run(c.build()).result, 11);
}

TEST(Scans, Format2ArrayScanRunsBackwardWhenTheFirstIndexIsTheLarger) {
  for (bool reversed : {false, true}) {
    Builder b(2);
    const uint32_t data = b.bool_array_init("D", 8, {0xB1});
    b.push(reversed ? std::initializer_list<int32_t>{8, 0, 7}
                    : std::initializer_list<int32_t>{8, 7, 0});
    b.op(OP_DRSCAN_ARRAY, data);
    b.op(OP_RETURN);
    const Outcome o = run(finish(b));
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.live_blocks, 0);
    const auto got = recorded();
    const uint8_t expected[] = {static_cast<uint8_t>(reversed ? 0x8D : 0xB1)};
    EXPECT_EQ(got, reference([&] { jbi_do_drscan(8, expected, 0); })) << reversed;
  }
}

TEST(Scans, ArrayRangeBeyondTheArrayIsRefusedBeforeAnyCycle) {
  Builder b(1);
  const uint32_t data = b.bool_array("D", 8);
  b.push({9, 0});  // count 9 from bit 0
  b.op(OP_IRSCAN_ARRAY, data);
  EXPECT_EQ(run(b.build()).result, 11);
  EXPECT_TRUE(playertest::port::trace().empty());
}

TEST(Scans, CaptureLongerThanItsRangeEndsWith11BeforeShifting) {
  Builder b(2);
  const uint32_t in = b.bool_array("I", 16);
  const uint32_t out = b.bool_array("O", 16);
  b.push({9, 15, 0, 7, 0});  // count 9; scan 0..15; capture 0..7
  const uint32_t at = b.op(OP_DRSCAN_ARRAY_CAPTURE, in, out);
  const Outcome o = run(finish(b));
  EXPECT_EQ(o.result, 11);
  EXPECT_EQ(o.error_address, at);
  EXPECT_TRUE(playertest::port::trace().empty());
}

TEST(Scans, CaptureIntoFileDataGoesToAPrivateCopy) {
  Builder b(2);
  const uint32_t in = b.bool_array("I", 8);
  const uint32_t out = b.bool_array_init("O", 8, {0x00});
  b.push({4, 3, 0, 7, 4});  // count 4; scan 0..3; capture 4..7
  b.op(OP_DRSCAN_ARRAY_CAPTURE, in, out);
  b.push({0, 7});
  b.op(OP_PUSH_BOOL_RANGE, out);
  b.op(OP_EXIT);
  const auto image = finish(b);
  const auto before = image;
  playertest::port::reset();
  playertest::port::set_tdo_script({1, 1, 0, 1});
  long error = 0;
  int exit_code = 0, format = 0;
  ASSERT_EQ(jbi_execute(image.data(), static_cast<long>(image.size()), "main", nullptr, 0, &error,
                        &exit_code, &format),
            0);
  EXPECT_EQ(exit_code, 0xB0);  // captured 1,1,0,1 into elements 4..7
  EXPECT_EQ(image, before);
}

TEST(Scans, Format1CaptureIntoArrayWithInitialDataIsRefused) {
  Builder b(1);
  const uint32_t in = b.bool_array("I", 8);
  const uint32_t out = b.bool_array_init("O", 8, {0x00});
  b.push({4, 0, 0});
  b.op(OP_IRSCAN_ARRAY_CAPTURE, in, out);
  EXPECT_EQ(run(b.build()).result, 11);
}

TEST(Scans, ValuePaddingIsHandedOverThroughFourBytes) {
  Builder b(1);
  b.push({4, 0xA});
  b.op(OP_DR_PREAMBLE_VALUE);
  b.push({1, 1});
  b.op(OP_DRSCAN_VALUE);
  b.push({0});
  b.op(OP_EXIT);
  ASSERT_EQ(run(b.build()).result, 0);
  const auto got = recorded();
  const uint8_t pad[] = {0x0A}, one[] = {0x01};
  EXPECT_EQ(got, reference([&] {
              jbi_set_dr_preamble(4, 0, pad);
              jbi_do_drscan(1, one, 0);
            }));
}

TEST(Waits, NothingToDoClocksNothingAndAnEndStateOnlyMoves) {
  Builder b(1);
  b.push({0, 0});
  b.op(OP_WAIT, IDLE, IDLE);
  b.push({0});
  b.op(OP_EXIT);
  ASSERT_EQ(run(b.build()).result, 0);
  EXPECT_TRUE(playertest::port::trace().empty());

  Builder c(1);
  c.push({0, 0});
  c.op(OP_WAIT, IDLE, DRPAUSE);
  c.push({0});
  c.op(OP_EXIT);
  ASSERT_EQ(run(c.build()).result, 0);
  const auto got = recorded();
  EXPECT_EQ(got, reference([] { jbi_goto_jtag_state(DRPAUSE); }));
  EXPECT_EQ(playertest::port::delay_calls(), 0);
}

TEST(Waits, Format2WaitDropsTwoMoreValuesOrEndsWith20) {
  Builder b(2);
  b.push({77, 66, 0, 0});
  b.op(OP_WAIT, IDLE, IDLE);
  b.op(OP_EXIT);
  EXPECT_EQ(run(finish(b)).result, 20);  // nothing left to exit with
  Builder c(2);
  c.push({5, 77, 66, 0, 0});
  c.op(OP_WAIT, IDLE, IDLE);
  c.op(OP_EXIT);
  EXPECT_EQ(run(finish(c)).exit_code, 5);
  Builder d(2);
  d.push({0, 0});
  d.op(OP_WAIT, IDLE, IDLE);
  EXPECT_EQ(run(finish(d)).result, 20);
}

// ---- message text ----

std::string printed_by(std::initializer_list<int32_t> values, uint8_t opcode) {
  Builder b(1);
  for (int32_t v : values) {
    b.push({v});
    b.op(opcode);
  }
  b.op(OP_PRINT_FLUSH);
  b.push({0});
  b.op(OP_EXIT);
  return run(b.build()).printed;
}

TEST(Printing, CharactersOutsidePlainAsciiBecome127) {
  EXPECT_EQ(printed_by({65, 0, 200, -1}, OP_PRINT_CHAR), "A\x7F\x7F\x7F\n");
}

TEST(Printing, IntegersIncludingTheMostNegative) {
  EXPECT_EQ(printed_by({INT32_MIN, 7}, OP_PRINT_INTEGER), "-21474836487\n");
}

TEST(Printing, FlushPrintsOneLineAndEmptiesTheText) {
  Builder b(1);
  const uint32_t hello = b.string("hello");
  b.op(OP_PRINT_STRING, hello);
  b.op(OP_PRINT_FLUSH);
  b.op(OP_PRINT_FLUSH);
  b.op(OP_PRINT_STRING, hello);  // never flushed: dropped at the end
  b.push({0});
  b.op(OP_EXIT);
  EXPECT_EQ(run(b.build()).printed, "hello\n\n");
}

TEST(Printing, TextStopsAt1024Characters) {
  Builder b(1);
  const uint32_t fill = b.string(std::string(1020, 'x'));
  const uint32_t tail = b.string("ABCDEFG");
  b.op(OP_PRINT_STRING, fill);
  b.op(OP_PRINT_STRING, tail);
  b.push({5});
  b.op(OP_PRINT_INTEGER);  // full: adds nothing
  b.op(OP_PRINT_FLUSH);
  b.push({0});
  b.op(OP_EXIT);
  EXPECT_EQ(run(b.build()).printed, std::string(1020, 'x') + "ABCD\n");
}

TEST(Printing, StringOffsetOutsideTheFileGives11) {
  Builder b(1);
  const uint32_t at = b.op(OP_PRINT_STRING, 0x7FFFFFF0);
  const Outcome o = run(b.build());
  EXPECT_EQ(o.result, 11);
  EXPECT_EQ(o.error_address, at);
}

// ---- export ----

class Export : public testing::Test {
 protected:
  void SetUp() override { verbose = 1; }
  void TearDown() override { verbose = 0; }
};

TEST_F(Export, IntegerGoesToTheHostUnderItsKey) {
  Builder b(1);
  const uint32_t key = b.string("USERCODE");
  b.push({-5});
  b.op(OP_EXPORT_INTEGER, key);
  b.push({0});
  b.op(OP_EXIT);
  EXPECT_EQ(run(b.build()).printed, "Export: key = \"USERCODE\", value = -5\n");
}

std::string export_range(int32_t start, int32_t end, std::vector<uint8_t> bytes) {
  Builder b(2);
  const uint32_t key = b.string("K");
  const int32_t size = static_cast<int32_t>(bytes.size() * 8);
  const uint32_t data = b.bool_array_init("D", size, std::move(bytes));
  b.push({end, start, static_cast<int32_t>(data)});
  b.op(OP_EXPORT_BOOL_ARRAY, key);
  b.op(OP_RETURN);
  const Outcome o = run(finish(b));
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.live_blocks, 0);
  return o.printed;
}

TEST_F(Export, AlignedRangePassesTheArrayBytesUnalignedACopy) {
  EXPECT_EQ(export_range(8, 15, {0x5A, 0xC3}), "Export: key = \"K\", 8 bits, value = HEX C3\n");
  EXPECT_EQ(export_range(3, 10, {0x5A, 0xC3}), "Export: key = \"K\", 8 bits, value = HEX 6B\n");
}

TEST_F(Export, ArraysOver288BitsArePrintedInLines) {
  const std::string one_line = export_range(0, 287, std::vector<uint8_t>(40, 0xFF));
  EXPECT_EQ(one_line, "Export: key = \"K\", 288 bits, value = HEX " + std::string(72, 'F') + "\n");
  const std::string lines = export_range(0, 299, std::vector<uint8_t>(40, 0xFF));
  EXPECT_EQ(lines,
            "Export: key = \"K\", 300 bits, value = HEX\n" + std::string(72, 'F') + "\nFFF\n");
}

TEST_F(Export, InvertedOrOutOfRangeExportsGive11) {
  Builder b(2);
  const uint32_t key = b.string("K");
  const uint32_t data = b.bool_array("D", 16);
  b.push({3, 10, static_cast<int32_t>(data)});  // end 3 < start 10
  b.op(OP_EXPORT_BOOL_ARRAY, key);
  EXPECT_EQ(run(finish(b)).result, 11);
  Builder c(2);
  const uint32_t key2 = c.string("K");
  const uint32_t data2 = c.bool_array("D", 16);
  c.push({16, 0, static_cast<int32_t>(data2)});
  c.op(OP_EXPORT_BOOL_ARRAY, key2);
  const Outcome o = run(finish(c));
  EXPECT_EQ(o.result, 11);
  EXPECT_EQ(o.printed, "");
}

}  // namespace
