// CApplication: an application, the group of devices that share activation,
// class, ADR and second-window settings and an application server.
#pragma once
#include <cstdint>

namespace quorvex {

class CApplication {
 public:
  virtual ~CApplication() = default;

  int32_t PKEY = -1;
  int32_t ACTIVATION = 0;
  int32_t CLASS = 0;
  int32_t ADR = 0;
  int32_t CHMASK = 0;
  uint8_t APPEUI[8] = {};
  int32_t RX2CHAN = 921900000;
  int32_t RX2SF = 0;
  int32_t RX2BW = 0;
  char APPURL[51] = {};
  char APPPARM[51] = {};
  char MEMO[51] = {};
};

}  // namespace quorvex
