#include "gateway/GateManager.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <iterator>

#include "persistence/DbManager.h"
#include "persistence/Log.h"
#include "runtime/Settings.h"
#include "runtime/Trace.h"

namespace quorvex {
namespace {

// The index key of an ID: datagrams and operators may differ in case.
std::string IdKey(const char* id) {
  std::string key(id);
  for (char& c : key) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return key;
}

constexpr char kSearchingText[] = "Gateway Searching ";
// The dots grow while the text is at most this long, then start again.
constexpr size_t kSearchingMaxLength = 50;

}  // namespace

void CGateManager::Attach(CDbManager* db, const COptionWord* autoReg) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  m_Db = db;
  m_AutoReg = autoReg;
}

CGateway* CGateManager::FindGateway(const char* euiText) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  RefreshIndex();
  const auto found = m_ById.find(IdKey(euiText));
  return found != m_ById.end() ? found->second : nullptr;
}

void CGateManager::RefreshIndex() {
  if (m_IndexedSize == m_Gateways.size()) return;
  m_ById.clear();
  // The first record in list order wins, as a walk of the list would find.
  for (auto& record : m_Gateways) m_ById.emplace(IdKey(record->ID), record.get());
  m_IndexedSize = m_Gateways.size();
}

CGateway* CGateManager::SetGatewayUpdate(const SocketAddress& sender, const char* euiText, int pull) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  CGateway* gateway = FindGateway(euiText);
  if (gateway != nullptr) gateway->m_IsNew = 0;
  std::unique_ptr<CGateway> created;
  if (gateway == nullptr) {
    created = std::make_unique<CGateway>();
    gateway = created.get();
    gateway->m_IsNew = 1;
    gateway->ACTIVE = (m_AutoReg != nullptr && m_AutoReg->Load() == 1) ? 1 : 0;
  }

  bool changed = false;
  const std::string ip = AddressText(sender);
  if (ip != gateway->IP) {
    SetField(gateway->IP, ip);
    changed = true;
  }
  if (strcmp(euiText, gateway->ID) != 0) {  // exact: a lower-case ID is rewritten
    SetField(gateway->ID, euiText);
    changed = true;
  }
  if (created) {
    InsertGateway(std::move(created));
    if (gateway->ACTIVE == 0) BoundInactive(gateway);
  } else if (changed) {
    UpdateGateway(gateway);
  }

  if (pull == 1) {
    // The protocol has no authentication: another host that claims a
    // gateway's EUI receives its downlinks. The operator can at least see it.
    if (gateway->m_PullSeen != 0 && gateway->m_PullAddr.sin_addr.s_addr != sender.sin_addr.s_addr)
      TraceLine("Gateway %s now pulls from another host: %s (was %s)\r\n", gateway->ID, ip.c_str(),
                AddressText(gateway->m_PullAddr).c_str());
    gateway->m_PullSeen = 1;
    gateway->m_PullAddr = sender;
  } else {
    gateway->m_PushAddr = sender;
  }
  return gateway;
}

int CGateManager::LoadGateways() {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  if (m_Db == nullptr) return 2;
  std::vector<CGatewayRow> rows;
  const int result = m_Db->LoadGatewayRows(rows, m_Result);
  for (const CGatewayRow& row : rows) {
    auto gateway = std::make_unique<CGateway>();
    static_cast<CGatewayRow&>(*gateway) = row;
    if (gateway->ACTIVE == 0) m_Inactive.push_back(gateway.get());
    m_Gateways.push_back(std::move(gateway));
  }
  return result;
}

int CGateManager::InsertGateway(std::unique_ptr<CGateway> gateway) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  if (!gateway) {
    m_Result = 0;
    return 3;
  }
  // A failed insert keeps the record in memory with PKEY 0; the registry
  // goes on working from the list.
  const int result = m_Db ? m_Db->InsertGatewayRow(gateway.get(), m_Result) : 2;
  RefreshIndex();
  m_ById.emplace(IdKey(gateway->ID), gateway.get());
  if (gateway->ACTIVE == 0) m_Inactive.push_back(gateway.get());
  m_Gateways.push_back(std::move(gateway));
  m_IndexedSize = m_Gateways.size();
  return result;
}

int CGateManager::UpdateGateway(const CGateway* gateway) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  if (m_Db == nullptr) return 2;
  return m_Db->UpdateGatewayRow(gateway, m_Result);
}

template <typename Predicate>
void CGateManager::Retire(Predicate gone) {
  auto retired = std::stable_partition(m_Gateways.begin(), m_Gateways.end(),
                                       [&gone](const std::unique_ptr<CGateway>& g) { return !gone(*g); });
  for (auto it = retired; it != m_Gateways.end(); ++it) Forget(it->get());
  std::move(retired, m_Gateways.end(), std::back_inserter(m_Retired));
  m_Gateways.erase(retired, m_Gateways.end());
  m_IndexedSize = SIZE_MAX;  // rebuilt at the next lookup
}

int CGateManager::DeleteGateway(int32_t pkey) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  const int result = m_Db != nullptr ? m_Db->DeleteGatewayRow(pkey, m_Result) : 2;
  Retire([pkey](const CGateway& g) { return g.PKEY == pkey; });
  return result;
}

