// The contents of a byte-code file before it is laid out: what the assembler builds and the
// writer turns into bytes. Names and code are kept as the program sees them; the writer
// decides every offset except the string-table offsets the code already refers to.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace stapl {

// The string table under construction. Equal strings share one entry, so an offset handed
// out once stays valid for every later use of the same text.
class StringPool {
 public:
  // Offset of `text` from the start of the string table, adding it if new.
  uint32_t add(const std::string &text);
  // The table as it goes into the file: every string followed by its NUL.
  const std::vector<uint8_t> &bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  std::map<std::string, uint32_t> offsets_;
};

struct Note {
  std::string key;
  std::string value;
};

// Procedure attribute as stored in the low two bits of a procedure table entry.
enum class ProcAttribute : uint8_t { kAlways = 0, kOptional = 1, kRecommended = 2 };

struct ActionStep {
  std::string procedure;
  ProcAttribute attribute = ProcAttribute::kAlways;
};

struct Action {
  std::string name;
  std::optional<std::string> description;
  std::vector<ActionStep> steps;  // the chain, in run order; never empty in a written file
};

enum class SymbolKind {
  kScalar,               // starts at 0
  kInitScalar,           // starts at `initial`
  kBoolArray,            // `count` zero bits
  kInitBoolArray,        // `bits`, packed in the file
  kCompressedBoolArray,  // `bits`, stored as a compressed block
  kIntArray,             // `count` zero integers
  kInitIntArray,         // `ints`
};

struct Symbol {
  std::string name;
  SymbolKind kind = SymbolKind::kScalar;
  bool integer = true;  // scalars only: integer or Boolean (the file marks it, nothing reads it)
  int32_t initial = 0;  // kInitScalar
  uint32_t count = 0;   // number of elements of an array
  std::vector<uint8_t> bits;  // Boolean array data, element i = bit i % 8 of byte i / 8
  std::vector<int32_t> ints;  // integer array data, `count` values
};

// The attribute byte a symbol of this kind carries in the symbol table.
uint8_t symbol_attribute(const Symbol &symbol);

struct Program {
  int format = 2;  // 1 = "Jam 1.1", 2 = "Jam STAPL"
  std::vector<Note> notes;
  std::vector<Action> actions;                 // format 2 only
  std::map<std::string, uint32_t> procedures;  // name -> code offset (format 2 only)
  std::vector<Symbol> symbols;                 // index = the variable number the code uses
  std::vector<uint8_t> code;
  StringPool strings;  // names, descriptions and the strings the code prints or exports
};

}  // namespace stapl
