#include "lorawan/MacCommands.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "persistence/Application.h"
#include "persistence/Device.h"
#include "runtime/Trace.h"
#include "util/Saturate.h"
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

// Adds `answer` to the answers prepared for this uplink unless one of its
// kind is there already: a frame that repeats a request gets one answer.
void AddAnswer(std::vector<uint8_t>& answers, std::initializer_list<uint8_t> answer) {
  for (std::size_t pos = 0; pos < answers.size(); pos += DownlinkMacCommandSize(answers[pos]))
    if (answers[pos] == *answer.begin()) return;
  answers.insert(answers.end(), answer);
}

// The answers go first, in the order the device asked, before the bytes the
// operator queued: the device waits for them, and they are at most 9 bytes,
// so they always fit in FOpts.
void PutAnswersFirst(CDevice& device, const std::vector<uint8_t>& answers) {
  if (answers.empty()) return;
  const int added = static_cast<int>(answers.size());
  const int capacity = static_cast<int>(sizeof device.m_MacAnswers);
  const int queued = std::clamp(device.m_MacAnswerLength, 0, capacity - added);
  std::memmove(device.m_MacAnswers + added, device.m_MacAnswers, static_cast<std::size_t>(queued));
  std::copy(answers.begin(), answers.end(), device.m_MacAnswers);
  device.m_MacAnswerLength = added + queued;
  device.m_MacPending = 1;
}

// A LinkADRAns: Status 7 means power, datarate and channel mask were all
// accepted, and so the power step the request asked for is now the device's.
void TakeLinkAdrAns(CDevice& device, uint8_t status) {
  if (status != 7) return;
  TraceLine("SERVER:MOTE_MAC_LINK_ADR_ANS Succsss\r\n");
  device.ADRPWR = SaturatingAdd(device.ADRPWR, device.PWRREQ);
  device.PWRREQ = 0;
}

void AnswerDeviceTime(int64_t receivedUnixMs, std::vector<uint8_t>& answers) {
  const GpsTime t = GpsTimeOf(receivedUnixMs);
  TraceLine("SERVER:SRV_MAC_DEVICE_TIME_ANS %u \r\n", static_cast<unsigned>(t.seconds));
  AddAnswer(answers, {kMacDeviceTime, static_cast<uint8_t>(t.seconds), static_cast<uint8_t>(t.seconds >> 8),
                      static_cast<uint8_t>(t.seconds >> 16), static_cast<uint8_t>(t.seconds >> 24), t.fraction});
}

// Acts on one received command whose argument bytes are all present.
void HandleCommand(CDevice& device, uint8_t cid, const uint8_t* arg, int64_t receivedUnixMs,
                   std::vector<uint8_t>& answers) {
  switch (cid) {
    case kMacLinkCheck:
      AddAnswer(answers, {kMacLinkCheck, 0, static_cast<uint8_t>(device.NBGATE & 0xFF)});
      break;
    case kMacLinkAdr:
      TakeLinkAdrAns(device, arg[0]);
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
    case kMacDeviceTime:
      AnswerDeviceTime(receivedUnixMs, answers);
      break;
    default:
      break;
  }
}

}  // namespace

GpsTime GpsTimeOf(int64_t unixMs) {
  const int64_t gpsMs = unixMs - (kGpsEpochUnixSeconds - kGpsLeapSeconds) * 1000;
  if (gpsMs < 0) return {};
  return {static_cast<uint32_t>(gpsMs / 1000), static_cast<uint8_t>(gpsMs % 1000 * 256 / 1000)};
}

void HandleMacCommands(CDevice& device, int64_t receivedUnixMs) {
  device.m_MacPending = 0;
  const uint8_t* up = device.m_UpMac;
  const int length = std::clamp(device.m_UpMacLength, 0, static_cast<int>(sizeof device.m_UpMac));
  std::vector<uint8_t> answers;
  for (int pos = 0; pos < length;) {
    const uint8_t cid = up[pos];
    const int arguments = UplinkArgumentBytes(cid);
    // An unknown command has an unknown size, and a command cut short has
    // none of its own bytes after it: nothing further can be read reliably.
    if (arguments < 0 || pos + 1 + arguments > length) break;
    HandleCommand(device, cid, up + pos + 1, receivedUnixMs, answers);
    pos += 1 + arguments;
  }
  PutAnswersFirst(device, answers);
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
