// The file queries (CRC, format, notes, actions) and the string and byte routines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbistub.h"
#include "stapl/src/tests/support/bytecode_builder.h"

namespace {

using playertest::bytecode::Builder;

std::vector<uint8_t> format1_with_code() {
  Builder b(1);
  b.note("TITLE", "first");
  b.op(0x2F);  // PUSH_ZERO
  b.op(0x25);  // EXIT
  return b.build();
}

// ---- header acceptance ----

TEST(HeaderAcceptance, BlockOf52BytesIsRejectedByEveryQueryWhateverItHolds) {
  std::vector<uint8_t> image = format1_with_code();
  ASSERT_GT(image.size(), 52u);
  int format = -1, actions = -1, procs = -1;
  uint16_t expected = 1, actual = 1;
  int32_t cursor = 0;
  char key[8] = {}, value[8] = {};
  const char *name = nullptr;
  const char *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  EXPECT_EQ(jbi_check_crc(image.data(), 52, &expected, &actual), 2);
  EXPECT_EQ(jbi_get_file_info(image.data(), 52, &format, &actions, &procs), 2);
  EXPECT_EQ(jbi_get_note(image.data(), 52, &cursor, key, value, 7), 2);
  EXPECT_EQ(jbi_get_action_info(image.data(), 52, 0, &name, &description, &list), 2);
  EXPECT_EQ(format, -1);
  EXPECT_EQ(expected, 1);
  EXPECT_EQ(cursor, 0);
  EXPECT_EQ(list, nullptr);
}

TEST(HeaderAcceptance, Format1BlockOf53BytesIsAccepted) {
  std::vector<uint8_t> image(53, 0);
  image[0] = 'J', image[1] = 'A', image[2] = 'M', image[3] = 0;
  int format = 0, actions = 7, procs = 8;
  EXPECT_EQ(jbi_get_file_info(image.data(), 53, &format, &actions, &procs), 0);
  EXPECT_EQ(format, 1);
  EXPECT_EQ(actions, 7);  // format 1: counts untouched
  EXPECT_EQ(procs, 8);
}

TEST(HeaderAcceptance, UnknownIdentificationWordsAreRejected) {
  for (uint8_t last : {uint8_t{2}, uint8_t{0xFF}}) {
    std::vector<uint8_t> image = format1_with_code();
    image[3] = last;
    int format = -1, a = 0, p = 0;
    EXPECT_EQ(jbi_get_file_info(image.data(), static_cast<int32_t>(image.size()), &format, &a, &p),
              2);
    EXPECT_EQ(format, -1);
  }
  std::vector<uint8_t> image = format1_with_code();
  image[0] = 'j';
  int format = -1, a = 0, p = 0;
  EXPECT_EQ(jbi_get_file_info(image.data(), static_cast<int32_t>(image.size()), &format, &a, &p),
            2);
}

TEST(HeaderAcceptance, Format2HeaderCutOffBefore68BytesIsRejectedNotReadPastTheEnd) {
  std::vector<uint8_t> image(60, 0);
  image[0] = 'J', image[1] = 'A', image[2] = 'M', image[3] = 1;
  int format = -1, a = 0, p = 0;
  EXPECT_EQ(jbi_get_file_info(image.data(), 60, &format, &a, &p), 2);
}

TEST(FileInfo, Format2ReportsItsActionAndProcedureCounts) {
  Builder b(2);
  const uint32_t code = b.op(0x11);
  b.procedure("a", 0, 0, code);
  b.procedure("b", 0, 0, code);
  b.procedure("c", 0, 0, code);
  b.action("main", 0);
  std::vector<uint8_t> image = b.build();
  int format = 0, actions = 0, procs = 0;
  EXPECT_EQ(jbi_get_file_info(image.data(), static_cast<int32_t>(image.size()), &format, &actions,
                              &procs),
            0);
  EXPECT_EQ(format, 2);
  EXPECT_EQ(actions, 1);
  EXPECT_EQ(procs, 3);
}

// ---- CRC ----

// A block must start with "JAM", so the catalogue's check string cannot be the whole covered
// range; the reference CRC is proven on it, and the player must agree with the reference.
TEST(CrcCheck, AgreesWithTheX25ReferenceWhoseCheckValueIs906E) {
  const char *check = "123456789";
  ASSERT_EQ(playertest::bytecode::crc_x25(reinterpret_cast<const uint8_t *>(check), 9), 0x906E);
  std::vector<uint8_t> image(64, 0);
  image[0] = 'J', image[1] = 'A', image[2] = 'M', image[3] = 0;
  image[35] = 62;  // crc_section (format 1 header word at 32)
  std::memcpy(image.data() + 52, check, 9);
  const uint16_t crc = playertest::bytecode::crc_x25(image.data(), 62);
  image[62] = static_cast<uint8_t>(crc >> 8);
  image[63] = static_cast<uint8_t>(crc);
  uint16_t expected = 0, actual = 0;
  EXPECT_EQ(jbi_check_crc(image.data(), 64, &expected, &actual), 0);
  EXPECT_EQ(actual, crc);
  EXPECT_EQ(expected, crc);
}

TEST(CrcCheck, ChangedByteBeforeTheCrcGivesMismatchWithBothValues) {
  std::vector<uint8_t> image = format1_with_code();
  const size_t crc_at = image.size() - 2;
  const uint16_t stored = static_cast<uint16_t>(image[crc_at] << 8 | image[crc_at + 1]);
  image[crc_at - 1] ^= 0x01;  // last code byte
  uint16_t expected = 0, actual = 0;
  EXPECT_EQ(jbi_check_crc(image.data(), static_cast<int32_t>(image.size()), &expected, &actual), 9);
  EXPECT_EQ(expected, stored);
  EXPECT_NE(actual, stored);
  EXPECT_EQ(actual, playertest::bytecode::crc_x25(image.data(), crc_at));
}

TEST(CrcCheck, BytesAfterTheStoredCrcAreNotCovered) {
  Builder b(1);
  b.op(0x00);
  std::vector<uint8_t> image = b.build({0xAA, 0xBB, 0xCC});
  image.back() = 0x11;
  uint16_t expected = 0, actual = 0;
  EXPECT_EQ(jbi_check_crc(image.data(), static_cast<int32_t>(image.size()), &expected, &actual), 0);
}

TEST(CrcCheck, CrcSectionAtOrBeyondTheEndGives2AndWritesNothing) {
  std::vector<uint8_t> image = format1_with_code();
  uint16_t expected = 0x1234, actual = 0x5678;
  // crc_section == program_size
  EXPECT_EQ(jbi_check_crc(image.data(), static_cast<int32_t>(image.size() - 2), &expected, &actual),
            2);
  // only the first CRC byte inside the block
  EXPECT_EQ(jbi_check_crc(image.data(), static_cast<int32_t>(image.size() - 1), &expected, &actual),
            2);
  EXPECT_EQ(expected, 0x1234);
  EXPECT_EQ(actual, 0x5678);
}

TEST(CrcCheck, NullOutputsAreAllowed) {
  std::vector<uint8_t> image = format1_with_code();
  EXPECT_EQ(jbi_check_crc(image.data(), static_cast<int32_t>(image.size()), nullptr, nullptr), 0);
}

// ---- notes ----

std::vector<uint8_t> image_with_notes(int format) {
  Builder b(format);
  b.note("TITLE", "ABCDEFG");
  b.note("Version", "ABC");
  b.note("title", "second");
  b.op(0x00);
  return b.build();
}

TEST(Notes, CursorListsEveryNoteInTableOrderThenReportsTheEnd) {
  for (int format : {1, 2}) {
    std::vector<uint8_t> image = image_with_notes(format);
    const int32_t size = static_cast<int32_t>(image.size());
    std::vector<std::string> seen;
    int32_t cursor = 0;
    char key[33], value[257];
    int result;
    while ((result = jbi_get_note(image.data(), size, &cursor, key, value, 256)) == 0) {
      seen.push_back(std::string(key) + "=" + value);
    }
    EXPECT_EQ(result, 4);
    EXPECT_EQ(cursor, 3);
    EXPECT_EQ(seen, (std::vector<std::string>{"TITLE=ABCDEFG", "Version=ABC", "title=second"}));
  }
}

TEST(Notes, NegativeCursorAndFileWithoutNotesReportTheEnd) {
  std::vector<uint8_t> image = image_with_notes(2);
  int32_t cursor = -1;
  char key[16], value[16];
  EXPECT_EQ(jbi_get_note(image.data(), static_cast<int32_t>(image.size()), &cursor, key, value, 15),
            4);
  EXPECT_EQ(cursor, -1);
  Builder b(1);
  b.op(0x00);
  std::vector<uint8_t> bare = b.build();
  cursor = 0;
  EXPECT_EQ(jbi_get_note(bare.data(), static_cast<int32_t>(bare.size()), &cursor, key, value, 15),
            4);
}

TEST(Notes, LookupByKeyIgnoresCaseAndFindsTheFirstOfEqualKeys) {
  std::vector<uint8_t> image = image_with_notes(1);
  char key[] = "title";
  char value[32] = {};
  EXPECT_EQ(jbi_get_note(image.data(), static_cast<int32_t>(image.size()), nullptr, key, value, 31),
            0);
  EXPECT_STREQ(value, "ABCDEFG");
  char missing[] = "author";
  EXPECT_EQ(
      jbi_get_note(image.data(), static_cast<int32_t>(image.size()), nullptr, missing, value, 31),
      4);
  EXPECT_EQ(
      jbi_get_note(image.data(), static_cast<int32_t>(image.size()), nullptr, nullptr, value, 31),
      4);
}

TEST(Notes, CopiesStopAtLengthWithoutATerminator) {
  std::vector<uint8_t> image = image_with_notes(1);
  char value[8];
  std::memset(value, 'z', sizeof value);
  char key[] = "TITLE";
  ASSERT_EQ(jbi_get_note(image.data(), static_cast<int32_t>(image.size()), nullptr, key, value, 4),
            0);
  EXPECT_EQ(std::string(value, 8), "ABCDzzzz");
  std::memset(value, 'z', sizeof value);
  char key2[] = "version";
  ASSERT_EQ(jbi_get_note(image.data(), static_cast<int32_t>(image.size()), nullptr, key2, value, 4),
            0);
  EXPECT_EQ(std::string(value, 8), std::string("ABC\0zzzz", 8));
}

TEST(Notes, NoteStringOutsideTheBlockIsRefused) {
  std::vector<uint8_t> image = image_with_notes(1);
  const uint32_t note_table = (uint32_t{image[12]} << 24) | (uint32_t{image[13]} << 16) |
                              (uint32_t{image[14]} << 8) | image[15];
  image[note_table + 4] = 0x7F;  // value offset of note 0 far beyond the block
  int32_t cursor = 0;
  char key[16], value[16];
  EXPECT_EQ(jbi_get_note(image.data(), static_cast<int32_t>(image.size()), &cursor, key, value, 15),
            2);
}

// ---- actions ----

struct ActionFile {
  std::vector<uint8_t> image;
  int32_t size() const { return static_cast<int32_t>(image.size()); }
};

ActionFile chain_file() {
  Builder b(2);
  const uint32_t code = b.op(0x11);
  for (int i = 0; i < 6; ++i) b.procedure("P" + std::to_string(i), 0, 0, code);
  return {b.build()};
}

TEST(Actions, ChainThreeFiveZeroYieldsTwoNodesInOrder) {
  Builder b(2);
  const uint32_t code = b.op(0x11);
  b.procedure("P0", 0, 0, code);
  b.procedure("P1", 0, 0, code);
  b.procedure("P2", 0, 0, code);
  b.procedure("P3", 5, 0x05, code);  // attribute 5: only the low two bits count
  b.procedure("P4", 0, 0, code);
  b.procedure("P5", 0, 0x02, code);
  b.action("program", 3, "Program the device");
  std::vector<uint8_t> image = b.build();
  const char *name = nullptr;
  const char *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  const long before = jbi_malloc_live_blocks;
  ASSERT_EQ(jbi_get_action_info(image.data(), static_cast<int32_t>(image.size()), 0, &name,
                                &description, &list),
            0);
  EXPECT_STREQ(name, "program");
  EXPECT_STREQ(description, "Program the device");
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list->name, "P3");
  EXPECT_EQ(list->attributes, 1);
  ASSERT_NE(list->next, nullptr);
  EXPECT_STREQ(list->next->name, "P5");
  EXPECT_EQ(list->next->attributes, 2);
  EXPECT_EQ(list->next->next, nullptr);
  // Names point into the image, not at copies.
  EXPECT_GE(reinterpret_cast<const uint8_t *>(list->name), image.data());
  EXPECT_LT(reinterpret_cast<const uint8_t *>(list->name), image.data() + image.size());
  EXPECT_EQ(jbi_malloc_live_blocks - before, 2);
  while (list != nullptr) {
    JBI_PROCINFO *next = list->next;
    jbi_free(list);
    list = next;
  }
}

