#include "persistence/ApplicationRules.h"

#include <cstdio>
#include <cstring>

#include "persistence/Log.h"
#include "util/WinUtils.h"

namespace quorvex {
namespace {

constexpr char kEmptyEuiMessage[] = "Please Enter Application Eui";
constexpr char kRx2LengthMessage[] = "Rx 2 Channel Length Error";
// The text names the wrong EUI, but operators know it by heart; kept as it is.
constexpr char kDuplicateEuiMessage[] = "The values of the DEVEUI are duplicated.";

constexpr char kEuiLabel[] = "Application EUI";
constexpr char kMaskLabel[] = "Channel Mask";

template <size_t N>
int32_t IndexOrZero(int32_t index, const std::array<const char*, N>& choices) {
  return IsChoice(index, choices) ? index : 0;
}

RuleResult CheckChoices(const ApplicationForm& form) {
  if (!IsChoice(form.activation, kActivationChoices)) return RefuseChoice("Activation", kActivationChoices, "activation");
  if (!IsChoice(form.deviceClass, kClassChoices)) return RefuseChoice("Class", kClassChoices, "deviceClass");
  if (!IsChoice(form.rx2Sf, kRx2SfChoices)) return RefuseChoice("Rx 2 Datarate", kRx2SfChoices, "rx2Sf");
  if (!IsChoice(form.rx2Bw, kRx2BwChoices)) return RefuseChoice("Rx 2 Bandwidth", kRx2BwChoices, "rx2Bw");
  return RuleResult::Accept();
}

RuleResult CheckRequiredTexts(const ApplicationForm& form) {
  if (form.appEui.empty()) return RuleResult::Refuse(kEmptyEuiMessage, "appEui");
  if (form.deviceClass == kClassC && form.rx2Channel.size() != kRx2ChannelDigits) {
    return RuleResult::Refuse(kRx2LengthMessage, "rx2Channel");
  }
  return RuleResult::Accept();
}

// The settings taken from the lists and the RX2 frequency; they cannot fail.
void FillSettings(const ApplicationForm& form, CApplication& row) {
  row.ACTIVATION = form.activation;
  row.CLASS = form.deviceClass;
  // The class rule holds for every front end, not only for the dialog's list.
  row.ADR = (form.adrOn && form.deviceClass == kClassA) ? 1 : 0;
  row.RX2CHAN = LeadingDigitsValue(form.rx2Channel);
  row.RX2SF = form.rx2Sf;
  row.RX2BW = form.rx2Bw;
}

RuleResult ReadHexFields(const ApplicationForm& form, CApplication& row) {
  uint8_t mask[2] = {};
  if (!ReadExactHex(form.channelMask, mask)) return RefuseHexField(kMaskLabel, sizeof mask, "channelMask");
  if (!ReadExactHex(form.appEui, row.APPEUI)) return RefuseHexField(kEuiLabel, sizeof row.APPEUI, "appEui");
  row.CHMASK = (mask[0] << 8) | mask[1];  // typed high byte first
  return RuleResult::Accept();
}

RuleResult ReadTexts(const ApplicationForm& form, CApplication& row) {
  if (form.url.size() > kAppTextMax) return RefuseLongText("App Server Url", kAppTextMax, "url");
  if (form.path.size() > kAppTextMax) return RefuseLongText("App Server Parameter", kAppTextMax, "path");
  if (form.memo.size() > kAppTextMax) return RefuseLongText("Memo", kAppTextMax, "memo");
  SetField(row.APPURL, form.url);
  SetField(row.APPPARM, form.path);
  SetField(row.MEMO, form.memo);
  return RuleResult::Accept();
}

// The application's devices were made for its activation mode, class and
// EUI; an edit must leave them as they are.
RuleResult CheckUnchanged(const CApplication& row, const CApplication& stored) {
  if (row.ACTIVATION != stored.ACTIVATION) return RefuseLockedField("Activation", "activation");
  if (row.CLASS != stored.CLASS) return RefuseLockedField("Class", "deviceClass");
  if (memcmp(row.APPEUI, stored.APPEUI, sizeof row.APPEUI) != 0) return RefuseLockedField(kEuiLabel, "appEui");
  return RuleResult::Accept();
}

RuleResult ReadForm(const ApplicationForm& form, FormMode mode, const CApplication& stored, CApplication& row) {
  RuleResult result = CheckChoices(form);
  if (result.ok) result = CheckRequiredTexts(form);
  if (!result.ok) return result;
  FillSettings(form, row);
  result = ReadHexFields(form, row);
  if (result.ok) result = ReadTexts(form, row);
  if (result.ok && mode == FormMode::kEdit) result = CheckUnchanged(row, stored);
  return result;
}

}  // namespace

ApplicationForm NewApplicationForm() {
  ApplicationForm form;
  form.channelMask = kDefaultChannelMask;
  form.rx2Channel = kDefaultRx2Channel;
  form.url = kDefaultAppUrl;
  form.path = kDefaultAppPath;
  return form;
}

ApplicationForm FormOf(const CApplication& record) {
  ApplicationForm form;
  form.activation = IndexOrZero(record.ACTIVATION, kActivationChoices);
  form.adrOn = record.ADR != 0;
  char mask[16] = {};
  snprintf(mask, sizeof mask, "%04X", static_cast<unsigned>(record.CHMASK));
  form.channelMask = mask;
  form.appEui = CWinUtils::BytesToHex(record.APPEUI, ' ', sizeof record.APPEUI);
  form.rx2Channel = std::to_string(record.RX2CHAN);
  form.rx2Sf = IndexOrZero(record.RX2SF, kRx2SfChoices);
  form.rx2Bw = IndexOrZero(record.RX2BW, kRx2BwChoices);
  form.url = TextOfField(record.APPURL);
  form.path = TextOfField(record.APPPARM);
  form.memo = TextOfField(record.MEMO);
  ApplicationFieldStates states;
  ChooseApplicationClass(form, states, IndexOrZero(record.CLASS, kClassChoices));
  return form;
}

const char* ApplicationFormTitle(FormMode mode) {
  return mode == FormMode::kEdit ? "Edit Application" : "New Application";
}

ApplicationFieldStates OpeningFieldStates(const ApplicationForm& form, FormMode mode) {
  ApplicationFieldStates states;
  const bool adding = mode == FormMode::kAdd;
  states.activation = adding;
  states.deviceClass = adding;
  states.appEui = adding;
  if (adding) {
    states.rx2 = false;
    return states;
  }
  ApplicationForm shown = form;
  ChooseApplicationClass(shown, states, form.deviceClass);
  ChooseApplicationAdr(shown, states, shown.adrOn);
  return states;
}

void ChooseApplicationClass(ApplicationForm& form, ApplicationFieldStates& states, int32_t deviceClass) {
  form.deviceClass = deviceClass;
  const bool classA = deviceClass == kClassA;
  // A class C device listens all the time at the fixed RX2 settings: there
  // is no data rate for the server to adapt.
  if (!classA) form.adrOn = false;
  states.adr = classA;
  states.channelMask = classA;
  states.rx2 = !classA;
}

void ChooseApplicationAdr(ApplicationForm& form, ApplicationFieldStates& states, bool adrOn) {
  form.adrOn = adrOn;
  if (form.deviceClass == kClassA) states.channelMask = adrOn;
}

RuleResult ApplyApplicationForm(const ApplicationForm& form, FormMode mode, CAppList& existing,
                                CApplication& record) {
  CApplication row = mode == FormMode::kAdd ? CApplication{} : record;
  RuleResult result = ReadForm(form, mode, record, row);
  if (!result.ok) return result;
  if (existing.HasApplicationEui(row.APPEUI, row.PKEY)) return RuleResult::Refuse(kDuplicateEuiMessage, "appEui");
  record = row;
  return result;
}

}  // namespace quorvex
