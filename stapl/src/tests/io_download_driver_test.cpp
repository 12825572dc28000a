// The download driver's report: CRC line, format, notes, actions, outcome and elapsed time.
#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbiport.h"
#include "stapl/src/jbistub.h"
#include "stapl/src/tests/support/bytecode_builder.h"
#include "stapl/src/tests/support/test_port.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t OP_PUSH_LITERAL = 0x40;
constexpr uint8_t OP_EXIT = 0x25;
constexpr uint8_t OP_RETURN = 0x11;
constexpr uint8_t OP_ILLEGAL = 0x19;
constexpr uint8_t OP_DR_PREAMBLE = 0x1C;
constexpr uint8_t OP_JUMP = 0x42;

// Code that exits with `code`.
Bytes exit_with(int32_t code) {
  const auto c = static_cast<uint32_t>(code);
  return {OP_PUSH_LITERAL, uint8_t(c >> 24), uint8_t(c >> 16),
          uint8_t(c >> 8), uint8_t(c),       OP_EXIT};
}

struct Procedure {
  std::string name;
  uint8_t attributes;
  Bytes code;
};

struct Action {
  std::string name;
  std::string description;  // empty: none
  std::vector<Procedure> procedures;
};

// A small byte-code image: notes, and either format 1 code or format 2 actions, each action
// with its own chain of procedures. No symbols. The CRC is stored right.
class Image {
 public:
  explicit Image(int format) : format_(format) {}
  Image &note(const std::string &key, const std::string &value) {
    notes_.push_back({key, value});
    return *this;
  }
  Image &action(Action a) {
    actions_.push_back(std::move(a));
    return *this;
  }
  Image &code(Bytes c) {
    code_ = std::move(c);
    return *this;
  }

  Bytes build() const {
    const bool v2 = format_ == 2;
    const uint32_t header = v2 ? 68 : 52;
    // String table: action names, descriptions, procedure names.
    std::string strings;
    auto add_string = [&strings](const std::string &s) {
      const auto at = static_cast<uint32_t>(strings.size());
      strings += s;
      strings.push_back('\0');
      return at;
    };
    std::vector<uint32_t> act_name, act_desc;
    std::vector<std::pair<uint32_t, const Procedure *>> procs;
    std::vector<uint32_t> act_first;
    Bytes code = code_;
    std::vector<uint32_t> proc_code;
    for (const Action &a : actions_) {
      act_name.push_back(add_string(a.name));
      act_desc.push_back(a.description.empty() ? 0xFFFFFFFFu : add_string(a.description));
      // Procedure 0 would end every chain that points at it: start numbering at 1.
      act_first.push_back(static_cast<uint32_t>(procs.size() + 1));
      for (const Procedure &p : a.procedures) {
        procs.push_back({add_string(p.name), &p});
        proc_code.push_back(static_cast<uint32_t>(code.size()));
        code.insert(code.end(), p.code.begin(), p.code.end());
      }
    }
    std::string note_strings;
    std::vector<std::pair<uint32_t, uint32_t>> note_offsets;
    for (const auto &[k, v] : notes_) {
      const auto ko = static_cast<uint32_t>(note_strings.size());
      note_strings += k;
      note_strings.push_back('\0');
      const auto vo = static_cast<uint32_t>(note_strings.size());
      note_strings += v;
      note_strings.push_back('\0');
      note_offsets.push_back({ko, vo});
    }

    Bytes out(header, 0);
    const uint32_t string_table = static_cast<uint32_t>(out.size());
    out.insert(out.end(), strings.begin(), strings.end());
    const uint32_t note_string_area = static_cast<uint32_t>(out.size());
    out.insert(out.end(), note_strings.begin(), note_strings.end());
    const uint32_t note_table = static_cast<uint32_t>(out.size());
    for (auto [k, v] : note_offsets) {
      put32(out, k);
      put32(out, v);
    }
    const uint32_t action_table = static_cast<uint32_t>(out.size());
    for (size_t i = 0; i < actions_.size(); ++i) {
      put32(out, act_name[i]);
      put32(out, act_desc[i]);
      put32(out, act_first[i]);
    }
    const uint32_t proc_table = static_cast<uint32_t>(out.size());
    // Entry 0 is an unused placeholder; each action's procedures are chained in order.
    Bytes placeholder(13, 0);
    out.insert(out.end(), placeholder.begin(), placeholder.end());
    size_t index = 0;
    for (const Action &a : actions_) {
      for (size_t k = 0; k < a.procedures.size(); ++k, ++index) {
        const bool last = k + 1 == a.procedures.size();
        put32(out, procs[index].first);
        put32(out, last ? 0 : static_cast<uint32_t>(index + 2));
        out.push_back(a.procedures[k].attributes);
        put32(out, proc_code[index]);
      }
    }
    const uint32_t symbol_table = static_cast<uint32_t>(out.size());
    const uint32_t data_section = symbol_table;
    const uint32_t code_section = static_cast<uint32_t>(out.size());
    out.insert(out.end(), code.begin(), code.end());
    const uint32_t debug_section = static_cast<uint32_t>(out.size());
    const uint32_t crc_section = debug_section;

    const uint32_t d = v2 ? 8 : 0;
    set32(out, 0, v2 ? 0x4A414D01 : 0x4A414D00);
    if (v2) {
      set32(out, 4, action_table);
      set32(out, 8, proc_table);
      set32(out, 48, static_cast<uint32_t>(actions_.size()));
      set32(out, 52, static_cast<uint32_t>(procs.size() + 1));
    }
    set32(out, 4 + d, string_table);
    set32(out, 8 + d, note_string_area);
    set32(out, 12 + d, note_table);
    set32(out, 16 + d, symbol_table);
    set32(out, 20 + d, data_section);
    set32(out, 24 + d, code_section);
    set32(out, 28 + d, debug_section);
    set32(out, 32 + d, crc_section);
    set32(out, 44 + 2 * d, static_cast<uint32_t>(notes_.size()));
    set32(out, 48 + 2 * d, 0);
    const uint16_t crc = crc16(out);
    out.push_back(static_cast<uint8_t>(crc >> 8));
    out.push_back(static_cast<uint8_t>(crc));
    return out;
  }

