#include "runtime/Autostart.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

namespace quorvex {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// The Exec value that runs `path`. Two layers of escaping apply, read back
// in this order: the key file's string escapes ("\\", "\n", ...), then the
// Exec quoting (a double-quoted argument in which '"', '`', '$' and '\' are
// preceded by a backslash). Field codes come last, so a literal '%' is "%%".
// A backslash of the path therefore becomes four, a '$' "\\$".
std::string QuotedExec(const std::string& path) {
  std::string exec = "\"";
  for (char c : path) {
    switch (c) {
      case '"':
      case '`':
      case '$': exec += "\\\\"; exec += c; break;
      case '\\': exec += "\\\\\\\\"; break;
      case '%': exec += "%%"; break;
      // A raw line break would end the value; the string escapes carry it.
      case '\n': exec += "\\n"; break;
      case '\r': exec += "\\r"; break;
      case '\t': exec += "\\t"; break;
      default: exec += c;
    }
  }
  exec += '"';
  return exec;
}

// A name beside the entry, distinct per process and per write.
std::string TempPathFor(const std::filesystem::path& target) {
  static std::atomic<unsigned> counter{0};
  return target.string() + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
  std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "wb"));
  if (!file) return false;
  const bool written = fwrite(content.data(), 1, content.size(), file.get()) == content.size() &&
                       fflush(file.get()) == 0 && fsync(fileno(file.get())) == 0;
  return fclose(file.release()) == 0 && written;
}

}  // namespace

std::string DefaultAutostartDir() {
  const std::string configHome = Environment("XDG_CONFIG_HOME");
  if (!configHome.empty() && configHome.front() == '/') return configHome + "/autostart";
  const std::string home = Environment("HOME");
  if (!home.empty()) return home + "/.config/autostart";
  return std::string();
}

std::string AutostartEntryText(const std::string& programPath) {
  std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Quorvex\n"
      "Comment=LoRaWAN network server operator window\n";
  if (programPath.empty()) {
    text += "Exec=\nHidden=true\n";
  } else {
    text += "Exec=" + QuotedExec(programPath) + "\n";
    text += "X-GNOME-Autostart-enabled=true\n";
  }
  return text;
}

bool WriteAutostartEntry(const std::string& dir, const std::string& programPath) {
  if (dir.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) return false;
  const std::filesystem::path target = std::filesystem::path(dir) / kAutostartFileName;
  const std::string tempPath = TempPathFor(target);
  if (!WriteWholeFile(tempPath, AutostartEntryText(programPath)) ||
      std::rename(tempPath.c_str(), target.c_str()) != 0) {
    (void)unlink(tempPath.c_str());
    return false;
  }
  return true;
}

}  // namespace quorvex
