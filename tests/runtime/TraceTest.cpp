#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/Trace.h"
#include "support/TempDir.h"

namespace quorvex {
namespace {

// A console name no other test process uses, and never the real console's.
std::string UniqueConsoleName() {
  static std::atomic<int> counter{0};
  return "quorvex-trace-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

sockaddr_un AbstractAddress(const std::string& name, socklen_t& length) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return addr;
}

// A console stand-in: a datagram socket bound to an abstract name.
class CTestConsole {
 public:
  explicit CTestConsole(const std::string& name) : m_Fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    socklen_t length = 0;
    const sockaddr_un addr = AbstractAddress(name, length);
    m_Bound = m_Fd >= 0 && bind(m_Fd, reinterpret_cast<const sockaddr*>(&addr), length) == 0;
    // Only a guard against a hanging test; a datagram sent before Receive()
    // is already queued.
    timeval guard{10, 0};
    setsockopt(m_Fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
  }
  ~CTestConsole() { Close(); }
  CTestConsole(const CTestConsole&) = delete;
  CTestConsole& operator=(const CTestConsole&) = delete;

  bool Bound() const { return m_Bound; }
  void Close() {
    if (m_Fd >= 0) close(m_Fd);
    m_Fd = -1;
  }
  // The next datagram, waiting for it.
  std::optional<std::string> Receive() { return Read(0); }
  // The next datagram if one is queued now.
  std::optional<std::string> Poll() { return Read(MSG_DONTWAIT); }

 private:
  std::optional<std::string> Read(int flags) {
    char buffer[8192];
    const ssize_t got = recv(m_Fd, buffer, sizeof buffer, flags);
    if (got < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(got));
  }