TEST(Actions, NextIndexEqualToProcedureCountEndsTheChain) {
  Builder b(2);
  const uint32_t code = b.op(0x11);
  b.procedure("A", 1, 0, code);
  b.procedure("B", 2, 0, code);  // 2 == proc_count
  b.action("x", 0);
  std::vector<uint8_t> image = b.build();
  const char *name = nullptr;
  const char *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  ASSERT_EQ(jbi_get_action_info(image.data(), static_cast<int32_t>(image.size()), 0, &name,
                                &description, &list),
            0);
  int nodes = 0;
  while (list != nullptr) {
    JBI_PROCINFO *next = list->next;
    jbi_free(list);
    list = next;
    ++nodes;
  }
  EXPECT_EQ(nodes, 2);
}

TEST(Actions, DescriptionOnlyBelowTheNoteStringsAndOtherwiseLeftAlone) {
  Builder b(2);
  const uint32_t code = b.op(0x11);
  b.procedure("A", 0, 0, code);
  b.action("first", 0, "described");
  b.action("second", 0);  // description offset == note_strings - string_table
  std::vector<uint8_t> image = b.build();
  const char *name = nullptr;
  const char *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  ASSERT_EQ(jbi_get_action_info(image.data(), static_cast<int32_t>(image.size()), 0, &name,
                                &description, &list),
            0);
  EXPECT_STREQ(description, "described");
  jbi_free(list);
  list = nullptr;
  const char *kept = description;
  ASSERT_EQ(jbi_get_action_info(image.data(), static_cast<int32_t>(image.size()), 1, &name,
                                &description, &list),
            0);
  EXPECT_STREQ(name, "second");
  EXPECT_EQ(description, kept);
  jbi_free(list);
}

