// The device form: what it shows when it opens (a new device is offered the
// next free address), which fields the application's activation mode lets
// the operator type, and the check that turns it into a device record or
// refuses it with the message to show.
#pragma once
#include <cstdint>
#include <string>

#include "persistence/Application.h"
#include "persistence/DbManager.h"
#include "persistence/Device.h"
#include "persistence/DeviceManager.h"
#include "persistence/FormRules.h"

namespace quorvex {

// A device's memo holds at most this many bytes (its field has room for a
// few more, which the form does not offer).
inline constexpr size_t kDeviceMemoMax = 50;

// The operator's entries, all as typed.
struct DeviceForm {
  std::string devEui;     // sixteen hex digits
  std::string address;    // decimal
  std::string networkId;  // decimal
  std::string appKey;     // thirty-two hex digits each
  std::string appSKey;
  std::string netSKey;
  std::string memo;
};

// Which fields the operator may type (true) or only see (false).
struct DeviceFieldStates {
  bool devEui = true;
  bool address = true;
  bool networkId = true;
  bool appKey = true;
  bool appSKey = true;
  bool netSKey = true;
};

// One above the largest DEVADDR stored (1 for an empty table): the address
// a new device is offered. Read from the whole table, not only from the
// devices in the registry, since addresses are unique across applications.
uint32_t ProposeDeviceAddress(CDbManager& db);
// The form of a new device: the proposed address ("%d"), every other field empty.
DeviceForm NewDeviceForm(CDbManager& db);
// The form showing `record`: the EUI and the three keys as upper-case hex
// pairs with spaces, address and network identifier as "%d", the memo.
// Fields the rules disable are filled too (an OTAA device shows the session
// keys of its last join).
DeviceForm FormOf(const CDeviceRow& record);
// "New OTAA Class-A Device", "Edit ABP Class-C Device", ... from the
// application's activation mode and class.
std::string DeviceFormTitle(const CApplication& app, FormMode mode);

// The enable rules. An OTAA device joins: the operator types its network
// identifier and application key, and its address and session keys come
// from the join. An ABP device is personalised: address and both session
// keys are typed. When editing, the EUI and the address are fixed.
DeviceFieldStates DeviceFieldStatesOf(const CApplication& app, FormMode mode);

// Checks the form and, when it is accepted, writes it into `record`; on a
// refusal `record` is untouched. In add mode `record` starts afresh with
// APKEY the application's key, JOINED 1 for an ABP device (0 for OTAA) and
// no frame counted yet in either direction (-1);
// in edit mode it is the device being changed. The fields the activation
// mode disables are neither checked nor stored (an ABP device keeps its
// network identifier and application key, an OTAA device its session keys).
// Refusals, in this order: an empty EUI ("Please Enter Device Eui !"); an EUI
// that is not exactly 8 bytes of hex ("Device EUI: enter 16 hex digits (8
// bytes)"); an address or network identifier that is not a 32-bit decimal
// ("Address (Dec): enter a number from 0 to 4294967295"); a key that is not
// exactly 16 bytes of hex ("App Key: enter 32 hex digits (16 bytes)", "App
// SKey: ...", "Network SKey: ..."); a memo over 50 characters; in edit mode a
// changed EUI or address; in add mode an EUI or address that a stored device
// of any application has ("The values of the EUI are duplicated.", "The
// values of the ADDRESS are duplicated."), or a database that could not be
// read for that test.
RuleResult ApplyDeviceForm(const DeviceForm& form, FormMode mode, const CApplication& app, CDeviceManager& devices,
                           CDeviceRow& record);

}  // namespace quorvex
