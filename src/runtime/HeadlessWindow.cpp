#include "runtime/HeadlessWindow.h"

#include "persistence/Log.h"
#include "platform/AsyncWriter.h"
#include "runtime/QuorvexApp.h"
#include "util/ControlText.h"

namespace quorvex {

CHeadlessWindow::CHeadlessWindow(CQuorvexApp& app, FILE* out, std::function<void()> onQuit)
    : m_App(app), m_Out(out), m_OnQuit(std::move(onQuit)) {}

CHeadlessWindow::CHeadlessWindow(CQuorvexApp& app, CAsyncWriter& out, std::function<void()> onQuit)
    : m_App(app), m_Writer(&out), m_OnQuit(std::move(onQuit)) {}

void CHeadlessWindow::SendWindowMessage(int message) {
  std::lock_guard<std::recursive_mutex> lock(m_Mutex);
  if (message == UM_NOTIFY) {
    CLog record;
    std::string lines;
    while (m_App.TakeLogRecord(record)) {
      lines += EscapeControlChars(FormatLogLine(record));
      lines += '\n';
      ++m_Printed;
    }
    if (m_Writer != nullptr) {
      m_Writer->Write(lines);
    } else if (m_Out != nullptr) {
      fputs(lines.c_str(), m_Out);
      fflush(m_Out);
    }
  } else if (message == UM_QUIT) {
    if (m_OnQuit) m_OnQuit();
  }
  // UM_GATEWAYS: there is no gateway list on screen to refresh.
}

long CHeadlessWindow::RecordsPrinted() const {
  std::lock_guard<std::recursive_mutex> lock(m_Mutex);
  return m_Printed;
}

}  // namespace quorvex
