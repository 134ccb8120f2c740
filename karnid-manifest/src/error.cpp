#include "karnid/manifest/error.hpp"

#include <cstring>

namespace karnid::manifest {

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
  return ManifestError(Kind::Io, {}, os_error_text(errno_value), errno_value, 0, 0);
}

ManifestError ManifestError::io_text(std::string text) {
  return ManifestError(Kind::Io, {}, std::move(text), 0, 0, 0);
}

ManifestError ManifestError::json(std::string message, std::uint64_t line, std::uint64_t column) {
  return ManifestError(Kind::Json, {}, std::move(message), 0, line, column);
}

ManifestError ManifestError::invalid(std::string message) {
  return ManifestError(Kind::Invalid, {}, std::move(message), 0, 0, 0);
}

ManifestError ManifestError::coded(std::string code, std::string message) {
  return ManifestError(Kind::Coded, std::move(code), std::move(message), 0, 0, 0);
}

ManifestError ManifestError::cancelled() {
  return ManifestError(Kind::Cancelled, {}, "operation cancelled", 0, 0, 0);
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
