// A simulated LoRaWAN 1.0 end device for end-to-end tests: it builds join
// requests and data uplinks as a real device would, and opens what the
// server sends back (join accepts, data downlinks), checking their MICs.
// Its frame counters are 32 bits wide, as a device's are: a frame carries
// the low 16 bits, the MIC and the payload cipher use all of them.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvex::test {

using Key = std::array<uint8_t, 16>;
using Eui = std::array<uint8_t, 8>;  // most significant byte first, as typed

// A data downlink as the device sees it, decrypted.
struct Downlink {
  int mtype = 0;  // 3 unconfirmed, 5 confirmed
  uint32_t devAddr = 0;
  uint8_t fctrl = 0;
  uint32_t fcnt = 0;  // the full counter the device rebuilt from the frame's 16 bits
  std::vector<uint8_t> fopts;
  std::optional<uint8_t> fport;
  std::vector<uint8_t> payload;  // decrypted FRMPayload
  bool Ack() const { return (fctrl & 0x20) != 0; }
  bool Adr() const { return (fctrl & 0x80) != 0; }
};

class DeviceSim {
 public:
  DeviceSim(const Eui& appEui, const Eui& devEui, const Key& appKey);
  // An ABP device with its session already set.
  DeviceSim(uint32_t devAddr, const Key& nwkSKey, const Key& appSKey);

  // A 23-byte join request with the given DevNonce.
  std::vector<uint8_t> JoinRequest(uint16_t devNonce);
  // Opens a join accept (17 or 33 bytes as sent); on a valid MIC derives
  // the session keys and takes the DevAddr. False otherwise.
  bool AcceptJoin(const std::vector<uint8_t>& phy);

  // A data uplink (MType 2, or 4 when confirmed) with the 32-bit counter `fcnt`.
  std::vector<uint8_t> Uplink(uint32_t fcnt, bool confirmed, std::optional<uint8_t> fport,
                              const std::vector<uint8_t>& payload, const std::vector<uint8_t>& fopts = {},
                              bool adr = false);
  // Opens a data downlink, its counter rebuilt as a device does: the nearest
  // value above the last downlink counter the device took (Receive) whose
  // low 16 bits match, at most kMaxFCntGap ahead; from 0 when it has taken
  // none since the join. Nothing when the counter, the MIC or the shape is
  // wrong. Takes nothing, so frames may be opened in any order.
  std::optional<Downlink> Open(const std::vector<uint8_t>& phy) const;
  // Open, and on success the device takes the frame: its counter becomes
  // the one later downlinks must pass, as on a real device.
  std::optional<Downlink> Receive(const std::vector<uint8_t>& phy);

  uint32_t DevAddr() const { return m_DevAddr; }
  const Key& NwkSKey() const { return m_NwkSKey; }
  const Key& AppSKey() const { return m_AppSKey; }
  uint32_t NetId() const { return m_NetId; }
  uint8_t DlSettings() const { return m_DlSettings; }
  uint8_t RxDelay() const { return m_RxDelay; }

 private:
  Eui m_AppEui{}, m_DevEui{};
  Key m_AppKey{}, m_NwkSKey{}, m_AppSKey{};
  uint32_t m_DevAddr = 0;
  uint32_t m_NetId = 0;
  uint8_t m_DlSettings = 0, m_RxDelay = 0;
  uint16_t m_LastDevNonce = 0;
  std::optional<uint32_t> m_LastDownCounter;  // none since the join
};

}  // namespace quorvex::test
