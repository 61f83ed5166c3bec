// The application form: what it shows when it opens, which of its fields the
// operator may change, and the check that turns it into an application
// record or refuses it with the message to show.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "persistence/AppList.h"
#include "persistence/Application.h"
#include "persistence/FormRules.h"

namespace quorvex {

// The drop-down lists, in index order. The selected index is the stored
// value (ACTIVATION, CLASS, RX2SF, RX2BW), except ADR: "ON" (index 0) is 1.
inline constexpr std::array<const char*, 2> kActivationChoices = {"OTAA", "ABP"};
inline constexpr std::array<const char*, 2> kClassChoices = {"A", "C"};
inline constexpr std::array<const char*, 2> kAdrChoices = {"ON", "OFF"};
inline constexpr std::array<const char*, 6> kRx2SfChoices = {"SF12", "SF11", "SF10", "SF9", "SF8", "SF7"};
inline constexpr std::array<const char*, 3> kRx2BwChoices = {"BW125", "BW250", "BW500"};

inline constexpr int32_t kActivationOtaa = 0;
inline constexpr int32_t kActivationAbp = 1;
inline constexpr int32_t kClassA = 0;
inline constexpr int32_t kClassC = 1;

// What a new application's form offers.
inline constexpr char kDefaultChannelMask[] = "00FF";
inline constexpr char kDefaultRx2Channel[] = "921900000";
inline constexpr char kDefaultAppUrl[] = "http://www.example.com";
inline constexpr char kDefaultAppPath[] = "/example1/example2/appeui/deveui/up";
// A class C application's RX2 frequency is typed in Hz with exactly this many digits.
inline constexpr size_t kRx2ChannelDigits = 9;
// The record's text fields hold this many bytes and a terminator.
inline constexpr size_t kAppTextMax = 50;

// The operator's entries, as texts and selected indexes.
struct ApplicationForm {
  int32_t activation = kActivationOtaa;  // index into kActivationChoices
  int32_t deviceClass = kClassA;         // index into kClassChoices
  bool adrOn = true;
  std::string channelMask;  // four hex digits, high byte first
  std::string appEui;       // sixteen hex digits
  std::string rx2Channel;   // Hz, decimal
  int32_t rx2Sf = 0;        // index into kRx2SfChoices
  int32_t rx2Bw = 0;        // index into kRx2BwChoices
  std::string url;
  std::string path;
  std::string memo;
};

// Which controls the operator may change (true) or only see (false).
struct ApplicationFieldStates {
  bool activation = true;
  bool deviceClass = true;
  bool adr = true;
  bool channelMask = true;
  bool appEui = true;
  bool rx2 = true;  // the RX2 frequency, spreading factor and bandwidth
};

// The form of a new application: every list at index 0 (OTAA, class A, ADR
// ON, SF12, BW125), the default mask, RX2 frequency, URL and path, an empty
// EUI and memo.
ApplicationForm NewApplicationForm();
// The form showing `record`: the mask as "%04X", the EUI as eight upper-case
// hex pairs with spaces, the RX2 frequency as "%d", the texts as stored; an
// index outside its list shows as 0. The class rule has run, so a class C
// application shows ADR "OFF".
ApplicationForm FormOf(const CApplication& record);
// "New Application" or "Edit Application".
const char* ApplicationFormTitle(FormMode mode);

// The enable rules follow the form's events, as the operator meets them:
// - opening: activation, class and EUI can be changed only when adding (an
//   application's devices depend on them); when adding, the RX2 settings are
//   disabled; when editing, the class rule and then the ADR rule run;
// - the class rule (a new class chosen): class C (any index but 0) selects
//   ADR "OFF" and disables it, disables the channel mask and enables the RX2
//   settings; class A enables ADR and the channel mask (whatever ADR shows)
//   and disables the RX2 settings;
// - the ADR rule (a new ADR choice): for class A, the channel mask is enabled
//   while ADR is ON and disabled while it is OFF; for class C nothing.
// So the channel mask applies to class A with ADR on, the RX2 settings to
// class C.
ApplicationFieldStates OpeningFieldStates(const ApplicationForm& form, FormMode mode);
void ChooseApplicationClass(ApplicationForm& form, ApplicationFieldStates& states, int32_t deviceClass);
void ChooseApplicationAdr(ApplicationForm& form, ApplicationFieldStates& states, bool adrOn);

// Checks the form and, when it is accepted, writes it into `record`; on a
// refusal `record` is untouched. In add mode `record` starts afresh (PKEY
// -1); in edit mode it is the application being changed, whose activation,
// class and EUI the form may not change. Refusals, in this order:
// a list index outside its list ("Activation: choose OTAA or ABP", ...);
// an empty EUI ("Please Enter Application Eui"); class C with an RX2
// frequency that is not exactly nine characters ("Rx 2 Channel Length
// Error"); a mask that is not exactly 4 hex digits ("Channel Mask: enter 4
// hex digits (2 bytes)"); an EUI that is not exactly 8 bytes of hex ("Application EUI:
// enter 16 hex digits (8 bytes)"); a URL, path or memo longer than 50
// characters; in edit mode a changed activation, class or EUI ("<label>:
// cannot be changed when editing"); an EUI that another application (another
// PKEY) has ("The values of the DEVEUI are duplicated.").
// What is stored: ADR 1 only for class A with ADR ON; CHMASK the four digits
// high byte first ("00FF" is 255); RX2CHAN the leading digits of the RX2
// text; fields the rules disable are stored as shown, like the others.
RuleResult ApplyApplicationForm(const ApplicationForm& form, FormMode mode, CAppList& existing,
                                CApplication& record);

}  // namespace quorvex
