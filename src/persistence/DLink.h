// CDLink: a downlink request queued for a device by the operator or by an
// application server; one DLINKTBL row, the field names are its columns.
#pragma once
#include <cstdint>

namespace quorvex {

class CDLink {
 public:
  // CHANNEL values.
  static constexpr int32_t kRx1 = 0;  // rides on the class A reply to the next uplink
  static constexpr int32_t kRx2 = 1;  // sent at once to a class C device
  // TXDONE values. Only a pending request is ever sent; a failed one could
  // not be served (a class C request for a device that never joined, say)
  // and stays on file for the operator to see.
  static constexpr int32_t kTxPending = 0;
  static constexpr int32_t kTxSent = 1;
  static constexpr int32_t kTxFailed = 2;

  CDLink() = default;
  CDLink(const CDLink&) = default;
  CDLink& operator=(const CDLink&) = default;
  virtual ~CDLink() = default;

  // Row key; 0 until the record has been stored.
  int32_t PKEY = 0;
  // PKEY of the device the request is for.
  int32_t DEVPKEY = 0;
  // Frame port 1..253.
  int32_t PORT = 0;
  // 1 confirmed downlink, 0 unconfirmed.
  int32_t CONFIRMED = 0;
  // kRx1 or kRx2.
  int32_t CHANNEL = 0;
  // MAC command bytes and application payload as upper-case hex with single
  // spaces ("03 07 00"), at most 30 and 90 characters; empty for none.
  char MAC[31] = {};
  char APP[91] = {};
  // Local time of transmission, "%m.%d %H.%M.%S"; empty while pending. For a
  // failed request the time it failed, a space and why ("not joined").
  char TIME[34] = {};
  // kTxPending, kTxSent, or kTxFailed.
  int32_t TXDONE = 0;
};

}  // namespace quorvex
