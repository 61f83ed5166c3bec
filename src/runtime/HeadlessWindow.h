// The window of the headless server. Server threads send it messages
// synchronously, as with a real window: SendWindowMessage returns once the
// message was handled. It handles them on the sending thread under its own
// lock, which makes it the single reader of the log ring that a window
// thread would be, without a thread switch per packet-log record. On
// UM_NOTIFY it takes every waiting record from the application's ring and
// prints it as one line.
#pragma once
#include <cstdio>
#include <functional>
#include <mutex>

#include "runtime/WindowLink.h"

namespace quorvex {

class CAsyncWriter;
class CQuorvexApp;

class CHeadlessWindow : public IWindowLink {
 public:
  // Prints records to `out` (flushed after each message); `onQuit` is
  // called for UM_QUIT.
  CHeadlessWindow(CQuorvexApp& app, FILE* out, std::function<void()> onQuit = {});
  // Prints records through `out`, which writes them from a thread of its
  // own: the radio threads that notify never wait for the terminal.
  CHeadlessWindow(CQuorvexApp& app, CAsyncWriter& out, std::function<void()> onQuit = {});
  CHeadlessWindow(const CHeadlessWindow&) = delete;
  CHeadlessWindow& operator=(const CHeadlessWindow&) = delete;

  void SendWindowMessage(int message) override;

  // Records printed so far.
  long RecordsPrinted() const;

 private:
  CQuorvexApp& m_App;
  FILE* m_Out = nullptr;
  CAsyncWriter* m_Writer = nullptr;
  std::function<void()> m_OnQuit;

  // Serialises the handling of messages: one reader of the ring at a time.
  mutable std::recursive_mutex m_Mutex;
  long m_Printed = 0;
};

}  // namespace quorvex
