#include "runtime/ConsoleSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace quorvex {
namespace {

// The entry at `path` itself, without following a symbolic link.
std::optional<struct stat> EntryAt(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return std::nullopt;
  return info;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.ends_with('/')) path += '/';
  path += name;
  return path;
}

}  // namespace

std::string ConsoleFolderFor(const char* runtimeDir, uid_t euid) {
  // A relative runtime folder would depend on the current directory of
  // whichever program asks, so the server and the console could disagree.
  if (runtimeDir != nullptr && runtimeDir[0] == '/') return JoinPath(runtimeDir, "quorvex");
  return "/tmp/quorvex-" + std::to_string(euid);
}

std::string ConsoleFolder() { return ConsoleFolderFor(std::getenv("XDG_RUNTIME_DIR"), geteuid()); }

std::string ConsoleSocketPath(std::string_view folder, std::string_view name) { return JoinPath(folder, name); }

std::optional<sockaddr_un> ConsoleAddress(std::string_view path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // The path must end with a NUL inside sun_path.
  if (path.empty() || path.size() >= sizeof address.sun_path || path.find('\0') != std::string_view::npos)
    return std::nullopt;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

bool IsPrivateFolder(const std::string& folder) {
  const auto info = EntryAt(folder);
  return info && S_ISDIR(info->st_mode) && info->st_uid == geteuid() && (info->st_mode & 077) == 0;
}

bool IsOwnSocket(const std::string& path) {
  const auto info = EntryAt(path);
  return info && S_ISSOCK(info->st_mode) && info->st_uid == geteuid();
}

int ConnectConsoleSocket(const sockaddr_un& address) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace quorvex
