// The device commands: the window's device form and rules (a new device is
// offered the next free address), and the operator's resets of a device
// that restarted its counters or must join again.
#include "admin/AdminContext.h"
#include "admin/AdminTool.h"
#include "lorawan/FrameCounter.h"
#include "persistence/ApplicationRules.h"
#include "persistence/DbStatement.h"
#include "persistence/DeviceRules.h"
#include "persistence/RecordDeletion.h"
#include "persistence/RecordRows.h"
#include "persistence/RecordStore.h"

namespace quorvex::admin {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

Json::Value DeviceJson(const CDeviceRow& record) {
  const DeviceForm form = FormOf(record);
  Json::Value json(Json::objectValue);
  json["key"] = record.PKEY;
  json["app"] = record.APKEY;
  json["eui"] = form.devEui;
  json["addr"] = form.address;
  json["netid"] = form.networkId;
  json["appkey"] = form.appKey;
  json["appskey"] = form.appSKey;
  json["nwkskey"] = form.netSKey;
  json["memo"] = form.memo;
  json["joined"] = record.JOINED != 0;
  json["rxseq"] = static_cast<Json::Int64>(record.RXSEQ);
  json["txseq"] = static_cast<Json::Int64>(record.TXSEQ);
  return json;
}

// The stored devices of application `apKey`, in EUI order.
std::vector<CDeviceRow> DevicesOf(AdminSession& session, int32_t apKey, bool& ok) {
  Guard lock(session.db.Mutex());
  ok = session.devices.LoadDevices(apKey) == 0;
  std::vector<CDeviceRow> rows;
  for (const auto& device : session.devices.m_Devices) rows.push_back(*device);
  return rows;
}

void FillDeviceForm(const AdminContext& ctx, DeviceForm& form) {
  if (auto v = ctx.Value("eui")) form.devEui = *v;
  if (auto v = ctx.Value("addr")) form.address = *v;
  if (auto v = ctx.Value("netid")) form.networkId = *v;
  if (auto v = ctx.Value("appkey")) form.appKey = *v;
  if (auto v = ctx.Value("appskey")) form.appSKey = *v;
  if (auto v = ctx.Value("nwkskey")) form.netSKey = *v;
  if (auto v = ctx.Value("memo")) form.memo = *v;
}

// The device options whose field the activation mode (or, for the address,
// editing) takes away from the operator, so that the window cannot type it.
struct LockableOption {
  const char* name;
  const char* label;
  bool DeviceFieldStates::*state;
  const char* field;
};

constexpr LockableOption kLockableOptions[] = {
    {"addr", "Address (Dec)", &DeviceFieldStates::address, "address"},
    {"netid", "Network ID (Dec)", &DeviceFieldStates::networkId, "networkId"},
    {"appkey", "App Key", &DeviceFieldStates::appKey, "appKey"},
    {"appskey", "App SKey", &DeviceFieldStates::appSKey, "appSKey"},
    {"nwkskey", "Network SKey", &DeviceFieldStates::netSKey, "netSKey"},
};

// Refuses an option for a field the form would not let the operator type
// (it would be dropped or, for an OTAA device's address, replace the
// proposal). A changed address in an edit is left to the rules' own refusal.
RuleResult RefuseUntypedOptions(const AdminContext& ctx, const CApplication& app, FormMode mode) {
  for (const LockableOption& option : kLockableOptions) {
    const bool leftToRules = mode == FormMode::kEdit && option.state == &DeviceFieldStates::address;
    if (ctx.Value(option.name) && !leftToRules && !DeviceFieldTypable(app, mode, option.field)) {
      return UntypedFieldRefusal(app, option.field);
    }
  }
  return RuleResult::Accept();
}

int ListDevices(AdminContext& ctx) {
  std::vector<CApplication> apps;
  if (auto name = ctx.Value("app")) {
    CApplication app;
    if (!FindApplicationByText(*ctx.session, *name, app)) return ctx.Refuse("no application " + *name);
    apps.push_back(app);
  } else {
    Guard lock(ctx.session->db.Mutex());
    for (const auto& app : ctx.session->apps.m_List) apps.push_back(*app);
  }
  Json::Value list(Json::arrayValue);
  for (const CApplication& app : apps) {
    bool ok = false;
    for (const CDeviceRow& row : DevicesOf(*ctx.session, app.PKEY, ok)) {
      if (ctx.args.json) {
        list.append(DeviceJson(row));
      } else {
        ctx.out << ListLine(row.PKEY, DeviceRowTexts(row)) << "\n";
      }
    }
    if (!ok) return ctx.Refuse("the devices of application " + std::to_string(app.PKEY) + " could not be read");
  }
  if (ctx.args.json) ctx.WriteJson(list);
  return kExitDone;
}

int AddDevice(AdminContext& ctx) {
  const auto name = ctx.Value("app");
  if (!name) return ctx.Usage("device add needs --app (key or EUI)");
  CApplication app;
  if (!FindApplicationByText(*ctx.session, *name, app)) return ctx.Refuse("no application " + *name);
  AdminSession& s = *ctx.session;
  if (const RuleResult untyped = RefuseUntypedOptions(ctx, app, FormMode::kAdd); !untyped.ok) {
    return ctx.Refuse(untyped);
  }
  DeviceForm form = NewDeviceForm(s.db);
  FillDeviceForm(ctx, form);
  CDeviceRow record;
  const RuleResult rule = ApplyDeviceForm(form, FormMode::kAdd, app, s.devices, record);
  if (!rule.ok) return ctx.Refuse(rule);
  CDeviceRow stored;
  if (StoreNewDevice(s.db, s.devices, record, stored) != 0) return ctx.Refuse("the database refused the new device");
  return ctx.Done("added device " + FormOf(stored).devEui + " with address " + FormOf(stored).address,
                  DeviceJson(stored));
}

int EditDevice(AdminContext& ctx, CDeviceRow record, const CApplication& app) {
  AdminSession& s = *ctx.session;
  if (const RuleResult untyped = RefuseUntypedOptions(ctx, app, FormMode::kEdit); !untyped.ok) {
    return ctx.Refuse(untyped);
  }
  bool loaded = false;
  DevicesOf(s, app.PKEY, loaded);  // the registry's record is refreshed after the edit
  DeviceForm form = FormOf(record);
  FillDeviceForm(ctx, form);
  const RuleResult rule = ApplyDeviceForm(form, FormMode::kEdit, app, s.devices, record);
  if (!rule.ok) return ctx.Refuse(rule);
  if (StoreEditedDevice(s.db, s.devices, app, record) != 0) return ctx.Refuse("the database refused the change");
  return ctx.Done("changed device " + form.devEui, DeviceJson(record));
}

int DeleteDevice(AdminContext& ctx, const CDeviceRow& record) {
  AdminSession& s = *ctx.session;
  const DeleteResult result = DeleteDeviceCascade(s.db, s.devices, s.downlinks, record.PKEY);
  if (result.Refused()) return ctx.Refuse(DeleteRefusedMessage(result));
  return ctx.Done("deleted device " + FormOf(record).devEui + " with its downlinks", DeviceJson(record));
}

// Runs `sql` with the device's key as its only parameter; false when the
// database refused it. Only the named columns are written, so a frame the
// server is handling meanwhile keeps everything else it stores.
bool WriteDeviceColumns(AdminSession& session, const char* sql, int32_t pkey) {
  Guard lock(session.db.Mutex());
  CDbStatement stmt;
  if (stmt.Prepare(session.db.Connection(), sql) != SQLITE_OK) return false;
  stmt.BindInt(pkey);
  return stmt.Step() == SQLITE_DONE;
}

std::string ResetCountersSql() {
  const std::string none = std::to_string(kNoCounterYet);
  return "UPDATE DEVTBL SET RXSEQ = " + none + ", TXSEQ = " + none + " WHERE PKEY = ?";
}

int ResetCounters(AdminContext& ctx, const CDeviceRow& record) {
  if (!WriteDeviceColumns(*ctx.session, ResetCountersSql().c_str(), record.PKEY)) {
    return ctx.Refuse("the database refused the reset");
  }
  return ctx.Done("device " + FormOf(record).devEui + " counts its frames afresh", DeviceJson(record));
}

int Rejoin(AdminContext& ctx, const CDeviceRow& record, const CApplication& app) {
  if (app.ACTIVATION != kActivationOtaa) return ctx.Refuse("an ABP device does not join");
  if (!WriteDeviceColumns(*ctx.session, "UPDATE DEVTBL SET JOINED = 0 WHERE PKEY = ?", record.PKEY)) {
    return ctx.Refuse("the database refused the change");
  }
  return ctx.Done("device " + FormOf(record).devEui + " must join again", DeviceJson(record));
}

int ClearNonces(AdminContext& ctx, const CDeviceRow& record) {
  if (ctx.session->devices.ClearDevNonces(record.PKEY) != 0) return ctx.Refuse("the database refused the change");
  return ctx.Done("device " + FormOf(record).devEui + " may use any DevNonce again", DeviceJson(record));
}

int OnNamedDevice(AdminContext& ctx, const std::string& verb) {
  const auto name = ctx.Word(2);
  if (!name || ctx.args.words.size() > 3) return ctx.Usage("device " + verb + " needs one device EUI");
  CDeviceRow record;
  CApplication app;
  RuleResult refusal;
  if (!FindDeviceByText(*ctx.session, *name, record, app, refusal)) return ctx.Refuse(refusal);
  if (verb == "show") return ShowRecord(ctx, DeviceJson(record));
  if (verb == "edit") return EditDevice(ctx, record, app);
  if (verb == "delete") return DeleteDevice(ctx, record);
  if (verb == "reset-counters") return ResetCounters(ctx, record);
  if (verb == "rejoin") return Rejoin(ctx, record, app);
  return ClearNonces(ctx, record);
}

bool IsNamedVerb(const std::string& verb) {
  return verb == "show" || verb == "edit" || verb == "delete" || verb == "reset-counters" || verb == "rejoin" ||
         verb == "clear-nonces";
}

int CheckDeviceOptions(const AdminContext& ctx, const std::string& verb) {
  if (verb == "add") return ctx.CheckOptions({"app", "eui", "addr", "netid", "appkey", "appskey", "nwkskey", "memo"});
  if (verb == "edit") return ctx.CheckOptions({"eui", "addr", "netid", "appkey", "appskey", "nwkskey", "memo"});
  if (verb == "list") return ctx.CheckOptions({"app"});
  return ctx.CheckOptions({});
}

}  // namespace

