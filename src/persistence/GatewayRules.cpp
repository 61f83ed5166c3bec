#include "persistence/GatewayRules.h"

#include <strings.h>

#include "persistence/Log.h"
#include "util/WinUtils.h"

namespace quorvex {
namespace {

constexpr char kIdLabel[] = "Gateway ID";
constexpr char kDuplicateIdMessage[] = "The values of the Gateway ID are duplicated.";
constexpr int kEuiBytes = 8;

// The ID as datagrams carry it: sixteen upper-case digits; false when the
// text is not exactly 8 bytes of hex.
bool CanonicalId(const std::string& text, std::string& id) {
  uint8_t eui[kEuiBytes] = {};
  if (!ReadExactHex(text, eui)) return false;
  id = CWinUtils::BytesToHex(eui, 0, kEuiBytes);
  return true;
}

bool SameGateway(const std::string& typed, const CGatewayRow& stored) {
  if (typed == TextOfField(stored.ID)) return true;
  std::string id;
  return CanonicalId(typed, id) && strcasecmp(id.c_str(), stored.ID) == 0;
}

RuleResult CheckKept(const GatewayForm& form, const CGatewayRow& stored) {
  return SameGateway(form.id, stored) ? RuleResult::Accept() : RefuseLockedField(kIdLabel, "id");
}

RuleResult ApplyNew(const GatewayForm& form, CGateManager& gateways, CGatewayRow& row) {
  std::string id;
  if (!CanonicalId(form.id, id)) return RefuseHexField(kIdLabel, kEuiBytes, "id");
  if (gateways.HasGatewayId(id, -1)) return RuleResult::Refuse(kDuplicateIdMessage, "id");
  SetField(row.ID, id);
  return RuleResult::Accept();
}

}  // namespace

GatewayForm NewGatewayForm() { return GatewayForm{}; }

GatewayForm FormOf(const CGatewayRow& record) {
  GatewayForm form;
  form.active = record.ACTIVE != 0;
  form.id = TextOfField(record.ID);
  return form;
}

bool GatewayIdEditable(FormMode mode) { return mode == FormMode::kAdd; }

RuleResult ApplyGatewayForm(const GatewayForm& form, FormMode mode, CGateManager& gateways, CGatewayRow& record) {
  CGatewayRow row = mode == FormMode::kAdd ? CGatewayRow{} : record;
  const RuleResult result = mode == FormMode::kAdd ? ApplyNew(form, gateways, row) : CheckKept(form, record);
  if (!result.ok) return result;
  row.ACTIVE = form.active ? 1 : 0;
  record = row;
  return result;
}

}  // namespace quorvex
