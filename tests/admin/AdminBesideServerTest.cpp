// quorvex-admin while quorvex-server runs on the same data directory: both
// open the file, and the tool's writes wait for the server's instead of
// failing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "admin/AdminTool.h"
#include "persistence/DbFixture.h"
#include "persistence/DbManager.h"
#include "support/GatewaySim.h"
#include "support/Ports.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace quorvex::test {
namespace {

constexpr char kKey[] = "00112233445566778899AABBCCDDEEFF";
constexpr uint64_t kGatewayEui = 0x0102030405060708ull;

TEST(AdminBesideServerTest, CommandsSucceedWhileTheServerRuns) {
  TempDir dir;
  TempDir outputs;
  const std::string data = dir.Path().string();
  std::string out, err;
  ASSERT_EQ(RunToEnd(QUORVEX_ADMIN_BIN, {"--data-dir", data, "gateway", "add", "--id", "0102030405060708"},
                     outputs.Path().string(), &out, &err),
            admin::kExitDone)
      << err;

  const uint16_t port = FreeUdpPort();
  ServerProcess server(QUORVEX_SERVER_BIN, {"--data-dir", data, "--port", std::to_string(port)}, data);
  GatewaySim gateway(port, kGatewayEui);
  ASSERT_TRUE(WaitUntil([&] {
    gateway.SendPullData();
    return gateway.WaitFor(PfIdentifier::PullAck, 200).has_value();
  })) << server.Stderr();

  const std::vector<std::vector<std::string>> commands = {
      {"app", "add", "--eui", "70B3D57ED0000001", "--url", "http://127.0.0.1:9/up"},
      {"device", "add", "--app", "1", "--eui", "0000000000000001", "--appkey", kKey, "--netid", "1"},
      {"device", "reset-counters", "0000000000000001"},
      {"options", "set", "adr-rx-count", "4"},
      {"gateway", "add", "--id", "1111111111111111", "--active", "off"},
      {"gateway", "delete", "1111111111111111"},
      {"log", "export", "--format", "text"},
      {"log", "clear", "--yes"},
  };
  for (std::vector<std::string> command : commands) {
    gateway.SendPullData();
    command.insert(command.begin(), {"--data-dir", data});
    const std::optional<int> code = RunToEnd(QUORVEX_ADMIN_BIN, command, outputs.Path().string(), &out, &err);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, admin::kExitDone) << command[2] << ": " << err;
  }
  EXPECT_TRUE(server.Running());
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(kPatienceMs), 0);

  RawDb raw(dir.File(CDbManager::kFileName));
  EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM APPTBL"), "1");
  EXPECT_EQ(raw.Scalar("SELECT RXSEQ FROM DEVTBL"), "-1");
  EXPECT_EQ(raw.Scalar("SELECT group_concat(ID) FROM GATETBL"), "0102030405060708");
}

}  // namespace
}  // namespace quorvex::test
