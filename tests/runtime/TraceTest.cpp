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

#include "runtime/ConsoleSocket.h"
#include "runtime/Trace.h"
#include "support/TempDir.h"

namespace quorvex {
namespace {

// A console name no other test process uses, and never the real console's.
std::string UniqueConsoleName() {
  static std::atomic<int> counter{0};
  return "quorvex-trace-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

// A console stand-in: a datagram socket bound to a socket file.
class CTestConsole {
 public:
  explicit CTestConsole(const std::string& path) : m_Fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const auto address = ConsoleAddress(path);
    m_Bound = m_Fd >= 0 && address &&
              bind(m_Fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0;
    // Only a guard against a hanging test; a datagram sent before Receive()
    // is already queued.
    timeval guard{10, 0};
    setsockopt(m_Fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
  }
  ~CTestConsole() { Close(); }
  CTestConsole(const CTestConsole&) = delete;
  CTestConsole& operator=(const CTestConsole&) = delete;

  bool Bound() const { return m_Bound; }
  // Stops listening; the socket file stays, as after a console that crashed.
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

// Makes `path` a directory with exactly `mode` (whatever the umask).
bool MakeFolder(const std::string& path, mode_t mode) {
  return mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), mode) == 0;
}

// A uid no account of the test machine has: stands for another local user.
constexpr uid_t kOtherUid = 12345;

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

// Every test looks for its own console in a private folder of its own, so
// parallel test processes and a real console running on the machine stay out
// of each other's way.
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeFolder(m_Folder, 0700));
    trace_testing::UseConsoleFolder(m_Folder);
    trace_testing::UseConsoleName(m_ConsoleName);
  }
  void TearDown() override { trace_testing::UseConsoleFolder(""); }

  test::TempDir m_Dir;
  const std::string m_ConsoleName = UniqueConsoleName();
  const std::string m_Folder = m_Dir.File("console");
  const std::string m_SocketPath = ConsoleSocketPath(m_Folder, m_ConsoleName);
};

