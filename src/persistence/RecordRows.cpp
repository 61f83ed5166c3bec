#include "persistence/RecordRows.h"

#include "util/FieldText.h"
#include "util/WinUtils.h"

namespace quorvex {

namespace {

template <size_t N>
std::string Spaced(const uint8_t (&bytes)[N]) {
  return CWinUtils::BytesToHex(bytes, ' ', static_cast<int>(N));
}

}  // namespace

std::vector<std::string> ApplicationRowTexts(const CApplication& record) {
  return {record.ACTIVATION == 1 ? "   ABP" : "   OTAA", record.CLASS == 1 ? "C" : "A", Spaced(record.APPEUI)};
}

std::vector<std::string> DeviceRowTexts(const CDeviceRow& record) {
  return {"  " + Spaced(record.DEVEUI), record.JOINED != 0 ? "OK" : ""};
}

std::vector<std::string> GatewayRowTexts(const CGatewayRow& record) {
  return {record.ACTIVE != 0 ? "  ON" : "  OFF", FieldText(record.ID), FieldText(record.IP)};
}

std::vector<std::string> DownlinkRowTexts(const CDLink& record) {
  return {" " + std::to_string(record.PORT), record.CONFIRMED != 0 ? "CNF" : "UCF",
          record.CHANNEL != 0 ? "RX 2" : "RX 1", FieldText(record.MAC), FieldText(record.APP),
          FieldText(record.TIME)};
}

DeviceDetailTexts DeviceDetailsOf(const CDeviceRow& record) {
  return {std::to_string(static_cast<int32_t>(record.DEVADDR)), std::to_string(static_cast<int32_t>(record.NETWORKID)),
          Spaced(record.APPKEY), Spaced(record.APPSKEY), Spaced(record.NETSKEY), FieldText(record.MEMO)};
}

}  // namespace quorvex
