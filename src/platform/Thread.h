// A platform thread that its owner can wait for with a time-out and then
// let go of without joining. The server never joins its threads (a stopping
// loop ends by itself within one polling period), but a std::thread must be
// joined or detached before it is destroyed: CThread joins it when it has
// ended and detaches it otherwise, and keeps its end state alive for both.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace quorvex {

class CThread {
 public:
  using Body = std::function<int()>;

  // Starts `body` on a new thread at once. Returns null when the platform
  // refuses to create the thread.
  static std::unique_ptr<CThread> Create(Body body);

  ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // True when the body has returned within `timeoutMs`.
  bool WaitFor(uint32_t timeoutMs) const;
  bool HasEnded() const;
  // The body's result; 0 until it has ended.
  int ExitCode() const;
  // True when called from this thread itself.
  bool IsCurrent() const;

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    int exitCode = 0;
  };
  CThread() = default;

  std::shared_ptr<State> m_State;
  std::thread m_Thread;
};

// Names the calling thread (at most 15 characters are kept), as `top -H`,
// `ps -L` and profilers show it. Best effort.
void NameThisThread(const char* name);

// Lowers the scheduling priority of the calling thread alone by `steps`
// nice levels (background work: forwarding, output, checkpoints), so that
// the radio threads win when the processor is short. Best effort: a refusal
// changes nothing.
void LowerThisThreadPriority(int steps);
// The steps by which the server's background threads are lowered.
inline constexpr int kBackgroundNice = 5;

}  // namespace quorvex
