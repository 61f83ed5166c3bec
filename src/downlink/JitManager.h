// The just-in-time transmit scheduler's manager: the queue of transmit
// requests that the receive thread fills and the scheduler thread works
// through every 20 ms, and the after-send notification.
//
// Emptying the queue from the window thread (Start, Stop) must never block
// on the scheduler's lock, since the scheduler may hold it while it waits
// for the window. So DeleteAll only opens a new queue epoch: requests of an
// older epoch are never sent and are deleted by whoever takes the lock next.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "gateway/UdpServer.h"
#include "persistence/Device.h"
#include "runtime/BaseThread.h"

namespace quorvex {

class CQuorvexApp;
class CDLink;
class CApplication;
class CJSonIFace2x;

// A transmit request: when it is due (ms after reception), the device record
// it owns, and whether its uplink was handed on to the HTTP manager.
struct JitRequest {
  int32_t m_Delay = 0;
  std::unique_ptr<CDevice> m_Device;
  int32_t m_Forwarded = 0;
  // Queue epoch the request was added in (see the file comment).
  uint32_t m_Epoch = 0;
  // Ticks at which the request is handed on for forwarding and at which it
  // is due, worked out once when it is queued so that a pass over a long
  // queue reads no device record.
  int64_t m_ForwardTick = 0;
  int64_t m_DueTick = 0;
};

class CJitManager : public CBaseMgr {
 public:
  using TxSentCallback = void (*)(JitRequest& request, void* owner);

  // Lead of a transmission before the receive window opens, and the point
  // before it at which an uplink is handed to its application server.
  static constexpr uint32_t kSendLeadMs = 200;
  static constexpr uint32_t kForwardLeadMs = 600;
  // A class A frame built less than this before its receive window opens is
  // not sent (nor anything of it kept): the gateway could no longer
  // transmit it in time. Its uplink waited, behind a database another
  // program held for instance; a frame sent into a closed window only takes
  // air time, and a queued downlink it carried would be marked sent and lost.
  static constexpr uint32_t kMinSendLeadMs = 50;
  // The scheduler thread's pass interval.
  static constexpr uint32_t kPollMs = 20;
  // Class C requests looked at in one pass at most (failed, waiting or sent).
  static constexpr int kClassCLookupsPerPass = 8;

  CJitManager() = default;
  virtual ~CJitManager();

  // The application object whose socket, database and registries the
  // scheduler works with; set once before the thread starts.
  void Attach(CQuorvexApp* app) { m_App = app; }

  // One pass of the scheduler at millisecond tick `now`: uplinks are handed
  // on for forwarding and every due request is sent, the newest first; then,
  // unless a queued request becomes due before the next pass, one class C
  // request of the database is served on its application's RX2 channel.
  // Class C requests go oldest first. One that can never be served (its
  // device deleted or never joined, no gateway on record, its application
  // gone) is marked failed (TXDONE kTxFailed, a trace line) and the next is
  // tried; one whose gateway is not pulling right now waits, and the
  // requests of other devices behind it are served meanwhile. True when a
  // downlink was sent. The thread calls it every kPollMs; tests call it with
  // their own clock.
  bool ServePass(uint64_t now);

  // The "txpk" text of a class A answer (tmst, the uplink's freq and datr)
  // or of a class C downlink (imme, the application's RX2 channel), compact,
  // for the Base64 frame `data` of `size` bytes. False when no text can be made.
  static bool MakeClassATxpk(const CDevice& device, uint32_t delayMs, const std::string& data, int size,
                             std::string& text);
  static bool MakeClassCTxpk(const CApplication& application, const std::string& data, int size,
                             std::string& text);
  // Whether `request`'s window opens less than kMinSendLeadMs after `now`.
  static bool TooLate(const JitRequest& request, uint64_t now);

  // What preparing a due request came to: a frame ready to leave, nothing to
  // send (no reply needed, the device deleted), a frame that must not leave
  // because the state it carries could not be stored, or a frame built too
  // late for its window (see kMinSendLeadMs).
  enum class Prepared { kReady, kNothing, kNotStored, kLate };

  // The notification called after each downlink the scheduler sent.
  void SetTxSent(TxSentCallback callback, void* owner);

  // Calls the after-send notification for a request that was just sent.
  void NotifyTxSent(JitRequest& request);

  // Appends a request (producer side: lock, append, unlock; no wake).
  void AddRequest(std::unique_ptr<JitRequest> request);
  // Drops every queued request without waiting for the scheduler's lock.
  void DeleteAll();
  // Requests of the current epoch waiting in the queue.
  size_t Count();

  // The device record of the first queued request for the device with the
  // same PKEY, or null. The record stays owned by the queue: the caller
  // holds the manager's lock (Mutex()) from this call to its last use of it.
  CDevice* FindQueued(const CDeviceRow& device);
  // Removes and destroys the first queued request for the device with the
  // same PKEY (and its device record). Takes the lock (it is recursive).
  void RemoveQueued(const CDeviceRow& device);

