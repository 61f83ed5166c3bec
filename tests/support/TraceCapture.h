// Captures the trace lines of this process while it exists, through the
// trace's in-process line observer (nothing is lost, whatever the burst).
#pragma once
#include <mutex>
#include <string>
#include <vector>

namespace quorvex::test {

class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // Every line traced so far.
  std::vector<std::string> Lines();
  // True when a line containing `text` has been traced.
  bool Saw(const std::string& text);
  // How many lines contain `text`.
  int Count(const std::string& text);
  // Forgets the lines traced so far.
  void Clear();

 private:
  std::mutex m_Mutex;
  std::vector<std::string> m_Lines;
};

}  // namespace quorvex::test
