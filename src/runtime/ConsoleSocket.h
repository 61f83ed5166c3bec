// Where the trace console listens, and the checks that keep trace lines to
// the user who runs the server. The console program binds a pathname Unix
// datagram socket inside a folder that only its user may enter; the server
// sends to it only after checking that the folder and the socket file belong
// to its own effective user. A socket name without a file (an abstract name)
// has no owner and no permissions, so any local user could bind it first and
// read every line; a file in a private folder cannot be taken that way.
#pragma once
#include <sys/types.h>
#include <sys/un.h>

#include <optional>
#include <string>
#include <string_view>

namespace quorvex {

// The console folder of effective user `euid`, given the value of
// XDG_RUNTIME_DIR (nullptr when it is not set): "<runtimeDir>/quorvex" when
// runtimeDir is an absolute path, else "/tmp/quorvex-<euid>".
std::string ConsoleFolderFor(const char* runtimeDir, uid_t euid);

// ConsoleFolderFor of this process's XDG_RUNTIME_DIR and effective user.
std::string ConsoleFolder();

// The path of the socket file `name` inside `folder`.
std::string ConsoleSocketPath(std::string_view folder, std::string_view name);

// The address of the socket file at `path`; none when the path is empty,
// holds a NUL or is longer than sockaddr_un can carry.
std::optional<sockaddr_un> ConsoleAddress(std::string_view path);

// True when `folder` itself (a symbolic link never counts, whatever it points
// to) is a directory owned by the effective user with no group or other
// permission bits.
bool IsPrivateFolder(const std::string& folder);

// True when `path` itself (not followed if it is a symbolic link) is a socket
// owned by the effective user.
bool IsOwnSocket(const std::string& path);

// A new datagram socket connected to `address`, or -1 when nothing listens
// there (or no socket can be made). The caller owns and closes it.
int ConnectConsoleSocket(const sockaddr_un& address);

}  // namespace quorvex
