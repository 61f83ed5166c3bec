#include "gateway/JSonIFace2x.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include <json/writer.h>

#include "runtime/Trace.h"

namespace quorvex {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kEui[8] = {0xAA, 0x55, 0x5A, 0x00, 0x00, 0x00, 0x01, 0x01};

// A datagram of exactly header + text bytes (no NUL after the text), so a
// read past its end is caught by the sanitizers.
Bytes Datagram(uint8_t id, std::string_view json, uint8_t version = 2, uint8_t tokHi = 0x12,
               uint8_t tokLo = 0x34) {
  Bytes d(CJSonIFace2x::kHeaderSize + json.size());
  d[0] = version;
  d[1] = tokHi;
  d[2] = tokLo;
  d[3] = id;
  std::memcpy(d.data() + 4, kEui, sizeof kEui);
  if (!json.empty()) std::memcpy(d.data() + CJSonIFace2x::kHeaderSize, json.data(), json.size());
  return d;
}

std::optional<RxParseResult> Parse(CJSonIFace2x& json, const Bytes& d) {
  return json.SetUdpRxParse("10.0.0.7", d.data(), d.size());
}

class JSonIFace2xTest : public ::testing::Test {
 protected:
  // Keep our trace lines away from any console program on this machine.
  static void SetUpTestSuite() {
    trace_testing::UseConsoleName("quorvex-json-test-" + std::to_string(getpid()));
  }
};

// ---- Text forms -------------------------------------------------------------

struct TextCase {
  const char* json;      // the value as written in the document
  bool present;          // has a text at all
  const char* expected;  // its text
};

const TextCase kTextCases[] = {
    {R"("SF7BW125")", true, "SF7BW125"},
    {R"("")", true, ""},
    {R"("868.1")", true, "868.1"},
    {R"("a\u0000b")", true, "a"},  // texts end at a NUL
    {R"("tab\there")", true, "tab\there"},
    {"868.1", true, "868.1"},
    {"-35", true, "-35"},
    {"7", true, "7"},
    {"7.0", true, "7.0"},
    {"-7.25", true, "-7.25"},
    {"0", true, "0"},
    {"3512348611", true, "3512348611"},
    {"9223372036854775807", true, "9223372036854775807"},
    {"-9223372036854775808", true, "-9223372036854775808"},
    {"18446744073709551615", true, "18446744073709551615"},    // fits unsigned 64 bits
    {"18446744073709551616", true, "1.844674407e+19"},          // does not: a real
    {"123456789012345678901234567890", true, "1.23456789e+29"}, // huge integer
    {"1e3", true, "1000.0"},       // an exponent makes it a real
    {"1E3", true, "1000.0"},
    {"1000.5e0", true, "1000.5"},
    {"923", true, "923"},
    {"923.0", true, "923.0"},
    {"12345678901.0", true, "1.23456789e+10"},  // exponent form: no ".0"
    {"1234567890.6", true, "1234567891.0"},     // 10 significant digits
    {"0.0001", true, "0.0001"},
    {"0.00001", true, "1e-05"},
    {"-0.0", true, "-0.0"},
    {"true", true, "true"},
    {"false", true, "false"},
    {"null", true, ""},
    {"[]", false, ""},
    {"[1]", false, ""},
    {"{}", false, ""},
    {R"({"a":1})", false, ""},
};

TEST_F(JSonIFace2xTest, ValueTextFollowsTheTextRules) {
  for (const TextCase& c : kTextCases) {
    SCOPED_TRACE(c.json);
    Json::Value root;
    ASSERT_TRUE(CJSonIFace2x::ParseJson(std::string(R"({"v":)") + c.json + "}", root));

    std::string text = "unchanged";
    EXPECT_EQ(CJSonIFace2x::GetValueText(root["v"], text), c.present);
    EXPECT_EQ(text, c.present ? c.expected : "unchanged");

    // The same value as a field of the first "rxpk" element.
    ASSERT_TRUE(CJSonIFace2x::ParseJson(std::string(R"({"rxpk":[{"v":)") + c.json + "}]}", root));
    std::string field = "unchanged";
    EXPECT_EQ(CJSonIFace2x::GetRxField(root["rxpk"], "v", field), c.present ? 1 : 0);
    EXPECT_EQ(field, c.present ? c.expected : "");
  }
}

TEST_F(JSonIFace2xTest, RealTextHasTenDigitsAndAPoint) {
  const struct {
    double value;
    const char* expected;
  } cases[] = {
      {868.1, "868.1"},     {922.1, "922.1"},     {923.0, "923.0"},   {7.0, "7.0"},
      {0.5, "0.5"},         {-35.0, "-35.0"},     {1e21, "1e+21"},    {1.0 / 3, "0.3333333333"},
      {868.099999999, "868.1"},  // rounded to 10 significant digits
      {4294967296.0, "4294967296.0"},
      {std::numeric_limits<double>::infinity(), "inf.0"},  // the rule, applied literally
  };
  for (const auto& c : cases) EXPECT_EQ(CJSonIFace2x::GetRealText(c.value), c.expected) << c.value;
}

TEST_F(JSonIFace2xTest, RealTextIgnoresACommaLocale) {
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = old ? old : "C";
  bool switched = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      switched = true;
      break;
    }
  if (!switched) GTEST_SKIP() << "no locale with a decimal comma installed";
  const std::string a = CJSonIFace2x::GetRealText(868.1);
  const std::string b = CJSonIFace2x::GetRealText(923.0);
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(a, "868.1");
  EXPECT_EQ(b, "923.0");
}

