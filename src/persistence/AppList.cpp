#include "persistence/AppList.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "persistence/DbRows.h"
#include "persistence/DbSql.h"

namespace quorvex {

using Guard = std::lock_guard<std::recursive_mutex>;

int CAppList::ReadApplications(std::vector<std::unique_ptr<CApplication>>& read) {
  CDbStatement stmt;
  m_Result = stmt.Prepare(m_DbMgr.Connection(), sql::kSelectApplications);
  if (m_Result != SQLITE_OK) return 2;
  const int rc = StepRows(stmt, [&read](sqlite3_stmt* s) {
    auto record = std::make_unique<CApplication>();
    ReadApplicationRow(s, *record);
    read.push_back(std::move(record));
  });
  if (rc != SQLITE_DONE) {
    m_Result = rc;
    return 2;
  }
  return 0;
}

int CAppList::LoadApplications() {
  Guard lock(m_DbMgr.Mutex());
  std::vector<std::unique_ptr<CApplication>> read;
  if (ReadApplications(read) != 0) return 2;
  for (auto& record : read) m_List.push_back(std::move(record));
  return 0;
}

int CAppList::ReloadApplications() {
  Guard lock(m_DbMgr.Mutex());
  std::vector<std::unique_ptr<CApplication>> read;
  if (ReadApplications(read) != 0) return 2;
  // The objects of rows that are still there stay, so that a pointer taken
  // under this lock by the window keeps naming the same application.
  for (auto& fresh : read) {
    auto kept = std::find_if(m_List.begin(), m_List.end(), [&fresh](const std::unique_ptr<CApplication>& r) {
      return r && r->PKEY == fresh->PKEY;
    });
    if (kept == m_List.end()) continue;
    **kept = *fresh;
    fresh = std::move(*kept);
  }
  m_List = std::move(read);
  return 0;
}

int CAppList::InsertApplication(std::unique_ptr<CApplication> record) {
  Guard lock(m_DbMgr.Mutex());
  m_Result = 0;
  if (!record) return 3;
  sqlite3* db = m_DbMgr.Connection();
  const CApplication& row = *record;
  const int result = ExecuteWrite(
      db, sql::kInsertApplication, [&row](CDbStatement& stmt) { BindApplicationRow(stmt, row); }, m_Result);
  // The key of the row just inserted on this connection (the largest key
  // of the table, unless another process inserted meanwhile).
  if (result == 0) record->PKEY = static_cast<int32_t>(sqlite3_last_insert_rowid(db));
  m_List.push_back(std::move(record));
  return result;
}

int CAppList::UpdateApplication(const CApplication* record) {
  if (record == nullptr || record->PKEY == 0) return 3;
  Guard lock(m_DbMgr.Mutex());
  return ExecuteWrite(
      m_DbMgr.Connection(), sql::kUpdateApplication,
      [record](CDbStatement& stmt) {
        BindApplicationRow(stmt, *record);
        stmt.BindInt(record->PKEY);
      },
      m_Result);
}

int CAppList::DeleteApplication(int32_t pkey) {
  Guard lock(m_DbMgr.Mutex());
  const int result = ExecuteWithKey(m_DbMgr.Connection(), sql::kDeleteApplication, pkey, m_Result);
  std::erase_if(m_List, [pkey](const std::unique_ptr<CApplication>& r) { return r->PKEY == pkey; });
  return result;
}

CApplication* CAppList::FindApplication(int32_t pkey) {
  Guard lock(m_DbMgr.Mutex());
  for (auto& record : m_List) {
    if (record->PKEY == pkey) return record.get();
  }
  return nullptr;
}

bool CAppList::CopyApplication(int32_t pkey, CApplication& out) {
  Guard lock(m_DbMgr.Mutex());
  const CApplication* found = FindApplication(pkey);
  if (found == nullptr) return false;
  out = *found;
  return true;
}

bool CAppList::CopyApplicationByEui(const uint8_t (&appEui)[8], CApplication& out) {
  Guard lock(m_DbMgr.Mutex());
  for (auto& record : m_List) {
    if (memcmp(record->APPEUI, appEui, sizeof appEui) == 0) {
      out = *record;
      return true;
    }
  }
  return false;
}

bool CAppList::HasApplicationEui(const uint8_t (&appEui)[8], int32_t exceptPkey) {
  Guard lock(m_DbMgr.Mutex());
  return std::any_of(m_List.begin(), m_List.end(), [&appEui, exceptPkey](const std::unique_ptr<CApplication>& r) {
    return r->PKEY != exceptPkey && memcmp(r->APPEUI, appEui, sizeof appEui) == 0;
  });
}

}  // namespace quorvex
