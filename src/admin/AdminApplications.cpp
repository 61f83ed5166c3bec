// The application commands. The form is filled as the window's dialog is
// (class, then ADR, through the same events) and checked by the engine's
// application rules, so that the two front ends accept and refuse alike.
#include <cstdlib>

#include "admin/AdminContext.h"
#include "admin/AdminTool.h"
#include "persistence/ApplicationRules.h"
#include "persistence/RecordDeletion.h"
#include "persistence/RecordRows.h"
#include "persistence/RecordStore.h"

namespace quorvex::admin {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

Json::Value ApplicationJson(const CApplication& record) {
  const ApplicationForm form = FormOf(record);
  Json::Value json(Json::objectValue);
  json["key"] = record.PKEY;
  json["eui"] = form.appEui;
  json["activation"] = kActivationChoices[form.activation];
  json["class"] = kClassChoices[form.deviceClass];
  json["adr"] = record.ADR != 0;
  json["mask"] = form.channelMask;
  json["rx2Freq"] = form.rx2Channel;
  json["rx2Sf"] = kRx2SfChoices[form.rx2Sf];
  json["rx2Bw"] = kRx2BwChoices[form.rx2Bw];
  json["url"] = form.url;
  json["path"] = form.path;
  json["memo"] = form.memo;
  return json;
}

std::vector<CApplication> ListedApplications(AdminSession& session) {
  Guard lock(session.db.Mutex());
  std::vector<CApplication> copies;
  for (const auto& record : session.apps.m_List) copies.push_back(*record);
  return copies;
}

// Copies the typed options into the form in the dialog's event order; a
// value outside a list becomes an index the rules refuse with their message.
void FillApplicationForm(const AdminContext& ctx, ApplicationForm& form, FormMode mode) {
  ApplicationFieldStates states = OpeningFieldStates(form, mode);
  if (auto v = ctx.Value("activation")) form.activation = ChoiceIndex(*v, kActivationChoices);
  if (auto v = ctx.Value("class")) {
    const int32_t index = ChoiceIndex(*v, kClassChoices);
    if (index >= 0) ChooseApplicationClass(form, states, index);
    form.deviceClass = index;
  }
  if (auto v = ctx.Value("adr")) {
    const std::optional<bool> on = OnOff(*v);
    ChooseApplicationAdr(form, states, on.value_or(form.adrOn));
  }
  if (auto v = ctx.Value("eui")) form.appEui = *v;
  if (auto v = ctx.Value("mask")) form.channelMask = *v;
  if (auto v = ctx.Value("rx2-freq")) form.rx2Channel = *v;
  if (auto v = ctx.Value("rx2-sf")) form.rx2Sf = ChoiceIndex(*v, kRx2SfChoices);
  if (auto v = ctx.Value("rx2-bw")) form.rx2Bw = ChoiceIndex(*v, kRx2BwChoices);
  if (auto v = ctx.Value("url")) form.url = *v;
  if (auto v = ctx.Value("path")) form.path = *v;
  if (auto v = ctx.Value("memo")) form.memo = *v;
}

// An ADR word that is neither on nor off has no list index to carry it to
// the rules, so it is refused here, with the rules' wording for a choice.
bool AdrTextValid(const AdminContext& ctx) {
  const auto v = ctx.Value("adr");
  return !v || OnOff(*v).has_value();
}

int ListApplications(AdminContext& ctx) {
  Json::Value list(Json::arrayValue);
  for (const CApplication& record : ListedApplications(*ctx.session)) {
    if (ctx.args.json) {
      list.append(ApplicationJson(record));
    } else {
      ctx.out << ListLine(record.PKEY, ApplicationRowTexts(record)) << "\n";
    }
  }
  if (ctx.args.json) ctx.WriteJson(list);
  return kExitDone;
}

int AddApplication(AdminContext& ctx) {
  if (!AdrTextValid(ctx)) return ctx.Refuse(RefuseChoice("ADR", kAdrChoices, "adrOn"));
  ApplicationForm form = NewApplicationForm();
  FillApplicationForm(ctx, form, FormMode::kAdd);
  CApplication record;
  const RuleResult rule = ApplyApplicationForm(form, FormMode::kAdd, ctx.session->apps, record);
  if (!rule.ok) return ctx.Refuse(rule);
  CApplication stored;
  if (StoreNewApplication(ctx.session->db, ctx.session->apps, record, stored) != 0) {
    return ctx.Refuse("the database refused the new application");
  }
  return ctx.Done("added application " + std::to_string(stored.PKEY), ApplicationJson(stored));
}

int EditApplication(AdminContext& ctx, CApplication record) {
  if (!AdrTextValid(ctx)) return ctx.Refuse(RefuseChoice("ADR", kAdrChoices, "adrOn"));
  ApplicationForm form = FormOf(record);
  FillApplicationForm(ctx, form, FormMode::kEdit);
  const RuleResult rule = ApplyApplicationForm(form, FormMode::kEdit, ctx.session->apps, record);
  if (!rule.ok) return ctx.Refuse(rule);
  if (StoreEditedApplication(ctx.session->db, ctx.session->apps, record) != 0) {
    return ctx.Refuse("the database refused the change of application " + std::to_string(record.PKEY));
  }
  return ctx.Done("changed application " + std::to_string(record.PKEY), ApplicationJson(record));
}

int DeleteApplication(AdminContext& ctx, const CApplication& record) {
  AdminSession& s = *ctx.session;
  const DeleteResult result = DeleteApplicationCascade(s.db, s.apps, s.devices, s.downlinks, record.PKEY);
  if (result.Refused()) return ctx.Refuse(DeleteRefusedMessage(result));
  Json::Value details(Json::objectValue);
  details["key"] = record.PKEY;
  return ctx.Done("deleted application " + std::to_string(record.PKEY) + " with its devices and downlinks", details);
}

int OnNamedApplication(AdminContext& ctx, const std::string& verb) {
  const auto name = ctx.Word(2);
  if (!name || ctx.args.words.size() > 3) return ctx.Usage("app " + verb + " needs one application (key or EUI)");
  CApplication record;
  if (!FindApplicationByText(*ctx.session, *name, record)) return ctx.Refuse("no application " + *name);
  if (verb == "show") return ShowRecord(ctx, ApplicationJson(record));
  if (verb == "edit") return EditApplication(ctx, record);
  return DeleteApplication(ctx, record);
}

constexpr std::initializer_list<const char*> kFormOptions = {
    "eui", "activation", "class", "adr", "mask", "rx2-freq", "rx2-sf", "rx2-bw", "url", "path", "memo"};

}  // namespace

bool FindApplicationByText(AdminSession& session, const std::string& text, CApplication& out) {
  uint8_t eui[8];
  if (ReadExactHex(text, eui)) return session.apps.CopyApplicationByEui(eui, out);
  uint32_t key = 0;
  return ReadDecimal32(text, key) && session.apps.CopyApplication(static_cast<int32_t>(key), out);
}

int RunApplicationCommand(AdminContext& ctx) {
  const std::string verb = ctx.Word(1).value_or("");
  const bool takesForm = verb == "add" || verb == "edit";
  if (const int status = takesForm ? ctx.CheckOptions(kFormOptions) : ctx.CheckOptions({}); status != kExitDone) {
    return status;
  }
  if (verb == "list" && ctx.args.words.size() == 2) return ListApplications(ctx);
  if (verb == "add" && ctx.args.words.size() == 2) return AddApplication(ctx);
  if (verb == "show" || verb == "edit" || verb == "delete") return OnNamedApplication(ctx, verb);
  return ctx.Usage("app: use list, show, add, edit or delete");
}

}  // namespace quorvex::admin