TEST_F(JSonIFace2xTest, TextToIntReadsLeadingDigitsAndSaturates) {
  const struct {
    const char* text;
    int expected;
  } cases[] = {
      {"0", 0},        {"42", 42},      {"  -12abc", -12},          {"+7", 7},
      {"\t\n 5", 5},   {"1.9", 1},      {"abc", 0},                 {"", 0},
      {"- 5", 0},      {"true", 0},     {"2147483647", INT_MAX},    {"-2147483648", INT_MIN},
      {"2147483648", INT_MAX},          {"99999999999999999999999", INT_MAX},
      {"-99999999999999999999999", INT_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(CJSonIFace2x::TextToInt(c.text), c.expected) << c.text;
}

// ---- Datagram header ------------------------------------------------------------

TEST_F(JSonIFace2xTest, HeaderFaultsGiveNoResult) {
  const Bytes tooShort = {2, 1, 2, 0, 1, 2, 3, 4, 5, 6, 7};  // 11 bytes
  const Bytes badVersion = Datagram(0, R"({"stat":{}})", 1);
  const Bytes pushAck = Datagram(1, "");
  const Bytes pullResp = Datagram(3, "");
  const Bytes pullAck = Datagram(4, "");
  for (const Bytes* d : {&tooShort, &badVersion, &pushAck, &pullResp, &pullAck}) {
    CJSonIFace2x json;
    EXPECT_FALSE(Parse(json, *d).has_value());
  }
  CJSonIFace2x json;
  EXPECT_FALSE(json.SetUdpRxParse("x", nullptr, 100).has_value());
}

TEST_F(JSonIFace2xTest, PullDataKeepsTokenAndEui) {
  CJSonIFace2x json;
  const auto r = Parse(json, Datagram(2, "", 31, 0xBE, 0xEF));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->kind, 0);
  EXPECT_EQ(r->pull, 1);
  EXPECT_EQ(json.m_GatewayEui, 0xAA555A0000000101ull);
  EXPECT_EQ(json.m_PullToken[0], 0xBE);
  EXPECT_EQ(json.m_PullToken[1], 0xEF);

  // A later PUSH_DATA keeps its token apart and does not disturb the pull one.
  ASSERT_TRUE(Parse(json, Datagram(0, "{}", 2, 0x01, 0x02)).has_value());
  EXPECT_EQ(json.m_PushToken[0], 0x01);
  EXPECT_EQ(json.m_PushToken[1], 0x02);
  EXPECT_EQ(json.m_PullToken[0], 0xBE);
  EXPECT_EQ(json.m_PullToken[1], 0xEF);
  EXPECT_EQ(json.m_Result.pull, 0);
}

// Current forwarders answer every PULL_RESP with a report; only a report of
// an error is a failure.
TEST_F(JSonIFace2xTest, TxAckIsAFailureOnlyWhenItReportsAnError) {
  const struct {
    const char* body;
    int ok;
    std::string error, warn;
  } cases[] = {
      {"", 1, "", ""},
      {R"({"txpk_ack":{"error":"NONE"}})", 1, "", ""},
      {R"({"txpk_ack":{}})", 1, "", ""},
      {R"({"txpk_ack":{"error":""}})", 1, "", ""},
      {"{}", 1, "", ""},
      {R"({"txpk_ack":{"warn":"TX_POWER","value":20}})", 1, "", "TX_POWER"},
      {R"({"txpk_ack":{"error":"NONE","warn":"NONE"}})", 1, "", ""},
      {R"({"txpk_ack":{"error":"TOO_LATE"}})", 0, "TOO_LATE", ""},
      {R"({"txpk_ack":{"error":"COLLISION_PACKET"}})", 0, "COLLISION_PACKET", ""},
      {R"({"error":"GPS_UNLOCKED"})", 0, "GPS_UNLOCKED", ""},
      {R"({"txpk_ack":{"error":"AN_ERROR_TEXT_LONGER_THAN_THIRTY_CHARACTERS"}})", 0,
       "AN_ERROR_TEXT_LONGER_THAN_THIRTY_CHARACTERS", ""},
      {R"({"txpk_ack":{"error":7}})", 0, R"({"txpk_ack":{"error":7}})", ""},
      {R"({"txpk_ack":{"error":"TOO_LATE")", 0, R"({"txpk_ack":{"error":"TOO_LATE)", ""},
      {"[1,2]", 0, "[1,2]", ""},
  };
  for (const auto& c : cases) {
    CJSonIFace2x json;
    auto r = Parse(json, Datagram(5, c.body));
    ASSERT_TRUE(r.has_value()) << c.body;
    EXPECT_EQ(r->kind, 2) << c.body;
    EXPECT_EQ(r->txOk, c.ok) << c.body;
    EXPECT_EQ(r->txError, c.error.substr(0, 30)) << c.body;
    EXPECT_EQ(r->txWarn, c.warn) << c.body;
  }
}

TEST_F(JSonIFace2xTest, ParseTracesWhatTheDispatcherReports) {
  const Bytes tooShort(11, 2);
  const struct {
    Bytes datagram;
    std::vector<std::string> lines;  // each expected in the trace output
  } cases[] = {
      {tooShort, {"10.0.0.7, CJSonIFace::Parse Rx Size Error \n"}},
      {Datagram(3, ""), {"CJSonIFace::SetUdpRxParse Not Support IO\n"}},
      {Datagram(0, "{}", 1), {"10.0.0.7, CJSonIFace::Parse Rx Version Error 1\n"}},
      {Datagram(0, "[1]"), {"10.0.0.7, CJSonIFace::Parse Rx JSON Error\n"}},
      {Datagram(0, R"({"stat":{}})"), {}},
      {Datagram(2, ""), {}},
      {Datagram(5, ""), {}},
      {Datagram(5, R"({"txpk_ack":{"error":"NONE"}})"), {}},
      {Datagram(5, R"({"txpk_ack":{"warn":"TX_POWER"}})"), {"10.0.0.7, Tx Ack Warning TX_POWER\n"}},
      {Datagram(5, R"({"txpk_ack":{"error":"TOO_LATE"}})"),
       {std::string(66, '=') + "\n", "10.0.0.7, Tx Ack Fail\n",
        "FAIL MSG >>>  {\"txpk_ack\":{\"error\":\"TOO_LATE\"}} \n\n"}},
      {Datagram(0, R"({"rxpk":[]})"),
       {std::string(66, '=') + "\n", "10.0.0.7, Rx Packet Received\n", R"({"rxpk":[]})"
                                                                          "\n"}},
      {Datagram(0, R"({"rxpk":[{"size":4,"data":"AQIDBA=="}]})"), {R"({"rxpk":[{"size":4,"data":"<8 characters>"}]})"}},
  };
  for (const auto& c : cases) {
    CJSonIFace2x json;
    FlushTrace();
    ::testing::internal::CaptureStderr();
    Parse(json, c.datagram);
    FlushTrace();  // lines reach stderr through the trace's writer thread
    const std::string out = ::testing::internal::GetCapturedStderr();
    if (c.lines.empty()) {
      EXPECT_EQ(out, "");
    }
    for (const std::string& line : c.lines) EXPECT_NE(out.find(">>> " + line), std::string::npos) << out;
  }
}

// ---- Classification ----------------------------------------------------------------

struct ClassCase {
  std::string json;
  bool result;
  int kind;
  const char* rootName;
  int count;
};

const std::string kLongStatFirst = std::string(57, 'a') + "stat";  // "stat" only beyond the cut
const std::string kLongStatEarly = "a" + std::string("stat") + std::string(65, 'z');

const ClassCase kClassCases[] = {
    {R"({"rxpk":[{"tmst":1,"freq":868.1,"rssi":-35,"lsnr":7,"size":1,"data":"QA=="}]})", true, 1,
     "rxpk", 1},
    {R"({"rxpk":[{"a":1},{"a":2},{"a":3}]})", true, 1, "rxpk", 3},
    {R"({"stat":{"time":"x"},"rxpk":[{"a":1}]})", true, 0, "stat", 0},
    {R"({"stat":{},"laststat":1})", true, 0, "laststat", 0},  // sorts first, contains "stat"
    {R"({"stat":{},"stats":1})", true, 0, "stat", 0},
    {R"({"stat":{}})", true, 0, "stat", 0},
    {R"({"rxpk":{}})", true, 1, "rxpk", 0},
    {R"({"rxpk":[]})", true, 1, "rxpk", 0},
    {R"({"rxpk":"text"})", true, 1, "rxpk", 0},
    {R"({"rxpk":[5]})", true, 1, "rxpk", 1},
    {R"({"rxpk":[1],"arxpk":[1,2]})", true, 1, "arxpk", 2},
    {R"({"rxpk":[1],"zrxpk":[1,2]})", true, 1, "rxpk", 1},
    {R"({})", true, 0, "", 0},
    {R"({"time":1})", true, 0, "", 0},
    {"/* status */ {\"stat\":{}} // end", true, 0, "stat", 0},  // comments allowed
    {R"({"stat":{}} trailing text)", true, 0, "stat", 0},
    {std::string(R"({"stat":{}})") + '\0' + "garbage", true, 0, "stat", 0},  // ends at the NUL
    {"{\"" + kLongStatFirst + "\":1,\"stat\":{}}", true, 0, "stat", 0},
    {"{\"" + kLongStatEarly + "\":1,\"stat\":{}}", true, 0, "", 0},  // checked below
    {R"([1,2])", false, 0, "", 0},
    {"5", false, 0, "", 0},
    {R"("stat")", false, 0, "", 0},
    {"", false, 0, "", 0},
    {"not json", false, 0, "", 0},
    {R"({"stat":)", false, 0, "", 0},
    {std::string(R"({"st)") + '\0' + R"(at":{}})", false, 0, "", 0},
};

TEST_F(JSonIFace2xTest, PushDataIsClassifiedByItsMemberNames) {
  for (const ClassCase& c : kClassCases) {
    SCOPED_TRACE(c.json);
    CJSonIFace2x json;
    const auto r = Parse(json, Datagram(0, c.json));
    ASSERT_EQ(r.has_value(), c.result);
    if (!c.result) continue;
    EXPECT_EQ(r->kind, c.kind);
    EXPECT_EQ(r->pull, 0);
    EXPECT_EQ(json.m_Result.kind, c.kind);
    EXPECT_EQ(json.m_GatewayEui, 0xAA555A0000000101ull);
    if (c.json.find(kLongStatEarly) != std::string::npos) {
      // Cut to 57 characters; the cut name is no member, so nothing to count.
      EXPECT_EQ(json.m_RootName, kLongStatEarly.substr(0, 57));
      EXPECT_EQ(json.GetRxCount(), 0);
      continue;
    }
    EXPECT_EQ(json.m_RootName, c.rootName);
    EXPECT_EQ(json.GetRxCount(), c.count);
  }
}

TEST_F(JSonIFace2xTest, EachParseStartsClean) {
  CJSonIFace2x json;
  ASSERT_TRUE(Parse(json, Datagram(0, R"({"rxpk":[{"freq":868.1}]})")).has_value());
  EXPECT_EQ(json.m_RootName, "rxpk");
  ASSERT_TRUE(Parse(json, Datagram(2, "")).has_value());
  EXPECT_EQ(json.m_RootName, "");
  EXPECT_EQ(json.m_Result.kind, 0);
  EXPECT_EQ(json.m_Result.pull, 1);
  // A datagram that is not JSON leaves no old document behind.
  EXPECT_FALSE(Parse(json, Datagram(0, "{oops")).has_value());
  EXPECT_TRUE(json.m_Root.isNull());
  EXPECT_EQ(json.GetRxCount(), 0);
  RadioMetadata meta;
  json.GetRadioMetadata(meta);
  EXPECT_STREQ(meta.freq, "");
}

TEST_F(JSonIFace2xTest, DeeplyNestedInputIsRefusedSafely) {
  for (int depth : {1000, 100000}) {
    const std::string deep = R"({"rxpk":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    CJSonIFace2x json;
    EXPECT_FALSE(Parse(json, Datagram(0, deep)).has_value()) << depth;
    const std::string deepObj = [depth] {
      std::string s;
      for (int i = 0; i < depth; ++i) s += R"({"a":)";
      s += "1";
      s += std::string(depth, '}');
      return s;
    }();
    std::string app = "keep";
    std::string mac = "keep";
    EXPECT_EQ(json.SetHttpRxParse(deepObj, app, mac), 1);
    EXPECT_EQ(app, "keep");
  }
  // Numbers beyond the double range make the reader refuse the document.
  for (const char* text : {R"({"rxpk":[{"lsnr":1e400}]})", R"({"rxpk":[{"lsnr":-1e99999}]})"}) {
    CJSonIFace2x json;
    EXPECT_FALSE(Parse(json, Datagram(0, text)).has_value()) << text;
  }
  // Ordinary nesting well inside the limit is fine.
  CJSonIFace2x json;
  const std::string nested = R"({"rxpk":[{"a":)" + std::string(20, '[') + std::string(20, ']') + "}]}";
  ASSERT_TRUE(Parse(json, Datagram(0, nested)).has_value());
  EXPECT_EQ(json.GetRxCount(), 1);
}

TEST_F(JSonIFace2xTest, MangledDatagramsAreHandledSafely) {
  // Fixed seed: the same mangled inputs on every run.
  std::mt19937 random(20240611);
  const std::string base =
      R"({"rxpk":[{"tmst":3512348611,"freq":868.1,"chan":2,"rfch":0,"modu":"LORA",)"
      R"("datr":"SF7BW125","codr":"4/5","rssi":-35,"lsnr":7.5,"size":1,"data":"QA=="}]})";
  const char kNasty[] = "[]{}\",:0-e.\\u\0/*";
  FlushTrace();
  ::testing::internal::CaptureStderr();  // the reception traces are not the point here
  for (int round = 0; round < 3000; ++round) {
    Bytes d = Datagram(0, base);
    const int edits = 1 + static_cast<int>(random() % 6);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = CJSonIFace2x::kHeaderSize + random() % base.size();
      if (random() % 2)
        d[at] = static_cast<uint8_t>(kNasty[random() % (sizeof kNasty - 1)]);
      else
        d.resize(at);  // cut short
      if (d.size() <= CJSonIFace2x::kHeaderSize) break;
    }
    CJSonIFace2x json;
    if (!Parse(json, d).has_value()) continue;
    RadioMetadata meta;
    json.GetRadioMetadata(meta);
    for (int i = 0; i < RadioMetadata::kFieldCount; ++i)
      EXPECT_LT(std::strlen(meta.Field(i)), RadioMetadata::kTextSize);
    EXPECT_GE(json.GetRxCount(), 0);
    std::string app, mac;
    json.SetHttpRxParse(std::string(d.begin() + CJSonIFace2x::kHeaderSize, d.end()), app, mac);
  }
  FlushTrace();
  ::testing::internal::GetCapturedStderr();
}

// ---- Radio metadata ------------------------------------------------------------------

TEST_F(JSonIFace2xTest, RadioMetadataFromTheFirstElement) {
  CJSonIFace2x json;
  const std::string text =
      R"({"rxpk":[{"tmst":3512348611,"chan":2,"rfch":0,"freq":868.1,"stat":1,"modu":"LORA",)"
      R"("datr":"SF7BW125","codr":"4/5","rssi":-35,"lsnr":7,"size":17,"data":"QAEjRWeAAAABSfSVUg=="},)"
      R"({"tmst":1,"freq":999.9,"chan":7,"lsnr":-20.5}]})";
  const auto r = Parse(json, Datagram(0, text));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->kind, 1);
  EXPECT_EQ(json.GetRxCount(), 2);

  RadioMetadata meta;
  for (int i = 0; i < RadioMetadata::kFieldCount; ++i)  // everything is cleared first
    meta.SetField(i, std::string(49, 'x'));
  EXPECT_EQ(&json.GetRadioMetadata(meta), &meta);
  EXPECT_STREQ(meta.tmst, "3512348611");
  EXPECT_STREQ(meta.freq, "868.1");
  EXPECT_STREQ(meta.chan, "2");
  EXPECT_STREQ(meta.rfch, "0");
  EXPECT_STREQ(meta.modu, "LORA");
  EXPECT_STREQ(meta.datr, "SF7BW125");
  EXPECT_STREQ(meta.codr, "4/5");
  EXPECT_STREQ(meta.rssi, "-35");
  EXPECT_STREQ(meta.lsnr, "7");

  std::string field;
  const Json::Value rx = json.GetRxValue();
  EXPECT_EQ(CJSonIFace2x::GetRxField(rx, "size", field), 1);
  EXPECT_EQ(field, "17");
  EXPECT_EQ(CJSonIFace2x::GetRxField(rx, "data", field), 1);
  EXPECT_EQ(field, "QAEjRWeAAAABSfSVUg==");
  EXPECT_EQ(CJSonIFace2x::GetRxField(rx, "nothere", field), 0);
  EXPECT_EQ(field, "");
}

