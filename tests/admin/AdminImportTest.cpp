// `quorvex-admin import devices`: the whole file or nothing, each refusal
// naming its line and column, checked in the file with a raw connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "admin/AdminTool.h"
#include "persistence/DbFixture.h"
#include "persistence/DbManager.h"
#include "support/TempDir.h"

namespace quorvex::test {
namespace {

using ::testing::HasSubstr;

constexpr char kKey[] = "00112233445566778899AABBCCDDEEFF";

class AdminImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Run({"app", "add", "--eui", "0000000000000001"}), admin::kExitDone);
    ASSERT_EQ(Run({"app", "add", "--eui", "0000000000000002", "--activation", "abp"}), admin::kExitDone);
    ASSERT_EQ(Run({"device", "add", "--app", "1", "--eui", "00000000000000AA", "--appkey", kKey, "--netid", "1"}),
              admin::kExitDone);
  }
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--data-dir", dir.Path().string()});
    std::ostringstream out, errStream;
    const int code = admin::RunAdmin(args, out, errStream);
    err = errStream.str();
    return code;
  }
  // Writes `text` as a CSV file and imports it into application `app`.
  int Import(const std::string& text, const std::string& app, std::vector<std::string> extra = {}) {
    const std::string path = dir.File("devices.csv");
    std::ofstream(path) << text;
    std::vector<std::string> args = {"import", "devices", path, "--app", app};
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  }
  std::string Devices() {
    RawDb raw(dir.File(CDbManager::kFileName));
    std::string all;
    for (const std::string& row : raw.Column("SELECT hex(DEVEUI) || '/' || DEVADDR || '/' || MEMO FROM DEVTBL "
                                             "WHERE PKEY > 1 ORDER BY PKEY")) {
      all += row + " ";
    }
    return all;
  }

  TempDir dir;
  std::string err;
};

TEST_F(AdminImportTest, ABadLineStoresNothing) {
  const std::string header = "DevEUI,AppKey,Memo\n";
  const std::string good = std::string("0000000000000011,") + kKey + ",one\n";
  struct Case {
    std::string file;
    std::string says;
  };
  const std::vector<Case> cases = {
      {header + good + "00000000000000ZZ," + kKey + ",two\n" + "0000000000000013," + kKey + ",three\n",
       "line 3, DevEUI: Device EUI: enter 16 hex digits (8 bytes)"},
      {header + good + "0000000000000012,0011,two\n", "line 3, AppKey: App Key: enter 32 hex digits (16 bytes)"},
      {header + good + good, "line 3, DevEUI: The values of the EUI are duplicated."},
      {header + good + "00000000000000AA," + kKey + ",old\n", "line 3, DevEUI: The values of the EUI are duplicated."},
      {header + good + "0000000000000012," + kKey + "," + std::string(51, 'm') + "\n",
       "line 3, Memo: Memo: at most 50 characters"},
      {header + good + "0000000000000012," + kKey + ",two,extra\n", "line 3: more cells than columns"},
      {"DevEUI,DevAddr,AppKey\n0000000000000011,," + std::string(kKey) + "\n0000000000000012,7," + kKey + "\n",
       "line 3, DevAddr: Address (Dec): not typed for an OTAA device"},
      {"DevEUI,Colour\n", "line 1: unknown column 'Colour'"},
      {"AppKey,Memo\n", "line 1: the header names no DevEUI column"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Import(c.file, "1", {"--netid", "5"}), admin::kExitRefused) << c.says;
    EXPECT_THAT(err, HasSubstr(c.says));
    EXPECT_EQ(Devices(), "") << c.says;
  }
  // Without a network identifier an OTAA line is refused as the form refuses it.
  EXPECT_EQ(Import(header + good, "1"), admin::kExitRefused);
  EXPECT_THAT(err, HasSubstr("line 2, NetID: Network ID (Dec)"));
}

// Lines without an address get the next free one, counting the earlier
// lines of the same file; a dry run checks it all and stores nothing.
TEST_F(AdminImportTest, AddressesAreProposedLineByLine) {
  const std::string file = std::string("DevEUI, DevAddr, AppSKey, NwkSKey, Memo\n") + "0000000000000021,," + kKey +
                           "," + kKey + ",\"a, b\"\n" + "0000000000000022,40," + kKey + "," + kKey + ",\n" + "\n" +
                           "0000000000000023,," + kKey + "," + kKey + ",c\n";
  EXPECT_EQ(Import(file, "2", {"--dry-run"}), admin::kExitDone) << err;
  EXPECT_EQ(Devices(), "");
  EXPECT_EQ(Import(file, "0000000000000002"), admin::kExitDone) << err;
  EXPECT_EQ(Devices(), "0000000000000021/2/a, b 0000000000000022/40/ 0000000000000023/41/c ");
  EXPECT_EQ(Import(file, "2"), admin::kExitRefused);
  EXPECT_THAT(err, HasSubstr("line 2, DevEUI: The values of the EUI are duplicated."));
}

}  // namespace
}  // namespace quorvex::test
