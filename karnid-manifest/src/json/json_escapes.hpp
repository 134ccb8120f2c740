// The two-character escapes of JSON strings, which the reader and the writer share. Private to
// the json folder.
#pragma once

#include <string_view>

namespace karnid::json {

// The two-character escapes, both ways: the letter after the backslash and the byte it stands
// for. The reader also accepts "\/", which the writer never needs.
inline constexpr std::string_view kEscapeLetters = "\"\\/bfnrt";
inline constexpr std::string_view kEscapedBytes = "\"\\/\b\f\n\r\t";

}  // namespace karnid::json