TEST_F(JSonIFace2xTest, RadioMetadataCutsAndSkipsBadFields) {
  const std::string longDatr(80, 'D');
  CJSonIFace2x json;
  const std::string text = R"({"rxpk":[{"datr":")" + longDatr +
                           R"(","freq":"868.1","chan":[2],"rfch":{"x":0},"lsnr":7.0,"rssi":null,)"
                           R"("modu":"LO\u0000RA","codr":")" + std::string(49, 'c') + R"("}]})";
  ASSERT_TRUE(Parse(json, Datagram(0, text)).has_value());
  RadioMetadata meta;
  json.GetRadioMetadata(meta);
  EXPECT_EQ(std::string(meta.datr), longDatr.substr(0, 49));
  EXPECT_EQ(meta.datr[49], '\0');
  EXPECT_STREQ(meta.freq, "868.1");  // a string gives the same text as the number
  EXPECT_STREQ(meta.chan, "");       // array: absent
  EXPECT_STREQ(meta.rfch, "");       // object: absent
  EXPECT_STREQ(meta.lsnr, "7.0");
  EXPECT_STREQ(meta.rssi, "");
  EXPECT_STREQ(meta.modu, "LO");
  EXPECT_EQ(std::string(meta.codr), std::string(49, 'c'));  // exactly fits
  EXPECT_STREQ(meta.tmst, "");
}

