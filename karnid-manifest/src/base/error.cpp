#include "karnid/manifest/error.hpp"

#include <array>
#include <cstring>

namespace karnid::manifest {
namespace {

template <typename Enum>
struct Name {
  Enum value;
  std::string_view name;
};

// Each table lists every enumerator once, in declaration order (checked below), so a name is
// found by indexing.
template <typename Enum, std::size_t N>
constexpr bool in_declaration_order(const std::array<Name<Enum>, N>& table) {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(table[i].value) != i) return false;
  }
  return true;
}

constexpr std::array kParseReasonNames{
    Name<ParseReason>{ParseReason::None, ""},
    Name<ParseReason>{ParseReason::EofValue, "eof_value"},
    Name<ParseReason>{ParseReason::EofString, "eof_string"},
    Name<ParseReason>{ParseReason::EofArray, "eof_array"},
    Name<ParseReason>{ParseReason::EofObject, "eof_object"},
    Name<ParseReason>{ParseReason::ExpectedValue, "expected_value"},
    Name<ParseReason>{ParseReason::ExpectedIdent, "expected_ident"},
    Name<ParseReason>{ParseReason::TrailingCharacters, "trailing_characters"},
    Name<ParseReason>{ParseReason::DepthLimit, "depth_limit"},
    Name<ParseReason>{ParseReason::ControlCharacter, "control_character"},
    Name<ParseReason>{ParseReason::InvalidEscape, "invalid_escape"},
    Name<ParseReason>{ParseReason::InvalidCodePoint, "invalid_code_point"},
    Name<ParseReason>{ParseReason::LoneSurrogate, "lone_surrogate"},
    Name<ParseReason>{ParseReason::EndOfHexEscape, "end_of_hex_escape"},
    Name<ParseReason>{ParseReason::NumberOutOfRange, "number_out_of_range"},
    Name<ParseReason>{ParseReason::InvalidNumber, "invalid_number"},
    Name<ParseReason>{ParseReason::ExpectedCommaOrArrayEnd, "expected_comma_or_array_end"},
    Name<ParseReason>{ParseReason::ExpectedCommaOrObjectEnd, "expected_comma_or_object_end"},
    Name<ParseReason>{ParseReason::ExpectedColon, "expected_colon"},
    Name<ParseReason>{ParseReason::KeyMustBeString, "key_must_be_string"},
    Name<ParseReason>{ParseReason::TrailingComma, "trailing_comma"},
    Name<ParseReason>{ParseReason::MissingKey, "missing_key"},
    Name<ParseReason>{ParseReason::DuplicateKey, "duplicate_key"},
    Name<ParseReason>{ParseReason::UnknownKey, "unknown_key"},
    Name<ParseReason>{ParseReason::UnknownVariant, "unknown_variant"},
    Name<ParseReason>{ParseReason::InvalidType, "invalid_type"},
    Name<ParseReason>{ParseReason::InvalidValue, "invalid_value"},
    Name<ParseReason>{ParseReason::InvalidLength, "invalid_length"},
};
static_assert(in_declaration_order(kParseReasonNames) &&
              kParseReasonNames.back().value == ParseReason::InvalidLength);

using Detail = ManifestError::Detail;
constexpr std::array kDetailNames{
    Name<Detail>{Detail::Os, "os"},
    Name<Detail>{Detail::IoText, "io_text"},
    Name<Detail>{Detail::Json, "json"},
    Name<Detail>{Detail::WriteFailed, "write_failed"},
    Name<Detail>{Detail::Invalid, "invalid"},
    Name<Detail>{Detail::Coded, "coded"},
    Name<Detail>{Detail::VerificationFailed, "verification_failed"},
    Name<Detail>{Detail::InconsistentReport, "inconsistent_report"},
    Name<Detail>{Detail::RowMapInvalid, "row_map_invalid"},
    Name<Detail>{Detail::Cancelled, "cancelled"},
};
static_assert(in_declaration_order(kDetailNames) && kDetailNames.back().value == Detail::Cancelled);

}  // namespace

std::string_view to_json_name(ParseReason reason) noexcept {
  return kParseReasonNames[static_cast<std::size_t>(reason)].name;
}

std::string_view to_json_name(ManifestError::Detail detail) noexcept {
  return kDetailNames[static_cast<std::size_t>(detail)].name;
}

std::string os_error_text(int errno_value) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* description = strerror_r(errno_value, buffer, sizeof buffer);
  std::string text(description);
  text += " (os error ";
  text += std::to_string(errno_value);
  text += ')';
  return text;
}

ManifestError ManifestError::os(int errno_value) {
  return ManifestError(Kind::Io, Detail::Os, {}, os_error_text(errno_value), errno_value, 0, 0);
}

ManifestError ManifestError::io_text(std::string text) {
  return ManifestError(Kind::Io, Detail::IoText, {}, std::move(text), 0, 0, 0);
}

ManifestError ManifestError::json(std::string message, std::uint64_t line, std::uint64_t column) {
  return ManifestError(Kind::Json, Detail::Json, {}, std::move(message), 0, line, column);
}

ManifestError ManifestError::invalid(std::string message) {
  return ManifestError(Kind::Invalid, Detail::Invalid, {}, std::move(message), 0, 0, 0);
}

ManifestError ManifestError::coded(std::string code, std::string message) {
  return ManifestError(Kind::Coded, Detail::Coded, std::move(code), std::move(message), 0, 0, 0);
}

ManifestError ManifestError::parse(std::string message, std::uint64_t line, std::uint64_t column,
                                   ParseFacts facts) {
  ManifestError error = json(std::move(message), line, column);
  error.parse_ = std::move(facts);
  return error;
}

ManifestError ManifestError::write_failed(int errno_value) {
  return ManifestError(Kind::Json, Detail::WriteFailed, {}, os_error_text(errno_value), errno_value,
                       0, 0);
}

ManifestError ManifestError::write_failed(std::string text) {
  return ManifestError(Kind::Json, Detail::WriteFailed, {}, std::move(text), 0, 0, 0);
}

ManifestError ManifestError::refusal(Detail detail, std::string message,
                                     std::vector<ReportIssue> issues) {
  ManifestError error(Kind::Invalid, detail, {}, std::move(message), 0, 0, 0);
  error.issues_ = std::move(issues);
  return error;
}

ManifestError ManifestError::cancelled() {
  return ManifestError(Kind::Cancelled, Detail::Cancelled, {}, "operation cancelled", 0, 0, 0);
}

ManifestError ManifestError::with_path(std::string_view path) && {
  if (!path_) path_ = std::string(path);
  return std::move(*this);
}

std::string ManifestError::display() const {
  switch (kind_) {
    case Kind::Io:
    case Kind::Invalid:
    case Kind::Cancelled:
      return message_;
    case Kind::Json:
      if (line_ == 0) return message_;
      return message_ + " at line " + std::to_string(line_) + " column " + std::to_string(column_);
    case Kind::Coded:
      return code_ + ": " + message_;
  }
  return message_;
}

}  // namespace karnid::manifest
