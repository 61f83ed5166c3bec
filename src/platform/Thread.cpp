#include "platform/Thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>

namespace quorvex {

std::unique_ptr<CThread> CThread::Create(Body body) {
  std::unique_ptr<CThread> thread(new CThread());
  auto state = std::make_shared<State>();
  thread->m_State = state;
  try {
    thread->m_Thread = std::thread([state, body = std::move(body)]() {
      int code = 0;
      try {
        code = body();
      } catch (...) {
        // Nothing crosses a thread boundary: a body that throws ends its
        // thread with -1 instead of terminating the process.
        code = -1;
      }
      std::lock_guard<std::mutex> lock(state->mutex);
      state->exitCode = code;
      state->done = true;
      state->ended.notify_all();
    });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return thread;
}

CThread::~CThread() {
  if (!m_Thread.joinable()) return;
  if (IsCurrent()) {
    m_Thread.detach();
  } else if (HasEnded()) {
    m_Thread.join();
  } else {
    m_Thread.detach();
  }
}

bool CThread::WaitFor(uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(m_State->mutex);
  return m_State->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_State->done; });
}

bool CThread::HasEnded() const {
  std::lock_guard<std::mutex> lock(m_State->mutex);
  return m_State->done;
}

int CThread::ExitCode() const {
  std::lock_guard<std::mutex> lock(m_State->mutex);
  return m_State->exitCode;
}

bool CThread::IsCurrent() const { return m_Thread.get_id() == std::this_thread::get_id(); }

void NameThisThread(const char* name) {
  char cut[16];
  snprintf(cut, sizeof cut, "%s", name);
  (void)::pthread_setname_np(::pthread_self(), cut);
}

void LowerThisThreadPriority(int steps) {
  // On Linux a thread id names one thread for setpriority: the rest of the
  // process keeps its priority.
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, tid);
  if (current == -1 && errno != 0) return;
  (void)::setpriority(PRIO_PROCESS, tid, current + steps);
}

}  // namespace quorvex
