// The base of every long-lived manager: a recursive lock guarding the
// manager's own collection, the run/alive flags and wake event with which a
// background loop is started and asked to stop, and the virtual RunThread
// that is the body of the manager's thread when it has one.
//
// Stopping never waits: writing 0 to m_Run and setting the wake event makes
// a loop end by itself within one polling period. Because a stopped loop may
// still be ending when the manager is started again, each start also bumps a
// run generation; a loop leaves as soon as its generation is no longer the
// current one, so an old loop can never come back to life when the new start
// writes 1 to m_Run.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Event.h"
#include "platform/Thread.h"

namespace quorvex {

class CBaseThread {
 public:
  CBaseThread() = default;
  CBaseThread(const CBaseThread&) = delete;
  CBaseThread& operator=(const CBaseThread&) = delete;
  // Neither stops nor waits for a thread: stopping is the owner's business.
  // Threads of earlier runs that are still ending are waited for briefly so
  // that none outlives the object it works on.
  virtual ~CBaseThread();

  // Body of the manager's thread; its result is the thread's exit code. The
  // base version only reports that it should never have been reached.
  virtual int RunThread(intptr_t user1, intptr_t user2);

  void Lock() { m_Lock.lock(); }
  void Unlock() { m_Lock.unlock(); }
  std::recursive_mutex& Mutex() { return m_Lock; }

  // 1 while the manager's loop is running.
  std::atomic<int32_t> m_Alive{0};
  // The stop request: 1 while the loop may continue.
  std::atomic<int32_t> m_Run{0};
  // Manual-reset wake event, replaced at every start (null before the first).
  std::shared_ptr<CEvent> m_WakeEvent;
  // The thread running RunThread, kept by the starter.
  std::unique_ptr<CThread> m_Thread;
  // Generation of the current run; see the file comment.
  std::atomic<uint32_t> m_RunGeneration{0};

  // True while the calling loop may go on: no stop request and its run is
  // still the current one.
  bool ShouldRun() const;
  // Opens a new run generation and sets m_Run; the generation.
  uint32_t BeginRun();
  // Called by a loop as it ends: marks the manager idle (m_Alive and m_Run
  // 0) only while its run is still the current one. Ordered against
  // BeginRun, so a loop of an earlier run that ends just as a new start
  // comes can never clear the new run's m_Run.
  void EndRun();
  // Keeps a thread of an earlier run until it has ended (joined at destruction).
  void RetireThread(std::unique_ptr<CThread> thread);
  // Waits up to `timeoutMs` for every thread of this manager, current and
  // retired, to end. True when all have ended.
  virtual bool WaitForThreads(uint32_t timeoutMs);

 protected:
  std::recursive_mutex m_Lock;

 private:
  std::mutex m_RetiredLock;
  std::vector<std::unique_ptr<CThread>> m_Retired;
  // Makes BeginRun's new generation and EndRun's check-and-clear atomic.
  std::mutex m_RunLock;
};

// The declared base of the six managers; adds nothing the system uses.
class CBaseMgr : public CBaseThread {};

// Heap record handed to a new manager thread; ManagerThreadEntry owns it.
struct ThreadStartInfo {
  CBaseThread* target = nullptr;
  intptr_t user1 = 0;
  intptr_t user2 = 0;
  // Run generation the thread belongs to (see the file comment).
  uint32_t generation = 0;
  // The wake event of that run; the loop keeps it even when a later start
  // replaces the manager's m_WakeEvent.
  std::shared_ptr<CEvent> wakeEvent;
};

// The run generation of the manager thread calling this (0 elsewhere).
uint32_t ThisThreadGeneration();
// The wake event of the run of the manager thread calling this (null elsewhere).
std::shared_ptr<CEvent> ThisThreadWakeEvent();

// Thread procedure of a manager thread: frees the record, marks the target
// alive and runs its RunThread. A null target ends
// the thread at once with exit code 0.
int ManagerThreadEntry(std::unique_ptr<ThreadStartInfo> info);

// Starts `manager`'s RunThread on a new thread: replaces the wake event with
// a fresh, unsignalled one, opens a new run generation, sets m_Run and keeps the thread
// in m_Thread (a thread of an earlier run is retired). Returns false when the
// thread cannot be created.
bool StartManagerThread(CBaseThread& manager);

// Asks a threaded manager to stop: m_Run 0 and its wake event set. Does not wait.
void StopManagerThread(CBaseThread& manager);

}  // namespace quorvex
