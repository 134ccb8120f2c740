// The texts of typed-reading errors ("missing field `x`", "invalid type: ..., expected ..."),
// shared by the manifest reader and the row-line reader so that both speak alike. Each comes
// with the reason and the pieces it is built from, for programs that act on the error.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "karnid/manifest/error.hpp"
#include "karnid/manifest/json.hpp"

namespace karnid::manifest::json_messages {

// A typed reader's complaint: the message, and its reason and pieces in `facts` (the offset
// and the path are the reader's to fill in).
struct Complaint {
  std::string message;
  ParseFacts facts;
};

// `a`; `a` or `b`; one of `a`, `b`, `c`.
[[nodiscard]] std::string expected_list(std::span<const std::string_view> names);
// How a value shows up in "invalid type" and "invalid value" messages: null, boolean `true`,
// integer `5`, floating point `2.5`, string "x", sequence, map.
[[nodiscard]] std::string describe(const json::Value& v);

[[nodiscard]] Complaint missing_field(std::string_view key);
[[nodiscard]] Complaint duplicate_field(std::string_view key);
[[nodiscard]] Complaint unknown_field(std::string_view key,
                                      std::span<const std::string_view> expected);
[[nodiscard]] Complaint unknown_variant(std::string_view value,
                                        std::span<const std::string_view> names);
[[nodiscard]] Complaint invalid_type(const json::Value& v, std::string_view expected);
[[nodiscard]] Complaint invalid_value(const json::Value& v, std::string_view expected);
[[nodiscard]] Complaint invalid_length(std::size_t length, std::string_view expected);

}  // namespace karnid::manifest::json_messages
