// CApplication: an application, the group of devices that share activation
// mode, class, adaptive data rate, second-receive-window settings and an
// application server. One APPTBL row; the field names are its columns.
#pragma once
#include <cstdint>

namespace quorvex {

class CApplication {
 public:
  CApplication() = default;
  CApplication(const CApplication&) = default;
  CApplication& operator=(const CApplication&) = default;
  virtual ~CApplication() = default;

  // Row key; -1 until the record has been stored.
  int32_t PKEY = -1;
  // 0 over-the-air activation, 1 activation by personalisation.
  int32_t ACTIVATION = 0;
  // kClassA or kClassC.
  static constexpr int32_t kClassA = 0;
  static constexpr int32_t kClassC = 1;
  int32_t CLASS = kClassA;
  // 1 the server runs adaptive data rate for the application's devices.
  int32_t ADR = 0;
  // Channel mask, 0..65535.
  int32_t CHMASK = 0;
  // Application EUI, most significant byte first.
  uint8_t APPEUI[8] = {};
  // Second receive window: frequency in Hz, spreading-factor index (0 SF12
  // .. kRx2SfFastest SF7), bandwidth index (0 125, 1 250, 2 500 kHz). The dialog offers
  // 921900000 Hz for a new application; a fresh record holds 0 like every
  // other field.
  int32_t RX2CHAN = 0;
  static constexpr int32_t kRx2SfFastest = 5;
  int32_t RX2SF = 0;
  int32_t RX2BW = 0;
  // Application server URL, path template appended to it, operator's note:
  // at most 50 characters each, always terminated.
  char APPURL[51] = {};
  char APPPARM[51] = {};
  char MEMO[51] = {};
};

}  // namespace quorvex
