// The gateway and queued-downlink commands.
#include <strings.h>

#include <cstdio>
#include <memory>

#include "admin/AdminContext.h"
#include "admin/AdminTool.h"
#include "persistence/DLink.h"
#include "persistence/DownlinkRules.h"
#include "persistence/GatewayRules.h"
#include "persistence/RecordDeletion.h"
#include "persistence/RecordRows.h"
#include "persistence/RecordStore.h"
#include "util/FieldText.h"

namespace quorvex::admin {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

Json::Value GatewayJson(const CGatewayRow& record) {
  Json::Value json(Json::objectValue);
  json["key"] = record.PKEY;
  json["id"] = FieldText(record.ID);
  json["active"] = record.ACTIVE != 0;
  json["ip"] = FieldText(record.IP);
  return json;
}

std::vector<CGatewayRow> ListedGateways(AdminSession& session) {
  Guard lock(session.gateways.Mutex());
  std::vector<CGatewayRow> rows;
  for (const auto& gateway : session.gateways.m_Gateways) rows.push_back(*gateway);
  return rows;
}

// The gateway `text` names: its key in decimal, or its EUI (16 hex digits,
// separators allowed) as the registry stores it.
bool FindGateway(AdminSession& session, const std::string& text, CGatewayRow& out) {
  uint8_t eui[8];
  std::string id;
  if (ReadExactHex(text, eui)) {
    char digits[17];
    for (int i = 0; i < 8; ++i) snprintf(digits + 2 * i, 3, "%02X", eui[i]);
    id = digits;
  }
  uint32_t key = 0;
  const bool byKey = id.empty() && ReadDecimal32(text, key);
  for (const CGatewayRow& row : ListedGateways(session)) {
    if (byKey ? row.PKEY == static_cast<int32_t>(key) : FieldText(row.ID) == id) {
      out = row;
      return true;
    }
  }
  return false;
}

std::optional<bool> ActiveOption(const AdminContext& ctx, bool fallback, bool& valid) {
  valid = true;
  const auto v = ctx.Value("active");
  if (!v) return fallback;
  const std::optional<bool> on = OnOff(*v);
  valid = on.has_value();
  return on;
}

int ListGateways(AdminContext& ctx) {
  Json::Value list(Json::arrayValue);
  for (const CGatewayRow& row : ListedGateways(*ctx.session)) {
    if (ctx.args.json) {
      list.append(GatewayJson(row));
    } else {
      ctx.out << ListLine(row.PKEY, GatewayRowTexts(row)) << "\n";
    }
  }
  if (ctx.args.json) ctx.WriteJson(list);
  return kExitDone;
}

int StoreGatewayForm(AdminContext& ctx, GatewayForm form, FormMode mode, CGatewayRow record) {
  bool valid = true;
  form.active = ActiveOption(ctx, form.active, valid).value_or(false);
  if (!valid) return ctx.Refuse(RefuseChoice("Active", kGatewayActiveChoices, "active"));
  if (auto v = ctx.Value("id")) form.id = *v;
  const RuleResult rule = ApplyGatewayForm(form, mode, ctx.session->gateways, record);
  if (!rule.ok) return ctx.Refuse(rule);
  if (mode == FormMode::kEdit) {
    if (StoreEditedGateway(ctx.session->gateways, record) != 0) return ctx.Refuse("the database refused the change");
    return ctx.Done("changed gateway " + FieldText(record.ID), GatewayJson(record));
  }
  CGatewayRow stored;
  if (StoreNewGateway(ctx.session->gateways, record, stored) != 0) {
    return ctx.Refuse("the database refused the gateway");
  }
  return ctx.Done("added gateway " + FieldText(stored.ID), GatewayJson(stored));
}

int OnNamedGateway(AdminContext& ctx, const std::string& verb) {
  const auto name = ctx.Word(2);
  if (!name || ctx.args.words.size() > 3) return ctx.Usage("gateway " + verb + " needs one gateway (key or ID)");
  CGatewayRow record;
  if (!FindGateway(*ctx.session, *name, record)) return ctx.Refuse("no gateway " + *name);
  if (verb == "show") return ShowRecord(ctx, GatewayJson(record));
  if (verb == "edit") return StoreGatewayForm(ctx, FormOf(record), FormMode::kEdit, record);
  const DeleteResult result = DeleteGatewayRecord(ctx.session->gateways, record.PKEY);
  if (result.Refused()) return ctx.Refuse(DeleteRefusedMessage(result));
  return ctx.Done("deleted gateway " + FieldText(record.ID), GatewayJson(record));
}

Json::Value DownlinkJson(const CDLink& record) {
  const std::vector<std::string> texts = DownlinkRowTexts(record);
  Json::Value json(Json::objectValue);
  json["key"] = record.PKEY;
  json["device"] = record.DEVPKEY;
  json["port"] = record.PORT;
  json["confirmed"] = record.CONFIRMED != 0;
  json["window"] = texts[2];
  json["mac"] = FieldText(record.MAC);
  json["app"] = FieldText(record.APP);
  json["time"] = FieldText(record.TIME);
  json["state"] = record.TXDONE;
  return json;
}

int ListDownlinks(AdminContext& ctx) {
  const auto name = ctx.Value("device");
  if (!name) return ctx.Usage("downlink list needs --device EUI");
  CDeviceRow device;
  CApplication app;
  RuleResult refusal;
  if (!FindDeviceByText(*ctx.session, *name, device, app, refusal)) return ctx.Refuse(refusal);
  DLinkRecords records;
  if (ctx.session->downlinks.LoadDownlinks(device.PKEY, false, &records) != 0) {
    return ctx.Refuse("the downlinks could not be read");
  }
  Json::Value list(Json::arrayValue);
  for (const auto& record : records) {
    if (ctx.args.json) {
      list.append(DownlinkJson(*record));
    } else {
      ctx.out << ListLine(record->PKEY, DownlinkRowTexts(*record)) << "\n";
    }
  }
  if (ctx.args.json) ctx.WriteJson(list);
  return kExitDone;
}

// The receive window typed as "rx1" or "RX 2"; -1 (refused by the rules) otherwise.
int32_t WindowIndex(std::string text) {
  std::erase(text, ' ');
  if (strcasecmp(text.c_str(), "rx1") == 0) return CDLink::kRx1;
  if (strcasecmp(text.c_str(), "rx2") == 0) return CDLink::kRx2;
  return -1;
}

// Fills the request form from the options; a port or confirmation that is
// no number or on/off becomes a value the rules refuse with their message.
DownlinkForm DownlinkFormOf(const AdminContext& ctx) {
  DownlinkForm form = NewDownlinkForm();
  if (auto v = ctx.Value("port")) {
    uint32_t port = 0;
    form.port = ReadDecimal32(*v, port) && port <= kDownlinkPortMax ? static_cast<int32_t>(port) : 0;
  }
  if (auto v = ctx.Value("confirmed")) form.confirmed = OnOff(*v).has_value() ? (*OnOff(*v) ? 1 : 0) : -1;
  if (auto v = ctx.Value("window")) form.channel = WindowIndex(*v);
  if (auto v = ctx.Value("data")) form.appData = *v;
  if (auto v = ctx.Value("mac")) form.macData = *v;
  return form;
}

// Queues a request for the device as the window's downlink dialog does.
int AddDownlink(AdminContext& ctx) {
  const auto name = ctx.Value("device");
  if (!name || ctx.args.words.size() != 2) return ctx.Usage("downlink add needs --device EUI");
  CDeviceRow device;
  CApplication app;
  RuleResult refusal;
  if (!FindDeviceByText(*ctx.session, *name, device, app, refusal)) return ctx.Refuse(refusal);
  CDLink form;
  const RuleResult rule = ApplyDownlinkForm(DownlinkFormOf(ctx), app.CLASS, form);
  if (!rule.ok) return ctx.Refuse(rule);
  auto record = std::make_unique<CDLink>(form);
  record->DEVPKEY = device.PKEY;
  const CDLink* stored = record.get();
  Guard lock(ctx.session->db.Mutex());
  if (ctx.session->downlinks.InsertDownlink(std::move(record), true) != 0) {
    return ctx.Refuse("the database refused the downlink");
  }
  return ctx.Done("queued downlink " + std::to_string(stored->PKEY), DownlinkJson(*stored));
}

int DeleteDownlink(AdminContext& ctx) {
  const auto name = ctx.Word(2);
  uint32_t key = 0;
  if (!name || ctx.args.words.size() > 3 || !ReadDecimal32(*name, key)) {
    return ctx.Usage("downlink delete needs one downlink key");
  }
  AdminSession& s = *ctx.session;
  const DeleteResult result = DeleteDownlinkRecord(s.db, s.downlinks, static_cast<int32_t>(key));
  if (result.Refused()) return ctx.Refuse(DeleteRefusedMessage(result));
  Json::Value details(Json::objectValue);
  details["key"] = static_cast<int32_t>(key);
  return ctx.Done("deleted downlink " + *name, details);
}

}  // namespace

