// The window of the headless server: a thread of its own that stands where
// the operator window would. Server threads send it messages synchronously
// (SendWindowMessage returns once the message was handled, as with a real
// window); on UM_NOTIFY it takes every waiting packet-log record from the
// application's ring and prints it as one line.
#pragma once
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/Thread.h"
#include "runtime/WindowLink.h"

namespace quorvex {

class CQuorvexApp;

class CHeadlessWindow : public IWindowLink {
 public:
  // Prints records to `out`; `onQuit` is called (on the window thread) for UM_QUIT.
  CHeadlessWindow(CQuorvexApp& app, FILE* out, std::function<void()> onQuit = {});
  ~CHeadlessWindow() override;
  CHeadlessWindow(const CHeadlessWindow&) = delete;
  CHeadlessWindow& operator=(const CHeadlessWindow&) = delete;

  void SendWindowMessage(int message) override;

  // Records printed so far.
  long RecordsPrinted() const;

 private:
  struct Pending {
    int message = 0;
    bool handled = false;
  };
  int Run();
  void Handle(int message);

  CQuorvexApp& m_App;
  FILE* m_Out;
  std::function<void()> m_OnQuit;

  mutable std::mutex m_Mutex;
  std::condition_variable m_Cond;
  std::deque<std::shared_ptr<Pending>> m_Queue;
  bool m_Closing = false;
  long m_Printed = 0;
  std::unique_ptr<CThread> m_Thread;
};

}  // namespace quorvex
