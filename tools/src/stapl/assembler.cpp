#include "tools/src/stapl/assembler.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "stapl/src/jbiopcodes.h"
#include "tools/src/stapl/asm_lexer.h"
#include "tools/src/stapl/tap_states.h"

namespace stapl {
namespace {

constexpr size_t kMaxErrors = 50;
// Arrays whose data is written out are held in memory while assembling; these caps keep a
// typing slip such as "[1000000000]" from exhausting memory.
constexpr uint64_t kMaxIntArrayWithData = 1u << 24;
constexpr uint64_t kMaxBoolArrayWithData = 1u << 28;
constexpr uint64_t kMaxCode = 1u << 30;

std::string upper(std::string s) {
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// One entry of the code section, encoded in the second pass once every label is known.
struct CodeItem {
  int line = 0;
  enum Kind { kInstruction, kBytes, kWords } kind = kInstruction;
  const JbiOpcodeInfo *op = nullptr;
  std::vector<Token> operands;
};

class Assembler {
 public:
  explicit Assembler(std::string name) : name_(std::move(name)) {}

  AsmResult run(std::string_view source) {
    std::vector<SourceLine> lines = split_source(source);
    for (SourceLine &line : lines) {
      if (full()) break;
      line_ = line.number;
      if (!line.error.empty()) {
        error(line.error);
        continue;
      }
      tokens_ = &line.tokens;
      pos_ = 0;
      statement();
    }
    finish();
    std::stable_sort(errors_.begin(), errors_.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[line, message] : errors_) {
      result_.errors.push_back(name_ + ":" + std::to_string(line) + ": " + message);
    }
    if (full()) result_.errors.push_back(name_ + ": too many errors, giving up");
    return std::move(result_);
  }

 private:
  // ---- diagnostics -----------------------------------------------------------------------
  bool full() const { return errors_.size() >= kMaxErrors; }
  void error_at(int line, const std::string &message) {
    if (!full()) errors_.emplace_back(line, message);
  }
  void error(const std::string &message) { error_at(line_, message); }

  // ---- token cursor ----------------------------------------------------------------------
  const Token &peek(size_t ahead = 0) const {
    size_t at = pos_ + ahead;
    return at < tokens_->size() ? (*tokens_)[at] : tokens_->back();
  }
  const Token &next() {
    const Token &t = peek();
    if (pos_ < tokens_->size() - 1) ++pos_;
    return t;
  }
  bool at_punct(char c) const { return peek().kind == Token::kPunct && peek().punct == c; }
  bool accept_punct(char c) {
    if (!at_punct(c)) return false;
    next();
    return true;
  }
  bool at_end() const { return peek().kind == Token::kEnd; }
  static std::string describe(const Token &t) {
    switch (t.kind) {
      case Token::kIdent:
        return "'" + t.text + "'";
      case Token::kDirective:
        return "'." + t.text + "'";
      case Token::kNumber:
        return "number " + std::to_string(t.number);
      case Token::kString:
        return "string \"" + t.text + "\"";
      case Token::kPunct:
        return std::string("'") + t.punct + "'";
      case Token::kData:
        return "array data";
      case Token::kEnd:
        return "end of line";
    }
    return "token";
  }
  bool expect_end() {
    if (at_end()) return true;
    error("unexpected " + describe(peek()) + " at the end of the statement");
    return false;
  }
  std::optional<std::string> expect_ident(const char *what) {
    if (peek().kind != Token::kIdent) {
      error(std::string("expected ") + what + ", found " + describe(peek()));
      return std::nullopt;
    }
    return next().text;
  }
  std::optional<int64_t> expect_number(const char *what) {
    if (peek().kind != Token::kNumber) {
      error(std::string("expected ") + what + ", found " + describe(peek()));
      return std::nullopt;
    }
    return next().number;
  }

  // ---- statements ------------------------------------------------------------------------
  void statement() {
    // Labels: NAME ':' (several may stand before one instruction).
    while (peek().kind == Token::kIdent && peek(1).kind == Token::kPunct && peek(1).punct == ':') {
      define_label(next().text, line_);
      next();
    }
    if (at_end()) return;
    const Token &first = peek();
    if (first.kind == Token::kDirective) {
      directive();
    } else if (first.kind == Token::kIdent) {
      instruction();
    } else {
      error("expected a directive, a label or an instruction, found " + describe(first));
    }
  }

  void directive() {
    std::string d = next().text;
    std::string key = upper(d);
    if (key == "FORMAT") {
      format_directive();
    } else if (key == "NOTE") {
      note_directive();
    } else if (key == "ACTION") {
      action_directive();
    } else if (key == "PROCEDURE" || key == "PROC") {
      procedure_directive();
    } else if (key == "INTEGER" || key == "BOOLEAN") {
      symbol_directive(key == "INTEGER");
    } else if (key == "BYTE" || key == "WORD") {
      raw_directive(key == "WORD");
    } else {
      error("unknown directive '." + d + "'");
    }
  }

  void format_directive() {
    auto n = expect_number("the format number 1 or 2");
    if (!n) return;
    if (*n != 1 && *n != 2) {
      error("format must be 1 (\"Jam 1.1\") or 2 (\"Jam STAPL\"), not " + std::to_string(*n));
      return;
    }
    if (format_line_ != 0) {
      error("format already set on line " + std::to_string(format_line_));
      return;
    }
    if (!expect_end()) return;
    format_line_ = line_;
    result_.program.format = static_cast<int>(*n);
  }

  std::optional<std::string> text_operand(const char *what) {
    const Token &t = peek();
    if (t.kind == Token::kString || t.kind == Token::kIdent) return next().text;
    if (t.kind == Token::kNumber) return std::to_string(next().number);
    error(std::string("expected ") + what + ", found " + describe(t));
    return std::nullopt;
  }

  void note_directive() {
    auto key = text_operand("a note key");
    if (!key) return;
    accept_punct('=');
    auto value = text_operand("a note value");
    if (!value || !expect_end()) return;
    result_.program.notes.push_back({*key, *value});
  }

  // .action NAME ["description"] = PROC [optional|recommended], ...
  void action_directive() {
    auto name = expect_ident("an action name");
    if (!name) return;
    Action action;
    action.name = *name;
    if (peek().kind == Token::kString) action.description = next().text;
    if (!accept_punct('=')) {
      error("expected '=' and the action's procedures, found " + describe(peek()));
      return;
    }
    do {
      auto proc = expect_ident("a procedure name");
      if (!proc) return;
      ActionStep step{*proc, ProcAttribute::kAlways};
      if (peek().kind == Token::kIdent) {
        std::string attr = upper(peek().text);
        if (attr == "OPTIONAL") {
          step.attribute = ProcAttribute::kOptional;
        } else if (attr == "RECOMMENDED") {
          step.attribute = ProcAttribute::kRecommended;
        } else if (attr == "ALWAYS") {
          step.attribute = ProcAttribute::kAlways;
        } else {
          error("unknown procedure attribute '" + peek().text +
                "' (use optional, recommended or always)");
          return;
        }
        next();
      }
      action.steps.push_back(step);
    } while (accept_punct(','));
    if (!expect_end()) return;
    for (const auto &[other, line] : action_lines_) {
      if (upper(other) == upper(action.name)) {
        error("action '" + action.name + "' already defined on line " + std::to_string(line));
        return;
      }
    }
    action_lines_.emplace_back(action.name, line_);
    result_.program.actions.push_back(std::move(action));
  }

  void procedure_directive() {
    auto name = expect_ident("a procedure name");
    if (!name || !expect_end()) return;
    if (procedure_lines_.count(*name) != 0) {
      error("procedure '" + *name + "' already defined on line " +
            std::to_string(procedure_lines_[*name]));
      return;
    }
    procedure_lines_[*name] = line_;
    result_.program.procedures[*name] = static_cast<uint32_t>(code_size_);
    define_label(*name, line_);
  }

  void define_label(const std::string &name, int line) {
    auto found = label_lines_.find(name);
    if (found != label_lines_.end()) {
      error_at(line,
               "label '" + name + "' already defined on line " + std::to_string(found->second));
      return;
    }
    label_lines_[name] = line;
    labels_[name] = static_cast<uint32_t>(code_size_);
  }

  // .integer NAME [ '[' N? ']' ] [ = values ]      .boolean NAME [ '[' N? ']' ] [compressed] [ =
  // data ]
  void symbol_directive(bool integer) {
    auto name = expect_ident("a symbol name");
    if (!name) return;
    Symbol s;
    s.name = *name;
    s.integer = integer;
    if (!symbol_body(s)) {
      // Known all the same, so its uses do not each report it again.
      symbols_.emplace(s.name, 0);
      return;
    }
    std::string key = upper(s.name);
    auto found = symbol_lines_.find(key);
    if (found != symbol_lines_.end()) {
      error("symbol '" + s.name + "' already declared on line " + std::to_string(found->second));
      return;
    }
    symbol_lines_[key] = line_;
    symbols_[s.name] = static_cast<uint32_t>(result_.program.symbols.size());
    result_.program.symbols.push_back(std::move(s));
  }

  bool symbol_body(Symbol &s) {
    const bool integer = s.integer;
    bool array = false;
    std::optional<int64_t> count;
    if (accept_punct('[')) {
      array = true;
      if (peek().kind == Token::kNumber) {
        int64_t n = next().number;
        if (n < 0) {
          error("array size must not be negative");
          return false;
        }
        count = n;
      }
      if (!accept_punct(']')) {
        error("expected ']' after the array size, found " + describe(peek()));
        return false;
      }
    }
    bool compressed = false;
    if (peek().kind == Token::kIdent && upper(peek().text) == "COMPRESSED") {
      next();
      compressed = true;
      if (!array || integer) {
        error("only Boolean arrays can be compressed");
        return false;
      }
    }
    bool has_data = accept_punct('=');
    if (!array) {
      if (has_data) {
        auto v = expect_number("an initial value");
        if (!v) return false;
        s.kind = SymbolKind::kInitScalar;
        s.initial = static_cast<int32_t>(static_cast<uint32_t>(*v));
      } else {
        s.kind = SymbolKind::kScalar;
      }
    } else if (!has_data) {
      if (compressed) {
        error("a compressed array needs initial data");
        return false;
      }
      if (!count) {
        error("an array without initial data needs its size in []");
        return false;
      }
      if (*count > 0xFFFFFFFFll) {
        error("array size does not fit in 32 bits");
        return false;
      }
      s.kind = integer ? SymbolKind::kIntArray : SymbolKind::kBoolArray;
      s.count = static_cast<uint32_t>(*count);
    } else if (integer) {
      if (!int_array_data(s, count)) return false;
    } else {
      if (!bool_array_data(s, count)) return false;
      s.kind = compressed ? SymbolKind::kCompressedBoolArray : SymbolKind::kInitBoolArray;
    }
    return expect_end();
  }

  bool int_array_data(Symbol &s, std::optional<int64_t> count) {
    s.kind = SymbolKind::kInitIntArray;
    do {
      auto v = expect_number("an integer element");
      if (!v) return false;
      if (s.ints.size() >= kMaxIntArrayWithData) {
        error("too many elements");
        return false;
      }
      s.ints.push_back(static_cast<int32_t>(static_cast<uint32_t>(*v)));
    } while (accept_punct(','));
    uint64_t n = count ? static_cast<uint64_t>(*count) : s.ints.size();
    if (n > kMaxIntArrayWithData) {
      error("an integer array with initial data may have at most " +
            std::to_string(kMaxIntArrayWithData) + " elements");
      return false;
    }
    if (s.ints.size() > n) {
      error(std::to_string(s.ints.size()) + " initial values for " + std::to_string(n) +
            " elements");
      return false;
    }
    s.ints.resize(n, 0);
    s.count = static_cast<uint32_t>(n);
    return true;
  }

  // "hex" digits: the array as one number, element 0 its least significant bit;
  // "bin" digits: likewise, one digit per element.
  bool bool_array_data(Symbol &s, std::optional<int64_t> count) {
    if (peek().kind != Token::kIdent) {
      error("expected 'hex' or 'bin' and the array's bits, found " + describe(peek()));
      return false;
    }
    bool hex = upper(next().text) == "HEX";
    std::string digits;
    for (char c : next().text) {  // the kData token
      if (std::isspace(static_cast<unsigned char>(c)) || c == '_') continue;
      digits.push_back(c);
    }
    if (digits.empty()) {
      error("array data has no digits");
      return false;
    }
    const unsigned per_digit = hex ? 4 : 1;
    uint64_t n = count ? static_cast<uint64_t>(*count) : per_digit * digits.size();
    if (n > kMaxBoolArrayWithData) {
      error("a Boolean array with initial data may have at most " +
            std::to_string(kMaxBoolArrayWithData) + " elements");
      return false;
    }
    s.count = static_cast<uint32_t>(n);
    s.bits.assign((n + 7) / 8, 0);
    uint64_t bit = 0;
    for (size_t k = digits.size(); k-- > 0; bit += per_digit) {
      char c = digits[k];
      int v = -1;
      if (hex && std::isxdigit(static_cast<unsigned char>(c))) {
        v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
      } else if (!hex && (c == '0' || c == '1')) {
        v = c - '0';
      }
      if (v < 0) {
        error(std::string("'") + c + "' is not a " + (hex ? "hexadecimal" : "binary") + " digit");
        return false;
      }
      for (unsigned b = 0; b < per_digit; ++b) {
        if (((v >> b) & 1) == 0) continue;
        if (bit + b >= n) {
          error("array data has more bits than the " + std::to_string(n) + " elements");
          return false;
        }
        s.bits[(bit + b) / 8] |= static_cast<uint8_t>(1u << ((bit + b) % 8));
      }
    }
    return true;
  }

  void raw_directive(bool words) {
    CodeItem item;
    item.line = line_;
    item.kind = words ? CodeItem::kWords : CodeItem::kBytes;
    if (!operand_list(item.operands)) return;
    if (item.operands.empty()) {
      error(std::string("expected values after .") + (words ? "word" : "byte"));
      return;
    }
    add_code(std::move(item), (words ? 4 : 1) * item.operands.size());
  }

  void instruction() {
    const Token &mnemonic = next();
    const JbiOpcodeInfo *op = jbi_opcode_by_name(mnemonic.text.c_str());
    if (op == nullptr) {
      error("unknown instruction '" + mnemonic.text + "'");
      return;
    }
    CodeItem item;
    item.line = line_;
    item.op = op;
    if (!operand_list(item.operands)) return;
    if (item.operands.size() != op->operands) {
      error(std::string(op->name) + " takes " + std::to_string(op->operands) + " operand" +
            (op->operands == 1 ? "" : "s") + ", found " + std::to_string(item.operands.size()));
      return;
    }
    add_code(std::move(item), 1 + 4 * op->operands);
  }

  // Operands separated by commas or blanks.
  bool operand_list(std::vector<Token> &out) {
    while (!at_end()) {
      const Token &t = peek();
      if (t.kind != Token::kNumber && t.kind != Token::kString && t.kind != Token::kIdent) {
        error("expected an operand, found " + describe(t));
        return false;
      }
      out.push_back(next());
      if (!accept_punct(',') || !at_end()) continue;
      error("expected an operand after ','");
      return false;
    }
    return true;
  }

  void add_code(CodeItem item, size_t size) {
    if (code_size_ + size > kMaxCode) {
      error("code section too large");
      return;
    }
    code_size_ += size;
    code_.push_back(std::move(item));
  }

  // ---- second pass -----------------------------------------------------------------------
  // An operand of an instruction: a number is taken as it stands; a name or a string is read
  // as the operand's kind asks (a symbol, a label, a TAP state, a string of the string table).
  std::optional<uint32_t> resolve(const Token &t, JbiOperandKind kind, int line) {
    if (t.kind == Token::kNumber) return static_cast<uint32_t>(t.number);
    switch (kind) {
      case JBI_OPND_STRING:
        if (t.kind == Token::kString) return result_.program.strings.add(t.text);
        error_at(line, "expected a string, found '" + t.text + "'");
        return std::nullopt;
      case JBI_OPND_VARIABLE:
        if (t.kind == Token::kIdent) {
          if (auto s = symbols_.find(t.text); s != symbols_.end()) return s->second;
        }
        error_at(line, "expected a symbol, found " + shown(t));
        return std::nullopt;
      case JBI_OPND_CODE:
        if (t.kind == Token::kIdent) {
          if (auto l = labels_.find(t.text); l != labels_.end()) return l->second;
        }
        error_at(line, "expected a label, found " + shown(t));
        return std::nullopt;
      case JBI_OPND_STATE:
        if (t.kind == Token::kIdent) {
          if (auto state = tap_state_number(t.text)) return static_cast<uint32_t>(*state);
        }
        error_at(line, "expected a TAP state (RESET, IDLE, DRPAUSE, ...), found " + shown(t));
        return std::nullopt;
      default:
        // A plain number may also be given by name: the index of an array that an export
        // takes from the stack, or the offset of a loop body.
        if (t.kind == Token::kIdent) return resolve_any(t, line);
        error_at(line, "expected a number, found " + shown(t));
        return std::nullopt;
    }
  }

  // A .word value: a number, a string, or any label, symbol or TAP state.
  std::optional<uint32_t> resolve_any(const Token &t, int line) {
    if (t.kind == Token::kNumber) return static_cast<uint32_t>(t.number);
    if (t.kind == Token::kString) return result_.program.strings.add(t.text);
    std::vector<std::string> kinds;
    uint32_t value = 0;
    if (auto l = labels_.find(t.text); l != labels_.end()) {
      kinds.push_back("a label");
      value = l->second;
    }
    if (auto s = symbols_.find(t.text); s != symbols_.end()) {
      kinds.push_back("a symbol");
      value = s->second;
    }
    if (auto state = tap_state_number(t.text)) {
      kinds.push_back("a TAP state");
      value = static_cast<uint32_t>(*state);
    }
    if (kinds.empty()) {
      error_at(line, "unknown name '" + t.text + "' (not a label, symbol or TAP state)");
      return std::nullopt;
    }
    if (kinds.size() > 1) {
      error_at(line, "'" + t.text + "' is ambiguous: it is both " + kinds[0] + " and " + kinds[1]);
      return std::nullopt;
    }
    return value;
  }

  static std::string shown(const Token &t) {
    if (t.kind == Token::kString) return "string \"" + t.text + "\"";
    return "'" + t.text + "'";
  }

  void put32(std::vector<uint8_t> &out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
  }

  void finish() {
    Program &p = result_.program;
    if (p.format == 1) {
      for (const auto &[name, line] : action_lines_) {
        error_at(line, "action '" + name + "': a format 1 file has no actions");
      }
      for (const auto &[name, line] : procedure_lines_) {
        error_at(line, "procedure '" + name + "': a format 1 file has no procedures");
      }
    }
    for (size_t i = 0; i < p.actions.size(); ++i) {
      for (const ActionStep &step : p.actions[i].steps) {
        if (p.procedures.count(step.procedure) == 0) {
          error_at(action_lines_[i].second, "action '" + p.actions[i].name + "' names procedure '" +
                                                step.procedure + "', which is not defined");
        }
      }
    }
    for (const auto &[name, offset] : p.procedures) {
      if (offset >= code_size_) {
        error_at(procedure_lines_[name], "procedure '" + name + "' has no code");
      }
    }
    // Symbol names go into the string table first: format 1 entries reach only 64 KiB.
    for (const Symbol &s : p.symbols) p.strings.add(s.name);
    p.code.reserve(code_size_);
    for (const CodeItem &item : code_) {
      if (full()) break;
      if (item.kind == CodeItem::kInstruction) {
        p.code.push_back(item.op->code);
        for (size_t k = 0; k < item.operands.size(); ++k) {
          put32(p.code, resolve(item.operands[k], item.op->kind[k], item.line).value_or(0));
        }
      } else if (item.kind == CodeItem::kWords) {
        for (const Token &t : item.operands) put32(p.code, resolve_any(t, item.line).value_or(0));
      } else {
        for (const Token &t : item.operands) {
          if (t.kind != Token::kNumber || t.number < -128 || t.number > 255) {
            error_at(item.line, ".byte values must be numbers from -128 to 255");
            continue;
          }
          p.code.push_back(static_cast<uint8_t>(t.number));
        }
      }
    }
  }

  std::string name_;
  AsmResult result_;
  int line_ = 0;
  const std::vector<Token> *tokens_ = nullptr;
  std::vector<std::pair<int, std::string>> errors_;
  size_t pos_ = 0;

  int format_line_ = 0;
  size_t code_size_ = 0;
  std::vector<CodeItem> code_;
  std::map<std::string, uint32_t> labels_;
  std::map<std::string, int> label_lines_;
  std::map<std::string, uint32_t> symbols_;
  std::map<std::string, int> symbol_lines_;  // by upper-case name
  std::map<std::string, int> procedure_lines_;
  std::vector<std::pair<std::string, int>> action_lines_;
};

}  // namespace

AsmResult assemble(std::string_view source, const std::string &source_name) {
  return Assembler(source_name).run(source);
}

}  // namespace stapl
