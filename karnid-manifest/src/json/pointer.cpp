// Lookups in a parsed value: the first member with a key, and RFC 6901 JSON pointers.
#include <charconv>
#include <system_error>

#include "karnid/manifest/json.hpp"

namespace karnid::json {

namespace {

bool parse_array_index(std::string_view token, std::size_t& index) {
  if (token.empty() || (token.size() > 1 && token[0] == '0')) return false;
  const auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), index);
  return ec == std::errc{} && ptr == token.data() + token.size();
}

// Whether an escaped pointer token (already checked for malformed "~") names this key.
bool token_matches(std::string_view token, std::string_view key) {
  std::size_t k = 0;
  for (std::size_t i = 0; i < token.size(); ++i, ++k) {
    char c = token[i];
    if (c == '~') c = token[++i] == '0' ? '~' : '/';
    if (k >= key.size() || key[k] != c) return false;
  }
  return k == key.size();
}

bool valid_token(std::string_view token) {
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (token[i] != '~') continue;
    if (i + 1 >= token.size() || (token[i + 1] != '0' && token[i + 1] != '1')) return false;
    ++i;
  }
  return true;
}

}  // namespace

const Value* Value::find(std::string_view key) const noexcept {
  if (type != Type::Object) return nullptr;
  for (const Member& member : object) {
    if (member.key == key) return &member.value;
  }
  return nullptr;
}

const Value* Value::pointer(std::string_view json_pointer) const noexcept {
  const Value* current = this;
  if (json_pointer.empty()) return current;
  if (json_pointer.front() != '/') return nullptr;
  std::size_t start = 1;
  for (;;) {
    const std::size_t slash = json_pointer.find('/', start);
    const std::string_view token =
        json_pointer.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (!valid_token(token)) return nullptr;
    if (current->type == Type::Object) {
      const Value* found = nullptr;
      for (const Member& member : current->object) {
        if (token_matches(token, member.key)) {
          found = &member.value;
          break;
        }
      }
      current = found;
    } else if (current->type == Type::Array) {
      std::size_t index = 0;
      if (!parse_array_index(token, index) || index >= current->array.size()) return nullptr;
      current = &current->array[index];
    } else {
      return nullptr;
    }
    if (current == nullptr || slash == std::string_view::npos) return current;
    start = slash + 1;
  }
}

}  // namespace karnid::json
