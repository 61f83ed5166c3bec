// CQuorvexApp: the application object. It owns every manager and shared
// list, the operator settings, the ring through which packet-log records
// reach the window, and runs the server's Start and Stop: the UDP receive
// thread on the gateway port, the transmit scheduler thread and the HTTP
// worker. The window (or the headless printer) attaches through IWindowLink.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "downlink/JitManager.h"
#include "forwarding/HttpManager.h"
#include "gateway/GateManager.h"
#include "gateway/JSonIFace2x.h"
#include "gateway/UdpServer.h"
#include "persistence/AppList.h"
#include "persistence/DLinkList.h"
#include "persistence/DbChangeWatcher.h"
#include "persistence/DbManager.h"
#include "persistence/Device.h"
#include "persistence/DeviceManager.h"
#include "persistence/Log.h"
#include "persistence/LogManager.h"
#include "platform/Tick.h"
#include "runtime/FramePipeline.h"
#include "runtime/ServerMetrics.h"
#include "runtime/Settings.h"
#include "runtime/WindowLink.h"
#include "util/TraceThrottle.h"

namespace quorvex {

// Every frame the frame queue accepted can be forwarded, even when all of
// them belong to one application server.
static_assert(CHttpManager::kMaxQueuedPerServer >= CFramePipeline::kMaxWaiting);

// The first radio packet of a PUSH_DATA (defined by the dispatcher).
struct ReceivedFrame;

class CQuorvexApp {
 public:
  static constexpr int kDefaultGatewayPort = 1700;
  // Slots of the log ring; one always stays free, so at most 4 records wait.
  static constexpr int kLogRingModulo = 5;

  CQuorvexApp();
  virtual ~CQuorvexApp();
  CQuorvexApp(const CQuorvexApp&) = delete;
  CQuorvexApp& operator=(const CQuorvexApp&) = delete;

  // Process start-up: makes `dataDir` (the executable's directory when
  // empty) the current directory, where the database and the settings file
  // live, seeds the pseudo-random generator, empties the log ring and opens
  // the database (a file that cannot be opened leaves every table operation
  // failing, as the window would show). False when the directory cannot be
  // entered.
  bool InitBase(const std::string& dataDir = {});
  // Loads the applications and the gateways from the database, as the
  // LoRaWAN page does when it opens. 0, or 2 when a table could not be read.
  int LoadRegistries();
  // Takes up what another program changed in APPTBL and GATETBL while the
  // server ran (see CAppList::ReloadApplications and
  // CGateManager::ReloadGateways). 0, or 2 when a table could not be read.
  int ReloadRegistries();
  // Set before StartServer: while the server runs, a change committed to the
  // file by another program reloads the registries within a second (see
  // CDbChangeWatcher). The headless server sets it; the window, whose pages
  // show the lists, leaves it off.
  bool m_ReloadOnOutsideChanges = false;
  // The data directory InitBase entered.
  const std::string& DataDir() const { return m_DataDir; }
  // Full path of a file in the data directory.
  std::string DataPath(const std::string& name) const;

  // The settings file in the data directory.
  void LoadSettings();
  void SaveSettings();

  // Start button: 1 when the server was started, 0 when it was already
  // running, the database cannot be used (StartError() says why), or the
  // receive thread could not be created.
  int StartServer();
  // Why the last StartServer refused to serve; empty when it did not.
  const std::string& StartError() const { return m_StartError; }
  // Stop button: asks every server thread to end, closes the gateway socket,
  // waits at most 1000 ms for the receive thread, then at most 3000 ms for
  // the frame thread to handle the frames already acknowledged.
  void StopServer();
  // Waits up to `timeoutMs` for every server thread, including those of
  // earlier runs, to end. True when all have ended.
  bool WaitForServerThreads(uint32_t timeoutMs);
  bool IsStarted() const { return m_LoRaUdpServer.m_Started.load() == 1; }

  // Producers: copies the record into the ring; false (dropped) when full.
  bool PostLogRecord(const CLog& record);
  // Window thread: takes the oldest waiting record; false when none waits.
  bool TakeLogRecord(CLog& out);

  // The window; null for none. Messages to no window are dropped.
  void SetWindow(IWindowLink* window) { m_Window.store(window); }
  // Sends a message to the window and waits until it was handled.
  void NotifyWindow(int message);

  // Copy of the stored fields of the device of the last downlink sent.
  CDeviceRow LastTxDevice();

