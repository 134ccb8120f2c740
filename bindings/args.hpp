// Argument binding and conversion for the module's vector-call functions.
//
// A function declares its parameters once, as a Signature; the same table drives binding (with
// the interpreter's customary TypeError wording), the conversions in table order and the text
// signature that the function's docstring carries. Conversions turn Python objects into owned
// C++ values while the interpreter lock is held; after them no Python object is needed.
#pragma once

#include "py_ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/create.hpp"
#include "karnid/manifest/limits.hpp"

namespace karnid::bindings {

struct Parameter {
  std::string_view name;
  bool keyword_only = false;      // false: positional-or-keyword
  bool required = false;          // every positional parameter here is required
  std::string_view default_text;  // the default as the text signature shows it
  bool hidden = false;            // accepted, but left out of the text signature
};

// Positional-or-keyword and required.
consteval Parameter positional(std::string_view name) {
  return {name, false, true, {}};
}
// Keyword-only with a default.
consteval Parameter keyword(std::string_view name, std::string_view default_text) {
  return {name, true, false, default_text, false};
}
// Keyword-only with a default, for the package's own use: an opt-in that a caller of the
// documented signature never passes, so the text signature does not show it.
consteval Parameter package_keyword(std::string_view name, std::string_view default_text) {
  return {name, true, false, default_text, true};
}

// `head` followed by the ten limit keywords (default None), in the fixed limit order.
template <std::size_t N>
consteval std::array<Parameter, N + manifest::kLimitFields.size()> with_limits(
    const std::array<Parameter, N>& head) {
  std::array<Parameter, N + manifest::kLimitFields.size()> all{};
  for (std::size_t i = 0; i < N; ++i) all[i] = head[i];
  for (std::size_t i = 0; i < manifest::kLimitFields.size(); ++i) {
    all[N + i] = keyword(manifest::kLimitFields[i].name, "None");
  }
  return all;
}

// `head` followed by `tail`.
template <std::size_t N, std::size_t M>
consteval std::array<Parameter, N + M> joined(const std::array<Parameter, N>& head,
                                              const std::array<Parameter, M>& tail) {
  std::array<Parameter, N + M> all{};
  for (std::size_t i = 0; i < N; ++i) all[i] = head[i];
  for (std::size_t i = 0; i < M; ++i) all[N + i] = tail[i];
  return all;
}

inline constexpr std::size_t kMaxParameters = 24;

struct Signature {
  std::string_view function;  // bare name; messages show it followed by "()"
  std::span<const Parameter> parameters;

  // Index of a parameter; an unknown name fails to compile.
  consteval std::size_t at(std::string_view name) const {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      if (parameters[i].name == name) return i;
    }
    throw "unknown parameter name";
  }
};

// ---- text signatures -------------------------------------------------------------------------

// "name(a, *, b=None)\n--\n\n": the form from which the interpreter derives __text_signature__,
// leaving no further documentation text.
consteval std::size_t text_signature_length(const Signature& signature) {
  std::size_t length = signature.function.size() + 1;  // "name("
  bool star_written = false;
  bool first = true;
  for (const Parameter& parameter : signature.parameters) {
    if (parameter.hidden) continue;
    if (!first) length += 2;  // ", "
    first = false;
    if (parameter.keyword_only && !star_written) {
      length += 3;  // "*, "
      star_written = true;
    }
    length += parameter.name.size();
    if (!parameter.required) length += 1 + parameter.default_text.size();
  }
  return length + 6;  // ")\n--\n\n"
}

template <std::size_t Length>
consteval std::array<char, Length + 1> make_text_signature(const Signature& signature) {
  std::array<char, Length + 1> text{};
  std::size_t at = 0;
  auto put = [&](std::string_view part) {
    for (char c : part) text[at++] = c;
  };
  put(signature.function);
  put("(");
  bool star_written = false;
  bool first = true;
  for (const Parameter& parameter : signature.parameters) {
    if (parameter.hidden) continue;
    if (!first) put(", ");
    first = false;
    if (parameter.keyword_only && !star_written) {
      put("*, ");
      star_written = true;
    }
    put(parameter.name);
    if (!parameter.required) {
      put("=");
      put(parameter.default_text);
    }
  }
  put(")\n--\n\n");
  text[at] = '\0';
  return text;
}

template <const Signature& S>
inline constexpr auto kTextSignature = make_text_signature<text_signature_length(S)>(S);

// ---- binding and conversion ------------------------------------------------------------------

// The arguments of one call, bound to a signature. Values are borrowed from the caller's vector,
// which outlives the call.
class Arguments {
 public:
  explicit Arguments(const Signature& signature) noexcept : signature_(signature) {}

  // Binds a vector call (positional values, then the values of `kwnames`). False with TypeError
  // pending on wrong arity, an unknown keyword, a value given twice or a missing argument.
  [[nodiscard]] bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  // The bound value, or nullptr when the caller did not pass the argument.
  [[nodiscard]] PyObject* get(std::size_t index) const noexcept { return values_[index]; }
  // True when the argument was passed and is not None.
  [[nodiscard]] bool given(std::size_t index) const noexcept {
    return values_[index] != nullptr && values_[index] != Py_None;
  }

  // Conversions of one bound argument. Each returns false with the conversion's exception
  // pending, carrying the note "while processing '{name}'".
  [[nodiscard]] bool path(std::size_t index, std::string& out) const;
  // None or omitted leaves `out` empty.
  [[nodiscard]] bool optional_path(std::size_t index, std::optional<std::string>& out) const;
  [[nodiscard]] bool text(std::size_t index, std::string& out) const;
  // Omitted leaves `out` at its default.
  [[nodiscard]] bool flag(std::size_t index, bool& out) const;
  // An open file descriptor (a non-negative int); None or omitted leaves `out` empty.
  [[nodiscard]] bool optional_descriptor(std::size_t index, std::optional<int>& out) const;
  // The ten limit keywords, starting at `first`; None or omitted keeps the default.
  [[nodiscard]] bool limits(std::size_t first, manifest::ResourceLimits& out) const;

 private:
  [[nodiscard]] bool fail_with_note(std::size_t index) const;

  const Signature& signature_;
  std::array<PyObject*, kMaxParameters> values_{};
};

// Conversions without a note (auxiliary artifact items carry none). False with an exception set.
[[nodiscard]] bool convert_path(PyObject* object, std::string& out);
[[nodiscard]] bool convert_text(PyObject* object, std::string& out);
[[nodiscard]] bool convert_flag(PyObject* object, bool& out);
[[nodiscard]] bool convert_limit(PyObject* object, std::uint64_t& out);

// Adds `note` to the pending exception through its add_note method; an exception without that
// method is left unchanged.
void add_note_to_pending_exception(std::string_view note);

// Iterates `iterable` and reads every item's "name", "path" and optional "required" (default
// True) by subscription. The first failure leaves its exception pending, without a note.
[[nodiscard]] bool read_auxiliary_artifacts(PyObject* iterable,
                                            std::vector<manifest::CreateAuxiliaryArtifact>& out);

}  // namespace karnid::bindings
