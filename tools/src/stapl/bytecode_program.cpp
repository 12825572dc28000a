#include "tools/src/stapl/bytecode_program.h"

namespace stapl {

uint32_t StringPool::add(const std::string &text) {
  auto found = offsets_.find(text);
  if (found != offsets_.end()) return found->second;
  auto offset = static_cast<uint32_t>(bytes_.size());
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  bytes_.push_back(0);
  offsets_.emplace(text, offset);
  return offset;
}

uint8_t symbol_attribute(const Symbol &symbol) {
  // 0x04 initial data, 0x08 array, 0x10 integer elements, 0x02 compressed.
  switch (symbol.kind) {
    case SymbolKind::kScalar:
      return symbol.integer ? 0x10 : 0x00;
    case SymbolKind::kInitScalar:
      return symbol.integer ? 0x14 : 0x04;
    case SymbolKind::kBoolArray:
      return 0x08;
    case SymbolKind::kInitBoolArray:
      return 0x0C;
    case SymbolKind::kCompressedBoolArray:
      return 0x0E;
    case SymbolKind::kIntArray:
      return 0x18;
    case SymbolKind::kInitIntArray:
      return 0x1C;
  }
  return 0;
}

}  // namespace stapl
