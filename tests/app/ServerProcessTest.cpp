// The headless server binary, run for real: its command line, a clean stop
// on SIGINT and SIGTERM, the busy-port report and the settings file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "persistence/DbFixture.h"
#include "persistence/DbManager.h"
#include "runtime/Settings.h"
#include "support/GatewaySim.h"
#include "support/Ports.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

using test::RunToEnd;
using test::ServerProcess;

const std::string kServer = QUORVEX_SERVER_BIN;

TEST(ServerProcessTest, CommandLineErrorsExitTwoAndHelpExitsZero) {
  test::TempDir dir;
  const struct {
    std::vector<std::string> args;
    int code;
    const char* says;  // on stdout for help, on stderr otherwise
  } cases[] = {
      {{"--help"}, 0, "Usage: quorvex-server"},
      {{"--bogus"}, 2, "unknown option '--bogus'"},
      {{"--port", "0"}, 2, "bad port '0'"},
      {{"--port", "70000"}, 2, "bad port '70000'"},
      {{"--port", "17x"}, 2, "bad port '17x'"},
      {{"--port"}, 2, "--port needs a value"},
      {{"--help"}, 0, "--log-keep N"},
      {{"--log-keep"}, 2, "--log-keep needs a value"},
      {{"--log-keep", "-1"}, 2, "bad row count '-1' for --log-keep"},
      {{"--log-keep", "1e6"}, 2, "bad row count '1e6' for --log-keep"},
      {{"--log-keep", "1000000000001"}, 2, "bad row count '1000000000001'"},
      {{"--help"}, 0, "--metrics [HOST:]PORT"},
      {{"--metrics"}, 2, "--metrics needs a value"},
      {{"--metrics", "host:"}, 2, "bad address 'host:' for --metrics"},
      {{"--metrics", "::1:9100"}, 2, "bad address '::1:9100' for --metrics"},
  };
  for (const auto& c : cases) {
    std::string out, err;
    EXPECT_EQ(RunToEnd(kServer, c.args, dir.Path().string(), &out, &err), c.code) << c.says;
    EXPECT_NE((c.code == 0 ? out : err).find(c.says), std::string::npos) << out << err;
  }
}

// True while something holds `port` on all addresses.
bool PortBusy(uint16_t port) {
  int probe = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  const bool busy = bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0;
  close(probe);
  return busy;
}

TEST(ServerProcessTest, ServesUntilSignalledThenExitsZero) {
  for (int signal : {SIGINT, SIGTERM}) {
    test::TempDir dir;
    const uint16_t port = test::FreeUdpPort();
    ServerProcess server(kServer, {"--data-dir", dir.Path().string(), "--port", std::to_string(port)},
                         dir.Path().string());
    // Running: its port is taken and the settings file has been written.
    ASSERT_TRUE(test::WaitUntil([&] { return PortBusy(port); }));
    EXPECT_EQ(std::filesystem::file_size(dir.Path() / "quorvex.cfg"), 860u);

    server.Signal(signal);
    EXPECT_EQ(server.WaitExit(test::kPatienceMs), 0) << server.Stderr();
    EXPECT_NE(server.Stderr().find("CJitManager::RunThread Stop"), std::string::npos);
    // A database that opened is not reported as one that did not.
    EXPECT_EQ(server.Stderr().find("cannot open the database"), std::string::npos) << server.Stderr();
    EXPECT_FALSE(PortBusy(port));
  }
}

TEST(ServerProcessTest, BusyPortIsReportedOnTheTraceAndInPlainWords) {
  test::TempDir dir;
  int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string port = std::to_string(ntohs(addr.sin_port));

  ServerProcess server(kServer, {"--data-dir", dir.Path().string(), "--port", port}, dir.Path().string());
  ASSERT_TRUE(test::WaitUntil([&] { return server.Stderr().find("cannot listen") != std::string::npos; }));
  const std::string err = server.Stderr();
  EXPECT_NE(err.find("===================== OnLoRaError ===================== "), std::string::npos);
  EXPECT_NE(err.find("cannot listen on UDP port " + port + ": the port is already in use"), std::string::npos)
      << err;
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(test::kPatienceMs), 0);
  close(holder);
}

