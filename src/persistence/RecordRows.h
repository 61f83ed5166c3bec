// How the operator's lists show the records: the column texts of an
// application, device, gateway or queued downlink row, and the detail texts
// of a device. The window's page and the command-line admin tool both show
// records this way.
#pragma once
#include <string>
#include <vector>

#include "persistence/Application.h"
#include "persistence/DLink.h"
#include "persistence/Device.h"
#include "persistence/GatewayRow.h"

namespace quorvex {

// "   OTAA" / "   ABP" (ACTIVATION 0 / 1); "A" / "C" (CLASS 0 / 1); APPEUI as
// eight upper-case hex pairs with single spaces. An activation or class
// outside its two values shows as the first one, as the radio path treats it.
std::vector<std::string> ApplicationRowTexts(const CApplication& record);
// "  " and DEVEUI as eight spaced hex pairs; "OK" when JOINED, else empty.
std::vector<std::string> DeviceRowTexts(const CDeviceRow& record);
// "  ON" / "  OFF" (ACTIVE); ID; IP.
std::vector<std::string> GatewayRowTexts(const CGatewayRow& record);
// PORT as " %d"; "CNF" / "UCF"; "RX 2" when CHANNEL is not 0, else "RX 1";
// MAC; APP; TIME (empty while pending).
std::vector<std::string> DownlinkRowTexts(const CDLink& record);

// The detail texts of one device: address and network identifier as signed
// decimals (the columns are signed), the three keys as sixteen spaced hex
// pairs, the memo.
struct DeviceDetailTexts {
  std::string address;
  std::string networkId;
  std::string appKey;
  std::string appSKey;
  std::string netSKey;
  std::string memo;
};
DeviceDetailTexts DeviceDetailsOf(const CDeviceRow& record);

}  // namespace quorvex
