// CDevice: an end device. The stored fields (one DEVTBL row, named after its
// columns) come first, in CDeviceRow; the working state of the frame in hand
// follows in CDevice.
#pragma once
#include <cstdint>
#include <memory>

#include "gateway/RadioMetadata.h"

namespace quorvex {

class CApplication;
class CGateway;

// The database fields of a device, PKEY to MEMO. A fresh row is all zero
// except PKEY, which is -1 until the row has been stored.
struct CDeviceRow {
  int32_t PKEY = -1;
  // PKEY of the owning application.
  int32_t APKEY = 0;
  // PKEY of the gateway that last delivered an accepted frame; 0 until then.
  int32_t GPKEY = 0;
  // 1 after an accepted join (an ABP device is created with 1).
  int32_t JOINED = 0;
  // Device EUI, most significant byte first.
  uint8_t DEVEUI[8] = {};
  // Device address and network identifier; stored in signed columns with
  // the same 32 bits.
  uint32_t DEVADDR = 0;
  uint32_t NETWORKID = 0;
  uint8_t APPKEY[16] = {};
  uint8_t APPSKEY[16] = {};
  uint8_t NETSKEY[16] = {};
  // Last downlink and uplink frame counters, all 32 bits of them
  // (0..0xFFFFFFFF); -1 means none since the join (lorawan/FrameCounter.h).
  int64_t TXSEQ = 0;
  int64_t RXSEQ = 0;
  // Adaptive-data-rate state, its count of uplinks allowing a faster rate,
  // its power state, the power request state and the spreading factor at
  // the last decision.
  int32_t ADR = 0;
  int32_t ADRCNT = 0;
  int32_t ADRPWR = 0;
  int32_t PWRREQ = 0;
  int32_t ADRSF = 0;
  // Gateways that heard the latest frame.
  int32_t NBGATE = 0;
  // Millisecond tick count of the latest reception.
  int64_t RXTICK = 0;
  // Operator's note, at most 50 characters, always terminated.
  char MEMO[56] = {};
};

class CDevice : public CDeviceRow {
 public:
  CDevice() = default;
  CDevice(const CDevice&) = default;
  CDevice& operator=(const CDevice&) = default;
  virtual ~CDevice() = default;

  // ---- The frame in hand (zero in every record read from the table).
  // 1 when the frame was accepted and an answer is to be queued.
  int32_t m_Accepted = 0;
  // MType of the received frame (0 join request, 2 or 4 data uplink).
  int32_t m_UpMType = 0;
  // DevNonce of the join request (0 for a data uplink).
  uint16_t m_DevNonce = 0;
  // FPort of the uplink, its decrypted application payload and its MAC commands.
  int32_t m_UpFPort = 0;
  uint8_t m_UpPayload[515] = {};
  int32_t m_UpPayloadLength = 0;
  uint8_t m_UpMac[255] = {};
  int32_t m_UpMacLength = 0;

  // ---- The answer being built.
  // Message type of the downlink built for this device (1 join accept,
  // 3 or 5 data downlink); 0 until one is built.
  int32_t m_DownMType = 0;
  // FPort and clear application payload of the data downlink.
  int32_t m_DownFPort = 0;
  uint8_t m_DownPayload[256] = {};
  int32_t m_DownPayloadLength = 0;
  // MAC commands to send and whether the device waits for one of them.
  uint8_t m_MacAnswers[256] = {};
  int32_t m_MacAnswerLength = 0;
  int32_t m_MacPending = 0;
  // The frame in clear and the frame as sent (room for its Base64 text).
  uint8_t m_Frame[256] = {};
  int32_t m_FrameLength = 0;
  uint8_t m_TxFrame[512] = {};
  int32_t m_TxLength = 0;

  // ---- Where the frame came from.
  // Radio metadata of the received frame.
  RadioMetadata m_RxInfo{};
  // Calendar time of the frame's reception, ms since the Unix epoch (UTC);
  // 0 when not stamped.
  int64_t m_RxUnixMs = 0;
  // A copy of the owning application, taken when the answer was queued:
  // the window may edit or delete the list's record meanwhile.
  std::shared_ptr<const CApplication> m_Application;
  // The gateway that delivered the frame (a record of the gateway registry,
  // not owned).
  CGateway* m_Gateway = nullptr;
};

}  // namespace quorvex
