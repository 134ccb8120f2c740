// The texts of typed-reading errors ("missing field `x`", "invalid type: ..., expected ..."),
// shared by the manifest reader and the row-line reader so that both speak alike.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "karnid/manifest/json.hpp"

namespace karnid::manifest::json_messages {

// `a`; `a` or `b`; one of `a`, `b`, `c`.
[[nodiscard]] std::string expected_list(std::span<const std::string_view> names);
// How a value shows up in "invalid type" and "invalid value" messages: null, boolean `true`,
// integer `5`, floating point `2.5`, string "x", sequence, map.
[[nodiscard]] std::string describe(const json::Value& v);

[[nodiscard]] std::string missing_field(std::string_view key);
[[nodiscard]] std::string duplicate_field(std::string_view key);
[[nodiscard]] std::string unknown_field(std::string_view key,
                                        std::span<const std::string_view> expected);
[[nodiscard]] std::string unknown_variant(std::string_view value,
                                          std::span<const std::string_view> names);
[[nodiscard]] std::string invalid_type(const json::Value& v, std::string_view expected);
[[nodiscard]] std::string invalid_value(const json::Value& v, std::string_view expected);
[[nodiscard]] std::string invalid_length(std::size_t length, std::string_view expected);

}  // namespace karnid::manifest::json_messages
