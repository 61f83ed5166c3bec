#include "runtime/QuorvexApp.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <filesystem>
#include <ctime>

#include "lorawan/LogBuilder.h"
#include "lorawan/LoRaFrame.h"
#include "runtime/CommandLine.h"
#include "runtime/Trace.h"
#include "util/WinUtils.h"

namespace quorvex {

namespace {
// Stop waits this long for the receive thread.
constexpr uint32_t kReceiveStopWaitMs = 1000;
// Stop lets the frame thread handle the frames already acknowledged; a
// thousand take well under a second.
constexpr uint32_t kFrameDrainWaitMs = 3000;
// At destruction every server thread gets this long to end before the
// members it works on go away.
constexpr uint32_t kShutdownWaitMs = 3000;
}  // namespace

CQuorvexApp::CQuorvexApp() {
  m_LoRaGateMgr.Attach(&m_LoRaDbMgr, &m_Settings.m_bAutoReg);
  m_LoRaLogMgr.Attach(&m_LoRaDbMgr);
  m_LoRaJitMgr.Attach(this);
  m_LoRaHttpMgr.Attach(&m_LoRaDlinkList);
}

CQuorvexApp::~CQuorvexApp() {
  SetWindow(nullptr);
  StopServer();
  WaitForServerThreads(kShutdownWaitMs);
  m_LoRaDbMgr.Close();
}

bool CQuorvexApp::WaitForServerThreads(uint32_t timeoutMs) {
  bool ended = m_LoRaUdpServer.WaitForReceiveThread(timeoutMs);
  ended = m_LoRaJitMgr.WaitForThreads(timeoutMs) && ended;
  ended = m_LoRaHttpMgr.WaitForThreads(timeoutMs) && ended;
  ended = m_Frames.WaitForThread(timeoutMs) && ended;
  return ended;
}

bool CQuorvexApp::InitBase(const std::string& dataDir) {
  m_DataDir = DataDirOrDefault(dataDir);
  if (m_DataDir.empty() || chdir(m_DataDir.c_str()) != 0) return false;
  srand(static_cast<unsigned>(time(nullptr)));
  m_LogRead = 0;
  m_LogWrite = 0;
  m_LoRaDbMgr.Open(m_DataDir);
  UseTrustedCaFile();
  return true;
}

void CQuorvexApp::UseTrustedCaFile() {
  const std::string path = DataPath(CHttpManager::kTrustedCaFileName);
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    CHttpManager::SetTrustedCaFile({});
    return;
  }
  CHttpManager::SetTrustedCaFile(path);
  TraceLine("https posts trust the certificate authorities in %s\r\n", path.c_str());
}

int CQuorvexApp::LoadRegistries() {
  const int apps = m_LoRaAppList.LoadApplications();
  const int gateways = m_LoRaGateMgr.LoadGateways();
  return (apps == 0 && gateways == 0) ? 0 : 2;
}

int CQuorvexApp::ReloadRegistries() {
  // Each takes its own locks: the applications under the database lock, the
  // gateways under the gateway lock and then the database lock.
  const int apps = m_LoRaAppList.ReloadApplications();
  const int gateways = m_LoRaGateMgr.ReloadGateways();
  if (apps != 0 || gateways != 0) TraceLine("Reload of the applications (%d) or gateways (%d) failed\r\n", apps, gateways);
  return (apps == 0 && gateways == 0) ? 0 : 2;
}

std::string CQuorvexApp::DataPath(const std::string& name) const {
  if (m_DataDir.empty()) return name;
  return m_DataDir + "/" + name;
}

void CQuorvexApp::LoadSettings() { m_Settings.LoadSettings(DataPath(kSettingsFileName)); }

void CQuorvexApp::SaveSettings() { m_Settings.SaveSettings(DataPath(kSettingsFileName)); }

