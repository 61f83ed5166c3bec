#include "persistence/DbChangeWatcher.h"

#include <chrono>
#include <utility>

#include "persistence/DbManager.h"
#include "platform/Thread.h"

namespace quorvex {

CDbChangeWatcher::CDbChangeWatcher(CDbManager& db, std::function<void()> onChange, int pollMs)
    : m_Db(db), m_OnChange(std::move(onChange)), m_PollMs(pollMs) {
  m_Version = m_Db.DataVersion();
  m_Thread = std::thread([this] { Run(); });
}

CDbChangeWatcher::~CDbChangeWatcher() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Stop = true;
  }
  m_Wake.notify_one();
  if (m_Thread.joinable()) m_Thread.join();
}

uint64_t CDbChangeWatcher::Changes() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Changes;
}

void CDbChangeWatcher::Run() {
  NameThisThread("qv-dbwatch");
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_Mutex);
      if (m_Wake.wait_for(lock, std::chrono::milliseconds(m_PollMs), [this] { return m_Stop; })) return;
    }
    const int64_t version = m_Db.DataVersion();
    // An unreadable version (a closed file) is no change; the next good
    // reading after it is compared with the last good one.
    if (version < 0 || version == m_Version) continue;
    m_Version = version;
    m_OnChange();
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_Changes;
  }
}

}  // namespace quorvex
