#include "lorawan/MacCommands.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>

#include "persistence/Application.h"
#include "persistence/Device.h"
#include "runtime/Trace.h"
#include "util/WinUtils.h"

namespace quorvex {
namespace {

// Bytes after the CID of each device answer the server reads; -1 for an
// identifier it does not know.
int UplinkArgumentBytes(uint8_t cid) {
  switch (cid) {
    case kMacLinkCheck:
    case kMacDutyCycle:
    case kMacRxTimingSetup:
    case kMacTxParamSetup:
    case kMacDeviceTime:
      return 0;
    case kMacLinkAdr:
    case kMacRxParamSetup:
    case kMacNewChannel:
    case kMacDlChannel:
      return 1;
    case kMacDevStatus:
      return 2;
    default:
      return -1;
  }
}

// The numeric value of a radio metadata text; 0 when it holds none.
double MetadataNumber(const char* text) { return std::strtod(text, nullptr); }

// Each prepared answer is the only content of the reply's MAC commands:
// whatever was there (bytes queued by the operator included) is dropped.
void SetSingleAnswer(CDevice& device, const uint8_t* answer, int length) {
  std::copy(answer, answer + length, device.m_MacAnswers);
  device.m_MacAnswerLength = length;
  device.m_MacPending = 1;
}

}  // namespace

uint32_t GpsSeconds(int64_t unixSeconds) { return static_cast<uint32_t>(unixSeconds - kGpsEpochUnixSeconds); }

void HandleMacCommands(CDevice& device) { HandleMacCommands(device, static_cast<int64_t>(std::time(nullptr))); }

void HandleMacCommands(CDevice& device, int64_t unixSeconds) {
  device.m_MacPending = 0;
  const uint8_t* up = device.m_UpMac;
  const int length = std::clamp(device.m_UpMacLength, 0, static_cast<int>(sizeof device.m_UpMac));

  int pos = 0;
  while (pos < length) {
    const uint8_t cid = up[pos];
    const int arguments = UplinkArgumentBytes(cid);
    // An unknown command has an unknown size, and a command cut short has
    // none of its own bytes after it: nothing further can be read reliably.
    if (arguments < 0 || pos + 1 + arguments > length) break;
    const uint8_t* arg = up + pos + 1;
    switch (cid) {
      case kMacLinkCheck: {
        const uint8_t answer[3] = {kMacLinkCheck, 0, static_cast<uint8_t>(device.NBGATE & 0xFF)};
        SetSingleAnswer(device, answer, 3);
        break;
      }
      case kMacLinkAdr:
        // Status 7: power, datarate and channel mask all accepted.
        if (arg[0] == 7) {
          TraceLine("SERVER:MOTE_MAC_LINK_ADR_ANS Succsss\r\n");
          device.ADRPWR += device.PWRREQ;
          device.PWRREQ = 0;
        }
        break;
      case kMacDutyCycle:
        TraceLine("SERVER:MOTE_MAC_DUTY_CYCLE_ANS Succsss\r\n");
        break;
      case kMacRxParamSetup:
        TraceLine("SERVER:MOTE_MAC_RX_PARAM_SETUP_ANS Succsss(%d)\r\n", arg[0]);
        break;
      case kMacDevStatus:
        TraceLine("SERVER:MOTE_MAC_DEV_STATUS_ANS Succsss(%d-%d)\r\n", arg[0], arg[1]);
        break;
      case kMacNewChannel:
        TraceLine("SERVER:MOTE_MAC_NEW_CHANNEL_ANS Succsss(%d)\r\n", arg[0]);
        break;
      case kMacRxTimingSetup:
        TraceLine("SERVER:MOTE_MAC_RX_TIMING_SETUP_ANS Succsss\r\n");
        break;
      case kMacTxParamSetup:
        TraceLine("SERVER:MOTE_MAC_TX_PARAM_SETUP_ANS Succsss\r\n");
        break;
      case kMacDlChannel:
        TraceLine("SERVER:MOTE_MAC_DL_CHANNEL_ANS Succsss(%d)\r\n", arg[0]);
        break;
      case kMacDeviceTime: {
        const uint32_t t = GpsSeconds(unixSeconds);
        TraceLine("SERVER:SRV_MAC_DEVICE_TIME_ANS %u \r\n", static_cast<unsigned>(t));
        const uint8_t answer[6] = {kMacDeviceTime,
                                   static_cast<uint8_t>(t),
                                   static_cast<uint8_t>(t >> 8),
                                   static_cast<uint8_t>(t >> 16),
                                   static_cast<uint8_t>(t >> 24),
                                   0};  // fractional second
        SetSingleAnswer(device, answer, 6);
        break;
      }
      default:
        break;
    }
    pos += 1 + arguments;
  }
}

bool AppendLinkAdrReq(CDevice& device, const CApplication& application) {
  const int p = device.m_MacAnswerLength;
  if (p < 0 || p + 5 > kMaxFOptsLength) {
    TraceLine("LinkADRReq deferred: FOpts holds %d bytes of MAC commands already\r\n", p);
    return false;
  }

  const int sf = std::clamp(CWinUtils::GetSf(device.m_RxInfo.datr), 7, 12);
  const int dr0 = 12 - sf;  // 0 for SF12 ... 5 for SF7
  const double rssi = MetadataNumber(device.m_RxInfo.rssi);
  const double snr = std::min(MetadataNumber(device.m_RxInfo.lsnr), 10.0);

  const int steps = CWinUtils::GetSnrMarginSteps(static_cast<float>(snr), dr0);
  const int dr = steps > 0 ? dr0 + steps : dr0;

  // A strong link lowers the power by one index per request, down to index 6.
  device.PWRREQ = (device.ADRPWR < 6 && std::min(rssi, 0.0) > -110.0) ? 1 : 0;
  const int power = device.ADRPWR + device.PWRREQ;

  uint8_t* out = device.m_MacAnswers + p;
  out[0] = kMacLinkAdr;
  out[1] = static_cast<uint8_t>(((dr & 0x0F) << 4) | (power & 0x0F));
  // The mask goes on air in the order its four hex digits are typed.
  out[2] = static_cast<uint8_t>((application.CHMASK >> 8) & 0xFF);
  out[3] = static_cast<uint8_t>(application.CHMASK & 0xFF);
  out[4] = 0x61;  // ChMaskCntl 6, NbTrans 1
  device.m_MacAnswerLength = p + 5;

  // The decision of the uplink processing has been used.
  device.ADR = 0;
  return true;
}

int DownlinkMacCommandSize(uint8_t cid) {
  switch (cid) {
    case kMacDevStatus:  // DevStatusReq
      return 1;
    case kMacDutyCycle:       // DutyCycleReq
    case kMacRxTimingSetup:   // RXTimingSetupReq
    case kMacTxParamSetup:    // TxParamSetupReq
      return 2;
    case kMacLinkCheck:  // LinkCheckAns
      return 3;
    case kMacLinkAdr:        // LinkADRReq
    case kMacRxParamSetup:   // RXParamSetupReq
    case kMacDlChannel:      // DlChannelReq
      return 5;
    case kMacNewChannel:  // NewChannelReq
    case kMacDeviceTime:  // DeviceTimeAns
      return 6;
    default:
      return 0;
  }
}

int FitMacCommands(const uint8_t* commands, int length, int limit) {
  if (commands == nullptr || length <= 0) return 0;
  int kept = 0;
  while (kept < length) {
    int size = DownlinkMacCommandSize(commands[kept]);
    if (size == 0 || kept + size > length) size = length - kept;  // not divisible further
    if (kept + size > limit) break;
    kept += size;
  }
  return kept;
}

}  // namespace quorvex
