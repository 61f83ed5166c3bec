// quorvex-console: shows the server's trace lines. It binds the abstract Unix
// datagram socket the server looks for at its first trace line ("Message
// Console Manager" unless another name is given) and prints every datagram
// it receives as one line on stdout. Start it before the server: a server
// that found no console at its first line never looks again.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Trace.h"

namespace {

void PrintUsage(std::FILE* out, const char* program) {
  std::fprintf(out,
               "Usage: %s [--help] [NAME]\n"
               "Receives the trace lines of the Quorvex server on the abstract Unix\n"
               "datagram socket NAME (default \"%s\") and prints each as one line.\n"
               "Start it before the server; stop it with Ctrl+C.\n",
               program, quorvex::kConsoleName);
}

// Owns the bound socket.
class CSocket {
 public:
  explicit CSocket(int fd) : m_Fd(fd) {}
  ~CSocket() {
    if (m_Fd >= 0) close(m_Fd);
  }
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;
  int Get() const { return m_Fd; }

 private:
  int m_Fd;
};

// The text of one datagram as a single output line: up to its terminating
// NUL, without the line breaks it ends with.
std::string_view LineOf(const char* data, std::size_t size) {
  std::string_view text(data, size);
  text = text.substr(0, text.find('\0'));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = quorvex::kConsoleName;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout, argv[0]);
      return 0;
    }
    if ((arg.size() > 1 && arg[0] == '-') || i != argc - 1 || arg.empty()) {
      PrintUsage(stderr, argv[0]);
      return 2;
    }
    name = arg;
  }

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (name.size() > sizeof addr.sun_path - 1) {
    std::fprintf(stderr, "%s: name too long (at most %zu bytes)\n", argv[0], sizeof addr.sun_path - 1);
    return 2;
  }
  std::memcpy(addr.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  const auto addrLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

  CSocket sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sock.Get() < 0) {
    std::fprintf(stderr, "%s: socket: %s\n", argv[0], std::strerror(errno));
    return 1;
  }
  if (bind(sock.Get(), reinterpret_cast<const sockaddr*>(&addr), addrLength) != 0) {
    std::fprintf(stderr, "%s: cannot bind \"%s\": %s%s\n", argv[0], name.c_str(), std::strerror(errno),
                 errno == EADDRINUSE ? " (another console is running)" : "");
    return 1;
  }

  std::vector<char> buffer(65536);
  for (;;) {
    const ssize_t got = recv(sock.Get(), buffer.data(), buffer.size(), 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "%s: recv: %s\n", argv[0], std::strerror(errno));
      return 1;
    }
    const std::string_view line = LineOf(buffer.data(), static_cast<std::size_t>(got));
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
}
