// Test support for the join and uplink procedures: an application object on
// a fresh database, a window that collects every packet-log record, two
// gateways, and helpers to store applications and devices, queue a record in
// the transmit scheduler and build signed data uplinks.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gateway/Gateway.h"
#include "lorawan/LoRaCrypto.h"
#include "lorawan/TestHex.h"
#include "persistence/Application.h"
#include "persistence/Device.h"
#include "runtime/QuorvexApp.h"
#include "support/TempDir.h"
#include "support/TraceCapture.h"
#include "util/WinUtils.h"

namespace quorvex::test {

// Drains the log ring into `records` on every UM_NOTIFY, as the main window does.
class RecordingWindow : public IWindowLink {
 public:
  void SendWindowMessage(int message) override {
    if (message != UM_NOTIFY || m_App == nullptr) return;
    CLog record;
    while (m_App->TakeLogRecord(record)) records.push_back(record);
  }
  CQuorvexApp* m_App = nullptr;
  std::vector<CLog> records;
};

class ProcedureTest : public ::testing::Test {
 protected:
  // An arbitrary tick count for "now"; queued records are aged against it.
  static constexpr uint64_t kNow = 10'000'000;

  void SetUp() override {
    ASSERT_TRUE(app.InitBase(dir.Path().string()));
    window.m_App = &app;
    app.SetWindow(&window);
    gatewayA.PKEY = 11;
    gatewayB.PKEY = 12;
    ASSERT_TRUE(MakeAddress("10.0.0.1", 1700, addrA));
    ASSERT_TRUE(MakeAddress("10.0.0.2", 1700, addrB));
    meta = Meta("-90", "7.5", "SF7BW125");
  }
  void TearDown() override { app.SetWindow(nullptr); }

  static RadioMetadata Meta(const char* rssi, const char* lsnr, const char* datr) {
    RadioMetadata m{};
    RadioMetadata::SetText(m.freq, "868.1");
    RadioMetadata::SetText(m.rssi, rssi);
    RadioMetadata::SetText(m.lsnr, lsnr);
    RadioMetadata::SetText(m.datr, datr);
    return m;
  }

  // Stores an application; its new PKEY.
  int32_t AddApplication(const std::vector<uint8_t>& appEui, int32_t activation = 0, int32_t adr = 0) {
    auto record = std::make_unique<CApplication>();
    std::copy(appEui.begin(), appEui.end(), record->APPEUI);
    record->ACTIVATION = activation;
    record->ADR = adr;
    EXPECT_EQ(app.m_LoRaAppList.InsertApplication(std::move(record)), 0);
    return app.m_LoRaAppList.m_List.back()->PKEY;
  }

  // Stores a device; its new PKEY.
  int32_t AddDevice(const CDeviceRow& row) {
    auto record = std::make_unique<CDevice>();
    static_cast<CDeviceRow&>(*record) = row;
    record->PKEY = -1;
    EXPECT_EQ(app.m_LoRaDevMgr.InsertDevice(std::move(record)), 0);
    return app.m_LoRaDevMgr.m_Devices.back()->PKEY;
  }

  std::unique_ptr<CDevice> Stored(int32_t pkey) { return app.m_LoRaDevMgr.GetDeviceByPkey(pkey); }

  // Queues a copy of `device` as if it had been received `ageMs` before kNow
  // through `gateway` with signal strength `rssi` (a join request with
  // DevNonce `devNonce`).
  void Queue(const CDeviceRow& device, int64_t ageMs, CGateway& gateway, const char* rssi, int32_t nbGate = 1,
             uint16_t devNonce = 0) {
    auto request = std::make_unique<JitRequest>();
    request->m_Delay = 1000;
    request->m_Device = std::make_unique<CDevice>();
    static_cast<CDeviceRow&>(*request->m_Device) = device;
    request->m_Device->RXTICK = static_cast<int64_t>(kNow) - ageMs;
    request->m_Device->NBGATE = nbGate;
    request->m_Device->m_Gateway = &gateway;
    request->m_Device->m_RxInfo = Meta(rssi, "5", "SF7BW125");
    request->m_Device->m_DevNonce = devNonce;
    app.m_LoRaJitMgr.AddRequest(std::move(request));
  }