void CGateManager::TakeRow(CGateway& gateway, const CGatewayRow& row) {
  if (gateway.ACTIVE != row.ACTIVE) {
    gateway.ACTIVE = row.ACTIVE;
    if (gateway.ACTIVE == 0) m_Inactive.push_back(&gateway);  // an eviction candidate again
  }
  if (strcmp(gateway.IP, row.IP) != 0) memcpy(gateway.IP, row.IP, sizeof gateway.IP);
}

int CGateManager::ReloadGateways() {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  if (m_Db == nullptr) return 2;
  std::vector<CGatewayRow> rows;
  const int result = m_Db->LoadGatewayRows(rows, m_Result);
  if (result != 0) return result;
  std::unordered_map<int32_t, const CGatewayRow*> byKey;
  for (const CGatewayRow& row : rows) byKey.emplace(row.PKEY, &row);
  Retire([&byKey](const CGateway& g) {
    const auto row = byKey.find(g.PKEY);
    return row == byKey.end() || strcmp(row->second->ID, g.ID) != 0;
  });
  // In the table's order, as a load at start makes the list: where two
  // records share an ID (one registered from a datagram before the other
  // program added its row), the lookup finds the one a restart would find.
  std::unordered_map<int32_t, std::unique_ptr<CGateway>> listed;
  for (auto& gateway : m_Gateways) {
    if (listed.contains(gateway->PKEY)) {  // a second record with one key: retired, never freed
      Forget(gateway.get());
      m_Retired.push_back(std::move(gateway));
      continue;
    }
    listed.emplace(gateway->PKEY, std::move(gateway));
  }
  std::vector<std::unique_ptr<CGateway>> ordered;
  for (const CGatewayRow& row : rows) {
    auto found = listed.find(row.PKEY);
    if (found != listed.end()) {
      TakeRow(*found->second, row);
      ordered.push_back(std::move(found->second));
      continue;
    }
    auto gateway = std::make_unique<CGateway>();
    static_cast<CGatewayRow&>(*gateway) = row;
    if (gateway->ACTIVE == 0) m_Inactive.push_back(gateway.get());
    ordered.push_back(std::move(gateway));
  }
  m_Gateways = std::move(ordered);
  m_IndexedSize = SIZE_MAX;
  return 0;
}

void CGateManager::Forget(const CGateway* gateway) {
  std::erase(m_Inactive, gateway);
}

void CGateManager::BoundInactive(CGateway* keep) {
  while (m_Inactive.size() > kMaxInactive) {
    CGateway* oldest = m_Inactive.front();
    m_Inactive.pop_front();
    if (oldest == keep || oldest->ACTIVE != 0) continue;  // switched on by the operator since
    TraceLine("Gateway %s inactive and unconfirmed, removed to make room (more than %zu inactive)\r\n",
              oldest->ID, kMaxInactive);
    if (m_Db != nullptr) m_Db->DeleteGatewayRow(oldest->PKEY, m_Result);
    auto it = std::find_if(m_Gateways.begin(), m_Gateways.end(),
                           [oldest](const std::unique_ptr<CGateway>& g) { return g.get() == oldest; });
    if (it == m_Gateways.end()) continue;
    // A gateway that served in this run may still carry a queued reply of a
    // time it was active; one that never did is freed.
    const auto indexed = m_ById.find(IdKey(oldest->ID));
    if (indexed != m_ById.end() && indexed->second == oldest) m_ById.erase(indexed);
    if (oldest->m_Connected != 0) m_Retired.push_back(std::move(*it));
    m_Gateways.erase(it);
    m_IndexedSize = m_Gateways.size();
  }
}

bool CGateManager::HasGatewayId(const std::string& id, int32_t exceptPkey) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  return std::any_of(m_Gateways.begin(), m_Gateways.end(), [&id, exceptPkey](const std::unique_ptr<CGateway>& g) {
    return g->PKEY != exceptPkey && strcasecmp(g->ID, id.c_str()) == 0;
  });
}

void CGateManager::ResetConnections() {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  for (auto& gateway : m_Gateways) {
    gateway->m_Connected = 0;
    gateway->m_LastPullTick = 0;
  }
}

size_t CGateManager::Count() {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  return m_Gateways.size();
}

int CGateManager::CountConnected(uint64_t nowTick) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  int count = 0;
  for (const auto& gateway : m_Gateways) {
    if (gateway->m_Connected == 0) continue;
    // Another thread may record a pull between the caller's tick and the lock.
    const bool fresh =
        nowTick < gateway->m_LastPullTick || nowTick - gateway->m_LastPullTick < kConnectedWindowMs;
    if (fresh) ++count;
  }
  return count;
}

std::string NextGatewayStatusText(const std::string& current, int connected) {
  if (connected > 0) return "Gateway connected : " + std::to_string(connected);
  const bool searching = current.starts_with(kSearchingText);
  if (searching && current.size() <= kSearchingMaxLength) return current + " .";
  return kSearchingText;
}

int GatewayStatusPeriodMs(int connected) { return connected > 0 ? 1000 : 150; }

}  // namespace quorvex