  int RunThread(intptr_t user1, intptr_t user2) override;

 protected:
  // Deletes requests of older epochs; call with the lock held.
  void PurgeStale();

  std::vector<std::unique_ptr<JitRequest>> m_Requests;
  TxSentCallback m_TxSent = nullptr;
  void* m_TxSentOwner = nullptr;

 private:
  // Hands uplinks on for forwarding (oldest first) and moves the due
  // requests, newest first, from the queue to `due`; call with the lock held.
  void TakeDue(uint64_t now, std::vector<std::unique_ptr<JitRequest>>& due);
  // Builds, stores and sends the frames of the due requests; true when one
  // was sent. A frame whose state is not on file (a write or the batch's
  // commit failed, or no batch could be opened) is not sent: ReportUnsent.
  bool SendDue(std::vector<std::unique_ptr<JitRequest>>& due, uint64_t now);
  // The frames of a pass that may leave, with their txpk texts.
  using ReadyFrames = std::vector<std::pair<JitRequest*, std::string>>;
  // The devices of the due requests whose frames did not leave, by reason.
  struct Unsent {
    std::vector<const CDevice*> notStored;
    std::vector<const CDevice*> late;
  };
  // Builds the frames of the due requests and stores their state in one
  // batch, the pass running at `now`: `ready` receives those on file,
  // `unsent` the devices of those that must not leave.
  void BuildAndStore(std::vector<std::unique_ptr<JitRequest>>& due, uint64_t now, ReadyFrames& ready,
                     Unsent& unsent);
  // The trace line and TX-FAIL record of a frame built too late. Call
  // without the database lock.
  void ReportLate(const CDevice& device);
  // The trace line and TX-FAIL record of a frame that was not sent because
  // its state could not be stored. Call without the database lock.
  void ReportUnsent(const CDevice& device);

  // Class C. The requests are looked at in one sweep over the pending ones,
  // in key order, across passes; a sweep that reaches the end starts again.
  enum class ClassCOutcome { kSent, kWaiting, kFailed, kStopped };
  enum class GatewayState { kPulling, kNotPulling, kUnknown };
  // Serves the next servable class C request, failing those that never
  // will be; true when a frame was sent.
  bool ServeClassC();
  void RestartClassCSweep();
  ClassCOutcome TryClassC(CDLink& request);
  // Marks the request failed for `reason`, with a trace line; kStopped when
  // the mark could not be stored.
  ClassCOutcome FailClassC(CDLink& request, const char* reason);
  // The state of the gateway the device was last heard through; sets the
  // device's m_Gateway when it is pulling.
  GatewayState DeviceGateway(CDevice& device);
  // Builds the frame, stores the state it carries and sends it; false when
  // nothing was sent.
  bool SendClassC(CDLink& request, std::unique_ptr<CDevice> device, const CApplication& application);
  // Writes the device's downlink state and marks the request sent, in one
  // committed batch; false unless both are on file.
  bool StoreClassC(CDLink& request, const CDevice& device);
  // The pull address of the device's gateway (none without a gateway).
  SocketAddress PullAddress(const CDevice& device);
  // Build the frame of a due request and write the state it carries
  // (session keys, downlink counter); `txpk` receives the text to send.
  // kNothing for a device deleted while its request waited (then nothing is
  // written either).
  Prepared Prepare(JitRequest& request, std::string& txpk);
  // Prepare in a savepoint of the open batch: a frame that is not sent
  // leaves nothing on file (a request marked sent without its frame would
  // be lost), nor does one that is ready only after `now` is TooLate.
  // Call with the database lock held and a batch open.
  Prepared PrepareWhole(JitRequest& request, uint64_t now, std::string& txpk);
  Prepared PrepareJoinAccept(JitRequest& request, std::string& txpk);
  Prepared PrepareClassAReply(JitRequest& request, std::string& txpk);
  // The txpk of the built frame, timed for the device's first receive window.
  Prepared PrepareRx1(JitRequest& request, std::string& txpk);
  // Sends the PULL_RESP of `txpk` to the pull address of the device's
  // gateway. The state the frame carries must be committed before.
  void SendTxpk(const CDevice& device, const std::string& txpk);

  CQuorvexApp* m_App = nullptr;
  std::atomic<uint32_t> m_Epoch{0};
  // Epoch of the last purge: every queued request belongs to it, so a purge
  // only has work when the epoch has moved on since. Under m_Lock.
  uint32_t m_PurgedEpoch = 0;
  // No queued request has anything to do before this tick, and none is due
  // before the second (lower bounds: removals leave them as they are).
  // Under m_Lock.
  int64_t m_NextEventTick = INT64_MAX;
  int64_t m_NextDueTick = INT64_MAX;
  // Where the class C sweep stands: the key of the request looked at last,
  // and the devices found waiting for their gateway. Scheduler thread only.
  int32_t m_ClassCAfter = 0;
  std::unordered_set<int32_t> m_ClassCWaiting;
};

}  // namespace quorvex
