// CJSonIFace2x: the server's one JSON helper, made fresh on the stack for each
// JSON job and dropped when the job ends. It parses packet-forwarder datagrams
// (header, then the "rxpk"/"stat" object) and reads the fields of the first
// received radio packet; it holds and writes out the "txpk" document of a
// downlink; and it reads the answer of an application server.
//
// Every field read "as text" follows one set of rules, independent of how the
// JSON library would print the value (see GetValueText). No operation throws
// on bad input: a text that is not JSON, a root that is not an object, an
// element that is not an object and a field that is an array or an object all
// count as absent. Instances are private to the thread that made them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <json/value.h>

#include "gateway/RadioMetadata.h"

namespace quorvex {

// Outcome of CJSonIFace2x::SetUdpRxParse. All fields are zero/empty before
// each parse.
struct RxParseResult {
  int32_t kind = 0;     // 0 status report or PULL_DATA, 1 radio packets ("rxpk"), 2 TX_ACK
  int32_t pull = 0;     // 1 for PULL_DATA
  int32_t txOk = 0;     // TX_ACK only: 1 when the gateway accepted the frame for transmission
  std::string txError;  // TX_ACK only, on failure: first kTxErrorMax characters of the error
  std::string txWarn;   // TX_ACK only, on success: the gateway's warning ("TX_POWER"), if any
};

// Packet-forwarder JSON as a trace line may show it: the value of every
// "data" member (a device's frame in Base64) replaced by its length, as
// "<24 characters>". Frames and the keys that sign them never reach a log.
std::string WithoutFrameData(std::string_view json);

class CJSonIFace2x {
 public:
  // Packet-forwarder header: version, two token bytes, identifier, 8-byte EUI.
  static constexpr std::size_t kHeaderSize = 12;
  static constexpr uint8_t kIdPushData = 0;
  static constexpr uint8_t kIdPullData = 2;
  static constexpr uint8_t kIdTxAck = 5;

  // Longest matched member name kept in m_RootName.
  static constexpr std::size_t kRootNameMax = 57;
  // Longest field text GetRxField delivers.
  static constexpr std::size_t kRxFieldMax = 1024;
  // Longest error text kept from a TX_ACK.
  static constexpr std::size_t kTxErrorMax = 30;
  // Deepest nesting of arrays and objects that a parse accepts; deeper
  // documents are refused as not JSON, so no input can exhaust the stack.
  static constexpr int kMaxDepth = 64;
  // Result of SetHttpRxParse for an answer without a usable "result".
  static constexpr int kHttpNoResult = 5;
  // Result of SetHttpRxParse for an answer that is not JSON.
  static constexpr int kHttpNotJson = 1;

  CJSonIFace2x() = default;
  virtual ~CJSonIFace2x() = default;
  CJSonIFace2x(const CJSonIFace2x&) = delete;
  CJSonIFace2x& operator=(const CJSonIFace2x&) = delete;

  // ---- Upstream datagrams ---------------------------------------------------

  // Parses one received datagram of `length` bytes at `data` (never read
  // past `length`, never written). `sender` is the sender's dotted-decimal
  // text, used in trace lines. Clears m_Result and m_RootName first.
  //  - fewer than 12 bytes: trace "<sender>, CJSonIFace::Parse Rx Size Error";
  //    no result. A version other than 2 or 31: no result, no trace.
  //  - TX_ACK (5): kind 2. Success (txOk 1) when there is no JSON part, or
  //    when the JSON reports no error: "error" (in "txpk_ack", or at the top
  //    when there is no "txpk_ack" object) is missing, empty or "NONE"; a
  //    "warn" text is kept in txWarn. Otherwise the failure is traced and
  //    txError keeps the first 30 characters of the error text, or of the
  //    whole JSON part when it is not a JSON object or its error is no text.
  //  - PULL_DATA (2): keeps the token and the EUI; pull 1.
  //  - PUSH_DATA (0): keeps the token and the EUI, parses the text from byte
  //    12 up to the first NUL into m_Root and classifies it. Not a JSON
  //    object: no result. A "stat" member: kind 0, and m_RootName becomes the
  //    first member name (in ascending byte order, cut to 57 characters) that
  //    contains "stat". Else an "rxpk" member: the reception is traced, kind 1
  //    and m_RootName the first name containing "rxpk". Neither: kind 0 with
  //    an empty m_RootName.
  //  - any other identifier: trace "CJSonIFace::SetUdpRxParse Not Support IO";
  //    no result.
  // A returned result is also left in m_Result.
  std::optional<RxParseResult> SetUdpRxParse(const std::string& sender, const uint8_t* data,
                                             std::size_t length);

  // Number of elements of the matched member (m_Root's member m_RootName)
  // when it is an array; 0 otherwise (no such member, not an array, no
  // object parsed).
  int GetRxCount() const;

  // The matched member's value, or a null value when there is none; valid
  // until the next parse (no copy: the dispatcher reads it once per datagram).
  const Json::Value& GetRxValue() const;

