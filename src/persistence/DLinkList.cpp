#include "persistence/DLinkList.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "persistence/DbRows.h"
#include "persistence/DbSql.h"

namespace quorvex {

using Guard = std::lock_guard<std::recursive_mutex>;

int CDLinkList::ReplaceWithRows(CDbStatement& stmt, DLinkRecords& target) {
  DLinkRecords read;
  const int rc = StepRows(stmt, [&read](sqlite3_stmt* s) {
    auto record = std::make_unique<CDLink>();
    ReadDownlinkRow(s, *record);
    read.push_back(std::move(record));
  });
  if (rc != SQLITE_DONE) {
    m_Result = rc;
    return 2;
  }
  target = std::move(read);
  return 0;
}

int CDLinkList::LoadDownlinks(int32_t devPkey, bool pendingOnly, DLinkRecords* target) {
  Guard lock(m_DbMgr.Mutex());
  CDbStatement stmt;
  m_Result = stmt.Prepare(m_DbMgr.Connection(),
                          pendingOnly ? sql::kSelectPendingDownlinksOfDevice : sql::kSelectDownlinksOfDevice);
  if (m_Result != SQLITE_OK) return 2;
  stmt.BindInt(devPkey);
  if (pendingOnly) stmt.BindInt(0);
  return ReplaceWithRows(stmt, target != nullptr ? *target : m_List);
}

int CDLinkList::GetNextRx2Downlink(DLinkRecords* target, int32_t afterPkey) {
  Guard lock(m_DbMgr.Mutex());
  CDbStatement stmt;
  m_Result = stmt.Prepare(m_DbMgr.Connection(), sql::kSelectNextRx2Downlink);
  if (m_Result != SQLITE_OK) return 2;
  stmt.BindInt(afterPkey);
  return ReplaceWithRows(stmt, target != nullptr ? *target : m_List);
}

int CDLinkList::InsertDownlink(std::unique_ptr<CDLink> record, bool keep) {
  Guard lock(m_DbMgr.Mutex());
  m_Result = 0;
  if (!record) return 3;
  sqlite3* db = m_DbMgr.Connection();
  const CDLink& row = *record;
  const int result = ExecuteWrite(
      db, sql::kInsertDownlink, [&row](CDbStatement& stmt) { BindDownlinkRow(stmt, row); }, m_Result);
  if (result == 0) record->PKEY = static_cast<int32_t>(sqlite3_last_insert_rowid(db));
  if (keep) m_List.push_back(std::move(record));
  return result;
}

int CDLinkList::UpdateDownlink(const CDLink* record) {
  if (record == nullptr || record->PKEY == 0) return 3;
  Guard lock(m_DbMgr.Mutex());
  return ExecuteWrite(
      m_DbMgr.Connection(), sql::kUpdateDownlink,
      [record](CDbStatement& stmt) {
        BindDownlinkRow(stmt, *record);
        stmt.BindInt(record->PKEY);
      },
      m_Result);
}

int CDLinkList::MarkDownlink(CDLink* record, int32_t state, const std::string& suffix) {
  if (record == nullptr || record->PKEY == 0) return 3;
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char stamp[sizeof record->TIME] = {};
  if (strftime(stamp, sizeof stamp, "%m.%d %H.%M.%S", &local) == 0) stamp[0] = 0;
  std::snprintf(record->TIME, sizeof record->TIME, "%s%s", stamp, suffix.c_str());
  record->TXDONE = state;
  return UpdateDownlink(record);
}

int CDLinkList::MarkDownlinkSent(CDLink* record) { return MarkDownlink(record, CDLink::kTxSent, ""); }

int CDLinkList::MarkDownlinkFailed(CDLink* record, const std::string& reason) {
  return MarkDownlink(record, CDLink::kTxFailed, " " + reason);
}

int CDLinkList::DeleteDownlink(int32_t pkey) {
  Guard lock(m_DbMgr.Mutex());
  const int result = ExecuteWithKey(m_DbMgr.Connection(), sql::kDeleteDownlink, pkey, m_Result);
  std::erase_if(m_List, [pkey](const std::unique_ptr<CDLink>& r) { return r->PKEY == pkey; });
  return result;
}

int CDLinkList::DeleteDownlinksOfDevice(int32_t devPkey) {
  Guard lock(m_DbMgr.Mutex());
  const int result = ExecuteWithKey(m_DbMgr.Connection(), sql::kDeleteDownlinksOfDevice, devPkey, m_Result);
  m_List.clear();
  return result;
}

int CDLinkList::DeleteDownlinksOfApplication(int32_t apKey) {
  Guard lock(m_DbMgr.Mutex());
  const int result = ExecuteWithKey(m_DbMgr.Connection(), sql::kDeleteDownlinksOfApplication, apKey, m_Result);
  m_List.clear();
  return result;
}

}  // namespace quorvex
