// The gateway registry: every known gateway, found by the EUI of each
// datagram's header. A gateway never seen before is registered (active only
// when the operator's Auto Reg option is on) and stored in GATETBL; every
// datagram refreshes the gateway's address text and its pull or push
// address. The list and its records are guarded by the manager's lock,
// which is taken before the database lock.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gateway/Gateway.h"
#include "runtime/BaseThread.h"

namespace quorvex {

class CDbManager;
class COptionWord;

class CGateManager : public CBaseMgr {
 public:
  // The database and the Auto Reg option the registry works with; set once
  // by the application object before any datagram arrives.
  void Attach(CDbManager* db, const COptionWord* autoReg);

  // Finds or registers the gateway of `euiText` (16 upper-case hex digits),
  // records `sender` as its address and as its pull address (pull 1) or
  // push address (pull 0), and stores changes. Never null. The lookup takes
  // constant time whatever the number of gateways. A new gateway registered
  // inactive (Auto Reg off) may push the oldest inactive one out of the
  // registry and the table (kMaxInactive), so that datagrams from invented
  // EUIs cannot fill memory or the file.
  CGateway* SetGatewayUpdate(const SocketAddress& sender, const char* euiText, int pull);
  // The listed gateway whose ID is `euiText` (ignoring case; the first in
  // list order), or null. Call with the lock held for as long as the
  // pointer is used.
  CGateway* FindGateway(const char* euiText);

  // Appends one record per GATETBL row. 0, or 2 (nothing appended).
  int LoadGateways();
  // Makes the registry what GATETBL holds now, after another program changed
  // the table (gateway lock, then the database lock). A record whose row is
  // still there with the same ID stays the same object and takes the row's
  // ACTIVE and IP, keeping its run-time state (pull address, connection);
  // new rows become new records; a record whose row is gone, or now carries
  // another ID, is retired as DeleteGateway retires it (a queued reply may
  // still point at it, and the HTTP worker reads its ID without the lock),
  // and a changed ID comes back as a new record. 0, or 2 when the table
  // could not be read (the registry is left as it was).
  int ReloadGateways();
  // Inserts the row (PKEY set on success) and appends the record whatever
  // the outcome. 0, 2, or 3 for a null record.
  int InsertGateway(std::unique_ptr<CGateway> gateway);
  // Rewrites ACTIVE, ID, IP of the record's row. 0, 2, or 3 for a null record or PKEY 0.
  int UpdateGateway(const CGateway* gateway);
  // Deletes the GATETBL row of `pkey` (gateway lock, then the database lock)
  // and takes the records with that key out of the list, also when the
  // statement failed. 0, or 2 (no database, or the statement failed). The
  // records are retired, not freed: a reply the scheduler has queued, or a
  // frame being served, may still hold a pointer to one, and it must still
  // be able to leave through that gateway. A retired record is never found
  // again by its EUI (a datagram from it registers a new record) and lives
  // until the registry is destroyed; deletions are rare operator actions.
  int DeleteGateway(int32_t pkey);
  // True when a record other than the one with `exceptPkey` has this ID,
  // compared as datagrams are (ignoring case); pass -1 to test every record.
  bool HasGatewayId(const std::string& id, int32_t exceptPkey);

  // Marks every gateway disconnected with no pull acknowledged (a fresh server run).
  void ResetConnections();
  // Number of gateways in the list.
  size_t Count();
  // Number of gateways that are connected and acknowledged a PULL_DATA less
  // than kConnectedWindowMs before `nowTick` (a millisecond tick). A pull
  // tick later than `nowTick` counts as fresh.
  int CountConnected(uint64_t nowTick);

  // Inactive gateways kept at most: the registry records an unknown gateway
  // inactive so that the operator can switch it on, but anyone can invent
  // EUIs. Real networks of this server's size have far fewer gateways.
  static constexpr size_t kMaxInactive = 1000;

  // A gateway stays counted this long after its latest acknowledged pull;
  // packet forwarders pull every few seconds, so a minute means it is gone.
  static constexpr uint64_t kConnectedWindowMs = 60000;

  std::vector<std::unique_ptr<CGateway>> m_Gateways;  // guarded by m_Lock
  int32_t m_Result = 0;                               // guarded by m_Lock

 private:
  CDbManager* m_Db = nullptr;
  const COptionWord* m_AutoReg = nullptr;
  // Rebuilds the ID index when the list changed behind the manager's back
  // (its size differs from the indexed size); call with the lock held.
  void RefreshIndex();
  // Records an inactive gateway as the newest eviction candidate and, past
  // kMaxInactive, takes the oldest one that is still inactive out of the
  // list and the table, with a trace line. Call with the lock held; `keep`
  // is never evicted.
  void BoundInactive(CGateway* keep);
  void Forget(const CGateway* gateway);
  // Takes out of the list, into m_Retired, every record for which `gone` is
  // true. Call with the lock held.
  template <typename Predicate>
  void Retire(Predicate gone);
  // A record takes the ACTIVE and IP of its row, writing only what differs
  // (the radio threads read the record under the lock). Call with the lock held.
  void TakeRow(CGateway& gateway, const CGatewayRow& row);

  // Deleted records that someone may still point at; see DeleteGateway.
  std::vector<std::unique_ptr<CGateway>> m_Retired;  // guarded by m_Lock
  // Upper-case ID -> the first listed record with it; m_IndexedSize is the
  // list size the index was built for. Guarded by m_Lock.
  std::unordered_map<std::string, CGateway*> m_ById;
  size_t m_IndexedSize = 0;
  // Inactive records, oldest first; some may have been switched on since
  // (skipped when their turn comes). Guarded by m_Lock.
  std::deque<CGateway*> m_Inactive;
};

// The gateway status line after one more look at the registry: "Gateway
// connected : N" while any gateway is connected; otherwise "Gateway
// Searching " growing by " ." per look up to 50 characters and starting
// again after that. A text that is not a searching text (the count of a
// moment ago) starts the search afresh.
std::string NextGatewayStatusText(const std::string& current, int connected);

// How long until the next look, in ms: slow while gateways are connected,
// quick while searching so that the dots move.
int GatewayStatusPeriodMs(int connected);

}  // namespace quorvex