  // Reads field `name` of the first element of the array `value` as text.
  //  - `value` not an array: 0, `text` unchanged.
  //  - otherwise `text` is emptied; 0 when the array is empty, its first
  //    element is not an object, has no member `name`, or that member is an
  //    array or an object;
  //  - else 1 with the member's text (GetValueText) cut to kRxFieldMax
  //    characters.
  // Only the first element is ever read.
  static int GetRxField(const Json::Value& value, std::string_view name, std::string& text);

  // Fills `meta` from the first element of the matched member: all nine
  // texts are emptied, then each present field is stored, cut to 49
  // characters. Returns `meta`.
  RadioMetadata& GetRadioMetadata(RadioMetadata& meta) const;

  // ---- Downlink document ----------------------------------------------------

  // Starts a new downlink document: empties m_TxKey and m_TxDoc.
  void ResetTx();

  // When m_TxDoc is not null: sets `text` to the document as written by
  // WriteStyled, followed by one more "\n", and returns true. Otherwise (or
  // when the document is nested deeper than kMaxDepth) returns false with
  // `text` unchanged.
  bool GetTxText(std::string& text) const;

  // ---- Application-server answers -----------------------------------------

  // Parses an application server's answer (UTF-8; read up to its first NUL)
  // into m_Root. Not JSON (or nested deeper than kMaxDepth): returns 1, the
  // outputs unchanged. Otherwise the result starts at 5 and, for the root's
  // members compared exactly: "result" gives the result as TextToInt of its
  // text, "appdata" and "macdata" set the outputs to their texts. A member
  // that is an array or an object, and a root that is not an object, leave
  // the corresponding output (or the result) unchanged.
  int SetHttpRxParse(const std::string& body, std::string& appdata, std::string& macdata);

  // ---- Text forms -------------------------------------------------------------

  // The text of a JSON value: a string itself (ending at its first NUL, as
  // all texts of the server do); an integer in decimal with "-" when
  // negative; any other number as GetRealText; "true"/"false"; "" for null.
  // Arrays and objects have no text: false, `text` unchanged.
  static bool GetValueText(const Json::Value& value, std::string& text);

  // A real number as printf "%.10g" gives it, with a locale's "," turned
  // into "." and ".0" appended when the text then has neither "." nor "e"
  // (7.0 -> "7.0", 868.1 -> "868.1", 1e21 -> "1e+21", infinity -> "inf.0").
  static std::string GetRealText(double value);

  // Decimal text to int as the standard conversion reads it: leading white
  // space, an optional sign, then the leading digits; 0 when there are none.
  // Values beyond the int range saturate at INT_MIN/INT_MAX.
  static int TextToInt(std::string_view text);

  // Writes `value` in the library's styled layout: members one per line,
  // "key" : value, indentation 3 spaces; arrays of scalars on one line
  // ("[ a, b ]") while they fit a right margin of 74 characters, else one
  // element per line; empty containers as "[]" and "{}"; strings escaped as
  // the library escapes them; one "\n" at the end. Real numbers follow
  // GetRealText (non-finite ones as "1e+9999", "-1e+9999" and null, which
  // keeps the document JSON). Returns false, `text` unchanged, when the value
  // is nested deeper than kMaxDepth.
  static bool WriteStyled(const Json::Value& value, std::string& text);

  // Parses `text` as the server reads all JSON: comments allowed, any value
  // as root, trailing text ignored, at most kMaxDepth levels. False, with
  // `root` null, when it is not JSON.
  static bool ParseJson(std::string_view text, Json::Value& root);

  // ---- State (public: the dispatcher, registry and scheduler use it) ------

  uint64_t m_GatewayEui = 0;  // bytes 4..11 of the last datagram, byte 4 most significant
  RxParseResult m_Result;     // outcome of the last SetUdpRxParse
  std::string m_RootName;     // member that matched ("rxpk"/"stat"), at most 57 characters
  Json::Value m_Root;         // parsed object of the last datagram or answer
  Json::Value m_TxDoc;        // downlink document being composed
  std::string m_TxKey;        // name of the downlink object's key, "txpk"
  uint8_t m_PushToken[2] = {};  // token bytes of the last PUSH_DATA
  uint8_t m_PullToken[2] = {};  // token bytes of the last PULL_DATA
  uint8_t m_TxHeader[4] = {};   // PULL_RESP header being composed: 2, 0, 0, 3

 private:
  // The matched member of m_Root, or null when there is none.
  const Json::Value* FindRxValue() const;
  // Fills the TX_ACK fields of m_Result from the datagram's JSON part.
  void ClassifyTxAck(const std::string& sender, std::string_view body);
  // Walks m_Root's member names in order and keeps the first (cut to
  // kRootNameMax) that contains `part` in m_RootName; false, with
  // m_RootName empty, when none does.
  bool FindRootName(std::string_view part);
};

}  // namespace quorvex
