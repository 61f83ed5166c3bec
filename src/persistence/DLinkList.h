// CDLinkList: the downlink request queue's owner (the application member
// m_LoRaDlinkList). Its list holds the requests of the device shown to the
// operator; the scheduler and the HTTP forwarder use its operations with
// lists of their own, and every operation records its SQLite code in this
// object's last result, whichever list receives the records.
//
// Every operation takes the database lock and holds it until its list has
// been updated.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "persistence/DLink.h"
#include "persistence/DbManager.h"

namespace quorvex {

class CDbStatement;

using DLinkRecords = std::vector<std::unique_ptr<CDLink>>;

class CDLinkList {
 public:
  explicit CDLinkList(CDbManager& db) : m_DbMgr(db) {}
  CDLinkList(const CDLinkList&) = delete;
  CDLinkList& operator=(const CDLinkList&) = delete;

  // Replaces the contents of `target` (m_List when null) with the requests
  // of device `devPkey` in PKEY order: all of them, or only the pending ones
  // (TXDONE 0). 0, or 2 when the statement failed; the target is then left
  // as it was.
  int LoadDownlinks(int32_t devPkey, bool pendingOnly, DLinkRecords* target = nullptr);
  // Replaces the contents of `target` (m_List when null) with the oldest
  // pending "RX 2" request of any device whose key is above `afterPkey`, or
  // with nothing when there is none. 0, or 2 (target left as it was).
  int GetNextRx2Downlink(DLinkRecords* target = nullptr, int32_t afterPkey = 0);
  // Stores a new request; on success PKEY becomes its key. With `keep` the
  // record is then appended to m_List, otherwise freed; either way, whatever
  // the outcome, the caller no longer owns it. 0, 2, or 3 for a null record.
  int InsertDownlink(std::unique_ptr<CDLink> record, bool keep);
  // Rewrites the row of `record->PKEY`; no list changes. 0, 2, or 3 for a
  // null record or PKEY 0.
  int UpdateDownlink(const CDLink* record);
  // Marks a request transmitted: TIME becomes the local time
  // "%m.%d %H.%M.%S", TXDONE kTxSent, then UpdateDownlink. 0, 2 or 3.
  int MarkDownlinkSent(CDLink* record);
  // Marks a request that cannot be served: TIME becomes the local time, a
  // space and `reason` (cut to fit), TXDONE kTxFailed, then UpdateDownlink.
  // It is then no longer pending. 0, 2 or 3.
  int MarkDownlinkFailed(CDLink* record, const std::string& reason);
  // Deletes one request's row and removes and frees the records of m_List
  // with that key, also when the statement failed. 0 or 2.
  int DeleteDownlink(int32_t pkey);
  // Deletes every request of a device, then empties m_List in every case
  // (it holds the requests of the device shown). 0 or 2.
  int DeleteDownlinksOfDevice(int32_t devPkey);
  // Deletes every request of every stored device of application `apKey`
  // (run it before the devices' rows are deleted), then empties m_List in
  // every case, as above. 0 or 2.
  int DeleteDownlinksOfApplication(int32_t apKey);

  // Requests of the device shown, in PKEY order; guarded by the database lock.
  DLinkRecords m_List;
  // SQLite code of the latest prepare or step; guarded by the database lock.
  int32_t m_Result = 0;

 private:
  // Sets TIME to the local time followed by `suffix`, and TXDONE to `state`;
  // then UpdateDownlink.
  int MarkDownlink(CDLink* record, int32_t state, const std::string& suffix);
  // Steps a prepared SELECT to its end and replaces `target` with its rows.
  int ReplaceWithRows(CDbStatement& stmt, DLinkRecords& target);

  CDbManager& m_DbMgr;
};

}  // namespace quorvex
