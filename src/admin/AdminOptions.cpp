// The options commands: the six operator options in the settings file, read
// and written through the same block as the window (unknown bytes kept, the
// checksum recomputed, the file replaced in one step).
#include <array>

#include "admin/AdminContext.h"
#include "admin/AdminTool.h"

namespace quorvex::admin {

namespace {

// An on/off option's command-line name and its word in the block.
struct SwitchOption {
  const char* name;
  COptionWord CSettingsBlock::*word;
};

constexpr std::array<SwitchOption, 5> kSwitchOptions = {{
    {"auto-restart", &CSettingsBlock::m_bAutoRestart},
    {"server-debug", &CSettingsBlock::m_bServerDebug},
    {"debug-log-view", &CSettingsBlock::m_bDebugLogView},
    {"auto-scroll", &CSettingsBlock::m_bAutoScroll},
    {"auto-reg", &CSettingsBlock::m_bAutoReg},
}};
constexpr char kAdrCountName[] = "adr-rx-count";

std::string SettingsPath(const AdminContext& ctx) { return ctx.args.dataDir + "/" + kSettingsFileName; }

const SwitchOption* FindSwitch(const std::string& name) {
  for (const auto& option : kSwitchOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

int ShowOptions(const AdminContext& ctx) {
  CSettingsBlock block;
  block.LoadSettings(SettingsPath(ctx));
  Json::Value json(Json::objectValue);
  for (const auto& option : kSwitchOptions) {
    const bool on = (block.*option.word).Load() != 0;
    json[option.name] = on;
    if (!ctx.args.json) ctx.out << option.name << " " << (on ? "on" : "off") << "\n";
  }
  json[kAdrCountName] = block.m_nAdrRxCount.Load();
  if (ctx.args.json) {
    ctx.WriteJson(json);
  } else {
    ctx.out << kAdrCountName << " " << block.m_nAdrRxCount.Load() << "\n";
  }
  return kExitDone;
}

// Puts `value` into the block's option `name`; a refusal when the value is
// outside the option's range.
RuleResult SetOption(CSettingsBlock& block, const std::string& name, const std::string& value) {
  if (name == kAdrCountName) {
    int32_t count = 0;
    RuleResult read = ReadAdrRxSetupCount(value, count);
    if (read.ok) block.m_nAdrRxCount = count;
    return read;
  }
  const std::optional<bool> on = OnOff(value);
  if (!on) return RuleResult::Refuse(name + ": choose on or off", name);
  (block.*FindSwitch(name)->word) = *on ? 1 : 0;
  return RuleResult::Accept();
}

int SetOptionCommand(const AdminContext& ctx) {
  const auto name = ctx.Word(2);
  const auto value = ctx.Word(3);
  if (!name || !value || ctx.args.words.size() > 4) return ctx.Usage("options set needs NAME VALUE");
  if (*name != kAdrCountName && FindSwitch(*name) == nullptr) return ctx.Usage("unknown option '" + *name + "'");
  CSettingsBlock block;
  block.LoadSettings(SettingsPath(ctx));
  const RuleResult result = SetOption(block, *name, *value);
  if (!result.ok) return ctx.Refuse(result);
  if (!block.SaveSettings(SettingsPath(ctx))) {
    return ctx.Refuse("the settings file " + SettingsPath(ctx) + " cannot be written");
  }
  Json::Value details(Json::objectValue);
  details["name"] = *name;
  details["value"] = *value;
  return ctx.Done(*name + " set to " + *value, details);
}

}  // namespace

int RunOptionsCommand(AdminContext& ctx) {
  if (const int status = ctx.CheckOptions({}); status != kExitDone) return status;
  const std::string verb = ctx.Word(1).value_or("");
  if (verb == "show" && ctx.args.words.size() == 2) return ShowOptions(ctx);
  if (verb == "set") return SetOptionCommand(ctx);
  return ctx.Usage("options: use 'show' or 'set NAME VALUE'");
}

}  // namespace quorvex::admin
