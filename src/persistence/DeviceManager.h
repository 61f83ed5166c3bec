// The device registry (the application member m_LoRaDevMgr): the device
// records of the application the operator has chosen, for display and
// editing, and the DEVTBL operations. The radio side does not use the list:
// it reads each device afresh by key, EUI or address into a record of its
// own and writes it back after every frame.
//
// Every operation takes the database lock (the manager's own m_Lock is not
// used for the list) and holds it until the list has been updated.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "persistence/DbManager.h"
#include "persistence/Device.h"
#include "runtime/BaseThread.h"

namespace quorvex {

class CDbStatement;

class CDeviceManager : public CBaseMgr {
 public:
  // A registry without a database: every statement is refused as on a
  // closed connection (2, last result SQLITE_MISUSE).
  CDeviceManager() = default;
  explicit CDeviceManager(CDbManager& db) : m_DbMgr(&db) {}
  // Binds the registry to its database; done once, before any other thread
  // uses the registry.
  void Attach(CDbManager* db) { m_DbMgr = db; }

  // Replaces the list with the devices of application `apKey`, in DEVEUI
  // order. 0 (an application without devices empties the list), or 2 when
  // the statement failed; the list is then left as it was.
  int LoadDevices(int32_t apKey);
  // Stores a new device; on success PKEY becomes its key. The record is
  // appended to the list whatever the outcome. 0, 2, or 3 for a null record.
  int InsertDevice(std::unique_ptr<CDevice> record);
  // Writes all nineteen stored fields to the row of `record->PKEY` (a record
  // with PKEY -1, never stored, matches no row). 0, 2, or 3 for a null
  // record or PKEY 0 (nothing written).
  int UpdateDevice(const CDeviceRow* record);
  // Writes only the columns an operator's edit changes (for an ABP device
  // `abp`: APPSKEY, NETSKEY, MEMO; otherwise NETWORKID, APPKEY, MEMO), so
  // that an edit made while the device is sending never rolls back its
  // counters or the session keys of a join. 0, 2, or 3 for a null record or
  // PKEY 0. The list is not changed.
  int UpdateOperatorFields(const CDeviceRow* record, bool abp);
  // Writes only the columns a data uplink changes (GPKEY, RXSEQ, ADR when
  // the uplink set it, ADRCNT, ADRSF, NBGATE, RXTICK) / only those a downlink
  // changes (TXSEQ, ADR, ADRPWR, PWRREQ), so that the receive thread and the
  // scheduler never undo each other's writes. 0, 2, or 3 for a null record or
  // PKEY 0.
  int UpdateUplinkState(const CDeviceRow* record);
  int UpdateDownlinkState(const CDeviceRow* record);
  // Whether two records agree on the columns UpdateDownlinkState writes.
  static bool SameDownlinkState(const CDeviceRow& a, const CDeviceRow& b);
  // Writes only NBGATE and RXTICK: all a frame that was not accepted may
  // change, since its copy of the row may be older than the downlink
  // counter or the gateway stored meanwhile. 0, 2, or 3 for a null record
  // or PKEY 0.
  int UpdateReception(const CDeviceRow* record);
  // Reads the downlink columns of the stored row into `record` (the copy an
  // uplink took may be older than the last reply). 0; kNoRow when no row has
  // the record's key (the device was deleted); 2 when the statement failed.
  // The record is changed only on 0.
  int RefreshDownlinkState(CDeviceRow* record);
  // Whether DEVTBL still has the row of `device` (its PKEY with its DEVEUI:
  // a deleted device's key may have gone to a new device), without reading
  // it: 0 when it has, kNoRow when it has none, 2 when the statement failed
  // (m_Result then holds SQLite's code).
  int FindDeviceRow(const CDeviceRow& device);
  // The answer of a lookup that ran and found no row with the key.
  static constexpr int kNoRow = 1;

  // A new record read from the first row with that key / exactly these EUI
  // bytes / that address (same 32 bits), owned by the caller; null when no
  // row matches or the statement failed (m_Result tells which).
  std::unique_ptr<CDevice> GetDeviceByPkey(int32_t pkey);
  std::unique_ptr<CDevice> GetDeviceByEui(const uint8_t (&devEui)[8]);
  std::unique_ptr<CDevice> GetDeviceByAddr(uint32_t devAddr);
  // Delete the DevNonces and then the row of one device / of every device
  // of an application (the rows stay when their nonces could not be
  // deleted), then remove and free the matching records of the list, also
  // when a statement failed. 0 or 2. Their downlink requests are deleted by
  // the downlink queue; their packet log stays.
  int DeleteDevice(int32_t pkey);
  int DeleteDevicesOfApplication(int32_t apKey);

  // NONCETBL: the DevNonces of each device's accepted joins. A device uses
  // a DevNonce once, so a join request with one on file is a recorded
  // request sent again, which would give the device a session it does not
  // have.
  //
  // A device keeps the nonces of its last kDevNoncesKept joins, oldest
  // forgotten first. A LoRaWAN 1.0.2 device draws each DevNonce at random,
  // so its fresh nonce is refused with the chance kept/65,536 (1.6 % with
  // 1,024), and it then tries again with another, as it does when no
  // accept comes. Keeping every nonce would lock a device that joins often
  // out as they fill the 65,536 values, and let the table grow without
  // bound; 1,024 refuse the replay of any of its last 1,024 joins (nearly
  // three years of daily joins), 16 KiB or so per device at most.
  static constexpr int kDevNoncesKept = 1024;
  // Whether `devNonce` is on file for device `devPkey`: 0 when it is,
  // kNoRow when it is not, 2 when the statement failed.
  int FindDevNonce(int32_t devPkey, uint16_t devNonce);
  // Files the DevNonce of an accepted join (once) and forgets the device's
  // nonces beyond the newest kDevNoncesKept. 0 or 2.
  int RecordDevNonce(int32_t devPkey, uint16_t devNonce);
  // Forgets every DevNonce of device `devPkey`, so that any nonce is
  // accepted again (for a device that starts afresh). 0 or 2.
  int ClearDevNonces(int32_t devPkey);

  // The devices of one application, in DEVEUI order; guarded by the database lock.
  std::vector<std::unique_ptr<CDevice>> m_Devices;
  // SQLite code of the latest prepare or step; guarded by the database lock.
  int32_t m_Result = 0;

 private:
  std::recursive_mutex& DbMutex() { return m_DbMgr != nullptr ? m_DbMgr->Mutex() : m_Lock; }
  sqlite3* Db() const { return m_DbMgr != nullptr ? m_DbMgr->Connection() : nullptr; }
  // Runs a prepared lookup and reads its first row, if any.
  std::unique_ptr<CDevice> ReadFirst(const char* sql, const std::function<void(CDbStatement&)>& bind);

  CDbManager* m_DbMgr = nullptr;
};

}  // namespace quorvex
