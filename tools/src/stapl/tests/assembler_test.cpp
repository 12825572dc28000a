// The text form: how operands, data and layout directives become bytes, and how bad source
// is reported (file name, line number, reason) without ever producing a file.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "stapl/src/jbiexprt.h"
#include "tools/src/stapl/tests/asm_support.h"

namespace {

using stapl_test::be32;
using stapl_test::build;
using stapl_test::errors_of;

std::vector<uint8_t> code_of(const std::vector<uint8_t> &f) {
  const bool f2 = be32(f, 0) == 0x4A414D01u;
  const uint32_t code = be32(f, f2 ? 32 : 24), end = be32(f, f2 ? 36 : 28);
  return std::vector<uint8_t>(f.begin() + code, f.begin() + end);
}

std::string string_at(const std::vector<uint8_t> &f, uint32_t offset) {
  const bool f2 = be32(f, 0) == 0x4A414D01u;
  return reinterpret_cast<const char *>(&f.at(be32(f, f2 ? 12 : 4) + offset));
}

TEST(AssemblerOperands, EachOperandKindIsEncodedAsTheMachineReadsIt) {
  std::vector<uint8_t> f = build(R"(
.format 1
.integer first
.boolean second[8]
start:  PUSH_LITERAL -1
        PUSH_LITERAL 'A'
        PUSH_VARIABLE first
        PUSH_LITERAL second          ; a symbol where a number is expected: its index
        JUMP start
        MOVE_STATE irpause
        PRINT_STRING "a;b#c\n"
        WAIT DRPAUSE, IDLE
        .byte 0x5B, -1
        .word 0x01020304, start
)");
  std::vector<uint8_t> code = code_of(f);
  ASSERT_EQ(code.size(), 5u * 7 + 9 + 2 + 8);
  EXPECT_EQ(code[0], 0x40);
  EXPECT_EQ(be32(code, 1), 0xFFFFFFFFu);
  EXPECT_EQ(be32(code, 6), 65u);
  EXPECT_EQ(code[10], 0x41);
  EXPECT_EQ(be32(code, 11), 0u);  // first symbol
  EXPECT_EQ(be32(code, 16), 1u);  // second symbol
  EXPECT_EQ(code[20], 0x42);
  EXPECT_EQ(be32(code, 21), 0u);  // label start
  EXPECT_EQ(code[25], 0x47);
  EXPECT_EQ(be32(code, 26), 13u);  // IRPAUSE, any letter case
  EXPECT_EQ(code[30], 0x45);
  EXPECT_EQ(string_at(f, be32(code, 31)), "a;b#c\n");  // comment marks inside a string
  EXPECT_EQ(code[35], 0x84);
  EXPECT_EQ(be32(code, 36), 6u);
  EXPECT_EQ(be32(code, 40), 1u);
  EXPECT_EQ(code[44], 0x5B);
  EXPECT_EQ(code[45], 0xFF);
  EXPECT_EQ(be32(code, 46), 0x01020304u);
  EXPECT_EQ(be32(code, 50), 0u);
}

TEST(AssemblerOperands, ForwardLabelsAndProcedureNamesResolveToCodeOffsets) {
  std::vector<uint8_t> f = build(R"(
.action a = one, two
.procedure one
        CALL helper
        RETURN
.procedure two
        JUMP_IF_ZERO done
done:   RETURN
helper: RETURN
)");
  std::vector<uint8_t> code = code_of(f);
  EXPECT_EQ(be32(code, 1), 12u);  // helper: after 5 + 1 + 5 + 1 bytes
  EXPECT_EQ(be32(code, 7), 11u);  // done
  const uint32_t procs = be32(f, 8);
  EXPECT_EQ(be32(f, procs + 9), 0u);       // one starts the code
  EXPECT_EQ(be32(f, procs + 13 + 9), 6u);  // two
}

TEST(AssemblerData, HexAndBinaryDataPutElementZeroInTheLowestBit) {
  std::vector<uint8_t> f = build(R"(
.boolean h[16] = hex 80_01
.boolean b[] = bin 110
.boolean long[12] = hex \
      F0 \
      0
)");
  const size_t symbols = be32(f, 24), data = be32(f, 28);
  EXPECT_EQ(f[data + be32(f, symbols + 5)], 0x01);
  EXPECT_EQ(f[data + be32(f, symbols + 5) + 1], 0x80);
  EXPECT_EQ(be32(f, symbols + 13 + 9), 3u);  // size taken from the digits
  EXPECT_EQ(f[data + be32(f, symbols + 13 + 5)], 0x06);
  EXPECT_EQ(f[data + be32(f, symbols + 26 + 5)], 0x00);  // continuation joined: F00
  EXPECT_EQ(f[data + be32(f, symbols + 26 + 5) + 1], 0x0F);
}

TEST(AssemblerErrors, BadSourceIsReportedWithFileLineAndReason) {
  struct Case {
    const char *source;
    const char *message;
  };
  const Case cases[] = {
      {"\n  FROB 3\n", "bad.stapl:2: unknown instruction 'FROB'"},
      {"PUSH_LITERAL\n", "bad.stapl:1: PUSH_LITERAL takes 1 operand, found 0"},
      {"ADD 1\n", "bad.stapl:1: ADD takes 0 operands, found 1"},
      {"\n\nJUMP nowhere\n", "bad.stapl:3: expected a label, found 'nowhere'"},
      {"x: NOOP\nx: NOOP\n", "bad.stapl:2: label 'x' already defined on line 1"},
      {"PUSH_LITERAL 0x1FFFFFFFF\n", "bad.stapl:1: number '0x1FFFFFFFF' does not fit in 32 bits"},
      {"PRINT_STRING \"open\n", "bad.stapl:1: string without closing quote"},
      {".frob\n", "bad.stapl:1: unknown directive '.frob'"},
      {".integer t[4] compressed = 1\n", "bad.stapl:1: only Boolean arrays can be compressed"},
      {".boolean b[4] = hex 1F\n", "bad.stapl:1: array data has more bits than the 4 elements"},
      {".boolean b[8] = hex 1G\n", "bad.stapl:1: 'G' is not a hexadecimal digit"},
      {".integer t[2] = 1, 2, 3\n", "bad.stapl:1: 3 initial values for 2 elements"},
      {".integer a\n.integer A\n", "bad.stapl:2: symbol 'A' already declared on line 1"},
      {".action go = p\n", "bad.stapl:1: action 'go' names procedure 'p', which is not defined"},
      {".format 1\n.procedure p\nNOOP\n",
       "bad.stapl:2: procedure 'p': a format 1 file has no procedures"},
      {".procedure p\n", "bad.stapl:1: procedure 'p' has no code"},
      {".format 3\n", "bad.stapl:1: format must be 1 (\"Jam 1.1\") or 2 (\"Jam STAPL\"), not 3"},
      {".action a = p sometimes\n",
       "bad.stapl:1: unknown procedure attribute 'sometimes' (use optional, recommended or "
       "always)"},
      {"MOVE_STATE SIDEWAYS\n",
       "bad.stapl:1: expected a TAP state (RESET, IDLE, DRPAUSE, ...), found 'SIDEWAYS'"},
      {"PUSH_VARIABLE 'x\n", "bad.stapl:1: character literal without closing quote"},
      {".integer IDLE\n.word IDLE\n",
       "bad.stapl:2: 'IDLE' is ambiguous: it is both a symbol and a TAP state"},
      {"PRINT_STRING 5 6\n", "bad.stapl:1: PRINT_STRING takes 1 operand, found 2"},
      {"EXPORT_INTEGER key\n", "bad.stapl:1: expected a string, found 'key'"},
      {".byte 300\n", "bad.stapl:1: .byte values must be numbers from -128 to 255"},
      {"NOOP @\n", "bad.stapl:1: unexpected character '@'"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> errors = errors_of(c.source);
    ASSERT_FALSE(errors.empty()) << c.source;
    EXPECT_EQ(errors[0], c.message) << c.source;
  }
}

TEST(AssemblerErrors, AllErrorsAreListedInLineOrderAndAFailedDeclarationIsNotRepeated) {
  std::vector<std::string> errors = errors_of(R"(.boolean b[2] = bin 111
.action a = missing
        PUSH_VARIABLE b
        BOGUS
        JUMP gone
)");
  EXPECT_EQ(errors, (std::vector<std::string>{
                        "bad.stapl:1: array data has more bits than the 2 elements",
                        "bad.stapl:2: action 'a' names procedure 'missing', which is not defined",
                        "bad.stapl:4: unknown instruction 'BOGUS'",
                        "bad.stapl:5: expected a label, found 'gone'",
                    }));
}

TEST(AssemblerErrors, ErrorListStopsAfterFiftyMessages) {
  std::string source;
  for (int i = 0; i < 500; ++i) source += "BOGUS\n";
  std::vector<std::string> errors = errors_of(source);
  ASSERT_EQ(errors.size(), 51u);
  EXPECT_EQ(errors.back(), "bad.stapl: too many errors, giving up");
}

TEST(AssemblerErrors, ArbitraryTextNeverCrashesAndEitherFailsOrMakesAValidFile) {
  // Shreds of real source recombined at random: most lines are wrong in some way.
  const char *pieces[] = {".integer", ".boolean",
                          ".action",  ".procedure",
                          ".note",    ".format",
                          "x",        "y[",
                          "]",        "=",
                          "hex",      "bin",
                          "F0",       "1",
                          "-5",       "0x",
                          "\"s",      "\"t\"",
                          "'",        ",",
                          ":",        "PUSH_LITERAL",
                          "JUMP",     "RETURN",
                          "x:",       "compressed",
                          "optional", "\\",
                          ";",        "#",
                          "\\x4",     "IDLE",
                          "\n"};
  std::mt19937 rng(4242);
  for (int round = 0; round < 2000; ++round) {
    std::string source;
    for (int k = 0; k < 30; ++k) {
      source += pieces[rng() % std::size(pieces)];
      source += (rng() % 4 == 0) ? "\n" : " ";
    }
    stapl::AsmResult r = stapl::assemble(source, "r");
    if (!r.errors.empty()) continue;
    stapl::WriteResult w = stapl::write_bytecode(r.program);
    if (!w.error.empty()) continue;
    EXPECT_EQ(jbi_check_crc(w.bytes.data(), static_cast<int32_t>(w.bytes.size()), nullptr, nullptr),
              0)
        << source;
  }
}

}  // namespace