TEST(ServerProcessTest, APreparedDatabaseServesItsGatewaysAtOnce) {
  test::TempDir dir;
  {
    // An active gateway entered beforehand, and Auto Reg switched off.
    CDbManager db;
    db.Open(dir.Path().string());
    CGatewayRow row;
    row.ACTIVE = 1;
    snprintf(row.ID, sizeof row.ID, "0102030405060708");
    int32_t result = 0;
    ASSERT_EQ(db.InsertGatewayRow(&row, result), 0);
    CSettingsBlock settings;
    settings.m_bAutoReg = 0;
    ASSERT_TRUE(settings.SaveSettings((dir.Path() / kSettingsFileName).string()));
  }
  const uint16_t port = test::FreeUdpPort();
  ServerProcess server(kServer, {"--data-dir", dir.Path().string(), "--port", std::to_string(port)},
                       dir.Path().string());
  ASSERT_TRUE(test::WaitUntil([&] { return PortBusy(port); }));

  test::GatewaySim known(port, 0x0102030405060708ull);
  const uint16_t token = known.SendPullData();
  const auto ack = known.WaitFor(test::PfIdentifier::PullAck, test::kPatienceMs);
  ASSERT_TRUE(ack.has_value()) << server.Stderr();
  EXPECT_EQ(ack->token, token);

  test::GatewaySim stranger(port, 0x1111111111111111ull);  // registered inactive: no answer
  stranger.SendPullData();
  known.SendPullData();
  ASSERT_TRUE(known.WaitFor(test::PfIdentifier::PullAck, test::kPatienceMs).has_value());
  EXPECT_TRUE(stranger.TakeAll().empty());

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(test::kPatienceMs), 0);
}

TEST(ServerProcessTest, UnusableDataDirectoryIsAnError) {
  test::TempDir dir;
  std::string out, err;
  EXPECT_EQ(RunToEnd(kServer, {"--data-dir", (dir.Path() / "missing").string()}, dir.Path().string(), &out, &err),
            1);
  EXPECT_NE(err.find("cannot use the data directory"), std::string::npos);
}

