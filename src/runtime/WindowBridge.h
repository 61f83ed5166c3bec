// CWindowBridge: how server threads reach a window that lives on a thread of
// its own (a GUI event loop). A server thread's SendWindowMessage marks the
// message pending, wakes the window thread through an eventfd and waits until
// the window thread has handled it, as a synchronous window message would.
//
// The wait is bounded by the window's handling of one dispatch, never by
// anything else the window thread does:
//  - the window thread watches WakeFd() in its event loop, and nested loops
//    (modal message boxes, file dialogs) watch it too, so messages are
//    handled while a modal dialog is open;
//  - around anything on the window thread that waits for server threads
//    (Stop, closing), the window holds an Unattended scope: while it lasts,
//    senders leave their message pending and return at once instead of
//    waiting, so the window thread never waits for a thread that waits for
//    it; the pending messages are handled when the scope ends;
//  - after Close, senders never wait again.
// A pending message of a kind is handled once however many senders marked
// it (the log ring holds the records themselves).
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "runtime/WindowLink.h"

namespace quorvex {

class CWindowBridge : public IWindowLink {
 public:
  // `handler` runs on the window thread, inside Dispatch, once per pending
  // message kind (UM_GATEWAYS before UM_NOTIFY, UM_QUIT last).
  explicit CWindowBridge(std::function<void(int message)> handler = {});
  // Senders must have returned: the owner closes the bridge and ends the
  // server threads first.
  ~CWindowBridge() override;
  CWindowBridge(const CWindowBridge&) = delete;
  CWindowBridge& operator=(const CWindowBridge&) = delete;

  // Any server thread: marks `message` pending and waits until a dispatch
  // that started after this call has handled it, or until the window is
  // unattended or closed. Must not be called with a lock the handler takes.
  void SendWindowMessage(int message) override;

  // Window thread: replaces the handler (the window that owns the loop).
  void SetHandler(std::function<void(int message)> handler) { m_Handler = std::move(handler); }

  // Readable (EPOLLIN/POLLIN) while a dispatch is wanted; the window thread
  // watches it and calls Dispatch. -1 when the descriptor could not be made
  // (then nothing wakes the window and senders never wait).
  int WakeFd() const { return m_WakeFd; }

  // Window thread: handles every pending message and releases the senders
  // that waited for them. Does nothing after Close. Under a stream of
  // messages (a radio thread reporting record after record) it stays for the
  // next message as long as one follows within kFollowUpWait, up to
  // kDispatchBudget in all: a return to the event loop and a new wake-up per
  // message would cost more than the message.
  void Dispatch();
  static constexpr std::chrono::microseconds kFollowUpWait{150};
  static constexpr std::chrono::microseconds kDispatchBudget{4000};

  // Window thread: while one of these lives, senders do not wait.
  class Unattended {
   public:
    explicit Unattended(CWindowBridge& bridge);
    ~Unattended();
    Unattended(const Unattended&) = delete;
    Unattended& operator=(const Unattended&) = delete;

   private:
    CWindowBridge& m_Bridge;
  };

  // No sender waits from now on, and pending messages are dropped; waiting
  // senders are released. Irreversible.
  void Close();

  // Messages handled so far (for tests and measurements).
  uint64_t Handled() const;

 private:
  // Handles what is pending now; false when nothing was.
  bool DispatchPending();
  void SetUnattended(bool on);
  void Wake();
  bool MayWaitLocked() const { return !m_Closed && m_Unattended == 0 && m_WakeFd >= 0; }

  std::function<void(int)> m_Handler;
  int m_WakeFd = -1;

  mutable std::mutex m_Mutex;
  std::condition_variable m_Done;
  std::condition_variable m_Arrived;  // a sender marked a message
  // Pending kinds (bit 0 UM_NOTIFY, bit 1 UM_GATEWAYS, bit 2 UM_QUIT).
  uint32_t m_Pending = 0;       // guarded by m_Mutex
  uint64_t m_Posted = 0;        // tickets given to senders; guarded by m_Mutex
  uint64_t m_Served = 0;        // every ticket up to this was handled; guarded by m_Mutex
  uint64_t m_HandledCount = 0;  // guarded by m_Mutex
  int m_Unattended = 0;         // guarded by m_Mutex
  bool m_Closed = false;        // guarded by m_Mutex
};

}  // namespace quorvex
