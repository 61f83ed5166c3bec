// CAppList: the applications, all held in memory for the life of the
// process (the application member m_LoRaAppList), with the operations that
// move them between APPTBL and the list.
//
// The list and its records change only under the database lock, which every
// operation here takes. Threads other than the window thread read the list
// through the copying lookups, so that a record the window deletes is never
// used afterwards through a pointer.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "persistence/Application.h"
#include "persistence/DbManager.h"

namespace quorvex {

class CAppList {
 public:
  explicit CAppList(CDbManager& db) : m_DbMgr(db) {}
  CAppList(const CAppList&) = delete;
  CAppList& operator=(const CAppList&) = delete;

  // Appends one record per APPTBL row, in APPEUI order, without emptying the
  // list first. 0, or 2 when the statement failed (nothing appended).
  int LoadApplications();
  // Makes the list what APPTBL holds now, after another program changed the
  // table: a record whose row is still there takes the row's fields in place
  // (the same object), new rows are added, records without a row are
  // removed; the list follows APPEUI order. 0, or 2 when the statement
  // failed (the list is left as it was).
  int ReloadApplications();
  // Stores a new record and appends it to the list whatever the outcome (a
  // failed insert stays with PKEY -1). On success PKEY becomes the new key.
  // 0, 2, or 3 for a null record.
  int InsertApplication(std::unique_ptr<CApplication> record);
  // Rewrites the row of `record->PKEY` with the record's eleven fields.
  // 0, 2, or 3 for a null record or PKEY 0.
  int UpdateApplication(const CApplication* record);
  // Deletes the APPTBL row and removes and frees the records with that key,
  // also when the statement failed. 0 or 2. The devices and downlinks of the
  // application are deleted by their own owners.
  int DeleteApplication(int32_t pkey);

  // The first record with `pkey`, or null. The caller holds the database
  // lock for as long as it uses the pointer.
  CApplication* FindApplication(int32_t pkey);
  // Copies of the first record with `pkey` / with exactly this APPEUI, taken
  // under the lock; false when there is none. For the radio threads.
  bool CopyApplication(int32_t pkey, CApplication& out);
  bool CopyApplicationByEui(const uint8_t (&appEui)[8], CApplication& out);
  // True when a record other than the one with `exceptPkey` has exactly this
  // APPEUI (pass -1 to test every record); for the form's duplicate test.
  bool HasApplicationEui(const uint8_t (&appEui)[8], int32_t exceptPkey);

  // The records in load order, new ones appended; guarded by the database lock.
  std::vector<std::unique_ptr<CApplication>> m_List;
  // SQLite code of the latest prepare or step; guarded by the database lock.
  int32_t m_Result = 0;

 private:
  // Every APPTBL row as a record, in APPEUI order. 0, or 2 (m_Result says
  // why). Call with the database lock held.
  int ReadApplications(std::vector<std::unique_ptr<CApplication>>& read);

  CDbManager& m_DbMgr;
};

}  // namespace quorvex
