// The text of a fixed-size record field (a char array of a row), up to its
// first NUL and never past its end: a field filled to the last byte need not
// be terminated.
#pragma once
#include <cstddef>
#include <cstring>
#include <string>

namespace quorvex {

template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

}  // namespace quorvex
