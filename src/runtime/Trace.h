// Diagnostic trace: every diagnostic line of the server goes through
// TraceLine or TraceLineW. A line is "<tick>  <local time> >>> <message>";
// it goes to stderr (our debugger output) and, when one of the same user is
// running, to the console program listening on the Unix datagram socket file
// "Message Console Manager" in the user's private console folder
// (runtime/ConsoleSocket.h); stderr is written by a thread of its own, so
// tracing never waits for it. Tracing never fails towards its caller (only
// running out of memory throws) and may be used from any thread at any time.
#pragma once
#include <functional>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace quorvex {

// Name of the socket file the console program binds in ConsoleFolder().
inline constexpr char kConsoleName[] = "Message Console Manager";
// A formatted message is cut to this many characters (bytes for narrow
// formats, wide characters for wide ones).
inline constexpr std::size_t kTraceMessageMax = 4096;
// At most this many bytes of a line reach the console (plus a NUL).
inline constexpr std::size_t kConsoleTextMax = 255;

// Narrow printf-style trace line. The formatted message is cut to
// kTraceMessageMax bytes (at its first NUL, if any).
void TraceLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Wide printf-style trace line. The formatted message is cut to
// kTraceMessageMax wide characters and converted to UTF-8; a format that
// fails part-way keeps what was produced before the failure.
void TraceLineW(const wchar_t* format, ...);

// Returns once every line traced before the call has reached stderr (lines
// are written by a thread of their own). Runs by itself when the process
// exits normally.
void FlushTrace();

// Traces an already formatted message (cut to kTraceMessageMax bytes): builds
// the line from the current tick count and local time and hands it to both
// sinks. TraceLine and TraceLineW end here.
void TraceMessage(std::string_view message);

// The local-time text of a trace line, "%Y.%m.%d %H.%M.%S" of `local`
// (e.g. "2024.03.05 14.07.09"); empty if it cannot be formatted.
std::string FormatTraceTime(const std::tm& local);

// The trace line "%d  %s >>> %s" of the tick count (printed as a signed
// 32-bit decimal), the time text and the message, whose control characters
// (other than tab and line ends) are written as "\xHH" so that text from the
// network never drives a terminal. Nothing is cut and no line break is added.
std::string FormatTraceLine(uint32_t tick, std::string_view timeText, std::string_view message);

// The datagram the console receives for `line`: its first kConsoleTextMax
// bytes (fewer if that would split a UTF-8 sequence, or if the line holds a
// NUL earlier) followed by one NUL byte.
std::string MakeConsoleDatagram(std::string_view line);

// Sends one finished line to the console. The console is looked for once per
// process, at the first call: it is found only when the console folder is a
// directory (not a symbolic link) of the effective user with no group or
// other permissions, the socket file in it is a socket of that user, and
// something listens on it; otherwise it is never looked for again. The send
// never blocks; a slow or vanished console silently loses lines.
void SendToConsole(std::string_view line);

// Hooks for tests, which run in parallel processes and must reach neither a
// real console nor each other's. Not to be called while other threads trace.
namespace trace_testing {

// Looks for the console's socket file under `name` from now on, and forgets
// the earlier search (closing any connection), so the next line searches
// again.
void UseConsoleName(std::string_view name);
// Looks for the socket file in `folder` instead of ConsoleFolder() from now
// on (an empty folder goes back to ConsoleFolder()), and forgets the earlier
// search like UseConsoleName. The folder must pass the same checks.
void UseConsoleFolder(std::string_view folder);
// Forgets the earlier search (closing any connection), keeping the name.
void ResetConsoleSearch();
// True once the console has been looked for since the last reset.
bool ConsoleSearched();
// True when that search found the console.
bool ConsoleConnected();
// Calls `observer` with every finished line, on the tracing thread, until
// it is replaced (an empty function removes it).
void SetLineObserver(std::function<void(std::string_view line)> observer);

}  // namespace trace_testing

}  // namespace quorvex
