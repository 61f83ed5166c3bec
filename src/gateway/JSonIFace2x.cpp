#include "gateway/JSonIFace2x.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include <json/reader.h>

#include "runtime/Trace.h"

namespace quorvex {
namespace {

constexpr uint8_t kVersion2 = 2;
constexpr uint8_t kVersion31 = 31;

// The separator line of the reception traces: 66 "=" and a line break.
const char kRuleLine[] =
    "==================================================================\n";

// `text` up to its first NUL: the texts of the server are zero-terminated.
std::string_view UpToNul(std::string_view text) {
  const std::size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

std::string Cut(std::string_view text, std::size_t max) {
  return std::string(text.substr(0, max));
}

// The member `name` of `object` (which may be of any type), or null.
const Json::Value* FindMember(const Json::Value& object, std::string_view name) {
  if (!object.isObject()) return nullptr;
  return object.find(name.data(), name.data() + name.size());
}

// The text of member `name` of `object`: false when it is missing or has no
// text (an array or an object).
bool MemberText(const Json::Value& object, std::string_view name, std::string& text) {
  const Json::Value* member = FindMember(object, name);
  return member != nullptr && CJSonIFace2x::GetValueText(*member, text);
}

// ---- Styled writer ----------------------------------------------------------
//
// The library's styled layout, rebuilt so that real numbers can take our
// text form (the library prints 17 significant digits, 922.1 becoming
// 922.10000000000002). The layout rules, quirks included, are the library's:
// a value goes straight after the text when that ends in a space, arrays of
// scalars are measured before deciding between one line and many.

constexpr std::size_t kRightMargin = 74;
constexpr std::size_t kIndentSize = 3;

void AppendHex16(std::string& out, unsigned code) {
  static const char kDigits[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(code >> shift) & 0xF];
}

// Code point of the UTF-8 sequence at `p` (advanced to its last byte); the
// replacement character for what the library also refuses (sequences cut
// short, overlong forms, surrogates, lead bytes above 0xF7).
unsigned DecodeUtf8(const char*& p, const char* end) {
  constexpr unsigned kReplacement = 0xFFFD;
  const unsigned first = static_cast<unsigned char>(*p);
  auto cont = [&p](int i) { return static_cast<unsigned>(static_cast<unsigned char>(p[i])) & 0x3F; };
  if (first < 0x80) return first;
  if (first < 0xE0) {
    if (end - p < 2) return kReplacement;
    const unsigned code = ((first & 0x1F) << 6) | cont(1);
    p += 1;
    return code < 0x80 ? kReplacement : code;
  }
  if (first < 0xF0) {
    if (end - p < 3) return kReplacement;
    const unsigned code = ((first & 0x0F) << 12) | (cont(1) << 6) | cont(2);
    p += 2;
    if (code >= 0xD800 && code <= 0xDFFF) return kReplacement;
    return code < 0x800 ? kReplacement : code;
  }
  if (first < 0xF8) {
    if (end - p < 4) return kReplacement;
    const unsigned code = ((first & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
    p += 3;
    return code < 0x10000 ? kReplacement : code;
  }
  return kReplacement;
}

// A string as the library quotes it: the usual short escapes, other control
// characters and everything beyond ASCII as \uXXXX (surrogate pairs above
// the basic plane), "/" left alone.
std::string QuoteString(std::string_view text) {
  std::string out = "\"";
  const char* end = text.data() + text.size();
  for (const char* p = text.data(); p != end; ++p) {
    switch (*p) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        unsigned code = DecodeUtf8(p, end);
        if (code < 0x20) {
          AppendHex16(out, code);
        } else if (code < 0x80) {
          out += static_cast<char>(code);
        } else if (code < 0x10000) {
          AppendHex16(out, code);
        } else {
          code -= 0x10000;
          AppendHex16(out, 0xD800 + ((code >> 10) & 0x3FF));
          AppendHex16(out, 0xDC00 + (code & 0x3FF));
        }
      }
    }
  }
  out += '"';
  return out;
}

std::string RealForDocument(double value) {
  if (std::isnan(value)) return "null";
  if (std::isinf(value)) return value < 0 ? "-1e+9999" : "1e+9999";
  return CJSonIFace2x::GetRealText(value);
}

// Nesting of `value`, counting each array or object level; stops counting
// once past `limit`.
int Depth(const Json::Value& value, int limit) {
  if (!value.isArray() && !value.isObject()) return 0;
  if (limit < 0) return 1;
  int deepest = 0;
  for (const Json::Value& child : value) {
    const int d = Depth(child, limit - 1);
    if (d > deepest) deepest = d;
    if (deepest > limit) break;
  }
  return deepest + 1;
}

class StyledWriter {
 public:
  std::string Write(const Json::Value& root) {
    doc_.clear();
    indent_.clear();
    addChildValues_ = false;
    WriteValue(root);
    doc_ += '\n';
    return doc_;
  }

 private:
  void PushValue(const std::string& text) {
    if (addChildValues_)
      childValues_.push_back(text);
    else
      doc_ += text;
  }

  void WriteIndent() {
    if (!doc_.empty()) {
      const char last = doc_.back();
      if (last == ' ') return;  // already indented (after "key" : )
      if (last != '\n') doc_ += '\n';
    }
    doc_ += indent_;
  }

  void WriteWithIndent(const std::string& text) {
    WriteIndent();
    doc_ += text;
  }

  void Indent() { indent_.append(kIndentSize, ' '); }
  void Unindent() { indent_.resize(indent_.size() - kIndentSize); }

  void WriteValue(const Json::Value& value) {
    switch (value.type()) {
      case Json::nullValue: PushValue("null"); break;
      case Json::intValue: PushValue(std::to_string(value.asLargestInt())); break;
      case Json::uintValue: PushValue(std::to_string(value.asLargestUInt())); break;
      case Json::realValue: PushValue(RealForDocument(value.asDouble())); break;
      case Json::booleanValue: PushValue(value.asBool() ? "true" : "false"); break;
      case Json::stringValue: {
        const char* begin = nullptr;
        const char* end = nullptr;
        PushValue(value.getString(&begin, &end)
                      ? QuoteString(std::string_view(begin, static_cast<std::size_t>(end - begin)))
                      : std::string());
        break;
      }
      case Json::arrayValue: WriteArray(value); break;
      case Json::objectValue: WriteObject(value); break;
    }
  }

  void WriteObject(const Json::Value& value) {
    const std::vector<std::string> names = value.getMemberNames();
    if (names.empty()) {
      PushValue("{}");
      return;
    }
    WriteWithIndent("{");
    Indent();
    for (std::size_t i = 0; i < names.size(); ++i) {
      const Json::Value* child = FindMember(value, names[i]);
      // The library prints a key only up to its first NUL.
      WriteWithIndent(QuoteString(UpToNul(names[i])));
      doc_ += " : ";
      if (child != nullptr) WriteValue(*child);
      if (i + 1 < names.size()) doc_ += ',';
    }
    Unindent();
    WriteWithIndent("}");
  }

  void WriteArray(const Json::Value& value) {
    const Json::ArrayIndex size = value.size();
    if (size == 0) {
      PushValue("[]");
      return;
    }
    if (IsMultilineArray(value)) {
      WriteWithIndent("[");
      Indent();
      const bool hasChildValues = !childValues_.empty();
      for (Json::ArrayIndex i = 0; i < size; ++i) {
        if (hasChildValues) {
          WriteWithIndent(childValues_[i]);
        } else {
          WriteIndent();
          WriteValue(value[i]);
        }
        if (i + 1 < size) doc_ += ',';
      }
      Unindent();
      WriteWithIndent("]");
    } else {
      doc_ += "[ ";
      for (Json::ArrayIndex i = 0; i < size; ++i) {
        if (i > 0) doc_ += ", ";
        doc_ += childValues_[i];
      }
      doc_ += " ]";
    }
  }

  // One line when every element is a scalar (or an empty container) and
  // "[ " + elements joined by ", " + " ]" stays under the margin. Leaves the
  // element texts in childValues_ whenever it measured them.
  bool IsMultilineArray(const Json::Value& value) {
    const Json::ArrayIndex size = value.size();
    bool multiline = static_cast<std::size_t>(size) * 3 >= kRightMargin;
    childValues_.clear();
    for (Json::ArrayIndex i = 0; i < size && !multiline; ++i) {
      const Json::Value& child = value[i];
      multiline = (child.isArray() || child.isObject()) && !child.empty();
    }
    if (!multiline) {
      childValues_.reserve(size);
      addChildValues_ = true;
      std::size_t lineLength = 4 + (static_cast<std::size_t>(size) - 1) * 2;
      for (Json::ArrayIndex i = 0; i < size; ++i) {
        WriteValue(value[i]);
        lineLength += childValues_[i].size();
      }
      addChildValues_ = false;
      multiline = lineLength >= kRightMargin;
    }
    return multiline;
  }

  std::string doc_;
  std::string indent_;
  std::vector<std::string> childValues_;
  bool addChildValues_ = false;
};

}  // namespace

// ---- Text forms ---------------------------------------------------------------

std::string CJSonIFace2x::GetRealText(double value) {
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, "%.10g", value);
  if (n <= 0) return "0.0";
  std::string text(buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
  // A locale may write the decimal point as ","; the check below must see
  // the point, so fix it first.
  for (char& c : text)
    if (c == ',') c = '.';
  if (text.find('.') == std::string::npos && text.find('e') == std::string::npos) text += ".0";
  return text;
}

bool CJSonIFace2x::GetValueText(const Json::Value& value, std::string& text) {
  switch (value.type()) {
    case Json::nullValue: text.clear(); return true;
    case Json::intValue: text = std::to_string(value.asLargestInt()); return true;
    case Json::uintValue: text = std::to_string(value.asLargestUInt()); return true;
    case Json::realValue: text = GetRealText(value.asDouble()); return true;
    case Json::booleanValue: text = value.asBool() ? "true" : "false"; return true;
    case Json::stringValue: {
      const char* begin = nullptr;
      const char* end = nullptr;
      if (value.getString(&begin, &end))
        text = UpToNul(std::string_view(begin, static_cast<std::size_t>(end - begin)));
      else
        text.clear();
      return true;
    }
    case Json::arrayValue:
    case Json::objectValue: return false;
  }
  return false;
}

int CJSonIFace2x::TextToInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate towards the sign so INT_MIN itself is reachable.
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    value = value * 10 + (negative ? -digit : digit);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
  }
  return static_cast<int>(value);
}