bool DeviceFieldTypable(const CApplication& app, FormMode mode, const std::string& field) {
  const DeviceFieldStates states = DeviceFieldStatesOf(app, mode);
  for (const LockableOption& option : kLockableOptions) {
    if (field == option.field) return states.*option.state;
  }
  return true;
}

RuleResult UntypedFieldRefusal(const CApplication& app, const std::string& field) {
  const char* kind = app.ACTIVATION == kActivationOtaa ? "an OTAA" : "an ABP";
  for (const LockableOption& option : kLockableOptions) {
    if (field == option.field) {
      return RuleResult::Refuse(std::string(option.label) + ": not typed for " + kind + " device", field);
    }
  }
  return RuleResult::Refuse(field + ": not typed for " + kind + " device", field);
}

bool FindDeviceByText(AdminSession& session, const std::string& text, CDeviceRow& device, CApplication& app,
                      RuleResult& refusal) {
  uint8_t eui[8];
  if (!ReadExactHex(text, eui)) {
    refusal = RefuseHexField("Device EUI", 8, "devEui");
    return false;
  }
  const std::unique_ptr<CDevice> found = session.devices.GetDeviceByEui(eui);
  if (!found) {
    refusal = RuleResult::Refuse("no device " + text, "devEui");
    return false;
  }
  device = *found;
  if (!session.apps.CopyApplication(device.APKEY, app)) {
    refusal = RuleResult::Refuse("device " + text + " belongs to no application", "devEui");
    return false;
  }
  return true;
}

int RunDeviceCommand(AdminContext& ctx) {
  const std::string verb = ctx.Word(1).value_or("");
  if (const int status = CheckDeviceOptions(ctx, verb); status != kExitDone) return status;
  if (verb == "list" && ctx.args.words.size() == 2) return ListDevices(ctx);
  if (verb == "add" && ctx.args.words.size() == 2) return AddDevice(ctx);
  if (IsNamedVerb(verb)) return OnNamedDevice(ctx, verb);
  return ctx.Usage("device: use list, show, add, edit, delete, reset-counters, rejoin or clear-nonces");
}

}  // namespace quorvex::admin
