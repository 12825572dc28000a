// Files written by `stapl asm` must read back through the player's own queries and run
// through its interpreter exactly as their source says.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "stapl/src/jbicomp.h"
#include "stapl/src/jbiexprt.h"
#include "tools/src/stapl/tests/asm_support.h"

namespace {

using stapl_test::be32;
using stapl_test::build;

const char *kFormat2 = R"(
.format 2
.note "TITLE" "Board load"
.note "CREATOR" "tests"
.action configure "Configure the FPGA" = reset, program recommended, verify optional
.action check = reset, verify
.integer count = -5
.procedure reset
        NOOP
        RETURN
.procedure program
        RETURN
.procedure verify
        RETURN
)";

int32_t size_of(const std::vector<uint8_t> &f) { return static_cast<int32_t>(f.size()); }

TEST(WriterLayout, Format2HeaderPointsAtTablesInOrderAndCrcMatches) {
  std::vector<uint8_t> f = build(kFormat2);
  ASSERT_GT(f.size(), 68u);
  EXPECT_EQ(be32(f, 0), 0x4A414D01u);
  EXPECT_EQ(be32(f, 12), 68u);  // string table right after the 68-byte header
  const uint32_t crc_section = be32(f, 40);
  EXPECT_EQ(crc_section + 2, f.size());
  EXPECT_EQ(be32(f, 36), crc_section);  // empty debug section
  // Sections follow one another: strings, note strings, notes, actions, procedures, symbols,
  // data, code.
  EXPECT_LE(be32(f, 12), be32(f, 16));
  EXPECT_LE(be32(f, 16), be32(f, 20));
  EXPECT_EQ(be32(f, 20) + 8 * 2, be32(f, 4));    // two notes of 8 bytes
  EXPECT_EQ(be32(f, 4) + 12 * 2, be32(f, 8));    // two actions of 12 bytes
  EXPECT_EQ(be32(f, 8) + 13 * 5, be32(f, 24));   // five procedure entries of 13 bytes
  EXPECT_EQ(be32(f, 24) + 13 * 1, be32(f, 28));  // one symbol of 13 bytes
  EXPECT_EQ(be32(f, 48), 2u);
  EXPECT_EQ(be32(f, 52), 5u);
  EXPECT_EQ(be32(f, 60), 2u);
  EXPECT_EQ(be32(f, 64), 1u);

  uint16_t expected = 0, actual = 1;
  EXPECT_EQ(jbi_check_crc(f.data(), size_of(f), &expected, &actual), JBI_RC_SUCCESS);
  EXPECT_EQ(expected, actual);
  // Every byte before the stored CRC is covered by it.
  for (size_t at : {size_t{5}, size_t{70}, f.size() - 3}) {
    std::vector<uint8_t> damaged = f;
    damaged[at] ^= 0x40;
    EXPECT_EQ(jbi_check_crc(damaged.data(), size_of(damaged), nullptr, nullptr),
              JBI_RC_CRC_MISMATCH)
        << "byte " << at;
  }
}

TEST(WriterLayout, Format2QueriesReturnTheNotesActionsAndProcedures) {
  std::vector<uint8_t> f = build(kFormat2);
  int format = 0, actions = 0, procedures = 0;
  ASSERT_EQ(jbi_get_file_info(f.data(), size_of(f), &format, &actions, &procedures), 0);
  EXPECT_EQ(format, 2);
  EXPECT_EQ(actions, 2);
  EXPECT_EQ(procedures, 5);

  char key[257] = {}, value[257] = {};
  int32_t cursor = 0;
  std::vector<std::string> notes;
  while (jbi_get_note(f.data(), size_of(f), &cursor, key, value, 256) == 0) {
    notes.push_back(std::string(key) + "=" + value);
  }
  EXPECT_EQ(notes, (std::vector<std::string>{"TITLE=Board load", "CREATOR=tests"}));
  char wanted[] = "creator";
  ASSERT_EQ(jbi_get_note(f.data(), size_of(f), nullptr, wanted, value, 256), 0);
  EXPECT_STREQ(value, "tests");

  const char *name = nullptr, *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  ASSERT_EQ(jbi_get_action_info(f.data(), size_of(f), 0, &name, &description, &list), 0);
  EXPECT_STREQ(name, "configure");
  EXPECT_STREQ(description, "Configure the FPGA");
  std::vector<std::string> chain;
  while (list != nullptr) {
    chain.push_back(std::string(list->name) + ":" + std::to_string(list->attributes));
    JBI_PROCINFO *next = list->next;
    jbi_free(list);
    list = next;
  }
  EXPECT_EQ(chain, (std::vector<std::string>{"reset:0", "program:2", "verify:1"}));

  // An action without a description leaves the caller's pointer alone.
  const char *untouched = "previous";
  description = untouched;
  ASSERT_EQ(jbi_get_action_info(f.data(), size_of(f), 1, &name, &description, &list), 0);
  EXPECT_STREQ(name, "check");
  EXPECT_EQ(description, untouched);
  int nodes = 0;
  while (list != nullptr) {
    JBI_PROCINFO *next = list->next;
    jbi_free(list);
    list = next;
    ++nodes;
  }
  EXPECT_EQ(nodes, 2);
}

