#include "forwarding/ForwardQueue.h"

#include "forwarding/HttpManager.h"

namespace quorvex {

CForwardQueue::AddResult CForwardQueue::Add(std::unique_ptr<HttpForwardRequest>& request) {
  if (m_Queued >= m_Limits.maxQueued) return AddResult::Full;
  const auto found = m_Servers.find(request->m_BaseUrl);
  const std::size_t serverQueued = found != m_Servers.end() ? found->second.queued : 0;
  if (serverQueued >= m_Limits.maxQueuedPerServer) return AddResult::ServerFull;
  ++m_Servers[request->m_BaseUrl].queued;
  ++m_Queued;
  const int32_t device = request->m_DevicePkey;
  DeviceLane& lane = m_Devices[device];
  lane.pending.push_back(std::move(request));
  if (!lane.busy && lane.pending.size() == 1) MakeReady(device, lane);
  return AddResult::Added;
}

std::unique_ptr<HttpForwardRequest> CForwardQueue::Take() {
  while (!m_Runnable.empty()) {
    const std::string baseUrl = std::move(m_Runnable.front());
    m_Runnable.pop_front();
    ServerLane& server = m_Servers[baseUrl];
    server.listed = false;
    if (server.ready.empty() || server.inFlight >= m_Limits.maxInFlightPerServer) continue;
    const int32_t device = server.ready.front();
    server.ready.pop_front();
    DeviceLane& lane = m_Devices[device];
    std::unique_ptr<HttpForwardRequest> request = std::move(lane.pending.front());
    lane.pending.pop_front();
    lane.busy = true;
    --server.queued;
    --m_Queued;
    ++server.inFlight;
    ++m_InFlight;
    List(baseUrl, server);  // behind the other servers: they take turns
    return request;
  }
  return nullptr;
}

void CForwardQueue::Finish(int32_t device, const std::string& baseUrl) {
  const auto server = m_Servers.find(baseUrl);
  if (server != m_Servers.end() && server->second.inFlight > 0) {
    --server->second.inFlight;
    --m_InFlight;
    List(baseUrl, server->second);
  }
  const auto lane = m_Devices.find(device);
  if (lane != m_Devices.end()) {
    lane->second.busy = false;
    if (lane->second.pending.empty()) {
      m_Devices.erase(lane);
    } else {
      MakeReady(device, lane->second);
    }
  }
  ForgetIfIdle(baseUrl);
}

void CForwardQueue::MakeReady(int32_t device, const DeviceLane& lane) {
  const std::string& baseUrl = lane.pending.front()->m_BaseUrl;
  ServerLane& server = m_Servers[baseUrl];
  server.ready.push_back(device);
  List(baseUrl, server);
}

void CForwardQueue::List(const std::string& baseUrl, ServerLane& server) {
  if (server.listed || server.ready.empty() || server.inFlight >= m_Limits.maxInFlightPerServer) return;
  m_Runnable.push_back(baseUrl);
  server.listed = true;
}

void CForwardQueue::ForgetIfIdle(const std::string& baseUrl) {
  const auto server = m_Servers.find(baseUrl);
  if (server == m_Servers.end()) return;
  const ServerLane& lane = server->second;
  if (lane.queued == 0 && lane.inFlight == 0 && !lane.listed && lane.ready.empty()) m_Servers.erase(server);
}

}  // namespace quorvex