  // CRC-16/X-25, bit by bit, of everything before the stored CRC.
  static uint16_t crc16(const Bytes &bytes) {
    uint16_t reg = 0xFFFF;
    for (uint8_t byte : bytes) {
      for (int b = 0; b < 8; ++b) {
        const bool mix = ((byte >> b) & 1) != (reg & 1);
        reg = static_cast<uint16_t>(reg >> 1);
        if (mix) reg ^= 0x8408;
      }
    }
    return static_cast<uint16_t>(~reg);
  }

 private:
  static void put32(Bytes &out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
  }
  static void set32(Bytes &out, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) out[at + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
  }

  int format_;
  std::vector<std::pair<std::string, std::string>> notes_;
  std::vector<Action> actions_;
  Bytes code_;
};

Action configure_exiting(int32_t code) { return {"configure", "", {{"run", 0, exit_with(code)}}}; }

class DownloadDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    playertest::port::reset();
    verbose = 0;
    one_ms_delay = 0;
    live_before_ = jbi_malloc_live_blocks;
  }
  void TearDown() override {
    EXPECT_EQ(jbi_malloc_live_blocks, live_before_) << "the driver left player memory behind";
  }

  // Runs the driver and splits off the elapsed-time line, which must close the report.
  std::string run(const Bytes &image, const char *action, int expected_result,
                  const char *const *init_list = nullptr) {
    ::testing::internal::CaptureStdout();
    const int result =
        jbi_download(image.data(), static_cast<long>(image.size()), action, init_list);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, expected_result);
    static const std::regex elapsed("Elapsed time = \\d\\d:\\d\\d:\\d\\d\n$");
    std::smatch m;
    if (std::regex_search(out, m, elapsed)) {
      out.erase(static_cast<size_t>(m.position(0)));
      had_elapsed_ = true;
    } else {
      had_elapsed_ = false;
    }
    return out;
  }

  static std::string crc_line(const Bytes &image) {
    char line[64];
    std::snprintf(line, sizeof line, "CRC matched: CRC value = %04X\n",
                  (image[image.size() - 2] << 8) | image.back());
    return line;
  }

  long live_before_ = 0;
  bool had_elapsed_ = false;
};

// ---- Listing ---------------------------------------------------------------------------------

