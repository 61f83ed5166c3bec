// Diagnostic trace: every diagnostic line of the server goes through
// TraceLine or TraceLineW. A line is "<tick>  <local time> >>> <message>";
// it goes to stderr (our debugger output) and, when one is running, to the
// console program listening on the abstract Unix datagram socket named
// "Message Console Manager". Tracing never fails towards its caller.
#pragma once
#include <cstdarg>
#include <string>

namespace quorvex {

// Narrow printf-style trace line.
void TraceLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Wide printf-style trace line.
void TraceLineW(const wchar_t* format, ...);

}  // namespace quorvex