// A database the server cannot work with is refused at start, in plain
// words, instead of serving gateways while storing nothing.
TEST(ServerProcessTest, AnUnusableDatabaseIsRefusedAtStart) {
  const struct {
    const char* what;
    std::string content;  // the database file's bytes; empty: a real database
    bool lockedByAnotherProgram;
    const char* reason;
  } cases[] = {
      {"not a database", std::string(8192, 'x'), false, "cannot be used: "},
      {"truncated", "SQLite format 3" + std::string(1, '\0') + std::string(84, '\x10'), false, "cannot be used: "},
      {"held by another program", "", true, "cannot be written (database is locked)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string file = (dir.Path() / CDbManager::kFileName).string();
    if (!c.content.empty()) {
      FILE* out = fopen(file.c_str(), "wb");
      ASSERT_NE(out, nullptr);
      fwrite(c.content.data(), 1, c.content.size(), out);
      fclose(out);
    }
    std::unique_ptr<test::RawDb> holder;
    if (c.lockedByAnotherProgram) {
      { CDbManager db; db.Open(dir.Path().string()); }  // a real database first
      holder = std::make_unique<test::RawDb>(file);
      ASSERT_EQ(holder->Exec("BEGIN EXCLUSIVE"), 0);
    }
    std::string out, err;
    const int port = test::FreeUdpPort();
    EXPECT_EQ(RunToEnd(kServer, {"--data-dir", dir.Path().string(), "--port", std::to_string(port)},
                       dir.Path().string(), &out, &err),
              1);
    EXPECT_NE(err.find("quorvex-server: The database " + file + " cannot be used"), std::string::npos) << err;
    EXPECT_NE(err.find(c.reason), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace quorvex

namespace quorvex {
namespace {

// Fills LOGTBL of a fresh database in `dir` with the keys 1..rows.
void PrefillLog(const test::TempDir& dir, int rows) {
  { CDbManager db; db.Open(dir.Path().string()); }  // a real database first
  test::RawDb raw((dir.Path() / CDbManager::kFileName).string());
  ASSERT_EQ(raw.Exec("WITH RECURSIVE k(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM k WHERE x<" + std::to_string(rows) +
                     ") INSERT INTO LOGTBL (PKEY, DEVPKEY, TYPE) SELECT x, 1, 4 FROM k"),
            SQLITE_OK);
}

TEST(ServerProcessTest, LogKeepTrimsTheOldestRowsOfARunningServer) {
  test::TempDir dir;
  PrefillLog(dir, 5000);
  const uint16_t port = test::FreeUdpPort();
  ServerProcess server(kServer, {"--data-dir", dir.Path().string(), "--port", std::to_string(port), "--log-keep", "100"},
                       dir.Path().string());
  test::RawDb raw((dir.Path() / CDbManager::kFileName).string());
  EXPECT_TRUE(test::WaitUntil([&] { return raw.Scalar("SELECT COUNT(*) FROM LOGTBL") == "100"; })) << server.Stderr();
  EXPECT_EQ(raw.Scalar("SELECT MIN(PKEY) FROM LOGTBL"), "4901");
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(test::kPatienceMs), 0);
  EXPECT_NE(server.Stderr().find("keeps the newest 100 packet-log rows"), std::string::npos) << server.Stderr();
}

// Another program adds an active gateway to the file of the running server:
// without a restart, its pulls are acknowledged (Auto Reg is off, so only the
// reloaded row makes it active).
TEST(ServerProcessTest, AGatewayAddedToTheFileWhileRunningIsAcknowledged) {
  test::TempDir dir;
  {
    CDbManager db;
    db.Open(dir.Path().string());
    CSettingsBlock settings;
    settings.m_bAutoReg = 0;
    ASSERT_TRUE(settings.SaveSettings((dir.Path() / kSettingsFileName).string()));
  }
  const uint16_t port = test::FreeUdpPort();
  ServerProcess server(kServer, {"--data-dir", dir.Path().string(), "--port", std::to_string(port)},
                       dir.Path().string());
  ASSERT_TRUE(test::WaitUntil([&] { return server.Stderr().find("quorvex-server running") != std::string::npos; }));
  test::RawDb raw((dir.Path() / CDbManager::kFileName).string());
  ASSERT_EQ(raw.Exec("INSERT INTO GATETBL (ACTIVE, ID, IP) VALUES (1, '0102030405060709', '')"), SQLITE_OK);
  test::GatewaySim added(port, 0x0102030405060709ull);
  EXPECT_TRUE(test::WaitUntil([&] {
    added.SendPullData();
    return added.WaitFor(test::PfIdentifier::PullAck, 200).has_value();
  })) << server.Stderr();
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(test::kPatienceMs), 0);
}

TEST(ServerProcessTest, LogKeepZeroKeepsEveryRowAndTheDefaultIsAMillion) {
  const struct {
    std::vector<std::string> extra;
    const char* says;  // on stderr, or null for no trimming
  } cases[] = {
      {{}, "keeps the newest 1000000 packet-log rows"},
      {{"--log-keep", "0"}, nullptr},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    PrefillLog(dir, 50);
    const uint16_t port = test::FreeUdpPort();
    std::vector<std::string> args{"--data-dir", dir.Path().string(), "--port", std::to_string(port)};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ServerProcess server(kServer, args, dir.Path().string());
    ASSERT_TRUE(test::WaitUntil([&] { return server.Stderr().find("quorvex-server running") != std::string::npos; }))
        << server.Stderr();
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(test::kPatienceMs), 0);
    EXPECT_EQ(server.Stderr().find("keeps the newest") != std::string::npos, c.says != nullptr) << server.Stderr();
    if (c.says != nullptr) {
      EXPECT_NE(server.Stderr().find(c.says), std::string::npos) << server.Stderr();
    }
    test::RawDb raw((dir.Path() / CDbManager::kFileName).string());
    EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM LOGTBL"), "50");
  }
}

// The endpoint of a real server process: on loopback by default, answering
// /health and /metrics; a port another program holds is an error at start.
TEST(ServerProcessTest, MetricsEndpointServesOnLoopbackOrRefusesABusyPort) {
  test::TempDir dir;
  const uint16_t port = test::FreeTcpPort();
  ServerProcess server(kServer,
                       {"--data-dir", dir.Path().string(), "--port", std::to_string(test::FreeUdpPort()), "--metrics",
                        std::to_string(port)},
                       dir.Path().string());
  ASSERT_TRUE(test::WaitUntil([&] { return server.Stderr().find("serves /health") != std::string::npos; }))
      << server.Stderr();
  EXPECT_NE(server.Stderr().find("on http://127.0.0.1:" + std::to_string(port)), std::string::npos);
  httplib::Client client("127.0.0.1", port);
  auto health = client.Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  auto metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_NE(metrics->body.find("\nquorvex_uplinks_total 0\n"), std::string::npos);

  // A second server on the same metrics port stops at once.
  test::TempDir other;
  std::string out, err;
  EXPECT_EQ(RunToEnd(kServer,
                     {"--data-dir", other.Path().string(), "--port", std::to_string(test::FreeUdpPort()), "--metrics",
                      std::to_string(port)},
                     other.Path().string(), &out, &err),
            1);
  EXPECT_NE(err.find("metrics endpoint: cannot listen on 127.0.0.1 port " + std::to_string(port)), std::string::npos)
      << err;
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(test::kPatienceMs), 0) << server.Stderr();
}

}  // namespace
}  // namespace quorvex