TEST_F(DownloadDriver, ListsNotesAndActionsThenRunsConfigure) {
  const Bytes image = Image(2)
                          .note("DESIGN", "kesh_top")
                          .note("DATE", "2026/12/07")
                          .action({"configure",
                                   "Configure the FPGAs",
                                   {{"init", 0, {OP_RETURN}},
                                    {"check_id", 2, {OP_RETURN}},
                                    {"do_extra", 1, exit_with(6)},
                                    {"finish", 0, exit_with(0)}}})
                          .action({"read_usercode", "", {{"rd", 3, {OP_RETURN}}}})
                          .build();
  const std::string out = run(image, "configure", 0);
  EXPECT_EQ(out, crc_line(image) +
                     "File format is Jam STAPL Byte-code format\n"
                     "NOTE \"DESIGN\" = \"kesh_top\"\n"
                     "NOTE \"DATE\" = \"2026/12/07\"\n"
                     "\nActions available in this file:\n"
                     "configure \"Configure the FPGAs\"\n"
                     "    check_id (recommended)\n"
                     "    do_extra (optional)\n"
                     "read_usercode\n"
                     "    rd (recommended)\n"
                     "\n"
                     "Exit code = 0... Success\n");
  EXPECT_TRUE(had_elapsed_);
}

TEST_F(DownloadDriver, FormatOneFileHasNoActionList) {
  const Bytes image = Image(1).note("K", "V").code(exit_with(7)).build();
  const std::string out = run(image, "configure", 1);
  EXPECT_EQ(out, crc_line(image) +
                     "File format is Jam 1.1 Byte-code format\n"
                     "NOTE \"K\" = \"V\"\n"
                     "Exit code = 7... SRAM configuration failure\n");
  EXPECT_TRUE(had_elapsed_);
}

TEST_F(DownloadDriver, LongNoteKeysAndValuesPrintAsStored) {
  const std::string key(40, 'K');
  const std::string value(256, 'v');
  const Bytes image = Image(2).note(key, value).action(configure_exiting(0)).build();
  const std::string out = run(image, "configure", 0);
  EXPECT_NE(out.find("NOTE \"" + key + "\" = \"" + value + "\"\n"), std::string::npos) << out;
}

TEST_F(DownloadDriver, SetsVerboseAndCalibratesTheDelay) {
  const Bytes image = Image(2).action(configure_exiting(0)).build();
  run(image, "configure", 0);
  EXPECT_EQ(verbose, 1);
  EXPECT_EQ(one_ms_delay, 1000);
}

// A refused action gets its own error line and the ones after it are still listed; the run
// of another action is not affected.
TEST_F(DownloadDriver, ActionWithALoopingChainDoesNotHideTheOthers) {
  playertest::bytecode::Builder b(2);
  const uint32_t ret = b.op(OP_RETURN);
  const uint32_t done = b.here();
  b.raw(exit_with(0));
  b.procedure("UNUSED", 0, 0, ret);
  b.procedure("L1", 2, 1, ret);
  b.procedure("L2", 1, 1, ret);  // back to L1
  b.procedure("check", 4, 2, ret);
  b.procedure("go", 0, 0, done);
  b.action("broken", 1, "Loops");
  b.action("configure", 3);
  const Bytes image = b.build();
  const std::string out = run(image, "configure", 0);
  EXPECT_EQ(out, crc_line(image) +
                     "File format is Jam STAPL Byte-code format\n"
                     "\nActions available in this file:\n"
                     "broken \"Loops\"\n"
                     "Error in action 0: file access error.\n"
                     "configure\n"
                     "    check (recommended)\n"
                     "\n"
                     "Exit code = 0... Success\n");
}

// A count far beyond the action table: the entries inside the image are listed, the rest are
// one line, and the run (which refuses such a table) still reports.
TEST_F(DownloadDriver, ActionCountBeyondTheImageIsOneErrorLine) {
  Bytes image = Image(2).action(configure_exiting(0)).build();
  image[48] = 0x7F, image[49] = 0xFF, image[50] = 0xFF, image[51] = 0xFF;
  const std::string out = run(image, "configure", 1);
  EXPECT_NE(out.find("\nActions available in this file:\nconfigure\n"), std::string::npos) << out;
  EXPECT_NE(
      out.find(" to 2147483646: file access error.\n\nError at address 0: file access error."),
      std::string::npos)
      << out;
  EXPECT_LT(out.size(), 4096u) << out;
}

// ---- Budgets
// -------------------------------------------------------------------------------------

