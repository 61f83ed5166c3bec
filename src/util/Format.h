// printf-style formatting into a std::string of whatever length it takes.
#pragma once
#include <string>

namespace quorvex {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quorvex