TEST(Actions, IndexOutOfRangeAndFormat1FilesGive2) {
  ActionFile f = chain_file();  // no actions at all
  const char *name = "unchanged";
  const char *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  EXPECT_EQ(jbi_get_action_info(f.image.data(), f.size(), 0, &name, &description, &list), 2);
  EXPECT_EQ(jbi_get_action_info(f.image.data(), f.size(), -1, &name, &description, &list), 2);
  EXPECT_STREQ(name, "unchanged");
  std::vector<uint8_t> f1 = format1_with_code();
  EXPECT_EQ(jbi_get_action_info(f1.data(), static_cast<int32_t>(f1.size()), 0, &name, &description,
                                &list),
            2);
  EXPECT_EQ(list, nullptr);
}

// The action itself exists, so its name comes back for the lister to report it by.
TEST(Actions, ChainThatLeadsBackIsRefusedWithoutBuildingAList) {
  Builder b(2);
  const uint32_t code = b.op(0x11);
  b.procedure("A", 1, 0, code);
  b.procedure("B", 2, 0, code);
  b.procedure("C", 1, 0, code);  // back to B
  b.action("loop", 0);
  std::vector<uint8_t> image = b.build();
  const char *name = nullptr;
  const char *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  const long before = jbi_malloc_live_blocks;
  EXPECT_EQ(jbi_get_action_info(image.data(), static_cast<int32_t>(image.size()), 0, &name,
                                &description, &list),
            2);
  EXPECT_STREQ(name, "loop");
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(jbi_malloc_live_blocks, before);
}