  // Receive thread: one datagram from a gateway, under the callback lock.
  // A radio frame is acknowledged at once and handled on the frame thread.
  virtual void OnGatewayDatagram(const SocketAddress& from, uint8_t* data, uint32_t length, uint64_t arrivalTick);
  // Waits up to `timeoutMs` until every acknowledged frame has been handled
  // (its records written, its answer queued). True when none waits.
  bool WaitForFramesHandled(uint32_t timeoutMs) { return m_Frames.WaitUntilIdle(timeoutMs); }
  // Frames acknowledged and waiting for the frame thread.
  std::size_t FramesWaiting() const { return m_Frames.Waiting(); }

  // Called once on the receive thread when the gateway port cannot be bound,
  // with the error code and the port, after the trace banner (the headless
  // server tells the operator on stderr).
  std::function<void(int code, int port)> m_BindErrorObserver;
  // The UDP port Start binds (1700 unless the operator chose another).
  int m_GatewayPort = kDefaultGatewayPort;
  // The calendar clock (ms since the Unix epoch, UTC) that stamps each
  // uplink's reception, the time the server tells a device that asks for
  // it. Set before the server starts; tests give their own.
  std::function<int64_t()> m_UnixClockMs = UnixTimeMs;

  // Owned members, constructed in this order and destroyed in reverse.
  CServerMetrics m_Metrics;
  CDbManager m_LoRaDbMgr;
  CAppList m_LoRaAppList{m_LoRaDbMgr};
  int32_t m_SelectedApp = 0;
  CDeviceManager m_LoRaDevMgr{m_LoRaDbMgr};
  CGateManager m_LoRaGateMgr;
  CDLinkList m_LoRaDlinkList{m_LoRaDbMgr};
  CUdpServer m_LoRaUdpServer;
  CJitManager m_LoRaJitMgr;
  CLogManager m_LoRaLogMgr;
  CHttpManager m_LoRaHttpMgr;
  CSettingsBlock m_Settings;

 private:
  static int OnLoRaReceive(const SocketAddress& from, uint8_t* data, uint32_t length, uint64_t arrivalTick,
                           void* user);
  static void OnLoRaError(int code, void* user);
  static void OnTxSent(JitRequest& request, void* owner);

  // The steps of OnGatewayDatagram, in the order a datagram takes them.
  // A TX_ACK counts only from the pull address of an active gateway; the
  // rest are counted and traced once per burst (CountIgnoredTxAck).
  void HandleTxAck(const SocketAddress& from, const CJSonIFace2x& json, const RxParseResult& parsed);
  void CountIgnoredTxAck(const SocketAddress& from);
  void HandlePull(const SocketAddress& from, const CJSonIFace2x& json);
  void HandlePush(const SocketAddress& from, const CJSonIFace2x& json, int32_t kind, const std::string& sender,
                  uint64_t arrivalTick);
  // The receive thread's part ends here: the frame goes to the frame thread,
  // or is dropped (counted, traced) when too many wait.
  void HandOver(PendingFrame frame);
  void CountDroppedFrame();
  // Frame thread: a queued frame, in the order the frames arrived.
  void HandleFrame(PendingFrame& frame);
  // Hands a join request or data uplink to the LoRaWAN layer.
  std::unique_ptr<CDevice> RouteFrame(const PendingFrame& frame);
  // Saves the processed device and, when accepted, queues its answer.
  void QueueAnswer(std::unique_ptr<CDevice> device, const PendingFrame& frame);

  // Posts trust the authorities of the data directory's CA file, if it has one.
  void UseTrustedCaFile();

  std::string m_DataDir;
  std::string m_StartError;
  // Runs from StartServer to StopServer when m_ReloadOnOutsideChanges is set;
  // declared after the managers it reloads, so it ends before them.
  std::unique_ptr<CDbChangeWatcher> m_Watcher;
  std::atomic<IWindowLink*> m_Window{nullptr};

  // The log ring: m_LogWrite is moved by producers only (under m_LogLock),
  // m_LogRead by the window thread only; a slot is complete before
  // m_LogWrite moves past it. The sixth slot is never used.
  std::mutex m_LogLock;
  std::atomic<int32_t> m_LogRead{0};
  std::atomic<int32_t> m_LogWrite{0};
  CLog m_LogRing[6];
  CDeviceRow m_LastTxDevice;  // guarded by m_LogLock
  // TX_ACKs ignored since the start (the receive thread's alone); the lines
  // about them and about dropped frames are traced at most once a second.
  uint64_t m_IgnoredTxAcks = 0;
  CTraceThrottle m_IgnoredTxAckTrace;
  CTraceThrottle m_DroppedFrameTrace;
  // The frame thread, from StartServer to StopServer. Declared after the
  // managers its frames use, so it ends before them.
  CFramePipeline m_Frames{[this](PendingFrame& frame) { HandleFrame(frame); },
                          [this] { m_LoRaDbMgr.CommitBatch(); }};
};

}  // namespace quorvex
