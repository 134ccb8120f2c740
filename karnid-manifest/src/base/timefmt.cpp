#include "karnid/manifest/timefmt.hpp"

#include <cstdio>

namespace karnid::manifest {
namespace {

std::string format(const std::timespec& utc, bool with_nanos) {
  std::tm parts{};
  const std::time_t seconds = utc.tv_sec;
  gmtime_r(&seconds, &parts);
  char buffer[64];
  int n;
  if (with_nanos) {
    n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%09ldZ",
                      parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                      parts.tm_min, parts.tm_sec, static_cast<long>(utc.tv_nsec));
  } else {
    n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                      parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  }
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) noexcept {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool is_leap(int year) noexcept {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) noexcept {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::string format_rfc3339_nanos(const std::timespec& utc) {
  return format(utc, true);
}
std::string format_rfc3339_seconds(const std::timespec& utc) {
  return format(utc, false);
}

std::timespec utc_now() noexcept {
  std::timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

bool is_rfc3339(std::string_view t) noexcept {
  int year, month, day, hour, minute, second;
  if (!digits(t, 0, 4, year) || t.size() < 20 || t[4] != '-' || !digits(t, 5, 2, month) ||
      t[7] != '-' || !digits(t, 8, 2, day)) {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;
  if (t[10] != 'T' && t[10] != 't' && t[10] != ' ') return false;
  if (!digits(t, 11, 2, hour) || t[13] != ':' || !digits(t, 14, 2, minute) || t[16] != ':' ||
      !digits(t, 17, 2, second)) {
    return false;
  }
  if (hour > 23 || minute > 59 || second > 60) return false;
  std::size_t i = 19;
  if (i < t.size() && t[i] == '.') {
    const std::size_t start = ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    if (i == start) return false;
  }
  if (i >= t.size()) return false;
  if (t[i] == 'Z' || t[i] == 'z') return i + 1 == t.size();
  if (t[i] != '+' && t[i] != '-') return false;
  int offset_hour, offset_minute;
  if (i + 6 != t.size() || !digits(t, i + 1, 2, offset_hour) || t[i + 3] != ':' ||
      !digits(t, i + 4, 2, offset_minute)) {
    return false;
  }
  return offset_hour <= 23 && offset_minute <= 59;
}

}  // namespace karnid::manifest