// The procedure count in the header claims far more entries than the block holds. The chain
// walk must be bounded by what the block can hold, not by that count: with a loop among the
// real entries the query ends at once with 2 (with the count 0xFFFFFFFF a walk bounded only
// by the count never ends), and a chain that does end is still listed in full.
std::vector<uint8_t> file_claiming_procedures(uint32_t proc_count, bool looping) {
  Builder b(2);
  const uint32_t code = b.op(0x11);
  b.procedure("UNUSED", 0, 0, code);
  b.procedure("A", 2, 0, code);
  b.procedure("B", looping ? 1 : 0, 0, code);  // back to A, or the end
  b.action("loop", 1);
  std::vector<uint8_t> image = b.build();
  constexpr size_t kProcCountField = 52;  // format 2 header word
  for (int k = 0; k < 4; ++k) {
    image[kProcCountField + k] = static_cast<uint8_t>(proc_count >> (24 - 8 * k));
  }
  return image;
}

TEST(Actions, HugeProcedureCountWithALoopingChainIsRefusedPromptly) {
  for (uint32_t claimed : {0x70000000u, 0xFFFFFFFFu}) {
    std::vector<uint8_t> image = file_claiming_procedures(claimed, true);
    const int32_t size = static_cast<int32_t>(image.size());
    int format = 0, actions = 0, procedures = 0;
    ASSERT_EQ(jbi_get_file_info(image.data(), size, &format, &actions, &procedures), 0);
    ASSERT_EQ(static_cast<uint32_t>(procedures), claimed);  // the count landed in the header
    const char *name = nullptr;
    const char *description = nullptr;
    JBI_PROCINFO *list = nullptr;
    const long before = jbi_malloc_live_blocks;
    EXPECT_EQ(jbi_get_action_info(image.data(), size, 0, &name, &description, &list), 2)
        << std::hex << claimed;
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(jbi_malloc_live_blocks, before);
  }
}

