// CDevice: an end device. The stored fields (one DEVTBL row) come first, in
// CDeviceRow; the working state of the frame in hand follows in CDevice.
#pragma once
#include <cstdint>

namespace quorvex {

// The database fields of a device, PKEY to MEMO.
struct CDeviceRow {
  int32_t PKEY = -1;
  int32_t APKEY = 0;
  int32_t GPKEY = 0;
  int32_t JOINED = 0;
  uint8_t DEVEUI[8] = {};
  uint32_t DEVADDR = 0;
  uint32_t NETWORKID = 0;
  uint8_t APPKEY[16] = {};
  uint8_t APPSKEY[16] = {};
  uint8_t NETSKEY[16] = {};
  int32_t TXSEQ = -1;
  int32_t RXSEQ = -1;
  int32_t ADR = 0;
  int32_t ADRCNT = 0;
  int32_t ADRPWR = 0;
  int32_t PWRREQ = 0;
  int32_t ADRSF = 0;
  int32_t NBGATE = 0;
  int64_t RXTICK = 0;
  char MEMO[56] = {};
};

class CDevice : public CDeviceRow {
 public:
  virtual ~CDevice() = default;

  // Message type of the downlink built for this device (1 join accept,
  // 3 or 5 data downlink); 0 until one is built.
  int32_t m_DownMType = 0;
};

}  // namespace quorvex
