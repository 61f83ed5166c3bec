#include "persistence/RecordStore.h"

#include <mutex>

namespace quorvex {

namespace {
using Guard = std::lock_guard<std::recursive_mutex>;
}  // namespace

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