  int m_Fd;
  bool m_Bound = false;
};

// Sends stderr (fd 2) to a file for the lifetime of the object.
class CStderrCapture {
 public:
  explicit CStderrCapture(std::string path) : m_Path(std::move(path)) {
    FlushTrace();  // earlier lines go to the real stderr
    std::fflush(stderr);
    m_Saved = dup(STDERR_FILENO);
    const int fd = open(m_Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~CStderrCapture() { Restore(); }
  CStderrCapture(const CStderrCapture&) = delete;
  CStderrCapture& operator=(const CStderrCapture&) = delete;

  // Restores stderr and returns everything written meanwhile.
  std::string Finish() {
    FlushTrace();  // lines reach stderr through the trace's writer thread
    Restore();
    std::ifstream in(m_Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  void Restore() {
    if (m_Saved < 0) return;
    dup2(m_Saved, STDERR_FILENO);
    close(m_Saved);
    m_Saved = -1;
  }

  std::string m_Path;
  int m_Saved = -1;
};

// The message of a trace line, checking the part before it.
std::string MessageOf(const std::string& line) {
  static const std::regex head(R"(^-?[0-9]+  [0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9]{2}\.[0-9]{2}\.[0-9]{2} >>> )");
  std::smatch match;
  if (!std::regex_search(line, match, head)) {
    ADD_FAILURE() << "not a trace line: " << line.substr(0, 80);
    return {};
  }
  return match.suffix();
}

// Every test looks for its own console, so parallel test processes and a
// real console running on the machine stay out of each other's way.
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { trace_testing::UseConsoleName(m_ConsoleName); }
  void TearDown() override { trace_testing::ResetConsoleSearch(); }

  const std::string m_ConsoleName = UniqueConsoleName();
  test::TempDir m_Dir;
};

TEST(TraceFormatTest, LineIsTickTwoSpacesTimeArrowsMessage) {
  std::tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 5;
  local.tm_hour = 14;
  local.tm_min = 7;
  local.tm_sec = 9;
  const std::string time = FormatTraceTime(local);
  EXPECT_EQ(time, "2024.03.05 14.07.09");

  struct Case {
    uint32_t tick;
    std::string time;
    std::string message;
    std::string line;
  };
  const Case cases[] = {
      {1234, time, "x", "1234  2024.03.05 14.07.09 >>> x"},
      // The tick is printed signed: past 2^31 ms of uptime it turns negative.
      {0xFFFFFFFFu, time, "x", "-1  2024.03.05 14.07.09 >>> x"},
      {0x80000000u, time, "x", "-2147483648  2024.03.05 14.07.09 >>> x"},
      // Line breaks stay as the caller wrote them; none is added.
      {7, time, "a\r\nb\n", "7  2024.03.05 14.07.09 >>> a\r\nb\n"},
      // A time that could not be formatted leaves its place empty.
      {7, "", "x", "7   >>> x"},
      // Control characters from the network never reach the terminal raw.
      {7, "", "\x1b[2J\x1b]0;owned\x07 tab\tDEL\x7f", "7   >>> \\x1B[2J\\x1B]0;owned\\x07 tab\tDEL\\x7F"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatTraceLine(c.tick, c.time, c.message), c.line);
}

TEST(TraceFormatTest, ConsoleDatagramIsFirst255BytesAndNul) {
  const std::string json(1400, 'j');
  const std::string a254(254, 'a');
  struct Case {
    std::string line;
    std::string datagram;
  };
  const Case cases[] = {
      {"abc", std::string("abc") + '\0'},
      {"", std::string(1, '\0')},
      {std::string(255, 'x'), std::string(255, 'x') + '\0'},
      {json, json.substr(0, 255) + '\0'},
      // A two-byte character across the limit is left out whole...
      {a254 + "\xC3\xA9" + "tail", a254 + '\0'},
      // ...one ending exactly at the limit is kept.
      {std::string(253, 'a') + "\xC3\xA9" + "tail", std::string(253, 'a') + "\xC3\xA9" + '\0'},
      // Bytes that are not UTF-8 are cut at the plain limit.
      {std::string(300, '\x80'), std::string(255, '\x80') + '\0'},
      // The line ends at a NUL it carries.
      {std::string("ab\0cd", 5), std::string("ab") + '\0'},
  };
  for (const Case& c : cases) EXPECT_EQ(MakeConsoleDatagram(c.line), c.datagram) << c.line.substr(0, 20);
}

TEST_F(TraceTest, LineGoesToStderrUnchanged) {
  CStderrCapture capture(m_Dir.File("stderr"));
  TraceLine("value %d of %s", 42, "x");
  TraceLineW(L"wide %d %ls", 7, L"\u00e9\u20ac\U0001D11E");
  const std::string text = capture.Finish();

  // No line break is added, so the second line follows the first directly.
  const auto first = text.find("value 42 of x");
  ASSERT_NE(first, std::string::npos);
  const auto second = first + std::strlen("value 42 of x");
  EXPECT_EQ(MessageOf(text.substr(0, second)), "value 42 of x");
  EXPECT_EQ(MessageOf(text.substr(second)), "wide 7 \xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E");
}

TEST_F(TraceTest, LongMessagesAreCutTo4096Characters) {
  const std::string narrow(5000, 'n');
  const std::wstring wide(5000, L'w');
  const std::wstring accented(5000, L'\u00e9');  // two UTF-8 bytes each

  CStderrCapture capture(m_Dir.File("stderr"));
  TraceLine("%s\n", narrow.c_str());  // the newline falls beyond the cut
  const std::string first = capture.Finish();
  EXPECT_EQ(MessageOf(first), std::string(4096, 'n'));

  CStderrCapture capture2(m_Dir.File("stderr2"));
  TraceLineW(L"%ls", wide.c_str());
  EXPECT_EQ(MessageOf(capture2.Finish()), std::string(4096, 'w'));

  CStderrCapture capture3(m_Dir.File("stderr3"));
  TraceLineW(L"%ls", accented.c_str());
  std::string expected;
  for (int i = 0; i < 4096; ++i) expected += "\xC3\xA9";
  EXPECT_EQ(MessageOf(capture3.Finish()), expected);
}

TEST_F(TraceTest, ConsoleReceivesFirst255BytesOfTheLine) {
  CTestConsole console(m_ConsoleName);
  ASSERT_TRUE(console.Bound());
  const std::string json = "{\"rxpk\":[{\"data\":\"" + std::string(1400 - 21, 'A') + "\"}]}";

  CStderrCapture capture(m_Dir.File("stderr"));
  TraceLine("%s\n", json.c_str());
  TraceLine("short");
  const std::string line = capture.Finish();
  EXPECT_TRUE(trace_testing::ConsoleConnected());

  const auto longOne = console.Receive();
  ASSERT_TRUE(longOne.has_value());
  ASSERT_EQ(longOne->size(), 256u);
  EXPECT_EQ(longOne->substr(0, 255), line.substr(0, 255));
  EXPECT_EQ(longOne->back(), '\0');

  const auto shortOne = console.Receive();
  ASSERT_TRUE(shortOne.has_value());
  ASSERT_FALSE(shortOne->empty());
  EXPECT_EQ(shortOne->back(), '\0');
  EXPECT_EQ(MessageOf(shortOne->substr(0, shortOne->size() - 1)), "short");
}

TEST_F(TraceTest, ConsoleIsNotLookedForAgainAfterAMiss) {
  CStderrCapture capture(m_Dir.File("stderr"));
  TraceLine("before any console\n");
  EXPECT_TRUE(trace_testing::ConsoleSearched());
  EXPECT_FALSE(trace_testing::ConsoleConnected());

  CTestConsole console(m_ConsoleName);
  ASSERT_TRUE(console.Bound());
  TraceLine("console started too late\n");
  EXPECT_FALSE(console.Poll().has_value());

  // Control: the same console is found by a fresh search.
  trace_testing::ResetConsoleSearch();
  TraceLine("after a new search\n");
  const auto datagram = console.Receive();
  ASSERT_TRUE(datagram.has_value());
  EXPECT_NE(datagram->find("after a new search"), std::string::npos);
  EXPECT_NE(capture.Finish().find("console started too late"), std::string::npos);
}

TEST_F(TraceTest, SlowOrVanishedConsoleNeitherBlocksNorFails) {
  CStderrCapture capture(m_Dir.File("stderr"));
  {
    CTestConsole console(m_ConsoleName);
    ASSERT_TRUE(console.Bound());
    // Nobody reads: the queue fills after a few lines and the rest are
    // dropped instead of stalling the tracing thread.
    for (int i = 0; i < 500; ++i) TraceLine("unread %d\n", i);
    EXPECT_TRUE(console.Poll().has_value());
  }
  // The console has gone; the remembered socket fails quietly (no SIGPIPE).
  for (int i = 0; i < 10; ++i) TraceLine("after close %d\n", i);
  const std::string text = capture.Finish();
  EXPECT_NE(text.find("unread 499\n"), std::string::npos);
  EXPECT_NE(text.find("after close 9\n"), std::string::npos);
}

TEST_F(TraceTest, ThreadsTracingAtOnceKeepTheirLinesWhole) {
  CTestConsole console(m_ConsoleName);
  ASSERT_TRUE(console.Bound());
  constexpr int kThreads = 8;
  constexpr int kLines = 50;

  CStderrCapture capture(m_Dir.File("stderr"));
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) {
          if (i % 2 == 0)
            TraceLine("thread %d line %d\n", t, i);
          else
            TraceLineW(L"thread %d line %d\n", t, i);
        }
      });
  }
  const std::string text = capture.Finish();

