// The options the server and the admin tool share.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "runtime/CommandLine.h"

namespace quorvex {
namespace {

TEST(CommandLineTest, PortsFrom1To65535) {
  struct Case {
    const char* text;
    bool ok;
    int port;
  };
  const std::vector<Case> cases = {{"1700", true, 1700}, {"1", true, 1},      {"65535", true, 65535},
                                   {"0", false, 0},      {"65536", false, 0}, {"-1", false, 0},
                                   {"17x", false, 0},    {"", false, 0},      {nullptr, false, 0}};
  for (const Case& c : cases) {
    int port = 0;
    EXPECT_EQ(ParsePort(c.text, port), c.ok) << (c.text ? c.text : "null");
    EXPECT_EQ(port, c.port) << (c.text ? c.text : "null");
  }
}

// Without --data-dir both programs use the directory they are installed in,
// so that an admin tool beside the server finds the server's file.
TEST(CommandLineTest, DataDirDefaultsToTheProgramsDirectory) {
  const std::string own = std::filesystem::canonical("/proc/self/exe").parent_path().string();
  EXPECT_EQ(std::filesystem::canonical(DataDirOrDefault("")).string(), own);
  EXPECT_EQ(DataDirOrDefault("/var/lib/quorvex"), "/var/lib/quorvex");
}

}  // namespace
}  // namespace quorvex
