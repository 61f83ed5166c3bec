// The log-in autostart entry: where it goes, how the program path is quoted
// for the Exec key, and how the file is written and replaced.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "runtime/Autostart.h"
#include "support/TempDir.h"

namespace quorvex {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  return names;
}

std::string ExecLine(const std::string& entry) {
  const size_t at = entry.find("\nExec=");
  if (at == std::string::npos) return "<no Exec line>";
  return entry.substr(at + 1, entry.find('\n', at + 1) - at - 1);
}

// What a desktop does with an Exec value of one quoted argument: undo the
// key file's string escapes, then the quoting, then the "%%" field code.
std::string DecodeQuotedExec(const std::string& value) {
  std::string unescaped;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      unescaped += value[i];
      continue;
    }
    const char next = value[++i];
    unescaped += next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next == 's' ? ' ' : next;
  }
  if (unescaped.size() < 2 || unescaped.front() != '"' || unescaped.back() != '"') return "<not quoted>";
  std::string argument;
  for (size_t i = 1; i + 1 < unescaped.size(); ++i) {
    const char c = unescaped[i];
    if (c == '\\' && i + 2 < unescaped.size()) {
      const char next = unescaped[++i];
      if (next != '"' && next != '`' && next != '$' && next != '\\') return "<bad quoting escape>";
      argument += next;
    } else if (c == '"' || c == '`' || c == '$' || c == '\\') {
      return "<unescaped reserved character>";
    } else if (c == '%') {
      if (i + 2 >= unescaped.size() || unescaped[++i] != '%') return "<bare field code>";
      argument += '%';
    } else {
      argument += c;
    }
  }
  return argument;
}

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_Name(name) {
    if (const char* old = std::getenv(name)) m_Old = old;
    Set(value);
  }
  ~ScopedEnv() { Set(m_Old ? m_Old->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const char* value) {
    if (value != nullptr) {
      setenv(m_Name.c_str(), value, 1);
    } else {
      unsetenv(m_Name.c_str());
    }
  }
  std::string m_Name;
  std::optional<std::string> m_Old;
};

TEST(AutostartTest, DefaultDirFollowsXdgConfigHomeThenHome) {
  const struct {
    const char* configHome;
    const char* home;
    std::string expected;
  } cases[] = {
      {"/cfg", "/home/op", "/cfg/autostart"},
      {"/cfg", nullptr, "/cfg/autostart"},
      {"relative/cfg", "/home/op", "/home/op/.config/autostart"},  // a relative value is ignored
      {"", "/home/op", "/home/op/.config/autostart"},
      {nullptr, "/home/op", "/home/op/.config/autostart"},
      {"relative/cfg", nullptr, ""},
      {nullptr, "", ""},
      {nullptr, nullptr, ""},
  };
  for (const auto& c : cases) {
    ScopedEnv configHome("XDG_CONFIG_HOME", c.configHome);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(DefaultAutostartDir(), c.expected)
        << (c.configHome ? c.configHome : "(unset)") << " / " << (c.home ? c.home : "(unset)");
  }
}

TEST(AutostartTest, EntryStartsTheProgram) {
  EXPECT_EQ(AutostartEntryText("/opt/quorvex/bin/quorvex-ui"),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Quorvex\n"
            "Comment=LoRaWAN network server operator window\n"
            "Exec=\"/opt/quorvex/bin/quorvex-ui\"\n"
            "X-GNOME-Autostart-enabled=true\n");
}

TEST(AutostartTest, UntickedEntryIsHiddenAndStartsNothing) {
  EXPECT_EQ(AutostartEntryText(""),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Quorvex\n"
            "Comment=LoRaWAN network server operator window\n"
            "Exec=\n"
            "Hidden=true\n");
}

TEST(AutostartTest, ExecQuotesThePath) {
  const struct {
    std::string path;
    std::string exec;
  } cases[] = {
      {"/opt/quorvex/quorvex-ui", R"(Exec="/opt/quorvex/quorvex-ui")"},
      {"/home/op/My Apps/quorvex-ui", R"(Exec="/home/op/My Apps/quorvex-ui")"},
      {R"(/opt/a"b/quorvex-ui)", R"(Exec="/opt/a\\"b/quorvex-ui")"},
      {R"(/opt/a\b/quorvex-ui)", R"(Exec="/opt/a\\\\b/quorvex-ui")"},
      {"/opt/$HOME/quorvex-ui", R"(Exec="/opt/\\$HOME/quorvex-ui")"},
      {"/opt/a`b`/quorvex-ui", R"(Exec="/opt/a\\`b\\`/quorvex-ui")"},
      {"/opt/100%/quorvex-ui", R"(Exec="/opt/100%%/quorvex-ui")"},
      {"/opt/%f/quorvex-ui", R"(Exec="/opt/%%f/quorvex-ui")"},
      {"/opt/line\nbreak/quorvex-ui", R"(Exec="/opt/line\nbreak/quorvex-ui")"},
  };
  for (const auto& c : cases) {
    const std::string line = ExecLine(AutostartEntryText(c.path));
    EXPECT_EQ(line, c.exec) << c.path;
    EXPECT_EQ(DecodeQuotedExec(line.substr(5)), c.path) << "a desktop would not run " << c.path;
  }
}

TEST(AutostartTest, WritingCreatesTheMissingFolders) {
  test::TempDir dir;
  const fs::path autostart = dir.Path() / "home" / ".config" / "autostart";
  ASSERT_TRUE(WriteAutostartEntry(autostart.string(), "/opt/quorvex/quorvex-ui"));
  EXPECT_EQ(ReadFile(autostart / kAutostartFileName), AutostartEntryText("/opt/quorvex/quorvex-ui"));
  EXPECT_EQ(Names(autostart), std::vector<std::string>{kAutostartFileName});  // no temporary file left
}

TEST(AutostartTest, RewritingReplacesTheEntry) {
  test::TempDir dir;
  ASSERT_TRUE(WriteAutostartEntry(dir.Path().string(), "/opt/quorvex/quorvex-ui"));
  ASSERT_TRUE(WriteAutostartEntry(dir.Path().string(), ""));
  EXPECT_EQ(ReadFile(dir.Path() / kAutostartFileName), AutostartEntryText(""));
  ASSERT_TRUE(WriteAutostartEntry(dir.Path().string(), "/usr/bin/q"));
  EXPECT_EQ(ReadFile(dir.Path() / kAutostartFileName), AutostartEntryText("/usr/bin/q"));
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{kAutostartFileName});
}

TEST(AutostartTest, UnwritableFolderFailsAndLeavesNothing) {
  test::TempDir dir;
  const std::string plainFile = dir.File("plainfile");
  std::ofstream(plainFile) << "not a folder";
  for (const std::string& target : {plainFile, plainFile + "/autostart", std::string()}) {
    EXPECT_FALSE(WriteAutostartEntry(target, "/opt/quorvex/quorvex-ui")) << "'" << target << "'";
  }
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"plainfile"});
  EXPECT_EQ(ReadFile(plainFile), "not a folder");
}

}  // namespace
}  // namespace quorvex
