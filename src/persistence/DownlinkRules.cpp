#include "persistence/DownlinkRules.h"

#include <algorithm>

#include "persistence/ApplicationRules.h"
#include "persistence/Log.h"
#include "util/WinUtils.h"

namespace quorvex {
namespace {

constexpr char kRx1Text[] = "RX 1";
constexpr char kRx2Text[] = "RX 2";

bool ChannelOffered(int32_t channel, int32_t appClass) {
  return channel == CDLink::kRx1 || (channel == CDLink::kRx2 && appClass == kClassC);
}

RuleResult CheckChoices(const DownlinkForm& form, int32_t appClass) {
  if (form.port < kDownlinkPortMin || form.port > kDownlinkPortMax) {
    return RuleResult::Refuse("Port: choose 1 to 253", "port");
  }
  if (!IsChoice(form.confirmed, kConfirmedChoices)) {
    return RuleResult::Refuse("Confirmed Type: choose Unconfirmed or Confirmed", "confirmed");
  }
  if (!ChannelOffered(form.channel, appClass)) {
    return RuleResult::Refuse("Channel: choose RX 1 (RX 2 only for a class C application)", "channel");
  }
  return RuleResult::Accept();
}

using DataBytes = std::array<uint8_t, CWinUtils::kHexWorkSize - 1>;

// The number of bytes typed, or -1 when the text is not whole bytes of hex.
int ParseData(const std::string& text, DataBytes& bytes) {
  return CWinUtils::ParseHexStrict(text, bytes.data(), static_cast<int>(bytes.size()));
}

RuleResult ReadData(const DownlinkForm& form, CDLink& row) {
  DataBytes app{};
  DataBytes mac{};
  const int appCount = ParseData(form.appData, app);
  if (appCount < 0) return RuleResult::Refuse("Application Data: enter whole bytes of hex, such as 01 02 FF", "appData");
  const int macCount = ParseData(form.macData, mac);
  if (macCount < 0) return RuleResult::Refuse("Mac Data: enter whole bytes of hex, such as 03 07 00", "macData");
  // Cutting MAC commands would leave a broken command for the device to parse.
  if (macCount > kDownlinkMacMaxBytes) return RuleResult::Refuse("Mac Data: at most 10 bytes", "macData");
  SetField(row.APP, CWinUtils::BytesToHex(app.data(), ' ', std::min(appCount, kDownlinkAppMaxBytes)));
  SetField(row.MAC, CWinUtils::BytesToHex(mac.data(), ' ', macCount));
  return RuleResult::Accept();
}

}  // namespace

DownlinkForm NewDownlinkForm() { return DownlinkForm{}; }

std::vector<std::string> DownlinkPortChoices() {
  std::vector<std::string> ports;
  for (int32_t port = kDownlinkPortMin; port <= kDownlinkPortMax; ++port) ports.push_back(std::to_string(port));
  return ports;
}

std::vector<std::string> DownlinkChannelChoices(int32_t appClass) {
  if (appClass == kClassC) return {kRx1Text, kRx2Text};
  return {kRx1Text};
}

RuleResult ApplyDownlinkForm(const DownlinkForm& form, int32_t appClass, CDLink& record) {
  CDLink row;
  RuleResult result = CheckChoices(form, appClass);
  if (result.ok) result = ReadData(form, row);
  if (!result.ok) return result;
  row.PORT = form.port;
  row.CONFIRMED = form.confirmed;
  row.CHANNEL = form.channel;
  record = row;
  return result;
}

}  // namespace quorvex
