#include "ui/main/LoopProbe.h"

#include <algorithm>
#include <cstdio>

namespace quorvex::ui {

CLoopProbe::CLoopProbe(int periodMs, QObject* parent) : QObject(parent), m_PeriodMs(periodMs) {
  m_Timer.setTimerType(Qt::PreciseTimer);
  m_Timer.setSingleShot(true);
  connect(&m_Timer, &QTimer::timeout, this, &CLoopProbe::OnTick);
  m_Clock.start();
  m_Expected = m_Clock.nsecsElapsed() + qint64(m_PeriodMs) * 1000000;
  m_Timer.start(m_PeriodMs);
}

void CLoopProbe::OnTick() {
  const qint64 now = m_Clock.nsecsElapsed();
  m_DelaysMs.push_back(std::max<qint64>(0, now - m_Expected) / 1e6);
  m_Expected = now + qint64(m_PeriodMs) * 1000000;
  m_Timer.start(m_PeriodMs);
}

double CLoopProbe::Quantile(double q) const {
  if (m_DelaysMs.empty()) return 0;
  std::vector<double> sorted = m_DelaysMs;
  std::sort(sorted.begin(), sorted.end());
  const auto at = static_cast<size_t>(q * static_cast<double>(sorted.size() - 1));
  return sorted[at];
}

std::string CLoopProbe::Report() const {
  char text[160];
  const double max = m_DelaysMs.empty() ? 0 : *std::max_element(m_DelaysMs.begin(), m_DelaysMs.end());
  snprintf(text, sizeof text, "event-loop delay: %zu samples, p50 %.2f ms, p99 %.2f ms, max %.2f ms",
           m_DelaysMs.size(), Quantile(0.5), Quantile(0.99), max);
  return text;
}

}  // namespace quorvex::ui
