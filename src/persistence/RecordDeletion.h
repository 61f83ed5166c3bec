// The operator's deletions and what each takes with it: an application its
// devices and their queued downlinks, a device its queued downlinks; a
// gateway and a single downlink alone. Packet-log rows always stay.
//
// A record is removed from memory whatever the database answers, so that the
// operator's list shows what was asked for; but a refused deletion leaves the
// rows in the file and the next start brings the record back, so every
// deletion says whether the database refused, for the front end to tell the
// operator (DeleteRefusedMessage).
//
// Locks: the cascades hold the database lock from their first statement to
// their last, so that the radio threads never see an application without its
// devices gone or a half-done cascade; the gateway deletion takes the
// gateway registry's lock and then the database lock. Nothing here waits
// for any other lock while holding the database lock.
#pragma once
#include <cstdint>
#include <string>

#include "gateway/GateManager.h"
#include "persistence/AppList.h"
#include "persistence/DLinkList.h"
#include "persistence/DbManager.h"
#include "persistence/DeviceManager.h"

namespace quorvex {

// The question a front end asks before any deletion.
inline constexpr char kDeleteQuestion[] = "Delete the selected item ?";

// What a deletion did. The records are out of memory in either case.
struct DeleteResult {
  int result = 0;          // 0 the rows are gone, 2 the database refused
  int32_t sqliteCode = 0;  // SQLite's code of the first refused statement; 0 when none
  bool Refused() const { return result != 0; }
};

// The operator's message for a refused deletion, naming SQLite's reason:
// "The database refused the deletion (<reason>). The item is gone from the
// list, but it will be back at the next start."
std::string DeleteRefusedMessage(const DeleteResult& result);

// Deletes application `appPkey`: the queued downlinks of every stored device
// of it, those devices' rows, and its APPTBL row, as one unit in the file
// (all of it, or on a refusal none of it, so that no device is left without
// its application). Takes out of memory the application's record, the
// registry's devices of that application, and the downlink list (which holds
// the requests of the device shown). `db` is the database of the registries.
DeleteResult DeleteApplicationCascade(CDbManager& db, CAppList& apps, CDeviceManager& devices, CDLinkList& downlinks,
                                      int32_t appPkey);
// Deletes device `devPkey`: its queued downlinks and its DEVTBL row as one
// unit; takes its record out of the registry and empties the downlink list.
DeleteResult DeleteDeviceCascade(CDbManager& db, CDeviceManager& devices, CDLinkList& downlinks, int32_t devPkey);
// Deletes gateway `pkey` from GATETBL and the registry (CGateManager::
// DeleteGateway: its record is retired, never freed under a queued reply).
DeleteResult DeleteGatewayRecord(CGateManager& gateways, int32_t pkey);
// Deletes one queued downlink `pkey` and its record in the downlink list.
DeleteResult DeleteDownlinkRecord(CDbManager& db, CDLinkList& downlinks, int32_t pkey);

}  // namespace quorvex
