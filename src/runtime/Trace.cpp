#include "runtime/Trace.h"

#include <functional>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "platform/AsyncWriter.h"
#include "platform/Tick.h"
#include "runtime/ConsoleSocket.h"
#include "util/ControlText.h"

namespace quorvex {
namespace {

static_assert(sizeof(wchar_t) == 4, "wide texts are UTF-32 on this platform");

// Console connection state. g_ConsoleFd holds the connected socket, or one of
// the two markers below; it changes from kNotSearched exactly once (until a
// test resets it). The search itself runs under g_SearchMutex so that threads
// tracing their first line at the same moment connect only one socket. Every
// object here is constant-initialised and has no destructor, so tracing works
// during static construction and destruction of other objects too.
constexpr int kNotSearched = -2;
constexpr int kNoConsole = -1;
std::atomic<int> g_ConsoleFd{kNotSearched};
std::mutex g_SearchMutex;

// Where to look (guarded by g_SearchMutex): the socket file name, and the
// folder, empty for ConsoleFolder(). A whole path fits sun_path with its NUL,
// so neither of them can usefully be longer.
constexpr std::size_t kPathMax = sizeof(sockaddr_un::sun_path) - 1;
struct PathBuffer {
  constexpr explicit PathBuffer(const char* text) { Set(text); }
  constexpr void Set(std::string_view value) {
    const std::size_t length = std::min(value.size(), kPathMax);
    for (std::size_t i = 0; i < length; ++i) text[i] = value[i];
    text[length] = '\0';
  }
  char text[kPathMax + 1] = {};
};
constinit PathBuffer g_ConsoleName(kConsoleName);
constinit PathBuffer g_ConsoleFolder("");

// Connects a datagram socket to the console's socket file; kNoConsole when
// the folder or the file is not this user's own, or nobody listens there.
// Checking before connecting is enough: once the folder is private to us no
// other user can add, replace or rename anything inside it, and the folder
// itself sits in a sticky /tmp or in the user's own runtime folder.
int ConnectConsole(const char* folderOverride, const char* name) {
  const std::string folder = folderOverride[0] != '\0' ? std::string(folderOverride) : ConsoleFolder();
  if (!IsPrivateFolder(folder)) return kNoConsole;
  const std::string path = ConsoleSocketPath(folder, name);
  const auto address = ConsoleAddress(path);
  if (!address || !IsOwnSocket(path)) return kNoConsole;
  const int fd = ConnectConsoleSocket(*address);
  return fd >= 0 ? fd : kNoConsole;
}

// The console socket, looking for it on the first call only.
int ConsoleFd() {
  const int fd = g_ConsoleFd.load(std::memory_order_acquire);
  if (fd != kNotSearched) return fd;
  std::lock_guard lock(g_SearchMutex);
  int found = g_ConsoleFd.load(std::memory_order_acquire);
  if (found == kNotSearched) {
    found = ConnectConsole(g_ConsoleFolder.text, g_ConsoleName.text);
    g_ConsoleFd.store(found, std::memory_order_release);
  }
  return found;
}

// Forgets the search; caller holds g_SearchMutex.
void ResetSearchLocked() {
  const int fd = g_ConsoleFd.exchange(kNotSearched, std::memory_order_acq_rel);
  if (fd >= 0) close(fd);
}

// Lines reach stderr through a writer thread: a radio thread that traces
// never waits for the terminal or the file behind stderr, and a burst of
// lines leaves in a few writes. Each line stays whole. The writer lives as
// long as the process (threads may trace until the very end), and what is
// queued is written out when the process exits normally.
CAsyncWriter& StderrWriter() {
  static CAsyncWriter* writer = [] {
    auto* created = new CAsyncWriter(STDERR_FILENO);
    std::atexit([] { FlushTrace(); });
    return created;
  }();
  return *writer;
}

void WriteToStderr(std::string_view line) { StderrWriter().Write(line); }

void AppendUtf8(std::string& out, wchar_t wide) {
  auto code = static_cast<uint32_t>(wide);
  if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool IsUtf8Continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

std::string FormatTraceTime(const std::tm& local) {
  char text[129];
  const std::size_t length = std::strftime(text, sizeof text, "%Y.%m.%d %H.%M.%S", &local);
  return std::string(text, length);  // strftime gives 0 when it fails
}

std::string FormatTraceLine(uint32_t tick, std::string_view timeText, std::string_view message) {
  const std::string tickText = std::to_string(static_cast<int32_t>(tick));
  std::string line;
  line.reserve(tickText.size() + 2 + timeText.size() + 5 + message.size());
  line += tickText;
  line += "  ";
  line += timeText;
  line += " >>> ";
  AppendEscapedControls(line, message);
  return line;
}

std::string MakeConsoleDatagram(std::string_view line) {
  line = line.substr(0, line.find('\0'));
  std::size_t length = line.size();
  if (length > kConsoleTextMax) {
    length = kConsoleTextMax;
    // Do not split a UTF-8 sequence: if the cut falls inside one, cut before
    // its lead byte. Bytes that are not UTF-8 are cut at the plain limit.
    std::size_t lead = length;
    while (lead > length - 3 && IsUtf8Continuation(line[lead])) --lead;
    if (static_cast<unsigned char>(line[lead]) >= 0xC0) length = lead;
  }
  std::string datagram(line.substr(0, length));
  datagram += '\0';
  return datagram;
}

void SendToConsole(std::string_view line) {
  const int fd = ConsoleFd();
  if (fd < 0) return;
  const std::string datagram = MakeConsoleDatagram(line);
  // Never wait for the console: a full queue or a vanished console drops the
  // line, and a closed peer must not raise SIGPIPE.
  (void)send(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

namespace {

// Tests watch every line in-process through this observer; the flag keeps
// the normal path to one relaxed load.
std::atomic<bool> g_HasObserver{false};
std::mutex g_ObserverMutex;
std::function<void(std::string_view)> g_Observer;

// Builds the line of a message already cut to its limit and hands it to both
// sinks.
void TraceCutMessage(std::string_view message) {
  // The time text changes once a second; a thread that traces many lines a
  // second formats it once. Plain characters, not a std::string: a line
  // traced from a destructor that runs after this thread's thread-locals
  // were destroyed (a static object's at process exit, another
  // thread-local's) must not read a freed string.
  thread_local std::time_t lastSecond = -1;
  thread_local char timeText[32] = {};
  thread_local std::size_t timeLength = 0;
  const std::time_t now = std::time(nullptr);
  if (now != lastSecond) {
    std::tm local{};
    const std::string text = localtime_r(&now, &local) != nullptr ? FormatTraceTime(local) : std::string();
    timeLength = text.copy(timeText, sizeof timeText);
    lastSecond = now;
  }
  const std::string line = FormatTraceLine(GetTickCount32(), std::string_view(timeText, timeLength), message);
  WriteToStderr(line);
  SendToConsole(line);
  if (g_HasObserver.load(std::memory_order_relaxed)) {
    std::lock_guard lock(g_ObserverMutex);
    if (g_Observer) g_Observer(line);
  }
}

}  // namespace

void FlushTrace() { StderrWriter().Flush(); }

void TraceMessage(std::string_view message) {
  TraceCutMessage(message.substr(0, kTraceMessageMax));
}

void TraceLine(const char* format, ...) {
  char text[kTraceMessageMax + 1];
  text[0] = '\0';
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  TraceCutMessage(std::string_view(text, strnlen(text, kTraceMessageMax)));
}

void TraceLineW(const wchar_t* format, ...) {
  // vswprintf neither terminates a cut result nor reports how far it got, so
  // the buffer starts zeroed and its last element stays the terminator.
  wchar_t text[kTraceMessageMax + 1] = {};
  va_list args;
  va_start(args, format);
  std::vswprintf(text, kTraceMessageMax + 1, format, args);
  va_end(args);
  text[kTraceMessageMax] = L'\0';
  std::string message;
  message.reserve(kTraceMessageMax);
  for (const wchar_t* p = text; *p != L'\0'; ++p) AppendUtf8(message, *p);
  TraceCutMessage(message);  // cut by characters above, not by bytes
}

namespace trace_testing {

void UseConsoleName(std::string_view name) {
  std::lock_guard lock(g_SearchMutex);
  g_ConsoleName.Set(name);
  ResetSearchLocked();
}

void UseConsoleFolder(std::string_view folder) {
  std::lock_guard lock(g_SearchMutex);
  g_ConsoleFolder.Set(folder);
  ResetSearchLocked();
}

void ResetConsoleSearch() {
  std::lock_guard lock(g_SearchMutex);
  ResetSearchLocked();
}

bool ConsoleSearched() { return g_ConsoleFd.load(std::memory_order_acquire) != kNotSearched; }

bool ConsoleConnected() { return g_ConsoleFd.load(std::memory_order_acquire) >= 0; }

void SetLineObserver(std::function<void(std::string_view line)> observer) {
  std::lock_guard lock(g_ObserverMutex);
  g_Observer = std::move(observer);
  g_HasObserver.store(static_cast<bool>(g_Observer), std::memory_order_relaxed);
}

}  // namespace trace_testing

}  // namespace quorvex
