// Data downlink frames: what a class A reply contains (a queued downlink
// request, MAC answers, an ADR request, an acknowledgement) and whether one
// is sent at all, and the class C frame of a queued RX2 request. The frame
// is assembled, encrypted and signed into the device record's m_TxFrame.
//
// Frame: MHDR | DevAddr | FCtrl | FCnt | FOpts | [FPort | FRMPayload] | MIC.
// Rules every frame built here keeps:
// - FOpts holds whole MAC commands only, at most 15 bytes, so FOptsLen is
//   always the true count. A reply's FOpts hold, in this order: the answers
//   to the device's own requests (LinkCheckAns, DeviceTimeAns, in the order
//   it asked; at most 9 bytes, so they always fit), the MAC bytes queued
//   with the request, the server's LinkADRReq. Commands that do not fit are
//   dropped from the end (traced); a LinkADRReq that does not fit waits for
//   a later reply.
// - Application data goes out on the port of the request it came from,
//   after a confirmed uplink too. It never travels on FPort 0 (reserved for
//   MAC commands under the NwkSKey): a request whose port is 0 loses its
//   payload.
// - The downlink counter counts in 32 bits from 0 after the join
//   (NextDownlinkCounter); FCnt carries its low 16 bits, the MIC and the
//   cipher all of it, so a device keeps reading frames past 0xFFFF.
#pragma once
#include <cstddef>
#include <cstdint>

namespace quorvex {

class CQuorvexApp;
class CDevice;
class CApplication;
class CDLink;

// The fields of one data downlink, before encryption and signing.
struct DataDownlinkFields {
  uint8_t mType = 3;            // 3 unconfirmed, 5 confirmed data down
  uint32_t devAddr = 0;
  bool adr = false;             // FCtrl bit 7
  bool ack = false;             // FCtrl bit 5
  uint32_t frameCounter = 0;    // FCnt on air is its low 16 bits; all of it enters the crypto
  const uint8_t* fOpts = nullptr;
  int fOptsLength = 0;          // 0..15
  int fPort = -1;               // -1: no FPort; otherwise 0..255
  const uint8_t* payload = nullptr;  // clear FRMPayload
  int payloadLength = 0;        // > 0 needs an FPort
  const uint8_t* appSKey = nullptr;  // 16 bytes; ciphers the payload of FPort 1..255
  const uint8_t* nwkSKey = nullptr;  // 16 bytes; signs, and ciphers the payload of FPort 0
};

// Writes the frame of `fields` to `out`: the header, FOpts in clear, the FPort
// and the encrypted payload when there is a port, then the MIC least
// significant byte first. Returns the frame's length, or 0 (nothing written)
// when the fields are inconsistent (FOpts above 15 bytes, a payload without
// FPort, a port above 255, a missing key or buffer) or the frame needs more
// than `capacity` bytes.
int AssembleDataDownlink(const DataDownlinkFields& fields, uint8_t* out, std::size_t capacity);

// Builds the reply to the device's uplink; true when a reply is to be sent
// (m_TxFrame and m_TxLength are then ready, TXSEQ advanced, and m_DownFPort,
// m_DownPayload and m_MacAnswers hold what the frame carries in clear, with
// m_DownFPort 0 when the frame has no FPort). The device's oldest pending
// "RX 1" request rides on the reply and is marked transmitted as soon as it
// is taken, even when no reply follows. The device's MAC commands are handled
// and an ADR flag is cleared when the application has ADR off (no LinkADRReq
// will be sent) whether or not a reply follows: the caller stores the
// downlink state when it changed. Nothing is sent, and TXSEQ stays, for an
// unconfirmed uplink when there is no request data, no MAC answer and no ADR
// request. When the request's mark cannot be stored nothing is sent either
// (it would go out again with a later reply): `requestMarked`, when given,
// then receives false (else true).
bool BuildReplyFrame(CQuorvexApp& app, CDevice& device, const CApplication& application,
                     bool* requestMarked = nullptr);
// Builds the class C frame of an RX2 downlink request into the device, even
// when the request holds no data (header and MIC only): no ADR or ACK bit,
// no MAC command handling. Advances TXSEQ. The caller marks the request sent.
void BuildClassCFrame(CDevice& device, const CDLink& request);

}  // namespace quorvex
