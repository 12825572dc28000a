// Builds byte-code images (format 1 "Jam 1.1" or format 2 "Jam STAPL") for the player's tests:
// strings, notes, symbols with their data, actions, procedures and code, laid out with a
// correct stored CRC. Offsets the tests need (code offsets, symbol indexes, string offsets,
// section positions) are returned so that a test can also damage a chosen byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace playertest::bytecode {

// Symbol attribute bytes as compilers write them.
constexpr uint8_t kScalar = 0x00;
constexpr uint8_t kScalarInit = 0x04;
constexpr uint8_t kBoolArray = 0x08;        // no initial data
constexpr uint8_t kBoolArrayInit = 0x0C;    // bits in the data section
constexpr uint8_t kBoolArrayPacked = 0x0E;  // compressed block in the data section
constexpr uint8_t kIntArray = 0x19;         // no initial data, native elements
constexpr uint8_t kIntArrayInit = 0x1C;     // big-endian integers in the data section

struct Layout {
  uint32_t string_table, note_strings, note_table, symbol_table, action_table, proc_table;
  uint32_t data_section, code_section, debug_section, crc_section;
};

class Builder {
 public:
  explicit Builder(int format);  // 1 or 2

  // Offset of `text` in the string table (added once).
  uint32_t string(const std::string &text);
  void note(const std::string &key, const std::string &value);

  // Symbols; each returns the symbol index.
  uint32_t scalar(const std::string &name, std::optional<int32_t> initial = std::nullopt);
  uint32_t bool_array(const std::string &name, int32_t size);
  uint32_t bool_array_init(const std::string &name, int32_t size, std::vector<uint8_t> bytes);
  uint32_t bool_array_packed(const std::string &name, std::vector<uint8_t> block);
  uint32_t int_array(const std::string &name, int32_t size);
  uint32_t int_array_init(const std::string &name, std::vector<int32_t> values);
  // Any entry, as raw fields (value is an offset into the data section for array data).
  uint32_t symbol(uint8_t attribute, const std::string &name, uint32_t value, int32_t size,
                  std::vector<uint8_t> data = {});

  // Format 2 tables. `next` is the index of the next procedure of the chain (0 ends it).
  uint32_t procedure(const std::string &name, uint32_t next, uint8_t attribute,
                     uint32_t code_offset);
  uint32_t action(const std::string &name, uint32_t first_procedure,
                  std::optional<std::string> description = std::nullopt);

  // Code. Each emitter returns the code offset of the instruction it wrote.
  uint32_t here() const { return static_cast<uint32_t>(code_.size()); }
  uint32_t op(uint8_t opcode);
  uint32_t op(uint8_t opcode, uint32_t a0);
  uint32_t op(uint8_t opcode, uint32_t a0, uint32_t a1);
  uint32_t op(uint8_t opcode, uint32_t a0, uint32_t a1, uint32_t a2);
  // Pushes each value with PUSH_LITERAL, in order (the last ends on top).
  void push(std::initializer_list<int32_t> values);
  // Overwrites operand k of the instruction at `at` (to patch forward jumps).
  void patch(uint32_t at, int k, uint32_t value);
  void raw(std::vector<uint8_t> bytes);

  // The image with its CRC; `extra_tail` bytes after the CRC.
  std::vector<uint8_t> build(std::vector<uint8_t> extra_tail = {}) const;
  Layout layout() const;

 private:
  struct Sym {
    uint8_t attribute;
    uint32_t name;
    uint32_t value;
    int32_t size;
    std::vector<uint8_t> data;
  };
  struct Proc {
    uint32_t name, next;
    uint8_t attribute;
    uint32_t code;
  };
  struct Act {
    uint32_t name, first;
    std::optional<uint32_t> description;
  };
  int format_;
  std::string strings_;
  std::string note_strings_;
  std::vector<std::pair<uint32_t, uint32_t>> notes_;
  std::vector<Sym> symbols_;
  std::vector<Proc> procs_;
  std::vector<Act> actions_;
  std::vector<uint8_t> code_;
};

// CRC-16/X-25 of a byte range, computed independently of the player.
uint16_t crc_x25(const uint8_t *data, size_t length);

}  // namespace playertest::bytecode