// Which budget ended the run is said, with its value, before the usual error lines.
TEST_F(DownloadDriver, BudgetThatEndedTheRunIsNamedWithItsValue) {
  const Bytes padding =
      Image(1).code({OP_PUSH_LITERAL, 0x7F, 0xFF, 0xFF, 0xFF, OP_DR_PREAMBLE}).build();
  jbi_memory_budget = 1ul << 20;
  std::string out = run(padding, "configure", 1);
  jbi_memory_budget = JBI_DEFAULT_MEMORY_BUDGET;
  EXPECT_NE(out.find("Budget exceeded: memory 1 MiB.\n"
                     "Error at address 5: out of memory.\nProgram terminated.\n"),
            std::string::npos)
      << out;

  const Bytes spin = Image(1).code({OP_JUMP, 0, 0, 0, 0}).build();
  jbi_time_limit = 1;
  out = run(spin, "configure", 1);
  jbi_time_limit = 0;
  EXPECT_NE(out.find("Budget exceeded: run time 1 s.\n"
                     "Error at address 0: execution cancelled.\nProgram terminated.\n"),
            std::string::npos)
      << out;

  jbi_instruction_limit = 1000;
  out = run(spin, "configure", 1);
  jbi_instruction_limit = 0;
  EXPECT_NE(out.find("Budget exceeded: 1000 instructions.\n"), std::string::npos) << out;

  const Bytes wait = Image(1)
                         .code({OP_PUSH_LITERAL, 0, 0, 0, 0,     // microseconds
                                OP_PUSH_LITERAL, 0, 0x10, 0, 0,  // 2^20 cycles
                                0x84, 0, 0, 0, 1, 0, 0, 0, 1})   // WAIT IDLE, IDLE
                         .build();
  jbi_tck_limit = 5000;
  out = run(wait, "configure", 1);
  jbi_tck_limit = 0;
  EXPECT_NE(out.find("Budget exceeded: 5000 TCK cycles.\n"
                     "Error at address 10: execution cancelled.\n"),
            std::string::npos)
      << out;

  jbi_request_stop();
  out = run(spin, "configure", 1);
  jbi_clear_stop();
  EXPECT_NE(out.find("Run stopped on request.\n"
                     "Error at address 0: execution cancelled.\n"),
            std::string::npos)
      << out;
}

// A failure that is no budget's says nothing of budgets, even after one that was.
TEST_F(DownloadDriver, OtherFailuresNameNoBudget) {
  const Bytes spin = Image(1).code({OP_JUMP, 0, 0, 0, 0}).build();
  jbi_instruction_limit = 10;
  run(spin, "configure", 1);
  jbi_instruction_limit = 0;
  const Bytes illegal = Image(1).code({OP_ILLEGAL}).build();
  const std::string out = run(illegal, "configure", 1);
  EXPECT_EQ(out.find("Budget"), std::string::npos) << out;
}

// ---- Unrecognised and damaged files ----------------------------------------------------------

TEST_F(DownloadDriver, ShortFileIsUnrecognisedAndNothingElseIsPrinted) {
  Bytes image = Image(2).action(configure_exiting(0)).build();
  image.resize(52);
  EXPECT_EQ(run(image, "configure", 99), "Error: File format is not recognized.\n");
  EXPECT_FALSE(had_elapsed_) << "no run, no elapsed time";
  EXPECT_TRUE(playertest::port::trace().empty());
}

TEST_F(DownloadDriver, WrongSignatureIsUnrecognised) {
  Bytes image = Image(2).action(configure_exiting(0)).build();
  image[3] = 2;
  EXPECT_EQ(run(image, "configure", 99), "Error: File format is not recognized.\n");
}

TEST_F(DownloadDriver, CrcMismatchIsReportedAndTheFileStillRuns) {
  Bytes image = Image(2).action(configure_exiting(10)).build();
  const uint16_t right = static_cast<uint16_t>((image[image.size() - 2] << 8) | image.back());
  image.back() ^= 0x5A;
  char line[80];
  std::snprintf(line, sizeof line, "CRC mismatch: expected %04X, actual %04X\n", right ^ 0x5A,
                right);
  const std::string out = run(image, "configure", 1);
  EXPECT_EQ(out, std::string(line) +
                     "File format is Jam STAPL Byte-code format\n"
                     "\nActions available in this file:\n"
                     "configure\n"
                     "\n"
                     "Exit code = 10... Device programming failure\n");
}

// ---- Outcome -----------------------------------------------------------------------------------