  std::set<std::string> messages;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) messages.insert(MessageOf(line));
  EXPECT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kLines));
  EXPECT_EQ(messages.count("thread 3 line 49"), 1u);

  // The first lines found one console; whatever it kept are whole lines.
  EXPECT_TRUE(trace_testing::ConsoleConnected());
  int received = 0;
  while (const auto datagram = console.Poll()) {
    ++received;
    ASSERT_FALSE(datagram->empty());
    EXPECT_EQ(datagram->back(), '\0');
    EXPECT_EQ(messages.count(MessageOf(datagram->substr(0, datagram->size() - 2))), 1u);
  }
  EXPECT_GT(received, 0);
}

// The console program, run as a child process.
class CConsoleProgram {
 public:
  CConsoleProgram(const std::string& path, const std::string& name) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string program = path;
    std::string argument = name;
    char* argv[] = {program.data(), argument.data(), nullptr};
    if (posix_spawn(&m_Pid, path.c_str(), &actions, nullptr, argv, environ) != 0) m_Pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    m_Out = fds[0];
  }
  ~CConsoleProgram() {
    if (m_Pid > 0) {
      kill(m_Pid, SIGTERM);
      waitpid(m_Pid, nullptr, 0);
    }
    if (m_Out >= 0) close(m_Out);
  }
  CConsoleProgram(const CConsoleProgram&) = delete;
  CConsoleProgram& operator=(const CConsoleProgram&) = delete;

  bool Started() const { return m_Pid > 0; }

  // One line of its output (without the line break); empty after 10 s of
  // silence, which only a broken program produces.
  std::string ReadLine() {
    std::string line;
    char c = 0;
    for (;;) {
      pollfd p{m_Out, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0 || read(m_Out, &c, 1) != 1) return line;
      if (c == '\n') return line;
      line += c;
    }
  }

 private:
  pid_t m_Pid = -1;
  int m_Out = -1;
};

// True once something is bound to the abstract name; waits at most 10 s.
bool WaitUntilBound(const std::string& name) {
  socklen_t length = 0;
  const sockaddr_un addr = AbstractAddress(name, length);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool bound = connect(fd, reinterpret_cast<const sockaddr*>(&addr), length) == 0;
    close(fd);
    if (bound) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(TraceTest, ConsoleProgramPrintsEachLine) {
  const std::string path = std::string(QUORVEX_TOOLS_DIR) + "/quorvex-console";
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) GTEST_SKIP() << "build the quorvex-console tool first";

  CConsoleProgram program(path, m_ConsoleName);
  ASSERT_TRUE(program.Started());
  ASSERT_TRUE(WaitUntilBound(m_ConsoleName));

  CStderrCapture capture(m_Dir.File("stderr"));
  TraceLine("to the console program %d\r\n", 5);
  TraceLine("second");
  const std::string text = capture.Finish();
  EXPECT_EQ(program.ReadLine(), text.substr(0, text.find("\r\n")));
  EXPECT_EQ(MessageOf(program.ReadLine()), "second");
}

}  // namespace
}  // namespace quorvex
