#include "gateway/GateManager.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "persistence/DbManager.h"
#include "persistence/Log.h"
#include "runtime/Settings.h"

namespace quorvex {
namespace {

constexpr char kSearchingText[] = "Gateway Searching ";
// The dots grow while the text is at most this long, then start again.
constexpr size_t kSearchingMaxLength = 50;

}  // namespace

void CGateManager::Attach(CDbManager* db, const COptionWord* autoReg) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  m_Db = db;
  m_AutoReg = autoReg;
}

CGateway* CGateManager::SetGatewayUpdate(const SocketAddress& sender, const char* euiText, int pull) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  CGateway* gateway = nullptr;
  for (auto& record : m_Gateways) {
    // Operators may type the EUI in lower case: the first match in list
    // order wins, whatever the case.
    if (strcasecmp(record->ID, euiText) == 0) {
      gateway = record.get();
      gateway->m_IsNew = 0;
      break;
    }
  }
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
  } else if (changed) {
    UpdateGateway(gateway);
  }

  if (pull == 1) {
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
  m_Gateways.push_back(std::move(gateway));
  return result;
}

int CGateManager::UpdateGateway(const CGateway* gateway) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  if (m_Db == nullptr) return 2;
  return m_Db->UpdateGatewayRow(gateway, m_Result);
}

int CGateManager::DeleteGateway(int32_t pkey) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  const int result = m_Db != nullptr ? m_Db->DeleteGatewayRow(pkey, m_Result) : 2;
  auto deleted = std::stable_partition(m_Gateways.begin(), m_Gateways.end(),
                                       [pkey](const std::unique_ptr<CGateway>& g) { return g->PKEY != pkey; });
  std::move(deleted, m_Gateways.end(), std::back_inserter(m_Retired));
  m_Gateways.erase(deleted, m_Gateways.end());
  return result;
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