TEST_F(JSonIFace2xTest, RadioMetadataIsEmptyWithoutAnObjectElement) {
  const char* cases[] = {
      R"({"rxpk":[5,{"freq":868.1}]})",  // first element not an object
      R"({"rxpk":[]})",
      R"({"rxpk":{"freq":868.1}})",
      R"({"stat":{"freq":868.1},"rxpk":[{"freq":868.1}]})",  // matched member is "stat"
      R"({"laststat":[{"freq":868.1}],"stat":{}})",         // "laststat" has it, but...
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    CJSonIFace2x json;
    ASSERT_TRUE(Parse(json, Datagram(0, text)).has_value());
    RadioMetadata meta;
    json.GetRadioMetadata(meta);
    if (json.m_RootName == "laststat") {
      // ...the walk picked it, so its first element is read.
      EXPECT_STREQ(meta.freq, "868.1");
      continue;
    }
    for (int i = 0; i < RadioMetadata::kFieldCount; ++i) EXPECT_STREQ(meta.Field(i), "") << i;
  }
}

TEST_F(JSonIFace2xTest, RxFieldIsCutAndLeavesNonArraysAlone) {
  Json::Value root;
  ASSERT_TRUE(CJSonIFace2x::ParseJson(R"({"rxpk":[{"data":")" + std::string(3000, 'A') + R"("}]})",
                                      root));
  std::string text;
  EXPECT_EQ(CJSonIFace2x::GetRxField(root["rxpk"], "data", text), 1);
  EXPECT_EQ(text, std::string(CJSonIFace2x::kRxFieldMax, 'A'));

  text = "kept";
  EXPECT_EQ(CJSonIFace2x::GetRxField(Json::Value(5), "data", text), 0);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(CJSonIFace2x::GetRxField(Json::Value(Json::objectValue), "data", text), 0);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(CJSonIFace2x::GetRxField(Json::Value(Json::arrayValue), "data", text), 0);
  EXPECT_EQ(text, "");
}