int CQuorvexApp::StartServer() {
  if (m_LoRaUdpServer.m_Started.load() != 0) return 0;
  // Serving without a usable database would acknowledge every gateway and
  // store nothing; the operator must hear of it instead.
  m_StartError.clear();
  std::string reason;
  if (!m_LoRaDbMgr.CheckUsable(reason)) {
    m_StartError = "The database " + m_LoRaDbMgr.m_FileName + " cannot be used: " + reason + ".";
    TraceLine("%s\r\n", m_StartError.c_str());
    return 0;
  }

  // Threads of an earlier run are asked to stop; their queued requests
  // must never be sent by the new run.
  m_LoRaJitMgr.DeleteAll();
  StopManagerThread(m_LoRaJitMgr);
  m_LoRaHttpMgr.StopWorkers();
  m_LoRaGateMgr.ResetConnections();

  // A receive thread of the previous run that is still ending (busy with a
  // datagram when Stop waited) would leave the new run without a socket;
  // give it the same time Stop gives it, then report failure.
  if (m_LoRaUdpServer.HasReceiveThread() && !m_LoRaUdpServer.Stop(kReceiveStopWaitMs)) return 0;
  // The frame thread of the previous run handles what it was given first.
  if (!m_Frames.WaitForThread(kReceiveStopWaitMs) || !m_Frames.Start()) return 0;
  // The callbacks are in place before the thread exists, so no datagram can
  // be read without them.
  const UdpCallbacks callbacks{&CQuorvexApp::OnLoRaReceive, &CQuorvexApp::OnLoRaError, this, nullptr};
  m_LoRaUdpServer.SetCallbacks(&callbacks);
  if (!m_LoRaUdpServer.Start(m_GatewayPort)) {
    m_Frames.Stop();
    return 0;
  }

  m_LoRaJitMgr.SetTxSent(&CQuorvexApp::OnTxSent, this);
  m_LoRaJitMgr.DeleteAll();
  StartManagerThread(m_LoRaJitMgr);
  m_LoRaHttpMgr.StartWorkers(1);
  if (m_ReloadOnOutsideChanges)
    m_Watcher = std::make_unique<CDbChangeWatcher>(m_LoRaDbMgr, [this] { ReloadRegistries(); });
  return 1;
}

void CQuorvexApp::StopServer() {
  m_Watcher.reset();
  m_LoRaJitMgr.DeleteAll();
  StopManagerThread(m_LoRaJitMgr);
  m_LoRaHttpMgr.StopWorkers();
  if (m_LoRaUdpServer.m_Started.load() == 1) m_LoRaUdpServer.Stop(kReceiveStopWaitMs);
  // Frames already acknowledged are still handled (stored), then it ends.
  m_Frames.Stop();
  m_Frames.WaitForThread(kFrameDrainWaitMs);
  // The lines about dropped frames are throttled; the stop gives the count.
  const uint64_t dropped = m_Metrics.m_FramesDropped.load();
  if (dropped != 0) TraceLine("Rx Packet Dropped (%" PRIu64 " dropped so far)\r\n", dropped);
}

bool CQuorvexApp::PostLogRecord(const CLog& record) {
  std::lock_guard<std::mutex> lock(m_LogLock);
  const int32_t write = m_LogWrite.load(std::memory_order_relaxed);
  const int32_t next = (write + 1) % kLogRingModulo;
  if (next == m_LogRead.load(std::memory_order_acquire)) return false;  // full: the newest is dropped
  m_LogRing[write] = record;
  m_LogWrite.store(next, std::memory_order_release);
  return true;
}

bool CQuorvexApp::TakeLogRecord(CLog& out) {
  const int32_t read = m_LogRead.load(std::memory_order_relaxed);
  if (read == m_LogWrite.load(std::memory_order_acquire)) return false;
  out = m_LogRing[read];
  m_LogRead.store((read + 1) % kLogRingModulo, std::memory_order_release);
  return true;
}

void CQuorvexApp::NotifyWindow(int message) {
  if (IWindowLink* window = m_Window.load()) window->SendWindowMessage(message);
}

CDeviceRow CQuorvexApp::LastTxDevice() {
  std::lock_guard<std::mutex> lock(m_LogLock);
  return m_LastTxDevice;
}

int CQuorvexApp::OnLoRaReceive(const SocketAddress& from, uint8_t* data, uint32_t length, uint64_t arrivalTick,
                               void* user) {
  static_cast<CQuorvexApp*>(user)->OnGatewayDatagram(from, data, length, arrivalTick);
  return 0;
}


void CQuorvexApp::OnLoRaError(int code, void* user) {
  TraceLine("===================== OnLoRaError ===================== \r\n");
  auto* app = static_cast<CQuorvexApp*>(user);
  if (app->m_BindErrorObserver) app->m_BindErrorObserver(code, app->m_LoRaUdpServer.m_Port.load());
}

void CQuorvexApp::OnTxSent(JitRequest& request, void* owner) {
  auto* app = static_cast<CQuorvexApp*>(owner);
  if (!request.m_Device) return;
  const CDevice& device = *request.m_Device;
  SocketAddress pullAddr{};
  if (device.m_Gateway != nullptr) {
    std::lock_guard<std::recursive_mutex> lock(app->m_LoRaGateMgr.Mutex());
    pullAddr = device.m_Gateway->m_PullAddr;
  }
  if (device.m_DownMType == kMTypeJoinAccept) {
    LogAccept(*app, pullAddr, device, device.m_RxInfo);
  } else if (device.m_DownMType == kMTypeUnconfirmedDown || device.m_DownMType == kMTypeConfirmedDown) {
    LogDownlink(*app, pullAddr, device, device.m_RxInfo);
  }
  // A later TX_ACK failure names this device.
  std::lock_guard<std::mutex> lock(app->m_LogLock);
  app->m_LastTxDevice = static_cast<const CDeviceRow&>(device);
}

}  // namespace quorvex
