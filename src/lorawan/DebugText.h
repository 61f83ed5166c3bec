// printf-style formatting of the texts of debug records and refusals.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <string>

namespace quorvex {

// The formatted text, cut to 255 characters (a debug record holds fewer).
inline std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string FormatText(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return n < 0 ? std::string() : std::string(text);
}

}  // namespace quorvex
