#include "persistence/DeviceRules.h"

#include <sqlite3.h>

#include <cstring>
#include <memory>

#include "lorawan/FrameCounter.h"
#include "persistence/ApplicationRules.h"
#include "persistence/Log.h"
#include "util/WinUtils.h"

namespace quorvex {
namespace {

constexpr char kEmptyEuiMessage[] = "Please Enter Device Eui !";
constexpr char kDuplicateEuiMessage[] = "The values of the EUI are duplicated.";
constexpr char kDuplicateAddressMessage[] = "The values of the ADDRESS are duplicated.";
constexpr char kUnreadableMessage[] = "The database could not be read to check for duplicates; please try again.";

constexpr char kEuiLabel[] = "Device EUI";
constexpr char kAddressLabel[] = "Address (Dec)";

RuleResult RefuseDecimal(const char* label, const char* field) {
  return RuleResult::Refuse(std::string(label) + ": enter a number from 0 to 4294967295", field);
}

std::string SignedText(uint32_t bits) { return std::to_string(static_cast<int32_t>(bits)); }

template <size_t N>
std::string SpacedHex(const uint8_t (&bytes)[N]) {
  return CWinUtils::BytesToHex(bytes, ' ', static_cast<int>(N));
}

RuleResult ReadIdentity(const DeviceForm& form, CDeviceRow& row) {
  if (form.devEui.empty()) return RuleResult::Refuse(kEmptyEuiMessage, "devEui");
  if (!ReadExactHex(form.devEui, row.DEVEUI)) return RefuseHexField(kEuiLabel, sizeof row.DEVEUI, "devEui");
  if (!ReadDecimal32(form.address, row.DEVADDR)) return RefuseDecimal(kAddressLabel, "address");
  return RuleResult::Accept();
}

RuleResult ReadOtaaFields(const DeviceForm& form, CDeviceRow& row) {
  if (!ReadDecimal32(form.networkId, row.NETWORKID)) return RefuseDecimal("Network ID (Dec)", "networkId");
  if (!ReadExactHex(form.appKey, row.APPKEY)) return RefuseHexField("App Key", sizeof row.APPKEY, "appKey");
  return RuleResult::Accept();
}

RuleResult ReadAbpFields(const DeviceForm& form, CDeviceRow& row) {
  if (!ReadExactHex(form.appSKey, row.APPSKEY)) return RefuseHexField("App SKey", sizeof row.APPSKEY, "appSKey");
  if (!ReadExactHex(form.netSKey, row.NETSKEY)) return RefuseHexField("Network SKey", sizeof row.NETSKEY, "netSKey");
  return RuleResult::Accept();
}

RuleResult ReadMemo(const DeviceForm& form, CDeviceRow& row) {
  if (form.memo.size() > kDeviceMemoMax) return RefuseLongText("Memo", kDeviceMemoMax, "memo");
  SetField(row.MEMO, form.memo);
  return RuleResult::Accept();
}

RuleResult ReadForm(const DeviceForm& form, const CApplication& app, CDeviceRow& row) {
  RuleResult result = ReadIdentity(form, row);
  if (result.ok) result = app.ACTIVATION == kActivationOtaa ? ReadOtaaFields(form, row) : ReadAbpFields(form, row);
  if (result.ok) result = ReadMemo(form, row);
  return result;
}

// The device's frames are found by its EUI (joins) and its address
// (uplinks); an edit must not move them.
RuleResult CheckUnchanged(const CDeviceRow& row, const CDeviceRow& stored) {
  if (memcmp(row.DEVEUI, stored.DEVEUI, sizeof row.DEVEUI) != 0) return RefuseLockedField(kEuiLabel, "devEui");
  if (row.DEVADDR != stored.DEVADDR) return RefuseLockedField(kAddressLabel, "address");
  return RuleResult::Accept();
}

// A lookup found nothing: either no row matched or the statement failed,
// which the registry's last result tells apart.
bool LookupFailed(const CDeviceManager& devices) { return devices.m_Result != SQLITE_OK; }

// Joins find a device by EUI and uplinks by address, taking the first row:
// a second device with either would never be served.
RuleResult CheckDuplicates(const CDeviceRow& row, CDeviceManager& devices) {
  if (devices.GetDeviceByEui(row.DEVEUI)) return RuleResult::Refuse(kDuplicateEuiMessage, "devEui");
  if (LookupFailed(devices)) return RuleResult::Refuse(kUnreadableMessage, "");
  if (devices.GetDeviceByAddr(row.DEVADDR)) return RuleResult::Refuse(kDuplicateAddressMessage, "address");
  if (LookupFailed(devices)) return RuleResult::Refuse(kUnreadableMessage, "");
  return RuleResult::Accept();
}

CDeviceRow FreshDevice(const CApplication& app) {
  CDeviceRow row;
  row.APKEY = app.PKEY;
  row.JOINED = app.ACTIVATION != kActivationOtaa ? 1 : 0;  // a personalised device needs no join
  // No frame yet in either direction: the first uplink's counter is taken as
  // it comes (a personalised device may be registered while counting), and
  // the first reply counts from 0.
  row.TXSEQ = kNoCounterYet;
  row.RXSEQ = kNoCounterYet;
  return row;
}

}  // namespace

uint32_t ProposeDeviceAddress(CDbManager& db) {
  // The column keeps the 32 bits signed; its largest value is read the same way.
  return static_cast<uint32_t>(db.GetMaxValue("DEVTBL", "DEVADDR")) + 1u;
}

DeviceForm NewDeviceForm(CDbManager& db) {
  DeviceForm form;
  form.address = SignedText(ProposeDeviceAddress(db));
  return form;
}

DeviceForm FormOf(const CDeviceRow& record) {
  DeviceForm form;
  form.devEui = SpacedHex(record.DEVEUI);
  form.address = SignedText(record.DEVADDR);
  form.networkId = SignedText(record.NETWORKID);
  form.appKey = SpacedHex(record.APPKEY);
  form.appSKey = SpacedHex(record.APPSKEY);
  form.netSKey = SpacedHex(record.NETSKEY);
  form.memo = TextOfField(record.MEMO);
  return form;
}

std::string DeviceFormTitle(const CApplication& app, FormMode mode) {
  const std::string activation = app.ACTIVATION != kActivationOtaa ? "ABP" : "OTAA";
  const std::string deviceClass = app.CLASS != kClassA ? "Class-C" : "Class-A";
  return std::string(mode == FormMode::kEdit ? "Edit " : "New ") + activation + " " + deviceClass + " Device";
}

DeviceFieldStates DeviceFieldStatesOf(const CApplication& app, FormMode mode) {
  const bool otaa = app.ACTIVATION == kActivationOtaa;
  const bool adding = mode == FormMode::kAdd;
  DeviceFieldStates states;
  states.devEui = adding;
  states.address = adding && !otaa;
  states.networkId = otaa;
  states.appKey = otaa;
  states.appSKey = !otaa;
  states.netSKey = !otaa;
  return states;
}

RuleResult ApplyDeviceForm(const DeviceForm& form, FormMode mode, const CApplication& app, CDeviceManager& devices,
                           CDeviceRow& record) {
  CDeviceRow row = mode == FormMode::kAdd ? FreshDevice(app) : record;
  RuleResult result = ReadForm(form, app, row);
  if (result.ok) result = mode == FormMode::kEdit ? CheckUnchanged(row, record) : CheckDuplicates(row, devices);
  if (result.ok) record = row;
  return result;
}

}  // namespace quorvex
