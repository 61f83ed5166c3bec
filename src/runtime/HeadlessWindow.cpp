#include "runtime/HeadlessWindow.h"

#include "persistence/Log.h"
#include "runtime/QuorvexApp.h"

namespace quorvex {

CHeadlessWindow::CHeadlessWindow(CQuorvexApp& app, FILE* out, std::function<void()> onQuit)
    : m_App(app), m_Out(out), m_OnQuit(std::move(onQuit)) {
  m_Thread = CThread::Create([this] { return Run(); });
}

CHeadlessWindow::~CHeadlessWindow() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Closing = true;
  }
  m_Cond.notify_all();
  // The window thread ends once its queue is empty; senders waiting on it
  // are released by the close.
  if (m_Thread) m_Thread->WaitFor(UINT32_MAX);
}

void CHeadlessWindow::SendWindowMessage(int message) {
  if (m_Thread && m_Thread->IsCurrent()) {  // from a handler: no queue, no wait
    Handle(message);
    return;
  }
  auto pending = std::make_shared<Pending>();
  pending->message = message;
  std::unique_lock<std::mutex> lock(m_Mutex);
  if (m_Closing || !m_Thread) return;
  m_Queue.push_back(pending);
  m_Cond.notify_all();
  m_Cond.wait(lock, [&] { return pending->handled || m_Closing; });
}

long CHeadlessWindow::RecordsPrinted() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Printed;
}

int CHeadlessWindow::Run() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    m_Cond.wait(lock, [this] { return !m_Queue.empty() || m_Closing; });
    if (m_Queue.empty()) return 0;  // closing, nothing left
    auto pending = m_Queue.front();
    m_Queue.pop_front();
    lock.unlock();
    Handle(pending->message);
    lock.lock();
    pending->handled = true;
    m_Cond.notify_all();
  }
}

void CHeadlessWindow::Handle(int message) {
  if (message == UM_NOTIFY) {
    CLog record;
    long printed = 0;
    while (m_App.TakeLogRecord(record)) {
      const std::string line = FormatLogLine(record);
      fprintf(m_Out, "%s\n", line.c_str());
      ++printed;
    }
    fflush(m_Out);
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Printed += printed;
  } else if (message == UM_QUIT) {
    if (m_OnQuit) m_OnQuit();
  }
  // UM_GATEWAYS: there is no gateway list on screen to refresh.
}

}  // namespace quorvex
