#include "downlink/JitManager.h"

#include <algorithm>
#include <climits>

#include "lorawan/LoRaFrame.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "runtime/Trace.h"

namespace quorvex {

CJitManager::~CJitManager() { WaitForThreads(2000); }

void CJitManager::SetTxSent(TxSentCallback callback, void* owner) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  m_TxSent = callback;
  m_TxSentOwner = owner;
}

void CJitManager::NotifyTxSent(JitRequest& request) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  if (m_TxSent) m_TxSent(request, m_TxSentOwner);
}

void CJitManager::AddRequest(std::unique_ptr<JitRequest> request) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  PurgeStale();
  request->m_Epoch = m_Epoch.load();
  const CDevice* device = request->m_Device.get();
  if (device == nullptr) {
    request->m_ForwardTick = request->m_DueTick = INT64_MIN;  // dropped at the next pass
  } else {
    const int64_t window = device->RXTICK + request->m_Delay;
    // Join requests are not forwarded; data uplinks once, when their age
    // passes delay - kForwardLeadMs.
    request->m_ForwardTick = device->m_UpMType == kMTypeJoinRequest ? INT64_MAX : window - kForwardLeadMs + 1;
    request->m_DueTick = window - kSendLeadMs;
  }
  m_NextEventTick = std::min({m_NextEventTick, request->m_ForwardTick, request->m_DueTick});
  m_NextDueTick = std::min(m_NextDueTick, request->m_DueTick);
  m_Requests.push_back(std::move(request));
}

void CJitManager::DeleteAll() {
  m_Epoch.fetch_add(1);
  std::unique_lock<std::recursive_mutex> lock(m_Lock, std::try_to_lock);
  if (lock.owns_lock()) PurgeStale();
}

size_t CJitManager::Count() {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  PurgeStale();
  return m_Requests.size();
}

CDevice* CJitManager::FindQueued(const CDeviceRow& device) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  PurgeStale();
  for (auto& request : m_Requests)
    if (request && request->m_Device && request->m_Device->PKEY == device.PKEY) return request->m_Device.get();
  return nullptr;
}

void CJitManager::RemoveQueued(const CDeviceRow& device) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  PurgeStale();
  for (auto it = m_Requests.begin(); it != m_Requests.end(); ++it) {
    if (*it && (*it)->m_Device && (*it)->m_Device->PKEY == device.PKEY) {
      m_Requests.erase(it);
      return;
    }
  }
}

void CJitManager::PurgeStale() {
  const uint32_t epoch = m_Epoch.load();
  if (epoch == m_PurgedEpoch) return;
  m_PurgedEpoch = epoch;
  std::erase_if(m_Requests, [epoch](const std::unique_ptr<JitRequest>& r) { return r->m_Epoch != epoch; });
}

int CJitManager::RunThread(intptr_t, intptr_t) {
  NameThisThread("qv-scheduler");
  TraceLine("CJitManager::RunThread Start\r\n");
  const std::shared_ptr<CEvent> wake = ThisThreadWakeEvent();
  while (wake) {
    wake->Wait(kPollMs);
    wake->Reset();
    if (!ShouldRun()) break;
    ServePass(GetTickCount64());
  }
  {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    PurgeStale();
    // Only the current run may mark the manager idle; a loop of an earlier
    // run must not clear the flags of the run that replaced it.
    EndRun();
  }
  TraceLine("CJitManager::RunThread Stop\r\n");
  return 0;
}

}  // namespace quorvex
