// RFC 3339 date-times: the UTC forms this system writes and a strict parser for what it reads.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace karnid::manifest {

// "YYYY-MM-DDTHH:MM:SS.nnnnnnnnnZ" from a UTC time with nanoseconds.
[[nodiscard]] std::string format_rfc3339_nanos(const std::timespec& utc);
// "YYYY-MM-DDTHH:MM:SSZ", the fraction truncated.
[[nodiscard]] std::string format_rfc3339_seconds(const std::timespec& utc);
// The current UTC wall-clock time.
[[nodiscard]] std::timespec utc_now() noexcept;

// True when `text` is an RFC 3339 date-time with "Z" or a numeric offset: a full date that
// exists in the proleptic Gregorian calendar, "T" (or "t" or a blank) between date and time,
// hours 00-23, minutes 00-59, seconds 00-60, an optional fraction of one or more digits.
[[nodiscard]] bool is_rfc3339(std::string_view text) noexcept;

}  // namespace karnid::manifest
