// The four written forms of a UUID that a row map identifier may take.
#include "uuid_text.hpp"

namespace karnid::manifest {

bool is_uuid_text(std::string_view text) noexcept {
  using uuid::kHyphenatedLength;
  using uuid::kUrnPrefix;
  const char* p = text.data();
  switch (text.size()) {
    case uuid::kSimpleLength:
      return uuid::is_simple(p);
    case kHyphenatedLength:
      return uuid::is_hyphenated(p);
    case kHyphenatedLength + 2:
      return p[0] == '{' && p[kHyphenatedLength + 1] == '}' && uuid::is_hyphenated(p + 1);
    case kHyphenatedLength + kUrnPrefix.size():
      return text.starts_with(kUrnPrefix) && uuid::is_hyphenated(p + kUrnPrefix.size());
    default:
      return false;
  }
}

}  // namespace karnid::manifest