  // NBGATE of the queued record of `device` (-1 when none is queued).
  int32_t QueuedNbGate(const CDeviceRow& device) {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaJitMgr.Mutex());
    const CDevice* queued = app.m_LoRaJitMgr.FindQueued(device);
    return queued != nullptr ? queued->NBGATE : -1;
  }

  // APPDATA of every debug record so far.
  std::vector<std::string> DebugTexts() const {
    std::vector<std::string> texts;
    for (const CLog& r : window.records)
      if (r.TYPE == CLog::Debug) texts.emplace_back(r.APPDATA);
    return texts;
  }
  int CountRecords(uint32_t type) const {
    int n = 0;
    for (const CLog& r : window.records) n += r.TYPE == type ? 1 : 0;
    return n;
  }

  TempDir dir;
  RecordingWindow window;
  CQuorvexApp app;
  TraceCapture trace;
  CGateway gatewayA;
  CGateway gatewayB;
  SocketAddress addrA{};
  SocketAddress addrB{};
  RadioMetadata meta{};
};

// The parts of a data uplink to build, set by name:
// UplinkParts().Fcnt(2).Port(1).Plain({0x42}). FOptsLen is the size of `fopts`.
struct UplinkParts {
  uint8_t mhdr = 0x40;
  uint32_t devAddr = 0;
  uint8_t fctrlFlags = 0;  // ADR, ADRACKReq, ACK bits
  uint32_t fcnt = 0;  // the device's counter: the frame carries its low 16 bits
  std::vector<uint8_t> fopts;
  std::optional<uint8_t> fport;
  std::vector<uint8_t> plain;  // FRMPayload in clear

  UplinkParts& Mhdr(uint8_t v) { mhdr = v; return *this; }
  UplinkParts& Flags(uint8_t v) { fctrlFlags = v; return *this; }
  UplinkParts& Fcnt(uint32_t v) { fcnt = v; return *this; }
  UplinkParts& FOpts(std::vector<uint8_t> v) { fopts = std::move(v); return *this; }
  UplinkParts& Port(uint8_t v) { fport = v; return *this; }
  UplinkParts& Plain(std::vector<uint8_t> v) { plain = std::move(v); return *this; }
};

// The frame on air: FRMPayload encrypted with the NwkSKey (FPort 0) or the
// AppSKey, MIC from the NwkSKey, both over the full 32-bit counter.
inline std::vector<uint8_t> MakeUplink(const UplinkParts& p, const std::vector<uint8_t>& nwkSKey,
                                       const std::vector<uint8_t>& appSKey) {
  std::vector<uint8_t> f = {p.mhdr};
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(p.devAddr >> (8 * i)));
  f.push_back(static_cast<uint8_t>(p.fctrlFlags | p.fopts.size()));
  f.push_back(static_cast<uint8_t>(p.fcnt));
  f.push_back(static_cast<uint8_t>(p.fcnt >> 8));
  f.insert(f.end(), p.fopts.begin(), p.fopts.end());
  if (p.fport) {
    f.push_back(*p.fport);
    std::vector<uint8_t> cipher(p.plain.size());
    CipherPayload(p.plain.data(), static_cast<uint16_t>(p.plain.size()),
                  *p.fport == 0 ? nwkSKey.data() : appSKey.data(), p.devAddr, kLoRaDirUplink, p.fcnt,
                  cipher.data());
    f.insert(f.end(), cipher.begin(), cipher.end());
  }
  const uint32_t mic = ComputeDataMic(f.data(), f.size(), nwkSKey.data(), p.devAddr, kLoRaDirUplink, p.fcnt);
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(mic >> (8 * i)));
  return f;
}

inline std::vector<uint8_t> Bytes(const uint8_t* p, int32_t n) { return std::vector<uint8_t>(p, p + n); }

}  // namespace quorvex::test
