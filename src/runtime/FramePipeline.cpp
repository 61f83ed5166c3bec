#include "runtime/FramePipeline.h"

#include <chrono>
#include <utility>

#include "platform/Thread.h"

namespace quorvex {

CFramePipeline::CFramePipeline(Handler handle, std::function<void()> afterBurst)
    : m_Handle(std::move(handle)), m_AfterBurst(std::move(afterBurst)) {}

CFramePipeline::~CFramePipeline() {
  Stop();
  if (m_Thread) m_Thread->WaitFor(UINT32_MAX);
}

bool CFramePipeline::Start() {
  if (m_Thread && !m_Thread->HasEnded()) return false;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Stopping = false;
    m_Running = true;
  }
  m_Thread = CThread::Create([this] { return Run(); });
  if (m_Thread) return true;
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Running = false;
  return false;
}

void CFramePipeline::Stop() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Stopping = true;
  m_Wake.notify_all();
}

bool CFramePipeline::WaitForThread(uint32_t timeoutMs) const { return !m_Thread || m_Thread->WaitFor(timeoutMs); }

bool CFramePipeline::Running() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Running && !m_Stopping;
}

bool CFramePipeline::Push(PendingFrame frame) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  if (!m_Running || m_Stopping || m_Waiting.size() >= kMaxWaiting) return false;
  m_Waiting.push_back(std::move(frame));
  // The thread wakes for the first frame, and again once a group is full.
  if (m_Waiting.size() == 1 || m_Waiting.size() == kMaxBurst) m_Wake.notify_one();
  return true;
}

bool CFramePipeline::WaitUntilIdle(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return m_Idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this] { return m_Waiting.empty() && m_InHand == 0; });
}

std::size_t CFramePipeline::Waiting() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Waiting.size();
}

std::vector<PendingFrame> CFramePipeline::Take() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  m_InHand = 0;
  m_Idle.notify_all();
  m_Wake.wait(lock, [this] { return !m_Waiting.empty() || m_Stopping; });
  m_Wake.wait_for(lock, std::chrono::milliseconds(kGatherMs),
                  [this] { return m_Waiting.size() >= kMaxBurst || m_Stopping; });
  std::vector<PendingFrame> group;
  while (!m_Waiting.empty() && group.size() < kMaxBurst) {
    group.push_back(std::move(m_Waiting.front()));
    m_Waiting.pop_front();
  }
  m_InHand = group.size();
  // Stopping with nothing left: the group is empty and the thread ends.
  if (group.empty()) m_Running = false;
  return group;
}

int CFramePipeline::Run() {
  NameThisThread("qv-frames");
  for (;;) {
    std::vector<PendingFrame> group = Take();
    if (group.empty()) break;
    for (PendingFrame& frame : group) m_Handle(frame);
    m_AfterBurst();
  }
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_InHand = 0;
  m_Idle.notify_all();
  return 0;
}

}  // namespace quorvex
