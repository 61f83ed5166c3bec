#include "persistence/DeviceManager.h"

#include "persistence/DbRows.h"
#include "persistence/DbSql.h"

namespace quorvex {

using Guard = std::lock_guard<std::recursive_mutex>;

int CDeviceManager::LoadDevices(int32_t apKey) {
  Guard lock(DbMutex());
  CDbStatement stmt;
  m_Result = stmt.Prepare(Db(), sql::kSelectDevicesOfApplication);
  if (m_Result != SQLITE_OK) return 2;
  stmt.BindInt(apKey);
  std::vector<std::unique_ptr<CDevice>> read;
  const int rc = StepRows(stmt, [&read](sqlite3_stmt* s) {
    auto record = std::make_unique<CDevice>();
    ReadDeviceRow(s, *record);
    read.push_back(std::move(record));
  });
  if (rc != SQLITE_DONE) {
    m_Result = rc;
    return 2;
  }
  m_Devices = std::move(read);
  return 0;
}

int CDeviceManager::InsertDevice(std::unique_ptr<CDevice> record) {
  Guard lock(DbMutex());
  m_Result = 0;
  if (!record) return 3;
  sqlite3* db = Db();
  const CDeviceRow& row = *record;
  const int result = ExecuteWrite(
      db, sql::kInsertDevice, [&row](CDbStatement& stmt) { BindDeviceRow(stmt, row); }, m_Result);
  // The key of the row just inserted on this connection (the largest key
  // of the table, unless another process inserted meanwhile).
  if (result == 0) record->PKEY = static_cast<int32_t>(sqlite3_last_insert_rowid(db));
  m_Devices.push_back(std::move(record));
  return result;
}

int CDeviceManager::UpdateDevice(const CDeviceRow* record) {
  if (record == nullptr || record->PKEY == 0) return 3;
  Guard lock(DbMutex());
  return ExecuteWrite(
      Db(), sql::kUpdateDevice,
      [record](CDbStatement& stmt) {
        BindDeviceRow(stmt, *record);
        stmt.BindInt(record->PKEY);
      },
      m_Result);
}

int CDeviceManager::UpdateOperatorFields(const CDeviceRow* record, bool abp) {
  if (record == nullptr || record->PKEY == 0) return 3;
  Guard lock(DbMutex());
  return ExecuteWrite(
      Db(), abp ? sql::kUpdateDeviceAbpFields : sql::kUpdateDeviceOtaaFields,
      [record, abp](CDbStatement& stmt) {
        if (abp) {
          stmt.BindBlob(record->APPSKEY, sizeof record->APPSKEY);
          stmt.BindBlob(record->NETSKEY, sizeof record->NETSKEY);
        } else {
          stmt.BindInt(static_cast<int32_t>(record->NETWORKID));
          stmt.BindBlob(record->APPKEY, sizeof record->APPKEY);
        }
        stmt.BindText(record->MEMO);
        stmt.BindInt(record->PKEY);
      },
      m_Result);
}

int CDeviceManager::UpdateUplinkState(const CDeviceRow* record) {
  if (record == nullptr || record->PKEY == 0) return 3;
  Guard lock(DbMutex());
  return ExecuteWrite(
      Db(), sql::kUpdateDeviceUplinkState,
      [record](CDbStatement& stmt) {
        stmt.BindInt(record->GPKEY);
        stmt.BindInt64(record->RXSEQ);
        stmt.BindInt(record->ADR);
        stmt.BindInt(record->ADRCNT);
        stmt.BindInt(record->ADRSF);
        stmt.BindInt(record->NBGATE);
        stmt.BindInt64(record->RXTICK);
        stmt.BindInt(record->PKEY);
      },
      m_Result);
}

int CDeviceManager::UpdateDownlinkState(const CDeviceRow* record) {
  if (record == nullptr || record->PKEY == 0) return 3;
  Guard lock(DbMutex());
  return ExecuteWrite(
      Db(), sql::kUpdateDeviceDownlinkState,
      [record](CDbStatement& stmt) {
        stmt.BindInt64(record->TXSEQ);
        stmt.BindInt(record->ADR);
        stmt.BindInt(record->ADRPWR);
        stmt.BindInt(record->PWRREQ);
        stmt.BindInt(record->PKEY);
      },
      m_Result);
}

bool CDeviceManager::SameDownlinkState(const CDeviceRow& a, const CDeviceRow& b) {
  return a.TXSEQ == b.TXSEQ && a.ADR == b.ADR && a.ADRPWR == b.ADRPWR && a.PWRREQ == b.PWRREQ;
}

int CDeviceManager::UpdateReception(const CDeviceRow* record) {
  if (record == nullptr || record->PKEY == 0) return 3;
  Guard lock(DbMutex());
  return ExecuteWrite(
      Db(), sql::kUpdateDeviceReception,
      [record](CDbStatement& stmt) {
        stmt.BindInt(record->NBGATE);
        stmt.BindInt64(record->RXTICK);
        stmt.BindInt(record->PKEY);
      },
      m_Result);
}

int CDeviceManager::RefreshDownlinkState(CDeviceRow* record) {
  if (record == nullptr) return 3;
  Guard lock(DbMutex());
  CDbStatement stmt;
  m_Result = stmt.Prepare(Db(), sql::kSelectDeviceDownlinkState);
  if (m_Result != SQLITE_OK) return 2;
  stmt.BindInt(record->PKEY);
  const int rc = stmt.Step();
  if (rc != SQLITE_ROW) {
    m_Result = rc;
    return rc == SQLITE_DONE ? kNoRow : 2;
  }
  // The counter as every row reader takes it; the states are read as stored.
  ReadCounter(stmt.Get(), "TXSEQ", record->TXSEQ);
  record->ADR = sqlite3_column_int(stmt.Get(), 1);
  record->ADRPWR = sqlite3_column_int(stmt.Get(), 2);
  record->PWRREQ = sqlite3_column_int(stmt.Get(), 3);
  return 0;
}

int CDeviceManager::FindDeviceRow(const CDeviceRow& device) {
  Guard lock(DbMutex());
  CDbStatement stmt;
  m_Result = stmt.Prepare(Db(), sql::kSelectDeviceExists);
  if (m_Result != SQLITE_OK) return 2;
  stmt.BindInt(device.PKEY);
  stmt.BindBlob(device.DEVEUI, sizeof device.DEVEUI);
  const int rc = stmt.Step();
  if (rc == SQLITE_ROW) return 0;
  m_Result = rc;
  return rc == SQLITE_DONE ? kNoRow : 2;
}

std::unique_ptr<CDevice> CDeviceManager::ReadFirst(const char* sql, const std::function<void(CDbStatement&)>& bind) {
  Guard lock(DbMutex());
  CDbStatement stmt;
  m_Result = stmt.Prepare(Db(), sql);
  if (m_Result != SQLITE_OK) return nullptr;
  bind(stmt);
  const int rc = stmt.Step();
  if (rc != SQLITE_ROW) {
    if (rc != SQLITE_DONE) m_Result = rc;
    return nullptr;
  }
  auto record = std::make_unique<CDevice>();
  ReadDeviceRow(stmt.Get(), *record);
  return record;
}

std::unique_ptr<CDevice> CDeviceManager::GetDeviceByPkey(int32_t pkey) {
  return ReadFirst(sql::kSelectDeviceByPkey, [pkey](CDbStatement& stmt) { stmt.BindInt(pkey); });
}

std::unique_ptr<CDevice> CDeviceManager::GetDeviceByEui(const uint8_t (&devEui)[8]) {
  return ReadFirst(sql::kSelectDeviceByEui, [&devEui](CDbStatement& stmt) { stmt.BindBlob(devEui, sizeof devEui); });
}

std::unique_ptr<CDevice> CDeviceManager::GetDeviceByAddr(uint32_t devAddr) {
  return ReadFirst(sql::kSelectDeviceByAddr,
                   [devAddr](CDbStatement& stmt) { stmt.BindInt(static_cast<int32_t>(devAddr)); });
}

int CDeviceManager::DeleteDevice(int32_t pkey) {
  Guard lock(DbMutex());
  int result = ClearDevNonces(pkey);
  if (result == 0) result = ExecuteWithKey(Db(), sql::kDeleteDevice, pkey, m_Result);
  std::erase_if(m_Devices, [pkey](const std::unique_ptr<CDevice>& r) { return r->PKEY == pkey; });
  return result;
}

int CDeviceManager::DeleteDevicesOfApplication(int32_t apKey) {
  Guard lock(DbMutex());
  int result = ExecuteWithKey(Db(), sql::kDeleteDevNoncesOfApplication, apKey, m_Result);
  if (result == 0) result = ExecuteWithKey(Db(), sql::kDeleteDevicesOfApplication, apKey, m_Result);
  std::erase_if(m_Devices, [apKey](const std::unique_ptr<CDevice>& r) { return r->APKEY == apKey; });
  return result;
}

int CDeviceManager::FindDevNonce(int32_t devPkey, uint16_t devNonce) {
  Guard lock(DbMutex());
  CDbStatement stmt;
  m_Result = stmt.Prepare(Db(), sql::kSelectDevNonce);
  if (m_Result != SQLITE_OK) return 2;
  stmt.BindInt(devPkey);
  stmt.BindInt(devNonce);
  const int rc = stmt.Step();
  if (rc == SQLITE_ROW) return 0;
  m_Result = rc;
  return rc == SQLITE_DONE ? kNoRow : 2;
}

int CDeviceManager::RecordDevNonce(int32_t devPkey, uint16_t devNonce) {
  Guard lock(DbMutex());
  const int result = ExecuteWrite(
      Db(), sql::kInsertDevNonce,
      [devPkey, devNonce](CDbStatement& stmt) {
        stmt.BindInt(devPkey);
        stmt.BindInt(devNonce);
      },
      m_Result);
  if (result != 0) return result;
  return ExecuteWrite(
      Db(), sql::kPruneDevNonces,
      [devPkey](CDbStatement& stmt) {
        stmt.BindInt(devPkey);
        stmt.BindInt(kDevNoncesKept);
      },
      m_Result);
}

int CDeviceManager::ClearDevNonces(int32_t devPkey) {
  Guard lock(DbMutex());
  return ExecuteWithKey(Db(), sql::kDeleteDevNonces, devPkey, m_Result);
}

}  // namespace quorvex
