// LoRaWAN MAC commands: reading the commands a device sent (m_UpMac), the
// answers the server prepares for them (LinkCheckAns, DeviceTimeAns), the
// LinkADRReq it issues by itself for adaptive data rate, and the sizes of
// the commands a downlink may carry in FOpts.
//
// Requests the operator queues by hand (DevStatusReq, NewChannelReq, ...)
// are not built here: their bytes reach m_MacAnswers unchanged, and the
// device's answers to them are only traced.
#pragma once
#include <cstdint>

namespace quorvex {

class CApplication;
class CDevice;

// FOpts carries at most this many bytes (FOptsLen is four bits).
inline constexpr int kMaxFOptsLength = 15;
// Unix time of the GPS epoch, 1980-01-06 00:00:00 UTC (no leap seconds).
inline constexpr int64_t kGpsEpochUnixSeconds = 315964800;
// GPS time runs ahead of UTC by the leap seconds inserted since its epoch:
// 18 since 2017-01-01, and none has been announced since. A new leap second
// changes this constant.
inline constexpr int64_t kGpsLeapSeconds = 18;

// Command identifiers the server reads or writes.
enum MacCid : uint8_t {
  kMacLinkCheck = 0x02,
  kMacLinkAdr = 0x03,
  kMacDutyCycle = 0x04,
  kMacRxParamSetup = 0x05,
  kMacDevStatus = 0x06,
  kMacNewChannel = 0x07,
  kMacRxTimingSetup = 0x08,
  kMacTxParamSetup = 0x09,
  kMacDlChannel = 0x0A,
  kMacDeviceTime = 0x0D,
};

// Reads the device's received commands (m_UpMac, m_UpMacLength bytes, never
// beyond the array) and acts on each. A LinkCheckReq or DeviceTimeReq gets
// its answer (3 or 6 bytes; a request repeated in the frame is answered
// once); the answers go in front of the bytes already in m_MacAnswers (those
// the operator queued), in the order the device asked, and set m_MacPending.
// A LinkADRAns with Status 7 confirms the requested power step (ADRPWR +=
// PWRREQ, PWRREQ = 0); the other answers are traced. m_MacPending is 0
// unless an answer was prepared. The walk ends at an unknown identifier and
// at a command whose bytes are not all within m_UpMacLength.
// `receivedUnixMs` is the calendar time (ms since the Unix epoch, UTC) at
// which the uplink was received: DeviceTimeAns tells the device that time.
void HandleMacCommands(CDevice& device, int64_t receivedUnixMs);

// Appends a LinkADRReq (5 bytes) for the datarate and power the received
// frame allows (m_RxInfo "datr", "rssi", "lsnr"; ADRPWR; the application's
// CHMASK) to m_MacAnswers, sets PWRREQ to the power step requested and
// clears the device's ADR. When the commands would then no longer fit in
// FOpts (kMaxFOptsLength) nothing changes, ADR stays set so that a later
// reply carries the request, and the result is false.
bool AppendLinkAdrReq(CDevice& device, const CApplication& application);

// A time as DeviceTimeAns carries it: whole seconds since the GPS epoch in
// GPS time (32 bits) and the fraction of the second in 1/256 s.
struct GpsTime {
  uint32_t seconds = 0;
  uint8_t fraction = 0;
};
// The GPS time of calendar time `unixMs` (ms since the Unix epoch, UTC),
// with today's leap-second offset: exact from 2017-01-01 on, the times the
// server tells devices. Times before the GPS epoch give 0.
GpsTime GpsTimeOf(int64_t unixMs);

// Total size (CID included) of a command the server sends to a device, by
// its CID; 0 for an identifier it does not know.
int DownlinkMacCommandSize(uint8_t cid);

// How many leading bytes of `length` command bytes form whole commands that
// fit in `limit` bytes. Commands are taken in order and the first one that
// does not fit ends the count; an unknown CID or a command cut short makes
// the rest one indivisible block. 0 for a null pointer or length <= 0.
int FitMacCommands(const uint8_t* commands, int length, int limit);

}  // namespace quorvex
