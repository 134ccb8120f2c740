// The one error type of the manifest library.
//
// Library operations that do not produce a verification report return either their value or a
// ManifestError. Verification problems are never errors: they are ReportIssue records.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace karnid::manifest {

// One problem found while checking files: a stable machine-readable code and a message for
// people. `line` is the 0-based index of the row-map line that the message names ("line 7 ..."),
// for the issues that name one; the report's JSON form does not carry it.
struct ReportIssue {
  std::string code;
  std::string message;
  std::optional<std::uint64_t> line = std::nullopt;
  friend bool operator==(const ReportIssue&, const ReportIssue&) = default;
};

// Why a JSON document could not be read: one reason per message form of the strict reader and
// of the typed readers above it, so that a program can tell them apart without the wording.
// to_json_name gives each its stable name.
enum class ParseReason : std::uint8_t {
  None,
  // The reader.
  EofValue,
  EofString,
  EofArray,
  EofObject,
  ExpectedValue,
  ExpectedIdent,
  TrailingCharacters,
  DepthLimit,
  ControlCharacter,
  InvalidEscape,
  InvalidCodePoint,
  LoneSurrogate,
  EndOfHexEscape,
  NumberOutOfRange,
  InvalidNumber,
  ExpectedCommaOrArrayEnd,
  ExpectedCommaOrObjectEnd,
  ExpectedColon,
  KeyMustBeString,
  TrailingComma,
  // Typed reading.
  MissingKey,
  DuplicateKey,
  UnknownKey,
  UnknownVariant,
  InvalidType,
  InvalidValue,
  InvalidLength,
};

// "eof_value", "expected_value", ..., "missing_key", "invalid_type", ...; "" for None.
[[nodiscard]] std::string_view to_json_name(ParseReason reason) noexcept;

// One step into a JSON document: a member's key or an array index.
using JsonPathStep = std::variant<std::string, std::uint64_t>;

// A scalar found in a document, where a reader complains about it.
using JsonScalar =
    std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string>;

// What a JSON reader knew when it gave up. The message of the error is built from the same
// pieces; each piece is set only by the reasons whose message has it.
struct ParseFacts {
  ParseReason reason = ParseReason::None;
  // The bytes before the reported position: line and column are computed from it.
  std::uint64_t offset = 0;
  // The member being read, outermost first. For a syntax error: the member or element last
  // begun in every container still open.
  std::vector<JsonPathStep> json_path;
  std::optional<std::string> key;       // missing, duplicate and unknown keys
  std::vector<std::string> allowed;     // unknown keys and variants: the names accepted there
  std::optional<std::string> expected;  // wrong types, values and lengths: what would do
  // Wrong types and values: the JSON type found ("null", "boolean", "integer", "float",
  // "string", "array", "object").
  std::optional<std::string> found;
  JsonScalar value;                     // the scalar found; for an unknown variant its name
  std::optional<std::uint64_t> length;  // a wrong length
};

class ManifestError {
 public:
  enum class Kind : std::uint8_t { Io, Json, Invalid, Coded, Cancelled };

  // A finer kind for programs that act on errors: which producer made the error, and so which
  // facts it carries. to_json_name gives each its stable name.
  enum class Detail : std::uint8_t {
    Os,                  // Io with an errno
    IoText,              // Io with its own text
    Json,                // a document that cannot be read; parse_facts() says why and where
    WriteFailed,         // Json: writing the output file failed
    Invalid,             // any other Invalid error
    Coded,               // a Coded error
    VerificationFailed,  // Invalid: verification found issues (issues())
    InconsistentReport,  // Invalid: a clean report that cannot become a load plan
    RowMapInvalid,       // Invalid: creation's row map has issues (issues())
    Cancelled,           // Cancelled: the caller's hook stopped the operation
  };

  // An operating-system error; displays as "{description} (os error {errno})".
  [[nodiscard]] static ManifestError os(int errno_value);
  // An I/O-style error that carries its own text (invalid data, unexpected end of file, ...);
  // displays as that text alone.
  [[nodiscard]] static ManifestError io_text(std::string text);
  // A JSON error. A line of 0 means that no position applies.
  [[nodiscard]] static ManifestError json(std::string message, std::uint64_t line = 0,
                                          std::uint64_t column = 0);
  [[nodiscard]] static ManifestError invalid(std::string message);
  [[nodiscard]] static ManifestError coded(std::string code, std::string message);
  // A JSON error of a reader, with what the reader knew.
  [[nodiscard]] static ManifestError parse(std::string message, std::uint64_t line,
                                           std::uint64_t column, ParseFacts facts);
  // A failed write of the output file: a Json error without a position, displayed as the OS
  // error text of `errno_value`, or as `text` for a failure without an errno.
  [[nodiscard]] static ManifestError write_failed(int errno_value);
  [[nodiscard]] static ManifestError write_failed(std::string text);
  // An Invalid error that refuses a whole run (VerificationFailed, InconsistentReport or
  // RowMapInvalid) with the issues behind it.
  [[nodiscard]] static ManifestError refusal(Detail detail, std::string message,
                                             std::vector<ReportIssue> issues = {});
  // The caller's cancellation hook stopped the operation (cancel.hpp). Not a failure of the
  // operation itself: whoever supplied the hook knows why, and reports that instead.
  [[nodiscard]] static ManifestError cancelled();

  // The OS bytes of the file the failing call was made on. An error that already names a file
  // keeps it: the innermost call knows best.
  [[nodiscard]] ManifestError with_path(std::string_view path) &&;

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  [[nodiscard]] Detail detail() const noexcept { return detail_; }
  // Errno for errors built by os() and write_failed(int), else 0.
  [[nodiscard]] int os_errno() const noexcept { return errno_; }
  // The code of a Coded error; empty for the other kinds.
  [[nodiscard]] const std::string& code() const noexcept { return code_; }
  // The stored message (without code or position).
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  [[nodiscard]] std::uint64_t line() const noexcept { return line_; }
  [[nodiscard]] std::uint64_t column() const noexcept { return column_; }
  [[nodiscard]] const std::optional<std::string>& path() const noexcept { return path_; }
  // What a reader knew; reason None unless the error was built by parse().
  [[nodiscard]] const ParseFacts& parse_facts() const noexcept { return parse_; }
  [[nodiscard]] const std::vector<ReportIssue>& issues() const noexcept { return issues_; }

  // The displayed text: the text of the host exception and of issues built from this error.
  [[nodiscard]] std::string display() const;

 private:
  ManifestError(Kind kind, Detail detail, std::string code, std::string message, int err,
                std::uint64_t line, std::uint64_t column)
      : kind_(kind),
        detail_(detail),
        errno_(err),
        code_(std::move(code)),
        message_(std::move(message)),
        line_(line),
        column_(column) {}

  Kind kind_;
  Detail detail_;
  int errno_;
  std::string code_;
  std::string message_;
  std::uint64_t line_;
  std::uint64_t column_;
  std::optional<std::string> path_;
  ParseFacts parse_;
  std::vector<ReportIssue> issues_;
};

// "os", "io_text", "json", "write_failed", "invalid", "coded", "verification_failed",
// "inconsistent_report", "row_map_invalid", "cancelled".
[[nodiscard]] std::string_view to_json_name(ManifestError::Detail detail) noexcept;

template <typename T>
using Result = std::expected<T, ManifestError>;

// "{description} (os error {number})" for an errno value.
[[nodiscard]] std::string os_error_text(int errno_value);

}  // namespace karnid::manifest