TEST(WriterLayout, Format1HeaderAndElevenByteSymbolEntries) {
  std::vector<uint8_t> f = build(R"(
.format 1
.note "K" "V"
.integer alpha = 0x12345678
.boolean beta
        PUSH_LITERAL 0
        EXIT
)");
  ASSERT_GT(f.size(), 52u);
  EXPECT_EQ(be32(f, 0), 0x4A414D00u);
  EXPECT_EQ(be32(f, 4), 52u);
  EXPECT_EQ(be32(f, 44), 1u);  // notes
  EXPECT_EQ(be32(f, 48), 2u);  // symbols
  EXPECT_EQ(be32(f, 16) + 2 * 11, be32(f, 20));
  const size_t entry = be32(f, 16);
  EXPECT_EQ(f[entry], 0x14);  // initialised integer scalar
  const size_t name = be32(f, 4) + ((f[entry + 1] << 8) | f[entry + 2]);
  EXPECT_STREQ(reinterpret_cast<const char *>(&f[name]), "alpha");
  EXPECT_EQ(be32(f, entry + 3), 0x12345678u);
  EXPECT_EQ(f[entry + 11], 0x00);  // Boolean scalar without a value

  EXPECT_EQ(jbi_check_crc(f.data(), size_of(f), nullptr, nullptr), 0);
  int format = 0, actions = -1, procedures = -1;
  ASSERT_EQ(jbi_get_file_info(f.data(), size_of(f), &format, &actions, &procedures), 0);
  EXPECT_EQ(format, 1);
  EXPECT_EQ(actions, -1);
}

// Symbol table entry i of a format 2 file: attribute, value, size, and the data it points at.
struct Entry {
  uint8_t attribute;
  uint32_t value, size;
  const uint8_t *data;
};

Entry symbol(const std::vector<uint8_t> &f, int i) {
  const size_t at = be32(f, 24) + 13 * i;
  Entry e{f[at], be32(f, at + 5), be32(f, at + 9), nullptr};
  e.data = f.data() + be32(f, 28) + e.value;
  return e;
}

TEST(WriterSymbols, EveryKindCarriesItsAttributeAndData) {
  std::vector<uint8_t> f = build(R"(
.integer s
.integer t = 7
.boolean flags[12]
.boolean init[12] = bin 1000_0000_0011
.boolean packed[40] compressed = hex 00000000A5
.integer table[3]
.integer values[] = 1, -2, 0x7FFFFFFF
.procedure p
        RETURN
.action a = p
)");
  ASSERT_FALSE(f.empty());
  EXPECT_EQ(symbol(f, 0).attribute, 0x10);
  EXPECT_EQ(symbol(f, 1).attribute, 0x14);
  EXPECT_EQ(symbol(f, 1).value, 7u);
  EXPECT_EQ(symbol(f, 2).attribute, 0x08);
  EXPECT_EQ(symbol(f, 2).size, 12u);

  Entry init = symbol(f, 3);
  EXPECT_EQ(init.attribute, 0x0C);
  EXPECT_EQ(init.size, 12u);
  EXPECT_EQ(init.data[0], 0x03);  // elements 0 and 1
  EXPECT_EQ(init.data[1], 0x08);  // element 11

  Entry packed = symbol(f, 4);
  EXPECT_EQ(packed.attribute, 0x0E);
  EXPECT_EQ(jbi_get_dword(packed.data), 5u);  // expanded bytes
  uint8_t out[5] = {};
  ASSERT_EQ(jbi_uncompress(packed.data, packed.size, out, 5, 1), 5u);
  EXPECT_EQ(out[0], 0xA5);
  EXPECT_EQ(out[4], 0x00);

  EXPECT_EQ(symbol(f, 5).attribute, 0x18);
  EXPECT_EQ(symbol(f, 5).size, 3u);

  Entry values = symbol(f, 6);
  EXPECT_EQ(values.attribute, 0x1C);
  EXPECT_EQ(values.size, 3u);
  const uint8_t expected[] = {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE, 0x7F, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(values.data, expected, sizeof expected), 0);
}