TEST(Actions, HugeProcedureCountWithAnEndingChainIsListedInFull) {
  std::vector<uint8_t> image = file_claiming_procedures(0x70000000u, false);
  const char *name = nullptr;
  const char *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  ASSERT_EQ(jbi_get_action_info(image.data(), static_cast<int32_t>(image.size()), 0, &name,
                                &description, &list),
            0);
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list->name, "A");
  ASSERT_NE(list->next, nullptr);
  EXPECT_STREQ(list->next->name, "B");
  EXPECT_EQ(list->next->next, nullptr);
  jbi_free(list->next);
  jbi_free(list);
}

TEST(Actions, FirstProcedureBeyondTheTableIsRefused) {
  Builder b(2);
  const uint32_t code = b.op(0x11);
  b.procedure("A", 0, 0, code);
  b.action("x", 1);
  std::vector<uint8_t> image = b.build();
  const char *name = nullptr;
  const char *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  EXPECT_EQ(jbi_get_action_info(image.data(), static_cast<int32_t>(image.size()), 0, &name,
                                &description, &list),
            2);
  EXPECT_EQ(list, nullptr);
}

TEST(Actions, MissingNodeGivesOutOfMemoryAndTheRestOfTheList) {
  Builder b(2);
  const uint32_t code = b.op(0x11);
  b.procedure("A", 1, 0, code);
  b.procedure("B", 2, 0, code);
  b.procedure("C", 0, 0, code);
  b.action("x", 0);
  std::vector<uint8_t> image = b.build();
  const char *name = nullptr;
  const char *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  jbi_malloc_budget = 0;  // no node at all
  EXPECT_EQ(jbi_get_action_info(image.data(), static_cast<int32_t>(image.size()), 0, &name,
                                &description, &list),
            1);
  jbi_malloc_budget = -1;
  EXPECT_EQ(list, nullptr);
  EXPECT_STREQ(name, "x");
  jbi_malloc_budget = 2;  // A and B get nodes, C does not
  EXPECT_EQ(jbi_get_action_info(image.data(), static_cast<int32_t>(image.size()), 0, &name,
                                &description, &list),
            1);
  jbi_malloc_budget = -1;
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list->name, "A");
  ASSERT_NE(list->next, nullptr);
  EXPECT_STREQ(list->next->name, "B");
  EXPECT_EQ(list->next->next, nullptr);
  jbi_free(list->next);
  jbi_free(list);
}

