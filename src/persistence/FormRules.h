// What the record forms share: the answer of a form check, the add/edit
// mode, and the strict readers of the texts an operator types.
//
// The rules of every form live in the engine, not in the window, so that the
// window's dialogs and the command-line admin tool refuse and accept exactly
// the same input with exactly the same messages. A front end only reads its
// fields into a form struct, calls the rules and shows their message.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "runtime/Settings.h"
#include "util/FieldText.h"

namespace quorvex {

enum class FormMode { kAdd, kEdit };

// The answer of a form check. A refusal carries the text to show the
// operator and the name of the form member it is about (for instance
// "appEui"), so that a dialog can put the focus there and a command line can
// name it; the form stays open and keeps what was typed.
struct RuleResult {
  bool ok = true;
  std::string message;
  std::string field;

  static RuleResult Accept() { return {}; }
  static RuleResult Refuse(std::string message, std::string field);
};

// Exactly `length` bytes of hex, read strictly (CWinUtils::ParseHexStrict):
// separators between groups and "0x" prefixes allowed, nothing else. On
// success `out` receives the bytes in typed order; on failure it is untouched.
bool ReadExactHex(const std::string& text, uint8_t* out, int length);
template <size_t N>
bool ReadExactHex(const std::string& text, uint8_t (&out)[N]) {
  return ReadExactHex(text, out, static_cast<int>(N));
}

// The refusal of a hex field that is not exactly `bytes` bytes, naming the
// field: "<label>: enter <2*bytes> hex digits (<bytes> bytes)".
RuleResult RefuseHexField(const char* label, int bytes, const char* field);

// A 32-bit value typed in decimal: digits, or a "-" and digits, nothing else
// (spaces around are allowed). Both readings of the same 32 bits are taken,
// 0..4294967295 and -2147483648..-1, because the forms show addresses with
// "%d" and must read back what they show. False for anything else (empty
// text included); `out` is then untouched.
bool ReadDecimal32(const std::string& text, uint32_t& out);

// The leading decimal digits of `text` as a value, the way the form's
// digits-only frequency field is read: conversion stops at the first
// non-digit, no digits give 0, values beyond INT32_MAX give INT32_MAX.
int32_t LeadingDigitsValue(const std::string& text);

// A record's text field as a form shows it.
template <size_t N>
std::string TextOfField(const char (&field)[N]) {
  return FieldText(field);
}

// The refusal of a text longer than its record field allows:
// "<label>: at most <maxBytes> characters". Characters outside ASCII count
// as their UTF-8 bytes, since the record fields are byte arrays.
RuleResult RefuseLongText(const char* label, size_t maxBytes, const char* field);

// A drop-down index: true when it is one of `choices`. The refusal names the
// field and its choices: "<label>: choose OTAA or ABP" (only a front end that
// does not offer a list, such as a command line, can meet it).
bool IsChoice(int32_t index, std::span<const char* const> choices);
RuleResult RefuseChoice(const char* label, std::span<const char* const> choices, const char* field);

// The refusal of a field that a form shows but may not change when editing
// (an EUI, an activation mode): "<label>: cannot be changed when editing".
RuleResult RefuseLockedField(const char* label, const char* field);

// The LoRaWAN page's ADR RX setup count: a signed decimal 2..10. Outside
// that (or not a number) it is refused with "ADR Count Range : 2 ~ 10" and
// `count` is untouched.
RuleResult ReadAdrRxSetupCount(const std::string& text, int32_t& count);

}  // namespace quorvex
