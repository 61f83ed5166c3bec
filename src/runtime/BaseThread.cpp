#include "runtime/BaseThread.h"

#include "runtime/Trace.h"

namespace quorvex {

namespace {
// How long destruction waits for a loop of an earlier run to notice its stop
// request; loops poll every 20 to 25 ms, so this is generous.
constexpr uint32_t kRetiredThreadWaitMs = 2000;
thread_local uint32_t t_RunGeneration = 0;
thread_local std::shared_ptr<CEvent> t_WakeEvent;
}  // namespace

uint32_t ThisThreadGeneration() { return t_RunGeneration; }
std::shared_ptr<CEvent> ThisThreadWakeEvent() { return t_WakeEvent; }

bool CBaseThread::WaitForThreads(uint32_t timeoutMs) {
  bool ended = true;
  {
    std::lock_guard<std::mutex> lock(m_RetiredLock);
    for (auto& thread : m_Retired) ended = thread->WaitFor(timeoutMs) && ended;
  }
  if (m_Thread) ended = m_Thread->WaitFor(timeoutMs) && ended;
  return ended;
}

bool CBaseThread::ShouldRun() const {
  return m_Run.load() != 0 && m_RunGeneration.load() == t_RunGeneration;
}

uint32_t CBaseThread::BeginRun() {
  std::lock_guard<std::mutex> lock(m_RunLock);
  const uint32_t generation = m_RunGeneration.fetch_add(1) + 1;
  m_Run = 1;
  return generation;
}

void CBaseThread::EndRun() {
  std::lock_guard<std::mutex> lock(m_RunLock);
  if (m_RunGeneration.load() != t_RunGeneration) return;
  m_Alive = 0;
  m_Run = 0;
}

CBaseThread::~CBaseThread() { CBaseThread::WaitForThreads(kRetiredThreadWaitMs); }

int CBaseThread::RunThread(intptr_t, intptr_t) {
  // There is no message box on a server: the error goes to the trace.
  TraceLine("CBaseThread::RunThread Error ~~~~\r\n");
  return 0;
}

void CBaseThread::RetireThread(std::unique_ptr<CThread> thread) {
  if (!thread) return;
  std::lock_guard<std::mutex> lock(m_RetiredLock);
  // Drop (join) those that have ended since; keep the rest.
  std::erase_if(m_Retired, [](const std::unique_ptr<CThread>& t) { return t->HasEnded(); });
  if (!thread->HasEnded()) m_Retired.push_back(std::move(thread));
}

int ManagerThreadEntry(std::unique_ptr<ThreadStartInfo> info) {
  CBaseThread* target = info->target;
  const intptr_t user1 = info->user1;
  const intptr_t user2 = info->user2;
  t_RunGeneration = info->generation;
  t_WakeEvent = std::move(info->wakeEvent);
  info.reset();
  if (target == nullptr) return 0;
  // A thread of a run that was replaced before it got going ends at once.
  if (target->m_RunGeneration.load() != t_RunGeneration) return 0;
  // m_Run was set by the starter: setting it here could undo a stop that
  // came before this thread got going.
  target->m_Alive = 1;
  return target->RunThread(user1, user2);
}

bool StartManagerThread(CBaseThread& manager) {
  auto info = std::make_unique<ThreadStartInfo>();
  info->target = &manager;
  // A fresh event, so that a set event left over from the stop cannot wake
  // the new loop; a loop of the earlier run keeps its own event alive.
  manager.m_WakeEvent = std::make_shared<CEvent>();
  manager.m_WakeEvent->Reset();
  info->wakeEvent = manager.m_WakeEvent;
  info->generation = manager.BeginRun();
  manager.RetireThread(std::move(manager.m_Thread));
  auto thread = CThread::Create(
      [info = std::shared_ptr<ThreadStartInfo>(info.release())]() mutable {
        return ManagerThreadEntry(std::make_unique<ThreadStartInfo>(*info));
      });
  if (!thread) return false;
  manager.m_Thread = std::move(thread);
  return true;
}

void StopManagerThread(CBaseThread& manager) {
  if (!manager.m_WakeEvent) return;
  manager.m_Run = 0;
  manager.m_WakeEvent->Set();
}

}  // namespace quorvex
