#include "platform/AsyncWriter.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>

#include "platform/Thread.h"

namespace quorvex {

namespace {

// Set in a forked child: its writers have no thread there, and their lock
// may have been held by a thread that did not come along.
std::atomic<bool> g_InForkedChild{false};

void MarkForkedChild() { g_InForkedChild.store(true, std::memory_order_relaxed); }

void RegisterForkHandler() {
  static const int registered = pthread_atfork(nullptr, nullptr, &MarkForkedChild);
  (void)registered;
}

}  // namespace

CAsyncWriter::CAsyncWriter(int fd) : m_Fd(fd) {
  RegisterForkHandler();
  m_Thread = std::thread([this] { Run(); });
}

CAsyncWriter::~CAsyncWriter() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Stop = true;
  }
  m_Wake.notify_one();
  if (m_Thread.joinable()) m_Thread.join();
}

bool CAsyncWriter::WriteAll(std::string_view text) const {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(m_Fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;  // nowhere to report it
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

void CAsyncWriter::Write(std::string_view text) {
  if (g_InForkedChild.load(std::memory_order_relaxed)) {
    (void)WriteAll(text);
    return;
  }
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Pending.size() + text.size() > kMaxPending) {
      if (m_DroppedToReport == 0) m_NoteAt = m_Pending.size();  // the note goes where the loss began
      m_Dropped += text.size();
      m_DroppedToReport += text.size();
      return;
    }
    // The thread sleeps while nothing is pending, then gathers for a moment:
    // woken when the first text comes and when enough has gathered.
    const std::size_t before = m_Pending.size();
    m_Pending.append(text);
    wake = before == 0 || (before < kGatherBytes && m_Pending.size() >= kGatherBytes);
    ++m_Queued;
  }
  if (wake) m_Wake.notify_one();
}

void CAsyncWriter::Flush() {
  if (g_InForkedChild.load(std::memory_order_relaxed)) return;  // written synchronously there
  std::unique_lock<std::mutex> lock(m_Mutex);
  const unsigned long long target = m_Queued;
  if (m_Written >= target) return;
  ++m_FlushWaiters;
  m_Wake.notify_one();  // cut the gathering short
  m_Done.wait(lock, [&] { return m_Written >= target; });
  --m_FlushWaiters;
}

std::size_t CAsyncWriter::Dropped() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Dropped;
}

void CAsyncWriter::Run() {
  NameThisThread("qv-output");
  LowerThisThreadPriority(kBackgroundNice);  // the threads that queue text go first
  std::string batch;
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    m_Wake.wait(lock, [&] { return m_Stop || !m_Pending.empty() || m_DroppedToReport > 0; });
    if (m_Pending.empty() && m_DroppedToReport == 0 && m_Stop) break;
    // Gather what follows for a moment: under load lines come in bursts, and
    // a few large writes cost far less than one per line.
    m_Wake.wait_for(lock, std::chrono::milliseconds(kGatherMs),
                    [&] { return m_Stop || m_FlushWaiters > 0 || m_Pending.size() >= kGatherBytes; });
    batch.clear();
    batch.swap(m_Pending);  // the next texts go to the emptied buffer meanwhile
    const unsigned long long taken = m_Queued;
    const std::size_t dropped = m_DroppedToReport;
    const std::size_t noteAt = std::min(m_NoteAt, batch.size());
    m_DroppedToReport = 0;
    lock.unlock();
    if (dropped == 0) {
      (void)WriteAll(batch);
    } else {
      char note[96];
      const int length =
          snprintf(note, sizeof note, "... %zu bytes of output lost: the output fell behind\r\n", dropped);
      (void)WriteAll(std::string_view(batch).substr(0, noteAt));
      if (length > 0) (void)WriteAll(std::string_view(note, static_cast<std::size_t>(length)));
      (void)WriteAll(std::string_view(batch).substr(noteAt));
    }
    // Keep the larger buffer's memory for the next round, within reason.
    if (batch.capacity() > (1u << 20)) std::string().swap(batch);
    lock.lock();
    m_Written = taken;
    m_Done.notify_all();
  }
  m_Done.notify_all();
}

}  // namespace quorvex