TEST_F(JSonIFace2xTest, RadioMetadataFieldsAreBounded) {
  RadioMetadata meta;
  EXPECT_EQ(meta.Field(-1), nullptr);
  EXPECT_EQ(meta.Field(RadioMetadata::kFieldCount), nullptr);
  EXPECT_EQ(RadioMetadata::FieldName(9), nullptr);
  EXPECT_FALSE(meta.SetField(9, "x"));
  EXPECT_TRUE(meta.SetField(8, std::string(200, 'n')));
  EXPECT_EQ(std::string(meta.lsnr), std::string(49, 'n'));
  RadioMetadata::SetText(meta.lsnr, "7");
  EXPECT_STREQ(meta.lsnr, "7");
  EXPECT_EQ(meta.lsnr[2], '\0');  // the rest of the field is zeroed
  EXPECT_EQ(meta.lsnr[48], '\0');
}

// ---- Downlink document ---------------------------------------------------------

// What the scheduler does with the text before sending it.
std::string Compact(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '\r' && c != '\n' && c != '[' && c != ']') out += c;
  return out;
}

TEST_F(JSonIFace2xTest, TxpkOfAClassAReply) {
  CJSonIFace2x json;
  json.ResetTx();
  json.m_TxKey = "txpk";
  Json::Value& tx = json.m_TxDoc[json.m_TxKey];
  tx["tmst"] = Json::UInt64(32704);
  tx["freq"] = 868.1;
  tx["datr"] = "SF7BW125";
  tx["rfch"] = 0;
  tx["powe"] = 20;
  tx["modu"] = "LORA";
  tx["codr"] = "4/5";
  tx["ipol"] = true;
  tx["size"] = 17;
  tx["data"] = "IJ8LCRw0FOT3G/+9OLHvNSc=";

  std::string text;
  ASSERT_TRUE(json.GetTxText(text));
  EXPECT_EQ(text,
            "{\n"
            "   \"txpk\" : {\n"
            "      \"codr\" : \"4/5\",\n"
            "      \"data\" : \"IJ8LCRw0FOT3G/+9OLHvNSc=\",\n"
            "      \"datr\" : \"SF7BW125\",\n"
            "      \"freq\" : 868.1,\n"
            "      \"ipol\" : true,\n"
            "      \"modu\" : \"LORA\",\n"
            "      \"powe\" : 20,\n"
            "      \"rfch\" : 0,\n"
            "      \"size\" : 17,\n"
            "      \"tmst\" : 32704\n"
            "   }\n"
            "}\n"
            "\n");
  EXPECT_EQ(Compact(text),
            R"({"txpk":{"codr":"4/5","data":"IJ8LCRw0FOT3G/+9OLHvNSc=","datr":"SF7BW125",)"
            R"("freq":868.1,"ipol":true,"modu":"LORA","powe":20,"rfch":0,"size":17,"tmst":32704}})");
}