TEST(ConsoleFolderTest, RuntimeFolderWhenAbsoluteElsePerUserTmpFolder) {
  struct Case {
    const char* runtimeDir;
    uid_t euid;
    std::string folder;
  };
  const Case cases[] = {
      {"/run/user/1000", 1000, "/run/user/1000/quorvex"},
      {"/run/user/1000/", 1000, "/run/user/1000/quorvex"},
      {nullptr, 1000, "/tmp/quorvex-1000"},
      {"", 0, "/tmp/quorvex-0"},
      // A relative folder would depend on each program's current directory.
      {"run/user/1000", 4242, "/tmp/quorvex-4242"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ConsoleFolderFor(c.runtimeDir, c.euid), c.folder) << (c.runtimeDir ? c.runtimeDir : "(unset)");
}

TEST(ConsoleFolderTest, SocketPathIsNameInFolderAndMustFitTheAddress) {
  EXPECT_EQ(ConsoleSocketPath("/tmp/quorvex-0", kConsoleName), "/tmp/quorvex-0/Message Console Manager");
  const std::size_t fits = sizeof(sockaddr_un::sun_path) - 1;  // and its NUL
  struct Case {
    std::string path;
    bool valid;
  };
  const Case cases[] = {
      {"/tmp/quorvex-0/x", true},
      {"/" + std::string(fits - 1, 'p'), true},
      {"/" + std::string(fits, 'p'), false},
      {"", false},
      {std::string("/tmp/a\0b", 8), false},
  };
  for (const Case& c : cases) {
    const auto address = ConsoleAddress(c.path);
    ASSERT_EQ(address.has_value(), c.valid) << c.path.size();
    if (c.valid) {
      EXPECT_EQ(std::string(address->sun_path), c.path);
    }
  }
}

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

// A destructor may trace after the thread's own thread-locals are gone: a
// static object's at process exit (the server's, stopping), or a
// thread-local made before the thread's first line, destroyed after the
// trace's own. (AddressSanitizer catches a read of the freed time text.)
TEST_F(TraceTest, ADestructorRunningAfterTheThreadLocalsMayStillTrace) {
  struct TracesWhenDestroyed {
    bool armed = false;
    ~TracesWhenDestroyed() {
      if (armed) TraceLine("traced while the thread ends");
    }
  };
  CStderrCapture capture(m_Dir.File("stderr"));
  std::thread([] {
    thread_local TracesWhenDestroyed last;  // made before the trace's own, so destroyed after them
    last.armed = true;
    TraceLine("the thread's first line");
  }).join();
  const std::string text = capture.Finish();
  EXPECT_NE(text.find("the thread's first line"), std::string::npos);
  EXPECT_NE(text.find("traced while the thread ends"), std::string::npos);
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
  CTestConsole console(m_SocketPath);
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

  CTestConsole console(m_SocketPath);
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
    CTestConsole console(m_SocketPath);
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
  CTestConsole console(m_SocketPath);
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

// Where one case of the table below puts things: the console always listens
// at `real` (a private folder unless the case changes it), while the trace
// looks in `looked`, which is `real` itself unless the case changes that.
struct ConsoleLayout {
  std::string real;
  std::string looked;
  std::string name;
  std::string Socket() const { return ConsoleSocketPath(real, name); }
};

TEST_F(TraceTest, LinesReachOnlyAConsoleOfTheSameUserInItsPrivateFolder) {
  struct Case {
    const char* what;
    std::function<bool(ConsoleLayout&)> arrange;  // false: could not arrange
    bool reached;
  };
  const Case cases[] = {
      {"private folder, own socket", [](ConsoleLayout&) { return true; }, true},
      {"group may read the folder",
       [](ConsoleLayout& l) { return chmod(l.real.c_str(), 0740) == 0; }, false},
      {"group may enter the folder",
       [](ConsoleLayout& l) { return chmod(l.real.c_str(), 0710) == 0; }, false},
      {"anyone may enter the folder",
       [](ConsoleLayout& l) { return chmod(l.real.c_str(), 0701) == 0; }, false},
      {"anyone may write the folder",
       [](ConsoleLayout& l) { return chmod(l.real.c_str(), 0777) == 0; }, false},
      {"folder is a symbolic link to a private folder",
       [](ConsoleLayout& l) {
         l.looked = l.real + "-link";
         return symlink(l.real.c_str(), l.looked.c_str()) == 0;
       },
       false},
      {"folder belongs to another user",
       [](ConsoleLayout& l) { return chown(l.real.c_str(), kOtherUid, static_cast<gid_t>(-1)) == 0; }, false},
      {"socket file belongs to another user",
       [](ConsoleLayout& l) { return chown(l.Socket().c_str(), kOtherUid, static_cast<gid_t>(-1)) == 0; },
       false},
      {"socket file is a symbolic link to the console's socket",
       [](ConsoleLayout& l) {
         const std::string target = l.Socket();
         l.name += "-link";
         return symlink(target.c_str(), l.Socket().c_str()) == 0;
       },
       false},
  };
  CStderrCapture capture(m_Dir.File("stderr"));
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConsoleLayout layout;
    layout.real = m_Dir.File("case" + std::to_string(index++));
    layout.looked = layout.real;
    layout.name = m_ConsoleName;
    ASSERT_TRUE(MakeFolder(layout.real, 0700));
    CTestConsole console(layout.Socket());
    ASSERT_TRUE(console.Bound());
    if (!c.arrange(layout)) {
      // Only root can give a file away to another user.
      if (geteuid() != 0) continue;
      FAIL() << "could not arrange: " << std::strerror(errno);
    }

    trace_testing::UseConsoleFolder(layout.looked);
    trace_testing::UseConsoleName(layout.name);
    TraceLine("case %d\n", index);
    EXPECT_TRUE(trace_testing::ConsoleSearched());
    EXPECT_EQ(trace_testing::ConsoleConnected(), c.reached);
    // A datagram is queued at the console by the time send returns.
    EXPECT_EQ(console.Poll().has_value(), c.reached);
  }
  capture.Finish();
}

// The environment of this process with XDG_RUNTIME_DIR set to `runtimeDir`.
std::vector<std::string> EnvironmentWithRuntimeDir(const std::string& runtimeDir) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (std::strncmp(*entry, "XDG_RUNTIME_DIR=", 16) != 0) entries.emplace_back(*entry);
  entries.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
  return entries;
}

