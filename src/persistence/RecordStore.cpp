#include "persistence/RecordStore.h"

#include <mutex>

namespace quorvex {

namespace {
using Guard = std::lock_guard<std::recursive_mutex>;
}  // namespace

// Each insert hands the record to its registry; the kept record is read
// back under the lock that its removal takes, before anyone can free it.
int StoreNewApplication(CDbManager& db, CAppList& apps, const CApplication& record, CApplication& stored) {
  auto created = std::make_unique<CApplication>(record);
  Guard lock(db.Mutex());
  const CApplication* kept = created.get();
  const int result = apps.InsertApplication(std::move(created));
  stored = *kept;
  return result;
}

int StoreNewDevice(CDbManager& db, CDeviceManager& devices, const CDeviceRow& record, CDeviceRow& stored) {
  auto created = std::make_unique<CDevice>();
  static_cast<CDeviceRow&>(*created) = record;
  Guard lock(db.Mutex());
  const CDevice* kept = created.get();
  const int result = devices.InsertDevice(std::move(created));
  stored = *kept;
  return result;
}

int StoreNewGateway(CGateManager& gateways, const CGatewayRow& record, CGatewayRow& stored) {
  auto created = std::make_unique<CGateway>();
  static_cast<CGatewayRow&>(*created) = record;
  Guard lock(gateways.Mutex());
  const CGateway* kept = created.get();
  const int result = gateways.InsertGateway(std::move(created));
  stored = *kept;
  return result;
}

int StoreEditedApplication(CDbManager& db, CAppList& apps, const CApplication& changed) {
  Guard lock(db.Mutex());
  CApplication* record = apps.FindApplication(changed.PKEY);
  if (record == nullptr) return 3;
  *record = changed;
  return apps.UpdateApplication(record);
}

int StoreEditedDevice(CDbManager& db, CDeviceManager& devices, const CApplication& app, const CDeviceRow& changed) {
  Guard lock(db.Mutex());
  const int result = devices.UpdateOperatorFields(&changed, app.ACTIVATION == 1);
  std::unique_ptr<CDevice> stored = devices.GetDeviceByPkey(changed.PKEY);
  if (!stored) return result;
  for (auto& record : devices.m_Devices) {
    if (record->PKEY == changed.PKEY) *record = *stored;
  }
  return result;
}

int StoreEditedGateway(CGateManager& gateways, const CGatewayRow& changed) {
  Guard lock(gateways.Mutex());
  for (auto& record : gateways.m_Gateways) {
    if (record->PKEY != changed.PKEY) continue;
    record->ACTIVE = changed.ACTIVE;
    return gateways.UpdateGateway(record.get());
  }
  return 3;
}

}  // namespace quorvex
