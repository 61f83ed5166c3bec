// Placeholder until the full trace console lands: formats and writes to stderr.
#include "runtime/Trace.h"

#include <cstdio>

namespace quorvex {

void TraceLine(const char* format, ...) {
  char text[4097];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  fputs(text, stderr);
}

void TraceLineW(const wchar_t* format, ...) {
  wchar_t text[4097];
  va_list args;
  va_start(args, format);
  vswprintf(text, sizeof text / sizeof text[0], format, args);
  va_end(args);
  fprintf(stderr, "%ls", text);
}

}  // namespace quorvex
