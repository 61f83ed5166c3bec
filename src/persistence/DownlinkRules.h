// The downlink request form: the port, confirmation and receive-window
// choices it offers, and the check that turns it into a queued request or
// refuses it with the message to show.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "persistence/DLink.h"
#include "persistence/FormRules.h"

namespace quorvex {

// Application frame ports the form offers (0 carries MAC commands only and
// 224 and above are reserved or test ports; the list stops at 253 by tradition).
inline constexpr int32_t kDownlinkPortMin = 1;
inline constexpr int32_t kDownlinkPortMax = 253;
// A new request goes to port 2 (index 1 of the port list).
inline constexpr int32_t kDefaultDownlinkPort = 2;
// The confirmation list, index = CONFIRMED (the misspellings are the
// window's texts).
inline constexpr std::array<const char*, 2> kConfirmedChoices = {"Unconfimed", "Confimed"};
// Application data is cut after this many bytes; MAC commands may not
// exceed what the record's MAC text holds as spaced hex (30 characters).
inline constexpr int kDownlinkAppMaxBytes = 16;
inline constexpr int kDownlinkMacMaxBytes = 10;

// The operator's entries.
struct DownlinkForm {
  int32_t port = kDefaultDownlinkPort;  // the port itself, 1..253
  int32_t confirmed = 0;                // index into kConfirmedChoices
  int32_t channel = CDLink::kRx1;       // index into DownlinkChannelChoices
  std::string appData;                  // hex, may be empty
  std::string macData;                  // hex, may be empty
};

// Port 2, unconfirmed, "RX 1", no data.
DownlinkForm NewDownlinkForm();
// The port list: "1" .. "253".
std::vector<std::string> DownlinkPortChoices();
// "RX 1", and "RX 2" only for a class C application (CLASS 1): only a class
// C device listens when it has not just sent an uplink.
std::vector<std::string> DownlinkChannelChoices(int32_t appClass);

// Checks the form and, when it is accepted, makes `record` a new request
// (DEVPKEY 0, TIME empty, TXDONE 0; the caller sets the device) with PORT,
// CONFIRMED, CHANNEL, and APP and MAC as upper-case hex pairs with single
// spaces ("0x01, 0x02, 0xFF" stores "01 02 FF"); on a refusal `record` is
// untouched. Empty data is accepted (a request with no data at all too).
// Application data longer than 16 bytes is cut after 16. Refusals: a port
// outside 1..253, a confirmation outside its list, a channel outside the
// application's list ("Channel: choose RX 1 (RX 2 only for a class C
// application)"), data that is not whole bytes of hex ("Application Data:
// enter whole bytes of hex, such as 01 02 FF", "Mac Data: ... such as 03 07
// 00"), MAC data over 10 bytes ("Mac Data: at most 10 bytes").
RuleResult ApplyDownlinkForm(const DownlinkForm& form, int32_t appClass, CDLink& record);

}  // namespace quorvex
