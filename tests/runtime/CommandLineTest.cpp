// The command-line values the server programs and the admin tool share, as
// tables of texts.
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

TEST(CommandLineTest, LogKeepTakesZeroOrAPlainRowCount) {
  const struct {
    const char* text;
    bool ok;
    int64_t rows;
  } cases[] = {
      {"0", true, 0},
      {"1", true, 1},
      {"1000000", true, 1000000},
      {"1000000000000", true, kMaxLogKeepRows},
      {"1000000000001", false, 0},
      {"99999999999999999999", false, 0},  // beyond 64 bits
      {"-1", false, 0},
      {"+5", false, 0},
      {" 5", false, 0},
      {"5 ", false, 0},
      {"5k", false, 0},
      {"", false, 0},
      {nullptr, false, 0},
  };
  for (const auto& c : cases) {
    int64_t rows = -7;
    EXPECT_EQ(ParseLogKeep(c.text, rows), c.ok) << (c.text ? c.text : "null");
    EXPECT_EQ(rows, c.ok ? c.rows : -7) << (c.text ? c.text : "null");
  }
}

// The metrics endpoint listens on this host alone unless told otherwise.
TEST(CommandLineTest, MetricsAddressIsAPortOrHostAndPort) {
  const struct {
    const char* text;
    bool ok;
    const char* host;
    int port;
  } cases[] = {
      {"9100", true, "127.0.0.1", 9100},
      {"0.0.0.0:9100", true, "0.0.0.0", 9100},
      {"192.168.1.5:80", true, "192.168.1.5", 80},
      {"localhost:65535", true, "localhost", 65535},
      {"[::1]:9100", true, "::1", 9100},
      {"[::]:9100", true, "::", 9100},
      {"::1:9100", false, "", 0},  // an IPv6 address needs brackets
      {":9100", false, "", 0},
      {"[]:9100", false, "", 0},
      {"host:", false, "", 0},
      {"host:0", false, "", 0},
      {"host:65536", false, "", 0},
      {"host:+80", false, "", 0},
      {"host: 80", false, "", 0},
      {"my host:80", false, "", 0},
      {"0", false, "", 0},
      {"", false, "", 0},
      {nullptr, false, "", 0},
  };
  for (const auto& c : cases) {
    std::string host = "unchanged";
    int port = -1;
    const char* shown = c.text ? c.text : "null";
    ASSERT_EQ(ParseListenAddress(c.text, host, port), c.ok) << shown;
    if (!c.ok) continue;
    EXPECT_EQ(host, c.host) << shown;
    EXPECT_EQ(port, c.port) << shown;
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
