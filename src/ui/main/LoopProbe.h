// CLoopProbe: measures how late the window thread's event loop answers. A
// timer asks to be woken every period; how much later than asked it runs is
// the loop's delay at that moment (a busy or blocked window thread shows up
// here as it would to an operator clicking).
#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <string>
#include <vector>

namespace quorvex::ui {

class CLoopProbe : public QObject {
  Q_OBJECT
 public:
  explicit CLoopProbe(int periodMs = 10, QObject* parent = nullptr);
  // "event-loop delay: N samples, p50 A ms, p99 B ms, max C ms".
  std::string Report() const;
  // The delay quantile (0..1) in milliseconds; 0 without samples.
  double Quantile(double q) const;

 private:
  void OnTick();

  int m_PeriodMs;
  QTimer m_Timer;
  QElapsedTimer m_Clock;
  qint64 m_Expected = 0;  // ns
  std::vector<double> m_DelaysMs;
};

}  // namespace quorvex::ui
