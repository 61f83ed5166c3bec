// CAsyncWriter: hands text to a file descriptor (stderr, stdout) from a
// thread of its own, so that the radio threads never wait for a terminal, a
// pipe or a disk, and so that text written in a burst leaves in a few large
// writes instead of one system call per line.
//
// Texts keep their order and each one reaches the descriptor whole, never
// interleaved with another. When the descriptor falls behind by more than
// kMaxPending bytes, further texts are dropped and a line telling how many
// bytes were lost is written once it catches up. After a fork the child
// writes synchronously (it has no writer thread).
#pragma once
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace quorvex {

class CAsyncWriter {
 public:
  static constexpr std::size_t kMaxPending = 8u << 20;
  // Text reaches the descriptor at most this long after it was queued (less
  // when this much is pending, or when someone flushes).
  static constexpr int kGatherMs = 5;
  static constexpr std::size_t kGatherBytes = 64u << 10;

  explicit CAsyncWriter(int fd);
  // Writes what is pending, then ends the thread.
  ~CAsyncWriter();
  CAsyncWriter(const CAsyncWriter&) = delete;
  CAsyncWriter& operator=(const CAsyncWriter&) = delete;

  // Queues `text`; never waits for the descriptor.
  void Write(std::string_view text);
  // Returns once everything queued before the call has been handed to the
  // descriptor (or failed to be).
  void Flush();
  // Bytes dropped so far because the descriptor fell behind.
  std::size_t Dropped();

 private:
  void Run();
  // Writes all of `text`; false when the descriptor refused it.
  bool WriteAll(std::string_view text) const;

  const int m_Fd;
  std::mutex m_Mutex;
  std::condition_variable m_Wake;
  std::condition_variable m_Done;
  std::string m_Pending;           // queued, not yet taken by the thread
  unsigned long long m_Queued = 0;   // texts queued so far
  unsigned long long m_Written = 0;  // texts handed to the descriptor so far
  std::size_t m_Dropped = 0;
  std::size_t m_DroppedToReport = 0;
  std::size_t m_NoteAt = 0;  // offset in m_Pending where the unreported loss began
  int m_FlushWaiters = 0;
  bool m_Stop = false;
  std::thread m_Thread;
};

}  // namespace quorvex