// One line from `fd` (without the line break); what came before after 10 s
// of silence or the end of input, which only a broken program produces
// mid-line.
std::string ReadLineFrom(int fd) {
  std::string line;
  char c = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0 || read(fd, &c, 1) != 1) return line;
    if (c == '\n') return line;
    line += c;
  }
}

// Everything `fd` gives until its end; what came before after 10 s of
// silence, which only a hanging program produces.
std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return text;
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

// The console program, run as a child process with its console folder in
// `runtimeDir` (through XDG_RUNTIME_DIR), so it never meets a real console.
class CConsoleProgram {
 public:
  CConsoleProgram(const std::string& runtimeDir, const std::string& name) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      return;
    }
    m_Out = out[0];
    m_Err = err[0];
    Spawn(runtimeDir, name, out[1], err[1]);
    close(out[1]);
    close(err[1]);
  }
  ~CConsoleProgram() {
    Stop();
    if (m_Out >= 0) close(m_Out);
    if (m_Err >= 0) close(m_Err);
  }
  CConsoleProgram(const CConsoleProgram&) = delete;
  CConsoleProgram& operator=(const CConsoleProgram&) = delete;

  static std::string Path() { return std::string(QUORVEX_TOOLS_DIR) + "/quorvex-console"; }
  bool Started() const { return m_Pid > 0; }
  // One line of its output.
  std::string ReadLine() { return ReadLineFrom(m_Out); }
  // Asks it to stop (SIGTERM) and returns its wait status.
  int Stop() {
    if (m_Pid > 0) kill(m_Pid, SIGTERM);
    return Reap();
  }
  // Waits until it ends by itself (it is killed after 10 s of silence
  // without an end) and returns its wait status; `errors` gets what it wrote
  // to stderr.
  int WaitForEnd(std::string& errors) {
    errors = ReadToEnd(m_Err);
    if (m_Pid > 0) kill(m_Pid, SIGKILL);  // already gone unless it hangs
    return Reap();
  }

 private:
  void Spawn(const std::string& runtimeDir, const std::string& name, int out, int err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    std::string program = Path();
    std::string argument = name;
    char* argv[] = {program.data(), argument.data(), nullptr};
    std::vector<std::string> environment = EnvironmentWithRuntimeDir(runtimeDir);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    if (posix_spawn(&m_Pid, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) m_Pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  int Reap() {
    int status = -1;
    if (m_Pid > 0) waitpid(m_Pid, &status, 0);
    m_Pid = -1;
    return status;
  }

  pid_t m_Pid = -1;
  int m_Out = -1;
  int m_Err = -1;
};

// True once something listens on the socket file; waits at most 10 s.
bool WaitUntilBound(const std::string& path) {
  const auto address = ConsoleAddress(path);
  for (int attempt = 0; address && attempt < 1000; ++attempt) {
    const int fd = ConnectConsoleSocket(*address);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

TEST_F(TraceTest, ConsoleProgramMakesItsPrivateFolderAndPrintsEachLine) {
  if (!Exists(CConsoleProgram::Path())) GTEST_SKIP() << "build the quorvex-console tool first";
  const std::string runtimeDir = m_Dir.File("run");
  ASSERT_TRUE(MakeFolder(runtimeDir, 0755));
  const std::string folder = ConsoleFolderFor(runtimeDir.c_str(), geteuid());
  const std::string socketPath = ConsoleSocketPath(folder, m_ConsoleName);

  CConsoleProgram program(runtimeDir, m_ConsoleName);
  ASSERT_TRUE(program.Started());
  ASSERT_TRUE(WaitUntilBound(socketPath));
  EXPECT_EQ(ModeOf(folder), S_IFDIR | 0700);

  trace_testing::UseConsoleFolder(folder);
  CStderrCapture capture(m_Dir.File("stderr"));
  TraceLine("to the console program %d\r\n", 5);
  TraceLine("second");
  const std::string text = capture.Finish();
  EXPECT_TRUE(trace_testing::ConsoleConnected());
  EXPECT_EQ(program.ReadLine(), text.substr(0, text.find("\r\n")));
  EXPECT_EQ(MessageOf(program.ReadLine()), "second");

  // Stopped, it ends normally and takes its socket file with it.
  const int status = program.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(Exists(socketPath));
}

TEST_F(TraceTest, ConsoleProgramRefusesAFolderThatIsNotPrivate) {
  if (!Exists(CConsoleProgram::Path())) GTEST_SKIP() << "build the quorvex-console tool first";
  struct Case {
    const char* what;
    // Makes the console folder (or what stands in its place) at `folder`;
    // false when it could not.
    std::function<bool(const std::string& folder)> arrange;
  };
  const Case cases[] = {
      {"group may read it", [](const std::string& f) { return MakeFolder(f, 0750); }},
      {"anyone may enter it", [](const std::string& f) { return MakeFolder(f, 0701); }},
      {"anyone may write it", [](const std::string& f) { return MakeFolder(f, 0777); }},
      {"it belongs to another user",
       [](const std::string& f) {
         return MakeFolder(f, 0700) && chown(f.c_str(), kOtherUid, static_cast<gid_t>(-1)) == 0;
       }},
      {"it is a symbolic link to a private folder",
       [](const std::string& f) { return MakeFolder(f + "-real", 0700) && symlink((f + "-real").c_str(), f.c_str()) == 0; }},
      {"it is a file",
       [](const std::string& f) {
         std::ofstream(f) << "not a folder";
         return Exists(f);
       }},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string runtimeDir = m_Dir.File("run" + std::to_string(index++));
    ASSERT_TRUE(MakeFolder(runtimeDir, 0700));
    const std::string folder = ConsoleFolderFor(runtimeDir.c_str(), geteuid());
    if (!c.arrange(folder)) {
      // Only root can give a file away to another user.
      if (geteuid() != 0) continue;
      FAIL() << "could not arrange: " << std::strerror(errno);
    }
    const mode_t before = ModeOf(folder);

    CConsoleProgram program(runtimeDir, m_ConsoleName);
    ASSERT_TRUE(program.Started());
    std::string errors;
    const int status = program.WaitForEnd(errors);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(errors.find("is not a private folder of this user"), std::string::npos) << errors;
    // Nothing bound, even through the link, and the folder is left as it was.
    EXPECT_FALSE(Exists(ConsoleSocketPath(folder, m_ConsoleName)));
    EXPECT_FALSE(Exists(ConsoleSocketPath(folder + "-real", m_ConsoleName)));
    EXPECT_EQ(ModeOf(folder), before);
  }
}

TEST_F(TraceTest, ConsoleProgramReplacesAStaleSocketButNotARunningConsole) {
  if (!Exists(CConsoleProgram::Path())) GTEST_SKIP() << "build the quorvex-console tool first";
  const std::string runtimeDir = m_Dir.File("run");
  const std::string folder = ConsoleFolderFor(runtimeDir.c_str(), geteuid());
  ASSERT_TRUE(MakeFolder(runtimeDir, 0700));
  ASSERT_TRUE(MakeFolder(folder, 0700));
  const std::string socketPath = ConsoleSocketPath(folder, m_ConsoleName);

  // A running console keeps its socket: the second one gives up.
  CTestConsole running(socketPath);
  ASSERT_TRUE(running.Bound());
  {
    CConsoleProgram second(runtimeDir, m_ConsoleName);
    ASSERT_TRUE(second.Started());
    std::string errors;
    const int status = second.WaitForEnd(errors);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(errors.find("another console is running"), std::string::npos) << errors;
    EXPECT_TRUE(WaitUntilBound(socketPath));
  }

  // The file of a console that has gone is taken over.
  running.Close();
  CConsoleProgram program(runtimeDir, m_ConsoleName);
  ASSERT_TRUE(program.Started());
  ASSERT_TRUE(WaitUntilBound(socketPath));
  trace_testing::UseConsoleFolder(folder);
  CStderrCapture capture(m_Dir.File("stderr"));
  TraceLine("after the stale socket");
  capture.Finish();
  EXPECT_EQ(MessageOf(program.ReadLine()), "after the stale socket");
}

}  // namespace
}  // namespace quorvex
