// The operator's edits of records the radio threads use while the server
// runs. Each one changes the registry's record and its stored row together,
// under the lock that registry's readers take, so that a radio thread sees
// either the old record or the new one, and the next frame after the edit
// uses what the operator stored.
//
// A device's edit writes only the fields the operator can change: the form
// was filled from a copy that the radio threads may have overtaken meanwhile
// (counters, the keys of a join), and writing that copy whole would roll them
// back.
#pragma once
#include <cstdint>

#include "gateway/GateManager.h"
#include "persistence/AppList.h"
#include "persistence/Application.h"
#include "persistence/DbManager.h"
#include "persistence/DeviceManager.h"
#include "persistence/GatewayRow.h"

namespace quorvex {

// New records from the operator's forms: stored and appended to their
// registry (whatever the database answers, as the registries keep them);
// `stored` receives the record as kept, with its new key (or the key of a
// never-stored record when the database refused). 0, 2 or 3 as the
// registry's insert.
int StoreNewApplication(CDbManager& db, CAppList& apps, const CApplication& record, CApplication& stored);
int StoreNewDevice(CDbManager& db, CDeviceManager& devices, const CDeviceRow& record, CDeviceRow& stored);
int StoreNewGateway(CGateManager& gateways, const CGatewayRow& record, CGatewayRow& stored);

// Replaces the listed application with `changed.PKEY` by `changed` and
// rewrites its row (UpdateApplication), under the database lock. 0, 2 when
// the database refused (the record in memory is changed all the same), 3
// when no listed application has that key.
int StoreEditedApplication(CDbManager& db, CAppList& apps, const CApplication& changed);

// Writes the operator's fields of `changed` (a device of `app`; see
// CDeviceManager::UpdateOperatorFields) and then refreshes the registry's
// record of that device from its row, under the database lock. 0, 2 or 3 as
// UpdateOperatorFields.
int StoreEditedDevice(CDbManager& db, CDeviceManager& devices, const CApplication& app, const CDeviceRow& changed);

// Sets the ACTIVE state of the registered gateway with `changed.PKEY` and
// rewrites its row, under the gateway lock (then the database lock). Its ID
// is fixed once registered and its address is the latest datagram's, so
// neither is taken from `changed`. 0, 2, or 3 when no gateway has that key.
int StoreEditedGateway(CGateManager& gateways, const CGatewayRow& changed);

}  // namespace quorvex
