#include "support/DeviceSim.h"

#include "lorawan/Aes.h"
#include "lorawan/FrameCounter.h"
#include "lorawan/LoRaCrypto.h"

namespace quorvex::test {

namespace {
void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The device's side of the counter rule: the nearest value above `last`
// whose low 16 bits are `fcnt`, within the gap; nothing beyond it.
std::optional<uint32_t> DownCounter(std::optional<uint32_t> last, uint16_t fcnt) {
  if (!last) return fcnt;
  const uint64_t sameHigh = (uint64_t(*last) & ~uint64_t(0xFFFF)) | fcnt;
  const uint64_t next = sameHigh > *last ? sameHigh : sameHigh + 0x10000;
  if (next - *last > kMaxFCntGap || next > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<uint32_t>(next);
}
}  // namespace

DeviceSim::DeviceSim(const Eui& appEui, const Eui& devEui, const Key& appKey)
    : m_AppEui(appEui), m_DevEui(devEui), m_AppKey(appKey) {}

DeviceSim::DeviceSim(uint32_t devAddr, const Key& nwkSKey, const Key& appSKey)
    : m_NwkSKey(nwkSKey), m_AppSKey(appSKey), m_DevAddr(devAddr) {}

std::vector<uint8_t> DeviceSim::JoinRequest(uint16_t devNonce) {
  m_LastDevNonce = devNonce;
  std::vector<uint8_t> frame{0x00};
  for (int i = 7; i >= 0; --i) frame.push_back(m_AppEui[i]);  // EUIs travel least significant byte first
  for (int i = 7; i >= 0; --i) frame.push_back(m_DevEui[i]);
  frame.push_back(static_cast<uint8_t>(devNonce));
  frame.push_back(static_cast<uint8_t>(devNonce >> 8));
  PutLe32(frame, ComputeJoinMic(frame.data(), frame.size(), m_AppKey.data()));
  return frame;
}

bool DeviceSim::AcceptJoin(const std::vector<uint8_t>& phy) {
  if ((phy.size() != 17 && phy.size() != 33) || phy[0] != 0x20) return false;
  // The device undoes the server's transform with AES encryption.
  AesKeySchedule schedule;
  AesExpandKey(m_AppKey.data(), m_AppKey.size(), schedule);
  std::vector<uint8_t> clear(phy.size());
  clear[0] = phy[0];
  for (size_t block = 1; block < phy.size(); block += 16) AesEncryptBlock(&phy[block], &clear[block], schedule);
  const size_t n = clear.size();
  if (ComputeJoinMic(clear.data(), n - 4, m_AppKey.data()) != GetLe32(&clear[n - 4])) return false;
  const uint8_t* appNonceNetId = &clear[1];
  m_NetId = uint32_t(clear[4]) | uint32_t(clear[5]) << 8 | uint32_t(clear[6]) << 16;
  m_DevAddr = GetLe32(&clear[7]);
  m_DlSettings = clear[11];
  m_RxDelay = clear[12];
  DeriveSessionKeys(m_AppKey.data(), appNonceNetId, m_LastDevNonce, m_NwkSKey.data(), m_AppSKey.data());
  m_LastDownCounter.reset();
  return true;
}

std::vector<uint8_t> DeviceSim::Uplink(uint32_t fcnt, bool confirmed, std::optional<uint8_t> fport,
                                       const std::vector<uint8_t>& payload, const std::vector<uint8_t>& fopts,
                                       bool adr) {
  std::vector<uint8_t> frame{static_cast<uint8_t>(confirmed ? 0x80 : 0x40)};
  PutLe32(frame, m_DevAddr);
  frame.push_back(static_cast<uint8_t>((adr ? 0x80 : 0) | (fopts.size() & 0x0F)));
  frame.push_back(static_cast<uint8_t>(fcnt));
  frame.push_back(static_cast<uint8_t>(fcnt >> 8));
  frame.insert(frame.end(), fopts.begin(), fopts.end());
  if (fport) {
    frame.push_back(*fport);
    std::vector<uint8_t> cipher(payload.size());
    const Key& key = *fport == 0 ? m_NwkSKey : m_AppSKey;
    CipherPayload(payload.data(), static_cast<uint16_t>(payload.size()), key.data(), m_DevAddr, kLoRaDirUplink, fcnt,
                  cipher.data());
    frame.insert(frame.end(), cipher.begin(), cipher.end());
  }
  PutLe32(frame, ComputeDataMic(frame.data(), frame.size(), m_NwkSKey.data(), m_DevAddr, kLoRaDirUplink, fcnt));
  return frame;
}

std::optional<Downlink> DeviceSim::Open(const std::vector<uint8_t>& phy) const {
  if (phy.size() < 12) return std::nullopt;
  Downlink d;
  d.mtype = phy[0] >> 5;
  if (d.mtype != 3 && d.mtype != 5) return std::nullopt;
  d.devAddr = GetLe32(&phy[1]);
  d.fctrl = phy[5];
  const std::optional<uint32_t> counter = DownCounter(m_LastDownCounter, static_cast<uint16_t>(phy[6] | phy[7] << 8));
  if (!counter) return std::nullopt;
  d.fcnt = *counter;
  const size_t n = phy.size();
  if (ComputeDataMic(phy.data(), n - 4, m_NwkSKey.data(), d.devAddr, kLoRaDirDownlink, d.fcnt) != GetLe32(&phy[n - 4]))
    return std::nullopt;
  const size_t foptsLen = d.fctrl & 0x0F;
  if (8 + foptsLen > n - 4) return std::nullopt;
  d.fopts.assign(phy.begin() + 8, phy.begin() + 8 + static_cast<std::ptrdiff_t>(foptsLen));
  size_t i = 8 + foptsLen;
  if (i < n - 4) {
    d.fport = phy[i++];
    std::vector<uint8_t> cipher(phy.begin() + static_cast<std::ptrdiff_t>(i), phy.end() - 4);
    d.payload.resize(cipher.size());
    const Key& key = *d.fport == 0 ? m_NwkSKey : m_AppSKey;
    CipherPayload(cipher.data(), static_cast<uint16_t>(cipher.size()), key.data(), d.devAddr, kLoRaDirDownlink,
                  d.fcnt, d.payload.data());
  }
  return d;
}

std::optional<Downlink> DeviceSim::Receive(const std::vector<uint8_t>& phy) {
  std::optional<Downlink> d = Open(phy);
  if (d) m_LastDownCounter = d->fcnt;
  return d;
}

}  // namespace quorvex::test
