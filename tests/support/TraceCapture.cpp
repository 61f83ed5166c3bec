#include "support/TraceCapture.h"

#include "runtime/Trace.h"

namespace quorvex::test {

TraceCapture::TraceCapture() {
  trace_testing::SetLineObserver([this](std::string_view line) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Lines.emplace_back(line);
  });
}

TraceCapture::~TraceCapture() { trace_testing::SetLineObserver({}); }

std::vector<std::string> TraceCapture::Lines() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Lines;
}

bool TraceCapture::Saw(const std::string& text) { return Count(text) > 0; }

int TraceCapture::Count(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  int count = 0;
  for (const auto& line : m_Lines)
    if (line.find(text) != std::string::npos) ++count;
  return count;
}

void TraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Lines.clear();
}

}  // namespace quorvex::test