TEST_F(JSonIFace2xTest, TxpkOfAClassCDownlink) {
  const struct {
    double freq;
    const char* text;
  } cases[] = {{921.9, "921.9"}, {923.0, "923.0"}, {922.1, "922.1"}, {869.525, "869.525"}};
  for (const auto& c : cases) {
    CJSonIFace2x json;
    json.ResetTx();
    json.m_TxKey = "txpk";
    Json::Value& tx = json.m_TxDoc[json.m_TxKey];
    tx["imme"] = true;
    tx["freq"] = c.freq;
    tx["datr"] = "SF12BW125";
    tx["size"] = 12;
    std::string text;
    ASSERT_TRUE(json.GetTxText(text));
    EXPECT_EQ(Compact(text), std::string(R"({"txpk":{"datr":"SF12BW125","freq":)") + c.text +
                                 R"(,"imme":true,"size":12}})");
  }
}

TEST_F(JSonIFace2xTest, TxTextNeedsADocument) {
  CJSonIFace2x json;
  std::string text = "unchanged";
  EXPECT_FALSE(json.GetTxText(text));
  EXPECT_EQ(text, "unchanged");

  json.m_TxKey = "txpk";
  json.m_TxDoc["txpk"]["size"] = 1;
  ASSERT_TRUE(json.GetTxText(text));
  json.ResetTx();
  EXPECT_EQ(json.m_TxKey, "");
  text = "unchanged";
  EXPECT_FALSE(json.GetTxText(text));
  EXPECT_EQ(text, "unchanged");

  // A document nested beyond reason is refused rather than written.
  Json::Value deep(1);
  for (int i = 0; i < 200; ++i) {
    Json::Value outer(Json::arrayValue);
    outer.append(std::move(deep));
    deep = std::move(outer);
  }
  json.m_TxDoc = std::move(deep);
  EXPECT_FALSE(json.GetTxText(text));
  EXPECT_EQ(text, "unchanged");
}

