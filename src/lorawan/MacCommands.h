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
// beyond the array) and acts on each: a LinkCheckReq or DeviceTimeReq
// replaces m_MacAnswers with its answer (3 or 6 bytes) and sets m_MacPending;
// a LinkADRAns with Status 7 confirms the requested power step (ADRPWR +=
// PWRREQ, PWRREQ = 0); the other answers are traced. m_MacPending is 0
// unless an answer was prepared. The walk ends at an unknown identifier and
// at a command whose bytes are not all within m_UpMacLength. `unixSeconds`
// is the current calendar time, used by DeviceTimeAns.
void HandleMacCommands(CDevice& device, int64_t unixSeconds);
// The same with the system clock.
void HandleMacCommands(CDevice& device);

// Appends a LinkADRReq (5 bytes) for the datarate and power the received
// frame allows (m_RxInfo "datr", "rssi", "lsnr"; ADRPWR; the application's
// CHMASK) to m_MacAnswers, sets PWRREQ to the power step requested and
// clears the device's ADR. When the commands would then no longer fit in
// FOpts (kMaxFOptsLength) nothing changes, ADR stays set so that a later
// reply carries the request, and the result is false.
bool AppendLinkAdrReq(CDevice& device, const CApplication& application);

// Seconds since the GPS epoch as DeviceTimeAns carries them (32 bits).
uint32_t GpsSeconds(int64_t unixSeconds);

// Total size (CID included) of a command the server sends to a device, by
// its CID; 0 for an identifier it does not know.
int DownlinkMacCommandSize(uint8_t cid);

// How many leading bytes of `length` command bytes form whole commands that
// fit in `limit` bytes. Commands are taken in order and the first one that
// does not fit ends the count; an unknown CID or a command cut short makes
// the rest one indivisible block. 0 for a null pointer or length <= 0.
int FitMacCommands(const uint8_t* commands, int length, int limit);

}  // namespace quorvex
