// The hand-over from the UDP receive thread to the frame thread. The receive
// thread reads a datagram, checks its header and gateway, acknowledges it at
// once and queues its radio frame here; the frame thread then does the
// LoRaWAN work and the database writes, in arrival order. So a slow write (a
// file another program holds) delays frames, never the acknowledgements,
// and the queue is bounded so that a long stall cannot take all the memory.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "gateway/RadioMetadata.h"
#include "gateway/UdpServer.h"
#include "platform/Thread.h"

namespace quorvex {

class CGateway;

// One radio frame waiting for the frame thread, with what the receive thread
// knew when it arrived.
struct PendingFrame {
  SocketAddress from{};
  // The gateway's registry record. The registry never frees a record while
  // the application lives (deleted ones are retired), so it outlives the frame.
  CGateway* gateway = nullptr;
  int32_t gatewayKey = 0;
  uint8_t mtype = 0;
  std::vector<uint8_t> bytes;
  RadioMetadata meta;
  uint64_t rxTick = 0;   // tick of its reception: its receive windows count from here
  int64_t rxUnixMs = 0;  // calendar time of its reception
};

class CFramePipeline {
 public:
  // Frames waiting at most: two seconds of 10,000 uplinks a second. Beyond
  // that the receive thread drops (counted, traced) instead of queueing.
  static constexpr std::size_t kMaxWaiting = 20000;
  // Frames the thread takes in one go; `afterBurst` runs after each take.
  static constexpr std::size_t kMaxBurst = 64;
  // Once a frame waits, the thread lets more gather for up to this long
  // (or until kMaxBurst wait) before taking them: one wake-up and one commit
  // for a group instead of for every frame, which leaves the processor to
  // the receive thread. Small beside the receive windows (a second or more).
  static constexpr uint32_t kGatherMs = 2;

  using Handler = std::function<void(PendingFrame&)>;
  // `handle` runs for every frame on the frame thread, in queue order;
  // `afterBurst` after each group of at most kMaxBurst (the group commit).
  CFramePipeline(Handler handle, std::function<void()> afterBurst);
  // Stops the thread after it has handled what waits.
  ~CFramePipeline();
  CFramePipeline(const CFramePipeline&) = delete;
  CFramePipeline& operator=(const CFramePipeline&) = delete;

  // Starts the frame thread. False when a thread of an earlier run has not
  // ended or cannot be created.
  bool Start();
  // Asks the thread to end once every waiting frame was handled; no wait.
  void Stop();
  // Waits up to `timeoutMs` for the thread to end; true when none runs.
  bool WaitForThread(uint32_t timeoutMs) const;
  // True while a frame thread is running (Start called, and not yet stopped).
  bool Running() const;

  // Queues a frame (receive thread). False, the frame not queued, when
  // kMaxWaiting frames wait or no thread runs.
  bool Push(PendingFrame frame);
  // Waits up to `timeoutMs` until nothing waits and nothing is being handled.
  bool WaitUntilIdle(uint32_t timeoutMs);
  std::size_t Waiting() const;

 private:
  int Run();
  // Takes the next group of frames; empty when the thread is to end.
  std::vector<PendingFrame> Take();

  Handler m_Handle;
  std::function<void()> m_AfterBurst;
  mutable std::mutex m_Mutex;
  std::condition_variable m_Wake;
  std::condition_variable m_Idle;
  std::deque<PendingFrame> m_Waiting;  // guarded by m_Mutex
  std::size_t m_InHand = 0;            // guarded by m_Mutex
  bool m_Running = false;              // guarded by m_Mutex
  bool m_Stopping = false;             // guarded by m_Mutex
  std::unique_ptr<CThread> m_Thread;
};

}  // namespace quorvex
