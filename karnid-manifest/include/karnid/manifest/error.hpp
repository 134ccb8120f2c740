// The one error type of the manifest library.
//
// Library operations that do not produce a verification report return either their value or a
// ManifestError. Verification problems are never errors: they are ReportIssue records.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace karnid::manifest {

class ManifestError {
 public:
  enum class Kind : std::uint8_t { Io, Json, Invalid, Coded, Cancelled };

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
  // The caller's cancellation hook stopped the operation (cancel.hpp). Not a failure of the
  // operation itself: whoever supplied the hook knows why, and reports that instead.
  [[nodiscard]] static ManifestError cancelled();

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  // Errno for Io errors built by os(), else 0.
  [[nodiscard]] int os_errno() const noexcept { return errno_; }
  // The code of a Coded error; empty for the other kinds.
  [[nodiscard]] const std::string& code() const noexcept { return code_; }
  // The stored message (without code or position).
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  [[nodiscard]] std::uint64_t line() const noexcept { return line_; }
  [[nodiscard]] std::uint64_t column() const noexcept { return column_; }

  // The displayed text: the text of the host exception and of issues built from this error.
  [[nodiscard]] std::string display() const;

 private:
  ManifestError(Kind kind, std::string code, std::string message, int err, std::uint64_t line,
                std::uint64_t column)
      : kind_(kind),
        errno_(err),
        code_(std::move(code)),
        message_(std::move(message)),
        line_(line),
        column_(column) {}

  Kind kind_;
  int errno_;
  std::string code_;
  std::string message_;
  std::uint64_t line_;
  std::uint64_t column_;
};

template <typename T>
using Result = std::expected<T, ManifestError>;

// "{description} (os error {number})" for an errno value.
[[nodiscard]] std::string os_error_text(int errno_value);

}  // namespace karnid::manifest