bool CJSonIFace2x::WriteStyled(const Json::Value& value, std::string& text) {
  if (Depth(value, kMaxDepth) > kMaxDepth) return false;
  text = StyledWriter().Write(value);
  return true;
}

namespace {

std::unique_ptr<Json::CharReader> MakeReader(int maxDepth) {
  Json::CharReaderBuilder builder;
  builder["allowComments"] = true;
  builder["strictRoot"] = false;
  builder["collectComments"] = false;
  builder["allowDroppedNullPlaceholders"] = false;
  builder["allowNumericKeys"] = false;
  builder["allowSingleQuotes"] = false;
  builder["failIfExtra"] = false;
  builder["rejectDupKeys"] = false;
  builder["allowSpecialFloats"] = false;
  builder["stackLimit"] = maxDepth;
  return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

}  // namespace

bool CJSonIFace2x::ParseJson(std::string_view text, Json::Value& root) {
  root = Json::Value();
  try {
    // One reader per thread, made once: setting a reader up costs as much
    // as parsing a datagram. A reader starts afresh at every parse.
    thread_local const std::unique_ptr<Json::CharReader> reader = MakeReader(kMaxDepth);
    std::string errors;
    if (reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return true;
  } catch (const Json::Exception&) {
    // The reader throws when the nesting limit is passed: not JSON for us.
  }
  root = Json::Value();
  return false;
}

// ---- Upstream datagrams ---------------------------------------------------------

std::optional<RxParseResult> CJSonIFace2x::SetUdpRxParse(const std::string& sender,
                                                         const uint8_t* data, std::size_t length) {
  m_Result = RxParseResult{};
  m_RootName.clear();
  if (data == nullptr) length = 0;

  if (length < kHeaderSize) {
    TraceLine("%s, CJSonIFace::Parse Rx Size Error \n", sender.c_str());
    return std::nullopt;
  }
  if (data[0] != kVersion2 && data[0] != kVersion31) {
    // Every refusal leaves a trace, so an operator can tell a misconfigured
    // forwarder from silence.
    TraceLine("%s, CJSonIFace::Parse Rx Version Error %d\n", sender.c_str(), data[0]);
    return std::nullopt;
  }

  // The JSON part: from byte 12 up to the first NUL, within the datagram.
  const std::string_view body =
      UpToNul(std::string_view(reinterpret_cast<const char*>(data) + kHeaderSize,
                               length - kHeaderSize));

  // Every message this server takes names its gateway (a TX_ACK too: only
  // an active gateway's acknowledgements count).
  m_GatewayEui = 0;
  for (std::size_t i = 4; i < kHeaderSize; ++i) m_GatewayEui = (m_GatewayEui << 8) | data[i];

  switch (data[3]) {
    case kIdPushData:
      m_PushToken[0] = data[1];
      m_PushToken[1] = data[2];
      break;
    case kIdPullData:
      m_PullToken[0] = data[1];
      m_PullToken[1] = data[2];
      break;
    case kIdTxAck:
      m_Result.kind = 2;
      if (length == kHeaderSize) {
        m_Result.txOk = 1;
      } else {
        ClassifyTxAck(sender, body);
      }
      return m_Result;
    default:
      TraceLine("CJSonIFace::SetUdpRxParse Not Support IO\n");
      return std::nullopt;
  }

  if (data[3] == kIdPullData) {
    m_Result.pull = 1;
    return m_Result;
  }

  if (!ParseJson(body, m_Root) || !m_Root.isObject()) {
    TraceLine("%s, CJSonIFace::Parse Rx JSON Error\n", sender.c_str());
    return std::nullopt;
  }

  if (m_Root.isMember("stat")) {
    m_Result.kind = 0;
    if (!FindRootName("stat")) return std::nullopt;
  } else if (m_Root.isMember("rxpk")) {
    const std::string json = WithoutFrameData(body);
    TraceLine("\n");
    TraceLine("%s", kRuleLine);
    TraceLine("%s, Rx Packet Received\n", sender.c_str());
    TraceLine("%s\n", json.c_str());
    m_Result.kind = 1;
    if (!FindRootName("rxpk")) return std::nullopt;
  } else {
    m_Result.kind = 0;
  }
  return m_Result;
}

void CJSonIFace2x::ClassifyTxAck(const std::string& sender, std::string_view body) {
  // Current forwarders always send a report; "NONE" (or no error at all)
  // means the frame was accepted for transmission.
  Json::Value root;
  const bool isObject = ParseJson(body, root) && root.isObject();
  const Json::Value* ack = isObject ? FindMember(root, "txpk_ack") : nullptr;
  if (ack == nullptr || !ack->isObject()) ack = isObject ? &root : nullptr;
  const Json::Value* error = ack != nullptr ? FindMember(*ack, "error") : nullptr;
  const bool errorIsText = error == nullptr || error->isString();
  const std::string errorText = error != nullptr && error->isString() ? error->asString() : std::string();
  if (ack != nullptr && errorIsText && (errorText.empty() || errorText == "NONE")) {
    m_Result.txOk = 1;
    const Json::Value* warn = FindMember(*ack, "warn");
    if (warn != nullptr && warn->isString() && !warn->asString().empty() && warn->asString() != "NONE") {
      m_Result.txWarn = Cut(warn->asString(), kTxErrorMax);
      TraceLine("%s, Tx Ack Warning %s\n", sender.c_str(), m_Result.txWarn.c_str());
    }
    return;
  }
  const std::string json(body);
  TraceLine("\n\n");
  TraceLine("%s", kRuleLine);
  TraceLine("%s, Tx Ack Fail\n", sender.c_str());
  TraceLine("FAIL MSG >>>  %s \n\n", json.c_str());
  m_Result.txOk = 0;
  m_Result.txError = Cut(ack != nullptr && errorIsText ? errorText : json, kTxErrorMax);
}

bool CJSonIFace2x::FindRootName(std::string_view part) {
  if (!m_Root.isObject()) {
    m_RootName.clear();
    return false;
  }
  for (const std::string& name : m_Root.getMemberNames()) {
    m_RootName = Cut(UpToNul(name), kRootNameMax);
    if (m_RootName.find(part) != std::string::npos) return true;
  }
  m_RootName.clear();
  return false;
}

const Json::Value* CJSonIFace2x::FindRxValue() const {
  return FindMember(m_Root, m_RootName);
}

int CJSonIFace2x::GetRxCount() const {
  const Json::Value* value = FindRxValue();
  if (value == nullptr || !value->isArray()) return 0;
  const Json::ArrayIndex size = value->size();
  return size > static_cast<Json::ArrayIndex>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

const Json::Value& CJSonIFace2x::GetRxValue() const {
  const Json::Value* value = FindRxValue();
  return value != nullptr ? *value : Json::Value::nullSingleton();
}

int CJSonIFace2x::GetRxField(const Json::Value& value, std::string_view name, std::string& text) {
  if (!value.isArray()) return 0;
  text.clear();
  if (value.empty()) return 0;
  const Json::Value& first = value[0];
  if (!first.isObject()) return 0;
  std::string full;
  if (!MemberText(first, name, full)) return 0;
  text = Cut(full, kRxFieldMax);
  return 1;
}

RadioMetadata& CJSonIFace2x::GetRadioMetadata(RadioMetadata& meta) const {
  meta.Clear();
  const Json::Value* value = FindRxValue();
  if (value == nullptr) return meta;
  std::string text;
  for (int i = 0; i < RadioMetadata::kFieldCount; ++i) {
    if (GetRxField(*value, RadioMetadata::FieldName(i), text) == 1) meta.SetField(i, text);
  }
  return meta;
}

// ---- Downlink document ------------------------------------------------------------

void CJSonIFace2x::ResetTx() {
  m_TxKey.clear();
  m_TxDoc = Json::Value();
}

bool CJSonIFace2x::GetTxText(std::string& text) const {
  if (m_TxDoc.isNull()) return false;
  std::string written;
  if (!WriteStyled(m_TxDoc, written)) return false;
  written += '\n';
  text = std::move(written);
  return true;
}

// ---- Application-server answers ---------------------------------------------------

int CJSonIFace2x::SetHttpRxParse(const std::string& body, std::string& appdata,
                                 std::string& macdata) {
  if (!ParseJson(UpToNul(body), m_Root)) return kHttpNotJson;
  int result = kHttpNoResult;
  if (!m_Root.isObject()) return result;
  // Member names are unique, so looking each one up equals walking them all.
  std::string text;
  if (MemberText(m_Root, "result", text)) result = TextToInt(text);
  if (MemberText(m_Root, "appdata", text)) appdata = text;
  if (MemberText(m_Root, "macdata", text)) macdata = text;
  return result;
}

namespace {

std::size_t SkipSpaces(std::string_view text, std::size_t at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) ++at;
  return at;
}

// Where the string value of the member whose name ends at `at` starts (just
// after its opening quote); npos when the member has no string value.
std::size_t ValueStart(std::string_view json, std::size_t at) {
  at = SkipSpaces(json, at);
  if (at >= json.size() || json[at] != ':') return std::string_view::npos;
  at = SkipSpaces(json, at + 1);
  if (at >= json.size() || json[at] != '"') return std::string_view::npos;
  return at + 1;
}

}  // namespace

std::string WithoutFrameData(std::string_view json) {
  static constexpr std::string_view kName = "\"data\"";
  std::string out;
  std::size_t copied = 0;
  for (std::size_t at = json.find(kName); at != std::string_view::npos; at = json.find(kName, at)) {
    at += kName.size();
    const std::size_t start = ValueStart(json, at);
    // Base64 holds no quote or backslash: the value ends at the next quote.
    const std::size_t end = start == std::string_view::npos ? start : json.find('"', start);
    if (end == std::string_view::npos) continue;
    out.append(json.substr(copied, start - copied));
    out += "<" + std::to_string(end - start) + " characters>";
    copied = at = end;
  }
  out.append(json.substr(copied));
  return out;
}

}  // namespace quorvex