TEST_F(JSonIFace2xTest, StyledLayoutOfRealsAndArrays) {
  Json::Value doc;
  doc["a"] = Json::Value(Json::arrayValue);
  doc["a"].append(868.1);
  doc["a"].append(7.0);
  doc["b"] = 1e21;
  doc["c"] = std::numeric_limits<double>::infinity();
  doc["d"] = -std::numeric_limits<double>::infinity();
  doc["e"] = std::numeric_limits<double>::quiet_NaN();
  std::string text;
  ASSERT_TRUE(CJSonIFace2x::WriteStyled(doc, text));
  EXPECT_EQ(text,
            "{\n"
            "   \"a\" : [ 868.1, 7.0 ],\n"
            "   \"b\" : 1e+21,\n"
            "   \"c\" : 1e+9999,\n"
            "   \"d\" : -1e+9999,\n"
            "   \"e\" : null\n"
            "}\n");
}

// Documents without real numbers, where our layout must equal the library's
// styled writer byte for byte.
const char* const kLayoutDocs[] = {
    R"({"txpk":{"imme":true,"rfch":0,"datr":"SF12BW125","data":"QAEjRWeAAAABSfSVUg=="}})",
    R"({})",
    R"([])",
    R"(5)",
    R"("just a string")",
    R"(null)",
    R"({"a":[],"b":{},"c":[[],{}],"d":[1,"two",true,null,-3]})",
    R"({"short":[1,2,3],"nested":[[1,2],[3]],"objs":[{"x":1},{"y":[1,2]}]})",
    R"({"margin":["aaaaaaaaaaaaaaaa","bbbbbbbbbbbbbbbb","cccccccccccccccc","dddddddd"]})",
    R"({"margin":["aaaaaaaaaaaaaaaa","bbbbbbbbbbbbbbbb","cccccccccccccccc","ddddddddd"]})",
    R"({"many":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25]})",
    R"({"few":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24]})",
    R"([[[1,[2,[3]]]],{"k":{"k":{"k":[]}}}])",
    R"({"esc":"quote\" back\\ slash/ \b\f\n\r\t \u0001 \u001f \u007f"})",
    R"({"utf8":"caf\u00e9 \u20ac \ud83d\ude00 \u00ff"})",
    R"({"nul":"a\u0000b","k\u0000ey":1})",
    R"({"big":18446744073709551615,"neg":-9223372036854775808})",
    "{\"bad\":\"\xC3\x28 \xE2\x82 \xF0\x9F\x98 \xC0\xAF \xED\xA0\x80 \xF8\x88\x80\x80\x80 \xFF\"}",
};