TEST_F(DownloadDriver, MissingActionIsNamedInTheError) {
  const Bytes image = Image(2).action({"erase", "", {{"e", 0, exit_with(0)}}}).build();
  const std::string out = run(image, "configure", 1);
  EXPECT_NE(out.find("Error: action \"configure\" is not supported for this Jam file.\n"
                     "Program terminated.\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(had_elapsed_);
}

TEST_F(DownloadDriver, NoActionGivenIsReportedAsSuch) {
  const Bytes image = Image(2).action(configure_exiting(0)).build();
  for (const char *action : {static_cast<const char *>(nullptr), ""}) {
    const std::string out = run(image, action, 1);
    EXPECT_NE(out.find("Error: no action specified for Jam file.\nProgram terminated.\n"),
              std::string::npos)
        << out;
  }
}

TEST_F(DownloadDriver, InterpreterErrorNamesTheCodeAddress) {
  Bytes code = exit_with(0);
  code.insert(code.begin(), {OP_PUSH_LITERAL, 0, 0, 0, 1, OP_ILLEGAL});
  const Bytes image = Image(2).action({"configure", "", {{"p", 0, code}}}).build();
  const std::string out = run(image, "configure", 1);
  EXPECT_NE(out.find("Error at address 5: illegal instruction code.\nProgram terminated.\n"),
            std::string::npos)
      << out;
}

TEST_F(DownloadDriver, InitListChoosesOptionalProcedures) {
  const Bytes image =
      Image(2)
          .action({"configure", "", {{"extra", 1, exit_with(3)}, {"main", 0, exit_with(0)}}})
          .build();
  EXPECT_NE(run(image, "configure", 0).find("Exit code = 0... Success\n"), std::string::npos);
  const char *const init[] = {"EXTRA=1", nullptr};
  EXPECT_NE(run(image, "configure", 1, init).find("Exit code = 3... Reading USERCODE failure\n"),
            std::string::npos);
}

TEST_F(DownloadDriver, FpgaDownloadRunsConfigure) {
  const Bytes image = Image(2)
                          .action({"program", "", {{"p", 0, exit_with(5)}}})
                          .action(configure_exiting(0))
                          .build();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(FPGADownload(image.data(), static_cast<long>(image.size()), "configure"), 0);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Exit code = 0... Success\n"), std::string::npos) << out;
}

TEST_F(DownloadDriver, EveryAllocationFailureStillReleasesEverything) {
  const Bytes image =
      Image(2)
          .action({"configure",
                   "d",
                   {{"a", 2, {OP_RETURN}}, {"b", 1, {OP_RETURN}}, {"c", 0, exit_with(0)}}})
          .action({"other", "", {{"x", 1, {OP_RETURN}}}})
          .build();
  for (long budget = 0; budget < 40; ++budget) {
    jbi_malloc_budget = budget;
    ::testing::internal::CaptureStdout();
    const int result =
        jbi_download(image.data(), static_cast<long>(image.size()), "configure", nullptr);
    const std::string out = ::testing::internal::GetCapturedStdout();
    jbi_malloc_budget = -1;
    EXPECT_TRUE(result == 0 || result == 1) << "budget " << budget;
    EXPECT_EQ(jbi_malloc_live_blocks, live_before_) << "budget " << budget;
    EXPECT_NE(out.find("Elapsed time = "), std::string::npos) << "budget " << budget;
  }
}

// ---- Texts
// ---------------------------------------------------------------------------------------

TEST(ExitCodeText, FollowsTheFileFormat) {
  EXPECT_STREQ(jbi_exit_code_text(2, 0), "Success");
  EXPECT_STREQ(jbi_exit_code_text(2, 10), "Device programming failure");
  EXPECT_STREQ(jbi_exit_code_text(2, 17), "Performing system test failure");
  EXPECT_STREQ(jbi_exit_code_text(2, 18), "Unknown exit code");
  EXPECT_STREQ(jbi_exit_code_text(2, -1), "Unknown exit code");
  EXPECT_STREQ(jbi_exit_code_text(1, 4), "Device programming failure");
  EXPECT_STREQ(jbi_exit_code_text(1, 7), "SRAM configuration failure");
  EXPECT_STREQ(jbi_exit_code_text(1, 8), "Unknown exit code");
  EXPECT_STREQ(jbi_exit_code_text(1, -3), "Unknown exit code");
}

TEST(ElapsedTime, HoursMinutesSeconds) {
  ::testing::internal::CaptureStdout();
  jbi_print_elapsed_time(3725);
  jbi_print_elapsed_time(0);
  jbi_print_elapsed_time(59);
  jbi_print_elapsed_time(-4);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Elapsed time = 01:02:05\n"
            "Elapsed time = 00:00:00\n"
            "Elapsed time = 00:00:59\n"
            "Elapsed time = 00:00:00\n");
}

}  // namespace