int RunGatewayCommand(AdminContext& ctx) {
  const std::string verb = ctx.Word(1).value_or("");
  const bool takesForm = verb == "add" || verb == "edit";
  if (const int status = takesForm ? ctx.CheckOptions({"id", "active"}) : ctx.CheckOptions({}); status != kExitDone) {
    return status;
  }
  if (verb == "list" && ctx.args.words.size() == 2) return ListGateways(ctx);
  if (verb == "add" && ctx.args.words.size() == 2) return StoreGatewayForm(ctx, NewGatewayForm(), FormMode::kAdd, {});
  if (verb == "show" || verb == "edit" || verb == "delete") return OnNamedGateway(ctx, verb);
  return ctx.Usage("gateway: use list, show, add, edit or delete");
}

int RunDownlinkCommand(AdminContext& ctx) {
  const std::string verb = ctx.Word(1).value_or("");
  const int status = verb == "add"    ? ctx.CheckOptions({"device", "port", "confirmed", "window", "data", "mac"})
                     : verb == "list" ? ctx.CheckOptions({"device"})
                                      : ctx.CheckOptions({});
  if (status != kExitDone) return status;
  if (verb == "list" && ctx.args.words.size() == 2) return ListDownlinks(ctx);
  if (verb == "add") return AddDownlink(ctx);
  if (verb == "delete") return DeleteDownlink(ctx);
  return ctx.Usage("downlink: use list, add or delete");
}

}  // namespace quorvex::admin