// Runs `action` of `f` and returns the exit code (or -1000 - result code on failure).
int run(const std::vector<uint8_t> &f, const char *action, std::vector<const char *> init = {}) {
  init.push_back(nullptr);
  long error_address = 0;
  int exit_code = -1, format = 0;
  int rc = jbi_execute(f.data(), static_cast<long>(f.size()), action, init.data(), 0,
                       &error_address, &exit_code, &format);
  return rc == 0 ? exit_code : -1000 - rc;
}

TEST(WriterRuns, ProcedureChainsRunInOrderWithTheirAttributes) {
  std::vector<uint8_t> f = build(R"(
.action first = start, maybe optional, usually recommended, last
.action second = usually, last
.integer n = 0
.procedure start
        PUSH_LITERAL 1
        STORE_VARIABLE n
        RETURN
.procedure maybe
        PUSH_VARIABLE n
        PUSH_LITERAL 10
        ADD
        STORE_VARIABLE n
        RETURN
.procedure usually
        PUSH_VARIABLE n
        PUSH_LITERAL 100
        ADD
        STORE_VARIABLE n
        RETURN
.procedure last
        PUSH_VARIABLE n
        EXIT
)");
  EXPECT_EQ(run(f, "first"), 101);
  EXPECT_EQ(run(f, "FIRST", {"maybe=1"}), 111);
  EXPECT_EQ(run(f, "first", {"usually=0"}), 1);
  EXPECT_EQ(run(f, "second"), 100);
  EXPECT_EQ(run(f, "third"), -1000 - JBI_RC_ACTION_NOT_FOUND);
}

TEST(WriterRuns, CompressedAndInitialisedArraysReadBackInTheInterpreter) {
  // 176 digits: the leading 8 is element 703, "ABC" elements 0 to 11.
  const std::string hex = "8" + std::string(172, '0') + "ABC";
  std::vector<uint8_t> f = build(".boolean big[4096] compressed = hex " + hex + R"(
.integer table[] = 5, 6, 7
.action a = p
.procedure p
        PUSH_LITERAL 0          ; bits 0..11 of big
        PUSH_LITERAL 11
        PUSH_BOOL_RANGE big
        PUSH_LITERAL 2
        PUSH_INT_ELEMENT table
        ADD
        PUSH_LITERAL 700        ; bits 700..703 of big
        PUSH_LITERAL 703
        PUSH_BOOL_RANGE big
        PUSH_LITERAL 0x10000
        MULTIPLY
        ADD
        EXIT
)");
  EXPECT_EQ(run(f, "a"), 0xABC + 7 + 8 * 0x10000);
}

TEST(WriterErrors, InconsistentProgramsAreRefusedWithAReason) {
  stapl::Program p;
  p.actions.push_back({"a", std::nullopt, {{"missing", stapl::ProcAttribute::kAlways}}});
  p.code = {0x11};
  EXPECT_EQ(stapl::write_bytecode(p).error,
            "action 'a' names procedure 'missing', which has no code");

  stapl::Program empty_action;
  empty_action.actions.push_back({"a", std::nullopt, {}});
  EXPECT_EQ(stapl::write_bytecode(empty_action).error, "action 'a' has no procedures");

  stapl::Program f1;
  f1.format = 1;
  f1.strings.add(std::string(70000, 'x'));
  f1.symbols.push_back({});
  f1.symbols.back().name = "late";
  EXPECT_EQ(stapl::write_bytecode(f1).error,
            "symbol name 'late' lies beyond the 64 KiB a format 1 entry can reach");

  stapl::Program ints;
  stapl::Symbol s;
  s.name = "t";
  s.kind = stapl::SymbolKind::kInitIntArray;
  s.count = 3;
  s.ints = {1};
  ints.symbols.push_back(s);
  EXPECT_EQ(stapl::write_bytecode(ints).error,
            "symbol 't': initial values do not match the element count");
}

}  // namespace
