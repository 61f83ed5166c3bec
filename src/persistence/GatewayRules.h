// The gateway form: register a gateway by its EUI, or switch a known one
// between active and inactive; the check that turns the form into a gateway
// row or refuses it with the message to show.
#pragma once
#include <array>
#include <string>

#include "gateway/GateManager.h"
#include "persistence/FormRules.h"
#include "persistence/GatewayRow.h"

namespace quorvex {

// The Active list, index 0 "ON" (ACTIVE 1).
inline constexpr std::array<const char*, 2> kGatewayActiveChoices = {"ON", "OFF"};

// The operator's entries.
struct GatewayForm {
  bool active = true;
  std::string id;  // the gateway EUI, sixteen hex digits
};

// Active "ON", empty ID.
GatewayForm NewGatewayForm();
// The form showing `record`: ON when ACTIVE is not 0, its ID as stored.
GatewayForm FormOf(const CGatewayRow& record);
// The ID is typed only when adding; an edit switches ACTIVE alone.
bool GatewayIdEditable(FormMode mode);

// Checks the form and, when it is accepted, writes it into `record`; on a
// refusal `record` is untouched. In add mode `record` starts afresh (PKEY 0)
// and the ID must be exactly 8 bytes of hex ("Gateway ID: enter 16 hex
// digits (8 bytes)"); it is stored as sixteen upper-case digits without
// separators, since that is the only form in which the registry ever matches
// a datagram's EUI. An ID that a registered gateway already has is refused
// ("The values of the Gateway ID are duplicated.": the registry serves the
// first match only, so the new record would never be used). In edit mode the
// ID must be the record's own (as stored, or the same EUI written another
// way; "Gateway ID: cannot be changed when editing") and is kept as stored.
RuleResult ApplyGatewayForm(const GatewayForm& form, FormMode mode, CGateManager& gateways, CGatewayRow& record);

}  // namespace quorvex
