#include "forwarding/HttpManager.h"

#include <algorithm>

namespace quorvex {

namespace {
constexpr uint32_t kPollMs = 25;
}

CHttpManager::~CHttpManager() {
  StopWorkers();
  WaitForThreads(2000);
}

int CHttpManager::StartWorkers(int count) {
  count = std::clamp(count, 1, kMaxWorkers);
  const uint32_t generation = m_RunGeneration.fetch_add(1) + 1;
  m_WorkerCount = count;
  m_Run = 1;
  int started = 0;
  for (int i = 0; i < count; ++i) {
    auto info = std::make_shared<HttpWorkerInfo>();
    info->m_Index = i;
    info->m_Manager = this;
    info->m_Event = std::make_shared<CEvent>();
    info->m_Generation = generation;
    m_Workers[i] = info;
    RetireThread(std::move(m_WorkerThreads[i]));
    m_WorkerThreads[i] = CThread::Create([info] { return WorkerThread(info); });
    if (m_WorkerThreads[i]) ++started;
  }
  return started;
}

void CHttpManager::StopWorkers() {
  m_Run = 0;
  const int count = m_WorkerCount.load();
  for (int i = 0; i < count; ++i)
    if (m_Workers[i]) m_Workers[i]->m_Event->Set();
}

void CHttpManager::ForwardUplink(const CDevice&) {}

void CHttpManager::AddRequest(std::unique_ptr<HttpRequest> request) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  m_Requests.push_back(std::move(request));
}

size_t CHttpManager::Count() {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  return m_Requests.size();
}

bool CHttpManager::WaitForThreads(uint32_t timeoutMs) {
  bool ended = CBaseThread::WaitForThreads(timeoutMs);
  for (auto& thread : m_WorkerThreads)
    if (thread) ended = thread->WaitFor(timeoutMs) && ended;
  return ended;
}

int CHttpManager::WorkerThread(std::shared_ptr<HttpWorkerInfo> info) {
  CHttpManager& manager = *info->m_Manager;
  for (;;) {
    info->m_Event->Wait(kPollMs);
    info->m_Event->Reset();
    if (manager.m_Run.load() == 0 || manager.m_RunGeneration.load() != info->m_Generation) break;
    std::unique_ptr<HttpRequest> request;
    {
      std::lock_guard<std::recursive_mutex> lock(manager.m_Lock);
      if (!manager.m_Requests.empty()) {
        request = std::move(manager.m_Requests.front());
        manager.m_Requests.erase(manager.m_Requests.begin());
      }
    }
    if (request) manager.Process(*request);
  }
  return 0;
}

}  // namespace quorvex