TEST_F(JSonIFace2xTest, StyledLayoutMatchesTheLibraryWriter) {
  for (const char* doc : kLayoutDocs) {
    SCOPED_TRACE(doc);
    Json::Value value;
    ASSERT_TRUE(CJSonIFace2x::ParseJson(doc, value));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::StyledWriter writer;
    const std::string expected = writer.write(value);
#pragma GCC diagnostic pop
    std::string text;
    ASSERT_TRUE(CJSonIFace2x::WriteStyled(value, text));
    EXPECT_EQ(text, expected);
  }
}

// ---- Application-server answers ---------------------------------------------

struct AnswerCase {
  std::string body;
  int result;
  const char* appdata;  // expected outputs; both start as "old"
  const char* macdata;
};

const AnswerCase kAnswerCases[] = {
    {R"({"result":0,"appdata":"0102A0"})", 0, "0102A0", "old"},
    {R"({"result":0,"appdata":"01","macdata":"0203"})", 0, "01", "0203"},
    {R"({"appdata":"01"})", 5, "01", "old"},
    {R"({})", 5, "old", "old"},
    {"not json", 1, "old", "old"},
    {"", 1, "old", "old"},
    {R"({"result":0,)", 1, "old", "old"},
    {R"([{"result":0}])", 5, "old", "old"},  // JSON, but no members to read
    {R"(0)", 5, "old", "old"},
    {R"({"result":"3x"})", 3, "old", "old"},
    {R"({"result":-2})", -2, "old", "old"},
    {R"({"result":1.9})", 1, "old", "old"},
    {R"({"result":true})", 0, "old", "old"},
    {R"({"result":null})", 0, "old", "old"},
    {R"({"result":[0]})", 5, "old", "old"},
    {R"({"result":99999999999})", INT_MAX, "old", "old"},
    {R"({"result":-1e300})", -1, "old", "old"},  // "-1e+300": leading digits only
    {R"({"Result":0,"APPDATA":"01"})", 5, "old", "old"},  // names compared exactly
    {R"({"appdata":{"a":1},"macdata":[1]})", 5, "old", "old"},
    {R"({"appdata":null,"macdata":12})", 5, "", "12"},
    {R"({"appdata":"a\u0000b"})", 5, "a", "old"},
    {"// answer\n{\"result\":0 /* ok */}", 0, "old", "old"},
    {std::string(R"({"result":0})") + '\0' + "garbage", 0, "old", "old"},
    {R"({"result":0,"appdata":")" + std::string(5000, 'F') + R"("})", 0, nullptr, "old"},
};

TEST_F(JSonIFace2xTest, AnswerParsing) {
  for (const AnswerCase& c : kAnswerCases) {
    SCOPED_TRACE(c.body.substr(0, 80));
    CJSonIFace2x json;
    std::string app = "old";
    std::string mac = "old";
    EXPECT_EQ(json.SetHttpRxParse(c.body, app, mac), c.result);
    EXPECT_EQ(app, c.appdata ? c.appdata : std::string(5000, 'F'));  // long texts are not cut
    EXPECT_EQ(mac, c.macdata);
  }
}

TEST(WithoutFrameDataTest, EveryFrameGivesWayToItsLength) {
  const struct {
    const char* name;
    std::string json;
    std::string shown;
  } cases[] = {
      {"one frame", R"({"rxpk":[{"data":"QNobASaA","size":6}]})", R"({"rxpk":[{"data":"<8 characters>","size":6}]})"},
      {"spaces around the colon", "{\"data\" :\n \"QNob\"}", "{\"data\" :\n \"<4 characters>\"}"},
      {"two packets", R"([{"data":"AA=="},{"data":"QUJD"}])", R"([{"data":"<4 characters>"},{"data":"<4 characters>"}])"},
      {"an empty frame", R"({"data":""})", R"({"data":"<0 characters>"})"},
      {"no frame", R"({"stat":{"rxnb":1}})", R"({"stat":{"rxnb":1}})"},
      {"not a text", R"({"data":12,"size":1})", R"({"data":12,"size":1})"},
      {"cut short", R"({"data":"QNob)", R"({"data":"QNob)"},
      {"the name as a value", R"({"x":"data"})", R"({"x":"data"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WithoutFrameData(c.json), c.shown);
  }
}

}  // namespace
}  // namespace quorvex
