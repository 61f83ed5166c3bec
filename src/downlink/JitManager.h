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
#include <vector>

#include "persistence/Device.h"
#include "runtime/BaseThread.h"

namespace quorvex {

// A transmit request: when it is due (ms after reception), the device record
// it owns, and whether its uplink was handed on to the HTTP manager.
struct JitRequest {
  int32_t m_Delay = 0;
  std::unique_ptr<CDevice> m_Device;
  int32_t m_Forwarded = 0;
  // Queue epoch the request was added in (see the file comment).
  uint32_t m_Epoch = 0;
};

class CJitManager : public CBaseMgr {
 public:
  using TxSentCallback = void (*)(JitRequest& request, void* owner);

  CJitManager() = default;
  virtual ~CJitManager();

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
  // One pass of the scheduler over the queue, under the lock. Requests of
  // older epochs are already gone.
  virtual void WorkStep() {}
  // Deletes requests of older epochs; call with the lock held.
  void PurgeStale();

  std::vector<std::unique_ptr<JitRequest>> m_Requests;
  TxSentCallback m_TxSent = nullptr;
  void* m_TxSentOwner = nullptr;

 private:
  std::atomic<uint32_t> m_Epoch{0};
};

}  // namespace quorvex
