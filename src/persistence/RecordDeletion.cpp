#include "persistence/RecordDeletion.h"

#include <sqlite3.h>

#include <mutex>

namespace quorvex {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// The statements of one cascade as a unit in the file: undone together when
// any of them was refused, so that a refusal never leaves devices without
// their application, or requests without their device. It nests inside the
// receive thread's open batch, if there is one; the caller holds the
// database lock from before the savepoint until after it ends, so no other
// thread's statement falls inside it. Without a connection there is nothing
// to undo and the statements are refused one by one.
class CascadeSavepoint {
 public:
  explicit CascadeSavepoint(sqlite3* db) : m_Db(db) {
    if (m_Db == nullptr) return;
    m_Outermost = sqlite3_get_autocommit(m_Db) != 0;
    m_Open = Exec("SAVEPOINT record_cascade") == SQLITE_OK;
  }
  ~CascadeSavepoint() { End(false); }
  CascadeSavepoint(const CascadeSavepoint&) = delete;
  CascadeSavepoint& operator=(const CascadeSavepoint&) = delete;

  // Keeps the statements or undoes them; SQLite's code of the release (the
  // commit, when the savepoint began the transaction).
  int End(bool keep) {
    if (!m_Open) return SQLITE_OK;
    m_Open = false;
    if (!keep) Exec("ROLLBACK TO record_cascade");
    const int rc = Exec("RELEASE record_cascade");
    // A commit that failed leaves the transaction open; later statements
    // would pile up in it uncommitted.
    if (rc != SQLITE_OK && m_Outermost && sqlite3_get_autocommit(m_Db) == 0) Exec("ROLLBACK");
    return rc;
  }

 private:
  int Exec(const char* sql) { return sqlite3_exec(m_Db, sql, nullptr, nullptr, nullptr); }

  sqlite3* m_Db;
  bool m_Open = false;
  bool m_Outermost = false;
};

// Keeps the first refusal: a registry operation's result and its last
// result (which stays 0 when no statement could even be tried).
void Note(DeleteResult& result, int operation, int32_t lastResult) {
  if (operation == 0 || result.Refused()) return;
  result.result = 2;
  result.sqliteCode = lastResult != SQLITE_OK ? lastResult : SQLITE_ERROR;
}

// Runs one registry deletion and notes its outcome. The last result is read
// only after the operation has run (as two arguments of one call, the order
// of the two reads would be unspecified).
template <typename Registry, typename Operation>
void Run(DeleteResult& result, Registry& registry, Operation operation) {
  const int outcome = operation(registry);
  Note(result, outcome, registry.m_Result);
}

void EndUnit(CascadeSavepoint& unit, DeleteResult& result) {
  const int rc = unit.End(!result.Refused());
  Note(result, rc == SQLITE_OK ? 0 : 2, rc);
}

}  // namespace

std::string DeleteRefusedMessage(const DeleteResult& result) {
  return std::string("The database refused the deletion (") + sqlite3_errstr(result.sqliteCode) +
         "). The item is gone from the list, but it will be back at the next start.";
}

DeleteResult DeleteApplicationCascade(CDbManager& db, CAppList& apps, CDeviceManager& devices, CDLinkList& downlinks,
                                      int32_t appPkey) {
  Guard lock(db.Mutex());
  CascadeSavepoint unit(db.Connection());
  DeleteResult result;
  // Children first: the downlinks are found through the devices' rows.
  Run(result, downlinks, [appPkey](CDLinkList& r) { return r.DeleteDownlinksOfApplication(appPkey); });
  Run(result, devices, [appPkey](CDeviceManager& r) { return r.DeleteDevicesOfApplication(appPkey); });
  Run(result, apps, [appPkey](CAppList& r) { return r.DeleteApplication(appPkey); });
  EndUnit(unit, result);
  return result;
}

DeleteResult DeleteDeviceCascade(CDbManager& db, CDeviceManager& devices, CDLinkList& downlinks, int32_t devPkey) {
  Guard lock(db.Mutex());
  CascadeSavepoint unit(db.Connection());
  DeleteResult result;
  Run(result, downlinks, [devPkey](CDLinkList& r) { return r.DeleteDownlinksOfDevice(devPkey); });
  Run(result, devices, [devPkey](CDeviceManager& r) { return r.DeleteDevice(devPkey); });
  EndUnit(unit, result);
  return result;
}

DeleteResult DeleteGatewayRecord(CGateManager& gateways, int32_t pkey) {
  Guard lock(gateways.Mutex());  // for its last result; the database lock comes after it
  DeleteResult result;
  Run(result, gateways, [pkey](CGateManager& r) { return r.DeleteGateway(pkey); });
  return result;
}

DeleteResult DeleteDownlinkRecord(CDbManager& db, CDLinkList& downlinks, int32_t pkey) {
  Guard lock(db.Mutex());  // for the list's last result
  DeleteResult result;
  Run(result, downlinks, [pkey](CDLinkList& r) { return r.DeleteDownlink(pkey); });
  return result;
}

}  // namespace quorvex