// ---- string and byte routines ----

TEST(StringRoutines, AtolReadsLeadingDigitsOnly) {
  EXPECT_EQ(jbi_atol("12AB"), 12);
  EXPECT_EQ(jbi_atol("-5"), 0);
  EXPECT_EQ(jbi_atol(""), 0);
  EXPECT_EQ(jbi_atol("4294967297"), 1);  // wraps modulo 2^32
}

TEST(StringRoutines, LtoaWritesDecimalTextIncludingTheMostNegativeValue) {
  char buffer[12];
  jbi_ltoa(buffer, 0);
  EXPECT_STREQ(buffer, "0");
  jbi_ltoa(buffer, -45);
  EXPECT_STREQ(buffer, "-45");
  jbi_ltoa(buffer, INT32_MIN);
  EXPECT_STREQ(buffer, "-2147483648");
  jbi_ltoa(buffer, 2147483647);
  EXPECT_STREQ(buffer, "2147483647");
}

TEST(StringRoutines, StricmpFoldsAsciiLettersAndReturnsTheFoldedDifference) {
  EXPECT_EQ(jbi_stricmp("abc", "ABD"), -1);
  EXPECT_EQ(jbi_stricmp("abc", "ABC"), 0);
  EXPECT_EQ(jbi_stricmp("ab", "abc"), -67);
  EXPECT_EQ(jbi_stricmp("\xE4", "\xC4"),
            static_cast<signed char>(0xE4) - static_cast<signed char>(0xC4));
  EXPECT_EQ(jbi_toupper('q'), 'Q');
  EXPECT_EQ(jbi_toupper('[' + 256), '[');
}

TEST(StringRoutines, StrncpyStopsAfterTheNulOrTheCount) {
  char out[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
  jbi_strncpy(out, "ab", 5);
  EXPECT_EQ(std::string(out, 6), std::string("ab\0xxx", 6));
  jbi_strncpy(out, "abcdefg", 4);
  EXPECT_EQ(std::string(out, 6), std::string("abcdxx", 6));
  EXPECT_EQ(jbi_strlen("abcd"), 4);
  EXPECT_EQ(jbi_strlen(""), 0);
}

TEST(ByteRoutines, DwordsAreLittleEndian) {
  uint8_t buf[4];
  jbi_make_dword(buf, 0x11223344);
  EXPECT_EQ(buf[0], 0x44);
  EXPECT_EQ(buf[3], 0x11);
  EXPECT_EQ(jbi_get_dword(buf), 0x11223344u);
}

TEST(ResultTexts, TableHoldsTheTwentyFiveTexts) {
  EXPECT_STREQ(error_text[0], "success");
  EXPECT_STREQ(error_text[9], "CRC mismatch");
  EXPECT_STREQ(error_text[11], "bounds error");
  EXPECT_STREQ(error_text[20], "stack overflow");
  EXPECT_STREQ(error_text[21], "illegal instruction code");
  EXPECT_STREQ(error_text[24], "action not found");
}

}  // namespace
