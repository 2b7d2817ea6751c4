#include "support/symbol.h"

#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "support/internal_error.h"

namespace morvalen::support {
namespace {

// The texts live in a deque so that views into them stay valid as it grows;
// the index map's keys view the same strings.
struct SymbolTable {
  std::shared_mutex mutex;
  std::deque<std::string> texts;
  std::unordered_map<std::string_view, std::uint32_t> index;
};

SymbolTable& table() {
  // Never destroyed: symbols may be read during static destruction elsewhere.
  static SymbolTable* t = new SymbolTable();
  return *t;
}

}  // namespace

Symbol Symbol::intern(std::string_view text) {
  SymbolTable& t = table();
  {
    std::shared_lock lock(t.mutex);
    auto it = t.index.find(text);
    if (it != t.index.end()) return Symbol(it->second);
  }
  std::unique_lock lock(t.mutex);
  auto it = t.index.find(text);
  if (it != t.index.end()) return Symbol(it->second);
  if (t.texts.size() >= 0xFFFFFFFFu) throw InternalError("symbol table is full");
  auto id = static_cast<std::uint32_t>(t.texts.size());
  t.texts.emplace_back(text);
  t.index.emplace(std::string_view(t.texts.back()), id);
  return Symbol(id);
}

std::string_view Symbol::text() const {
  SymbolTable& t = table();
  std::shared_lock lock(t.mutex);
  if (index_ >= t.texts.size()) throw InternalError("unknown symbol index " + std::to_string(index_));
  return t.texts[index_];
}

std::size_t interned_symbol_count() {
  SymbolTable& t = table();
  std::shared_lock lock(t.mutex);
  return t.texts.size();
}

}  // namespace morvalen::support
