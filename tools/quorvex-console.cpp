// quorvex-console: shows the server's trace lines. It binds the Unix datagram
// socket file the server looks for at its first trace line ("Message Console
// Manager" unless another name is given) in the user's private console folder,
// and prints every datagram it receives as one line on stdout. The folder is
// made if missing; one that another user could enter, or that is not ours, is
// refused, since the server would not send there anyway. Start it before the
// server, as the same user: a server that found no console at its first line
// never looks again.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/ConsoleSocket.h"
#include "runtime/Trace.h"

namespace {

void PrintUsage(std::FILE* out, const char* program) {
  std::fprintf(out,
               "Usage: %s [--help] [NAME]\n"
               "Receives the trace lines of the Quorvex server on the Unix datagram\n"
               "socket file NAME (default \"%s\"; no '/') in the folder\n"
               "$XDG_RUNTIME_DIR/quorvex, or /tmp/quorvex-<uid> when XDG_RUNTIME_DIR is\n"
               "not an absolute path (here: %s), and prints each as one line.\n"
               "The folder is made with mode 0700 if missing and must belong to you with\n"
               "no group or other permissions. Run it as the server's user and start it\n"
               "before the server; stop it with Ctrl+C.\n",
               program, quorvex::kConsoleName, quorvex::ConsoleFolder().c_str());
}

// The bound console socket; on destruction it is closed and its file removed,
// unless the file has been replaced meanwhile.
class CBoundSocket {
 public:
  CBoundSocket(int fd, std::string path) : m_Fd(fd), m_Path(std::move(path)) {}
  ~CBoundSocket() {
    if (m_Fd < 0) return;
    struct stat now {};
    if (m_Bound && lstat(m_Path.c_str(), &now) == 0 && now.st_dev == m_Dev && now.st_ino == m_Ino)
      unlink(m_Path.c_str());
    close(m_Fd);
  }
  CBoundSocket(const CBoundSocket&) = delete;
  CBoundSocket& operator=(const CBoundSocket&) = delete;

  int Get() const { return m_Fd; }
  // Binds to the path's address; errno tells why when it returns false.
  bool Bind(const sockaddr_un& address) {
    if (bind(m_Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
    struct stat made {};
    m_Bound = lstat(m_Path.c_str(), &made) == 0;
    m_Dev = made.st_dev;
    m_Ino = made.st_ino;
    return true;
  }

 private:
  int m_Fd;
  std::string m_Path;
  bool m_Bound = false;
  dev_t m_Dev = 0;
  ino_t m_Ino = 0;
};

// The socket file name from the command line, or the exit code when the
// program is to stop now.
struct Arguments {
  std::string name = quorvex::kConsoleName;
  std::optional<int> exitCode;
};

Arguments ParseArguments(int argc, char** argv) {
  Arguments parsed;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout, argv[0]);
      parsed.exitCode = 0;
      return parsed;
    }
    // The name is a file inside the folder, never a way out of it.
    if ((arg.size() > 1 && arg[0] == '-') || i != argc - 1 || arg.empty() || arg == "." || arg == ".." ||
        arg.find('/') != std::string_view::npos) {
      PrintUsage(stderr, argv[0]);
      parsed.exitCode = 2;
      return parsed;
    }
    parsed.name = arg;
  }
  return parsed;
}

// Makes the console folder if missing; false (with a message) when it exists
// but is not a private folder of this user.
bool PrepareFolder(const char* program, const std::string& folder) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "%s: cannot make the folder %s: %s\n", program, folder.c_str(), std::strerror(errno));
    return false;
  }
  if (quorvex::IsPrivateFolder(folder)) return true;
  std::fprintf(stderr,
               "%s: %s is not a private folder of this user: it must be a directory (not a\n"
               "symbolic link) owned by uid %u with no group or other permissions, or else\n"
               "other users could read the trace lines. Remove it or fix it (chmod 700).\n",
               program, folder.c_str(), static_cast<unsigned>(geteuid()));
  return false;
}

// Removes a socket file left by a console that has gone; false (with a
// message) when a console still listens there or the name is taken by
// something else.
bool RemoveStaleSocket(const char* program, const std::string& path, const sockaddr_un& address) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return true;
  if (!quorvex::IsOwnSocket(path)) {
    std::fprintf(stderr, "%s: %s exists and is not a socket of this user\n", program, path.c_str());
    return false;
  }
  if (const int fd = quorvex::ConnectConsoleSocket(address); fd >= 0) {
    close(fd);
    std::fprintf(stderr, "%s: another console is running on %s\n", program, path.c_str());
    return false;
  }
  unlink(path.c_str());
  return true;
}

// Ctrl+C and kill end the receive loop, so the socket file is removed on the
// way out. The stop signals stay blocked except while waiting in ppoll, so
// one arriving between the check and the wait cannot be missed.
volatile sig_atomic_t g_Stop = 0;

// Installs the handlers, blocks the signals, and returns the mask to wait
// with.
sigset_t InstallStopHandlers() {
  sigset_t stops;
  sigemptyset(&stops);
  struct sigaction action {};
  action.sa_handler = [](int) { g_Stop = 1; };
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
    sigaddset(&stops, signal);
  }
  sigset_t waitMask;
  sigprocmask(SIG_BLOCK, &stops, &waitMask);
  return waitMask;
}

// The text of one datagram as a single output line: up to its terminating
// NUL, without the line breaks it ends with.
std::string_view LineOf(const char* data, std::size_t size) {
  std::string_view text(data, size);
  text = text.substr(0, text.find('\0'));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// Prints the datagram queued on `fd`, if any; false when reading fails.
bool PrintQueued(const char* program, int fd, std::vector<char>& buffer) {
  const ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (got < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return true;
    std::fprintf(stderr, "%s: recv: %s\n", program, std::strerror(errno));
    return false;
  }
  const std::string_view line = LineOf(buffer.data(), static_cast<std::size_t>(got));
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return true;
}

// Prints every datagram until a stop signal; the exit code.
int ReceiveLines(const char* program, int fd, const sigset_t& waitMask) {
  std::vector<char> buffer(65536);
  pollfd wait{fd, POLLIN, 0};
  while (g_Stop == 0) {
    if (ppoll(&wait, 1, nullptr, &waitMask) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "%s: poll: %s\n", program, std::strerror(errno));
      return 1;
    }
    if (!PrintQueued(program, fd, buffer)) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments arguments = ParseArguments(argc, argv);
  if (arguments.exitCode) return *arguments.exitCode;

  const std::string folder = quorvex::ConsoleFolder();
  const std::string path = quorvex::ConsoleSocketPath(folder, arguments.name);
  const auto address = quorvex::ConsoleAddress(path);
  if (!address) {
    std::fprintf(stderr, "%s: socket path %s is too long (at most %zu bytes)\n", argv[0], path.c_str(),
                 sizeof(sockaddr_un::sun_path) - 1);
    return 2;
  }
  if (!PrepareFolder(argv[0], folder) || !RemoveStaleSocket(argv[0], path, *address)) return 1;

  CBoundSocket sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0), path);
  if (sock.Get() < 0) {
    std::fprintf(stderr, "%s: socket: %s\n", argv[0], std::strerror(errno));
    return 1;
  }
  const sigset_t waitMask = InstallStopHandlers();
  if (!sock.Bind(*address)) {
    std::fprintf(stderr, "%s: cannot bind %s: %s%s\n", argv[0], path.c_str(), std::strerror(errno),
                 errno == EADDRINUSE ? " (another console is running)" : "");
    return 1;
  }
  return ReceiveLines(argv[0], sock.Get(), waitMask);
}
