// Object members for the writers of manifests, reports and load plans: a key and its value in one
// call. Private to the library.
//
// An absent optional value is written in one of two ways, and each document keeps to one of them:
// reports and load plans write every key and null for what is absent (member_or_null), while a
// manifest leaves out what it does not state (member_if_present).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "karnid/manifest/json.hpp"

namespace karnid::manifest {

inline void member_string(json::Writer& w, std::string_view key, std::string_view value) {
  w.key(key);
  w.string(value);
}

inline void member_u64(json::Writer& w, std::string_view key, std::uint64_t value) {
  w.key(key);
  w.u64(value);
}

inline void member_bool(json::Writer& w, std::string_view key, bool value) {
  w.key(key);
  w.boolean(value);
}

// The value of a member whose type the writer takes from the record.
inline void write_scalar(json::Writer& w, std::string_view value) {
  w.string(value);
}
inline void write_scalar(json::Writer& w, std::uint64_t value) {
  w.u64(value);
}
inline void write_scalar(json::Writer& w, double value) {
  w.f64(value);
}

template <typename T>
void member_or_null(json::Writer& w, std::string_view key, const std::optional<T>& value) {
  w.key(key);
  if (value) {
    write_scalar(w, *value);
  } else {
    w.null();
  }
}

template <typename T>
void member_if_present(json::Writer& w, std::string_view key, const std::optional<T>& value) {
  if (!value) return;
  w.key(key);
  write_scalar(w, *value);
}

}  // namespace karnid::manifest
