// Forwarding of uplinks to application servers: the request composed from a
// device record, the post against a real application server on loopback
// (plain HTTP and TLS), and the server's answer turned into a queued
// downlink request.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "forwarding/HttpManager.h"
#include "gateway/Gateway.h"
#include "gateway/JSonIFace2x.h"
#include "persistence/Application.h"
#include "persistence/DLinkList.h"
#include "persistence/DbFixture.h"
#include "persistence/Device.h"
#include "support/TempDir.h"
#include "support/TraceCapture.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

using test::RawDb;
using test::TempDir;
using test::TraceCapture;
using test::WaitUntil;

// ---- An application server on loopback ---------------------------------------

// Records every request and answers as told. While held, answers wait until
// Release (or the server's end), as a server that has stopped responding.
class AppServer {
 public:
  struct Seen {
    std::string method, path, body;
    httplib::Headers headers;
  };

  explicit AppServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
      : m_Server(std::move(server)) {
    // Without it the answer's body waits for the client's delayed ACK (~40 ms).
    m_Server->set_tcp_nodelay(true);
    m_Server->Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      std::unique_lock<std::mutex> lock(m_Mutex);
      m_Seen.push_back({req.method, req.path, req.body, req.headers});
      m_Cond.wait_for(lock, std::chrono::seconds(60), [this] { return !m_Held; });
      res.status = m_Status;
      res.set_content(m_Body, "application/json");
    });
    m_Port = m_Server->bind_to_any_port("127.0.0.1");
    m_Thread = std::thread([this] { m_Server->listen_after_bind(); });
    WaitUntil([this] { return m_Server->is_running(); });
  }
  ~AppServer() {
    Release();
    m_Server->stop();
    m_Thread.join();
  }

  std::string Url(const char* scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_Port);
  }
  void Answer(int status, std::string body) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Status = status;
    m_Body = std::move(body);
  }
  void Hold() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Held = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Held = false;
    }
    m_Cond.notify_all();
  }
  std::vector<Seen> Requests() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Seen;
  }
  size_t RequestCount() { return Requests().size(); }

 private:
  std::unique_ptr<httplib::Server> m_Server;
  int m_Port = 0;
  std::thread m_Thread;
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  std::vector<Seen> m_Seen;
  int m_Status = 200;
  std::string m_Body = "{}";
  bool m_Held = false;
};

// Takes posts to /d/DEVICE/SEQ on many connections at once and notes, per
// device, the order in which it finished reading them. Each post first
// waits 0, 0.7 or 1.4 ms (by SEQ), so that two posts of one device sent
// at once would be noted out of order; it also counts posts of a device
// that overlap in the handler.
class OrderServer {
 public:
  OrderServer() {
    m_Server.set_tcp_nodelay(true);
    m_Server.Post(R"(/d/(\d+)/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      const int device = std::stoi(req.matches[1]);
      const int seq = std::stoi(req.matches[2]);
      Enter(device);
      std::this_thread::sleep_for(std::chrono::microseconds(700 * (seq % 3)));
      Leave(device, seq);
      res.set_content("{}", "application/json");
    });
    m_Port = m_Server.bind_to_any_port("127.0.0.1");
    m_Thread = std::thread([this] { m_Server.listen_after_bind(); });
    WaitUntil([this] { return m_Server.is_running(); });
  }
  ~OrderServer() {
    m_Server.stop();
    m_Thread.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_Port); }
  std::map<int, std::vector<int>> Arrivals() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Arrivals;
  }
  int Overlaps() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Overlaps;
  }
  int PeakInHandler() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Peak;
  }
  int Entered() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Entered;
  }

 private:
  void Enter(int device) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Active[device]++ > 0) ++m_Overlaps;
    ++m_Entered;
    m_Peak = std::max(m_Peak, ++m_InHandler);
  }
  void Leave(int device, int seq) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Arrivals[device].push_back(seq);
    --m_Active[device];
    --m_InHandler;
  }

  httplib::Server m_Server;
  int m_Port = 0;
  std::thread m_Thread;
  std::mutex m_Mutex;
  std::map<int, std::vector<int>> m_Arrivals;
  std::map<int, int> m_Active;
  int m_Overlaps = 0;
  int m_InHandler = 0;
  int m_Peak = 0;
  int m_Entered = 0;
};

// A self-signed certificate for 127.0.0.1 and its key, as PEM files. With
// `altName` (say "IP:127.0.0.1") it names the host the way TLS clients
// check it; without, a client that trusts it still refuses the host.
struct SelfSignedCert {
  explicit SelfSignedCert(const TempDir& dir, const char* altName = nullptr)
      : certPath(dir.File("cert.pem")), keyPath(dir.File("key.pem")) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert) return;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (altName != nullptr) {
      X509V3_CTX ctx;
      X509V3_set_ctx_nodb(&ctx);
      X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, altName);
      if (ext == nullptr) return;
      X509_add_ext(cert.get(), ext, -1);
      X509_EXTENSION_free(ext);
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return;
    std::unique_ptr<BIO, decltype(&BIO_free)> certOut(BIO_new_file(certPath.c_str(), "w"), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> keyOut(BIO_new_file(keyPath.c_str(), "w"), BIO_free);
    ok = certOut && keyOut && PEM_write_bio_X509(certOut.get(), cert.get()) == 1 &&
         PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  }
  std::string certPath, keyPath;
  bool ok = false;
};

// ---- Records ------------------------------------------------------------------

template <std::size_t N>
void SetText(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

std::shared_ptr<CApplication> MakeApp(const std::string& url, const std::string& parm) {
  auto app = std::make_shared<CApplication>();
  app->PKEY = 1;
  const uint8_t appeui[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  std::memcpy(app->APPEUI, appeui, 8);
  SetText(app->APPURL, url);
  SetText(app->APPPARM, parm);
  return app;
}

CGateway& TestGateway() {
  static CGateway gateway = [] {
    CGateway g;
    SetText(g.ID, "AA555A0000000000");
    return g;
  }();
  return gateway;
}

// An accepted uplink carrying "abc" on port 5.
CDevice MakeDevice(std::shared_ptr<const CApplication> app, int32_t pkey = 9) {
  CDevice device;
  device.PKEY = pkey;
  const uint8_t deveui[8] = {0x70, 0xB3, 0xD5, 0x7E, 0xD0, 0x00, 0x00, 0x01};
  std::memcpy(device.DEVEUI, deveui, 8);
  device.DEVADDR = 77;
  device.ADRSF = 7;
  device.RXSEQ = 12;
  device.m_UpFPort = 5;
  std::memcpy(device.m_UpPayload, "abc", 3);
  device.m_UpPayloadLength = 3;
  RadioMetadata::SetText(device.m_RxInfo.freq, "868.1");
  RadioMetadata::SetText(device.m_RxInfo.lsnr, "7.0");
  RadioMetadata::SetText(device.m_RxInfo.rssi, "-35");
  device.m_Application = std::move(app);
  device.m_Gateway = &TestGateway();
  return device;
}

std::tm TestTime() {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 2;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  return t;
}
constexpr int kTestMillisecond = 7;

// The document for MakeDevice's uplink at TestTime.
const std::string kExpectedBody =
    "{\t\r\n\"freq\": 868.1, \r\n\"modu\" : \"LORA\", \r\n\"datr\" : \"SF7BW125\", \r\n"
    "\"lsnr\" : 7.0, \r\n\"rssi\" : -35, \r\n\"fcnt\" : 12, \r\n\"port\": 5, \r\n"
    "\"data\" : \"YWJj\", \r\n\"appeui\" : \"00-11-22-33-44-55-66-77\", \r\n"
    "\"deveui\" : \"70-B3-D5-7E-D0-00-00-01\", \r\n\"gweui\": \"AA555A0000000000\", \r\n"
    "\"time\" : \"2024-03-02T09:05:03.7Z\" \r\n}";

const std::string kDefaultParm = "/example1/example2/appeui/deveui/up";
const std::string kDefaultPath =
    "/example1/example2/00-11-22-33-44-55-66-77/70-B3-D5-7E-D0-00-00-01/up";

// ---- Composition ------------------------------------------------------------------

TEST(ForwardCompose, TimeTextKeepsTheMillisecondUnpadded) {
  EXPECT_EQ(CHttpManager::FormatForwardTime(TestTime(), kTestMillisecond), "2024-03-02T09:05:03.7Z");
  std::tm t = TestTime();
  t.tm_year = 1999 - 1900, t.tm_mon = 11, t.tm_mday = 31, t.tm_hour = 23, t.tm_min = 59, t.tm_sec = 59;
  EXPECT_EQ(CHttpManager::FormatForwardTime(t, 999), "1999-12-31T23:59:59.999Z");
}

TEST(ForwardCompose, RequestCarriesTheDocumentByteForByte) {
  const auto request = CHttpManager::ComposeRequest(
      MakeDevice(MakeApp("http://as.example:8080", kDefaultParm)), TestTime(), kTestMillisecond);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->m_Body, kExpectedBody);
  EXPECT_EQ(request->m_BaseUrl, "http://as.example:8080");
  EXPECT_EQ(request->m_Path, kDefaultPath);
  EXPECT_EQ(request->m_DevicePkey, 9);
  EXPECT_EQ(request->m_Port, 5);
}

TEST(ForwardCompose, PathSubstitutesTheDeviceIdentifiers) {
  const struct {
    const char* parm;
    std::string path;
  } cases[] = {
      {"/example1/example2/appeui/deveui/up", kDefaultPath},
      {"", ""},
      {"up", "/up"},
      {"dev/devaddr/deveui", "/dev/77/70-B3-D5-7E-D0-00-00-01"},
      {"APPEUI/appeuiappeui?x=devaddr", "/APPEUI/00-11-22-33-44-55-66-7700-11-22-33-44-55-66-77?x=77"},
  };
  for (const auto& c : cases) {
    const auto request =
        CHttpManager::ComposeRequest(MakeDevice(MakeApp("http://h", c.parm)), TestTime(), 0);
    ASSERT_TRUE(request) << c.parm;
    EXPECT_EQ(request->m_Path, c.path) << c.parm;
  }
  // A negative address is written as the signed number it is stored as.
  EXPECT_EQ(CHttpManager::MakeForwardPath("devaddr", "", "", std::to_string(int32_t(0xFFFFFFFE))),
            "/-2");
}

TEST(ForwardCompose, UplinksThatAreNotForwarded) {
  const std::string longNumber(49, '1');
  const struct {
    const char* what;
    std::function<void(CDevice&, CApplication&)> change;
    bool forwarded;
    const char* trace;  // expected refusal line; null: silently not forwarded
  } cases[] = {
      {"port 0", [](CDevice& d, CApplication&) { d.m_UpFPort = 0; }, false, nullptr},
      {"no payload", [](CDevice& d, CApplication&) { d.m_UpPayloadLength = 0; }, false, nullptr},
      {"no application", [](CDevice& d, CApplication&) { d.m_Application.reset(); }, false, nullptr},
      {"no server", [](CDevice&, CApplication& a) { SetText(a.APPURL, ""); }, false, nullptr},
      {"https", [](CDevice&, CApplication& a) { SetText(a.APPURL, "https://h"); }, true, nullptr},
      {"upper case", [](CDevice&, CApplication& a) { SetText(a.APPURL, "HTTP://h"); }, true, nullptr},
      {"ftp", [](CDevice&, CApplication& a) { SetText(a.APPURL, "ftp://h?u=http://x"); }, false,
       "APPURL Not http(s): ftp://h?u=http://x"},
      {"no scheme", [](CDevice&, CApplication& a) { SetText(a.APPURL, "h/http://"); }, false,
       "APPURL Not http(s)"},
      {"payload over the record", [](CDevice& d, CApplication&) { d.m_UpPayloadLength = 516; },
       false, "Payload Length 516"},
      {"negative payload", [](CDevice& d, CApplication&) { d.m_UpPayloadLength = -1; }, false,
       "Payload Length -1"},
      {"path of 100",
       [](CDevice&, CApplication& a) { SetText(a.APPPARM, "appeuiappeuiappeuiappeui" + std::string(7, 'x')); },
       false, "Path Of 100 Characters"},
      {"path of 99",
       [](CDevice&, CApplication& a) { SetText(a.APPPARM, "/appeuiappeuiappeuiappeui" + std::string(6, 'x')); },
       true, nullptr},
      {"body over 1023",
       [&](CDevice& d, CApplication&) {
         d.m_UpPayloadLength = 515;
         RadioMetadata::SetText(d.m_RxInfo.freq, longNumber);
         RadioMetadata::SetText(d.m_RxInfo.rssi, longNumber);
       },
       false, "Body Of"},
  };
  for (const auto& c : cases) {
    auto app = MakeApp("http://h", kDefaultParm);
    CDevice device = MakeDevice(app);
    c.change(device, *app);
    TraceCapture trace;
    const auto request = CHttpManager::ComposeRequest(device, TestTime(), 0);
    EXPECT_EQ(request != nullptr, c.forwarded) << c.what;
    if (c.trace != nullptr) {
      EXPECT_TRUE(trace.Saw(std::string("ForwardUplink Refused, ") + c.trace)) << c.what;
    } else {
      EXPECT_EQ(trace.Count("CHttpManager"), 0) << c.what;
    }
  }
}

TEST(ForwardCompose, GatewayTextsCannotBreakTheDocument) {
  CDevice device = MakeDevice(MakeApp("http://h", ""));
  RadioMetadata::SetText(device.m_RxInfo.freq, "868.1, \"x\": \"y");
  RadioMetadata::SetText(device.m_RxInfo.lsnr, "");  // FSK packets have none
  CGateway gateway;
  SetText(gateway.ID, "A\"B\\C");
  device.m_Gateway = &gateway;
  const auto request = CHttpManager::ComposeRequest(device, TestTime(), 0);
  ASSERT_TRUE(request);
  Json::Value root;
  ASSERT_TRUE(CJSonIFace2x::ParseJson(request->m_Body, root)) << request->m_Body;
  EXPECT_TRUE(root["freq"].isNull());
  EXPECT_TRUE(root["lsnr"].isNull());
  EXPECT_FALSE(root.isMember("x"));
  EXPECT_EQ(root["rssi"].asInt(), -35);
  EXPECT_EQ(root["gweui"].asString(), "A\"B\\C");
}

// ---- The post ------------------------------------------------------------------------

TEST(HttpPost, ResultOfEachKindOfExchange) {
  AppServer server;
  std::string downUrl;
  {
    AppServer gone;
    downUrl = gone.Url() + "/up";
  }
  const std::string big(5000, 'x');
  const struct {
    std::string url;
    int status;
    std::string body;
    int result;
    std::string answer;
  } cases[] = {
      {server.Url(), 200, "{\"result\":0}", 0, "{\"result\":0}"},
      {server.Url() + "/a?b=1", 200, big, 0, big.substr(0, CHttpManager::kMaxAnswer)},
      {server.Url() + "/a", 404, "{\"result\":0}", 404, ""},
      {server.Url() + "/a", 500, "", 500, ""},
      {downUrl, 200, "", 7, ""},                                         // refused connection
      {"not a url", 200, "", 3, ""},                                     // malformed
      {server.Url() + "/a b", 200, "", 3, ""},                           // malformed
      {"ftp://127.0.0.1/", 200, "", 1, ""},                              // not http(s)
      {server.Url("https") + "/a", 200, "{\"result\":0}", 35, ""},       // TLS to a plain server
  };
  for (const auto& c : cases) {
    server.Answer(c.status, c.body);
    std::string answer = "stale";
    EXPECT_EQ(CHttpManager::HttpPost(c.url, "{}", answer), c.result) << c.url;
    EXPECT_EQ(answer, c.answer) << c.url;
  }
  // A URL without a path posts to "/".
  ASSERT_GE(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests().front().path, "/");
}

TEST(HttpPost, HttpsCertificatesAreVerified) {
  TempDir dir;
  SelfSignedCert cert(dir);
  ASSERT_TRUE(cert.ok);
  auto tls = std::make_unique<httplib::SSLServer>(cert.certPath.c_str(), cert.keyPath.c_str());
  ASSERT_TRUE(tls->is_valid());
  AppServer server(std::move(tls));
  server.Answer(200, "{\"result\":0}");
  std::string answer;
  EXPECT_EQ(CHttpManager::HttpPost(server.Url("https") + "/up", "{}", answer), 60);  // peer not trusted
  EXPECT_EQ(answer, "");
  EXPECT_EQ(server.RequestCount(), 0u);
}

// An operator whose application server has a private authority or a
// self-signed certificate names it in the data directory's CA file; the
// certificate and the host name are still checked.
TEST(HttpPost, AnAuthorityFileMakesAPrivateCertificateTrusted) {
  struct Case {
    const char* what;
    const char* altName;
    bool trusted;
    int result;
  };
  const Case cases[] = {
      {"system authorities only", "IP:127.0.0.1", false, 60},
      {"its own certificate trusted", "IP:127.0.0.1", true, 0},
      {"trusted, but issued for another host", "DNS:other.example", true, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    SelfSignedCert cert(dir, c.altName);
    ASSERT_TRUE(cert.ok);
    auto tls = std::make_unique<httplib::SSLServer>(cert.certPath.c_str(), cert.keyPath.c_str());
    ASSERT_TRUE(tls->is_valid());
    AppServer server(std::move(tls));
    server.Answer(200, "{\"result\":0}");
    CHttpManager::SetTrustedCaFile(c.trusted ? cert.certPath : std::string());
    std::string answer;
    EXPECT_EQ(CHttpManager::HttpPost(server.Url("https") + "/up", "{}", answer), c.result);
    EXPECT_EQ(server.RequestCount(), c.result == 0 ? 1u : 0u);
  }
  CHttpManager::SetTrustedCaFile({});
}

// ---- Through the workers into the downlink queue -----------------------------------

// Counts the requests whose posts have ended, also per base URL.
class CountingHttpManager : public CHttpManager {
 public:
  ~CountingHttpManager() override {
    StopWorkers();
    WaitForThreads(test::kPatienceMs);
  }
  int DoneFor(const std::string& baseUrl) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_DoneBy[baseUrl];
  }
  std::atomic<int> done{0};

 protected:
  void Complete(const HttpForwardRequest& request, int result, const std::string& answer,
                int elapsedMs) override {
    CHttpManager::Complete(request, result, answer, elapsedMs);
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      ++m_DoneBy[request.m_BaseUrl];
    }
    ++done;
  }

 private:
  std::mutex m_Mutex;
  std::map<std::string, int> m_DoneBy;
};

class ForwardTest : public test::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    raw = std::make_unique<RawDb>(DbPath());
    http.Attach(&downlinks);
    ASSERT_EQ(http.StartWorkers(1), 1);
  }
  // Forwards the device's uplink and waits until the worker is done with it.
  void ForwardAndWait(const CDevice& device) {
    const int before = http.done.load();
    http.ForwardUplink(device);
    ASSERT_TRUE(WaitUntil([&] { return http.done.load() > before; }, 30000));
  }
  std::vector<std::string> Rows(int32_t devPkey) {
    return raw->Column("SELECT PORT||'|'||CONFIRMED||'|'||CHANNEL||'|'||APP||'|'||MAC||'|'||TIME||'|'||TXDONE"
                      " FROM DLINKTBL WHERE DEVPKEY=" + std::to_string(devPkey) + " ORDER BY PKEY");
  }

  AppServer server;
  CDLinkList downlinks{db};
  CountingHttpManager http;
  std::unique_ptr<RawDb> raw;
};

TEST_F(ForwardTest, UplinkIsPostedAndItsAnswerQueuedAsADownlink) {
  TraceCapture trace;
  server.Answer(200, "{\"result\": 0, \"appdata\": \"01 02\", \"other\": [1]}");
  ForwardAndWait(MakeDevice(MakeApp(server.Url(), kDefaultParm)));

  const auto seen = server.Requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].path, kDefaultPath);
  const std::pair<const char*, const char*> headers[] = {
      {"Accept", "*/*"},
      {"Accept-Encoding", "gzip, deflate, br"},
      {"User-Agent", "Mozilla/4.0 (compatible; MSIE 5.0;* Windows NT)"},
      {"Content-Type", "application/json; charset=UTF-8"},
      {"Content-Length", nullptr},
  };
  for (const auto& [name, value] : headers) {
    ASSERT_EQ(seen[0].headers.count(name), 1u) << name;
    if (value != nullptr) {
      EXPECT_EQ(seen[0].headers.find(name)->second, value);
    }
  }
  EXPECT_EQ(seen[0].headers.find("Content-Length")->second, std::to_string(seen[0].body.size()));
  // The document as composed, with the time of the post in place of the test's.
  const std::regex time("\"time\" : \"(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{1,3}Z)\" \r\n\\}$");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(seen[0].body, match, time)) << seen[0].body;
  std::string body = seen[0].body;
  body.replace(match.position(1), match.length(1), "2024-03-02T09:05:03.7Z");
  EXPECT_EQ(body, kExpectedBody);

  EXPECT_EQ(Rows(9), (std::vector<std::string>{"5|0|0|01 02|||0"}));
  EXPECT_TRUE(trace.Saw("(THREAD=0) HTTP SEND SUCCESS TIME="));
}

TEST_F(ForwardTest, WhatEachAnswerQueues) {
  const std::string pad(3000, ' ');
  const struct {
    int status;
    std::string answer;
    std::vector<std::string> rows;
    const char* trace;  // a line the case must leave, or null
  } cases[] = {
      {200, "{\"result\":0,\"macdata\":\"03 07 00\"}", {"5|0|0||03 07 00||0"}, nullptr},
      {200, "{\"result\":0,\"appdata\":\"" + std::string(90, 'A') + "\"}",
       {"5|0|0|" + std::string(90, 'A') + "|||0"}, nullptr},
      {200, "{\"result\":0,\"appdata\":\"01 02\"}" + pad, {"5|0|0|01 02|||0"}, nullptr},  // cut, still JSON
      {200, "{\"result\":0," + pad + "\"appdata\":\"01\"}", {}, nullptr},  // cut before appdata
      {200, "not json", {}, nullptr},
      {200, "{\"result\":1,\"appdata\":\"01 02\"}", {}, "RESULT=1, DATA IGNORED"},
      {200, "{\"appdata\":\"01 02\"}", {}, "RESULT=5, DATA IGNORED"},
      {200, "{\"result\":0,\"appdata\":\"" + std::string(91, 'A') + "\"}", {}, "ANSWER REFUSED, APPDATA 91/90"},
      {200, "{\"result\":0,\"macdata\":\"" + std::string(31, 'A') + "\"}", {}, "MACDATA 31/30"},
      {404, "{\"result\":0,\"appdata\":\"01 02\"}", {}, "HTTP SEND FAIL ERR=404, TM="},
  };
  int32_t device = 100;
  for (const auto& c : cases) {
    TraceCapture trace;
    server.Answer(c.status, c.answer);
    ForwardAndWait(MakeDevice(MakeApp(server.Url(), "up"), ++device));
    EXPECT_EQ(Rows(device), c.rows) << c.answer.substr(0, 60);
    if (c.trace != nullptr) {
      EXPECT_TRUE(trace.Saw(c.trace)) << c.answer.substr(0, 60);
    }
  }
  EXPECT_EQ(server.RequestCount(), std::size(cases));
}

TEST_F(ForwardTest, AnswerWithoutAQueueIsRefused) {
  CountingHttpManager detached;
  ASSERT_EQ(detached.StartWorkers(1), 1);
  TraceCapture trace;
  server.Answer(200, "{\"result\":0,\"appdata\":\"01\"}");
  detached.ForwardUplink(MakeDevice(MakeApp(server.Url(), "")));
  ASSERT_TRUE(WaitUntil([&] { return detached.done.load() == 1; }, 30000));
  EXPECT_TRUE(trace.Saw("HTTP ANSWER REFUSED, NO DOWNLINK QUEUE"));
  EXPECT_EQ(raw->Scalar("SELECT COUNT(*) FROM DLINKTBL"), "0");
}

TEST_F(ForwardTest, SlowServerTimesOutWhileTheSchedulerGoesOn) {
  TraceCapture trace;
  server.Hold();
  // Returns while the server cannot have answered: queuing never waits for it.
  http.ForwardUplink(MakeDevice(MakeApp(server.Url(), "up"), 1));
  ASSERT_TRUE(WaitUntil([&] { return server.RequestCount() == 1u; }, 30000));
  ASSERT_TRUE(WaitUntil([&] { return http.done.load() == 1; }, 60000));
  EXPECT_TRUE(trace.Saw("(THREAD=0) HTTP SEND FAIL ERR=28, TM="));
  server.Release();

  // Later requests are unaffected.
  server.Answer(200, "{\"result\":0,\"appdata\":\"0A\"}");
  ForwardAndWait(MakeDevice(MakeApp(server.Url(), "up"), 2));
  EXPECT_EQ(Rows(1), std::vector<std::string>{});
  EXPECT_EQ(Rows(2), (std::vector<std::string>{"5|0|0|0A|||0"}));
}

TEST(ForwardLifecycle, DestroyingTheManagerAbortsAPostInFlight) {
  AppServer server;
  server.Hold();
  TraceCapture trace;
  auto http = std::make_unique<CHttpManager>();
  ASSERT_EQ(http->StartWorkers(1), 1);
  http->ForwardUplink(MakeDevice(MakeApp(server.Url(), "up")));
  ASSERT_TRUE(WaitUntil([&] { return server.RequestCount() == 1u; }, 30000));
  http.reset();  // must not leave a worker behind on the destroyed manager
  EXPECT_TRUE(trace.Saw("HTTP SEND FAIL ERR=42, TM="));  // aborted by the manager
}

// A request for `device` posting to `baseUrl`.
std::unique_ptr<HttpForwardRequest> RequestFor(int32_t device, const std::string& baseUrl) {
  auto request = std::make_unique<HttpForwardRequest>();
  request->m_DevicePkey = device;
  request->m_BaseUrl = baseUrl;
  return request;
}

TEST(ForwardLifecycle, QueueIsBounded) {
  CHttpManager http;  // no drivers: nothing leaves the queue
  // Spread over enough servers that no server's own share runs out first.
  constexpr std::size_t kServers = CHttpManager::kMaxQueued / CHttpManager::kMaxQueuedPerServer;
  for (std::size_t i = 0; i < CHttpManager::kMaxQueued; ++i)
    ASSERT_TRUE(http.AddRequest(RequestFor(0, "http://s" + std::to_string(i % kServers))));
  TraceCapture trace;
  EXPECT_FALSE(http.AddRequest(RequestFor(77, "http://other")));
  EXPECT_TRUE(trace.Saw("Queue Full (" + std::to_string(CHttpManager::kMaxQueued) +
                        "), Uplink Of Device 77 Dropped (1 dropped so far)"));
  // An overload drops many at once: every drop is counted, but the trace
  // gets one line a second, not one per uplink.
  for (int i = 0; i < 999; ++i) EXPECT_FALSE(http.AddRequest(RequestFor(78, "http://other")));
  EXPECT_EQ(trace.Count("Queue Full"), 1);
  EXPECT_EQ(http.Count(), CHttpManager::kMaxQueued);
  EXPECT_EQ(http.PostCounts().dropped, 1000u);
  http.StopWorkers();  // the stop gives the final count the throttled lines left out
  EXPECT_TRUE(trace.Saw("Stopping (1000 dropped so far)"));
}

// A dead server fills its own share of the queue, never the others' room.
TEST(ForwardLifecycle, OneServerHasABoundedShareOfTheQueue) {
  CHttpManager http;  // no drivers: nothing leaves the queue
  for (std::size_t i = 0; i < CHttpManager::kMaxQueuedPerServer; ++i)
    ASSERT_TRUE(http.AddRequest(RequestFor(static_cast<int32_t>(i), "http://dead")));
  TraceCapture trace;
  EXPECT_FALSE(http.AddRequest(RequestFor(5, "http://dead")));
  EXPECT_TRUE(trace.Saw("Queue Full (" + std::to_string(CHttpManager::kMaxQueuedPerServer) +
                        " For http://dead), Uplink Of Device 5 Dropped"));
  EXPECT_TRUE(http.AddRequest(RequestFor(5, "http://alive")));
  EXPECT_EQ(http.Count(), CHttpManager::kMaxQueuedPerServer + 1);
  EXPECT_EQ(http.PostCounts().dropped, 1u);
}

// ---- Many posts at once ----------------------------------------------------------

// A request of `device` to `baseUrl` + `path`.
std::unique_ptr<HttpForwardRequest> PostFor(int32_t device, const std::string& baseUrl,
                                            const std::string& path) {
  auto request = RequestFor(device, baseUrl);
  request->m_Path = path;
  request->m_Body = "{}";
  return request;
}

TEST(ForwardOrder, EachDevicesPostsArriveInItsOrderWhileManyAreInFlight) {
  OrderServer server;
  CountingHttpManager http;
  ASSERT_EQ(http.StartWorkers(1), 1);
  constexpr int kDevices = 6;
  constexpr int kUplinks = 40;
  // Each round is queued once a post of the previous round is in flight:
  // so uplinks come both behind waiting ones and behind one being posted.
  for (int seq = 0; seq < kUplinks; ++seq) {
    for (int device = 0; device < kDevices; ++device)
      ASSERT_TRUE(http.AddRequest(PostFor(device, server.Url(),
                                          "/d/" + std::to_string(device) + "/" + std::to_string(seq))));
    ASSERT_TRUE(WaitUntil([&] { return server.Entered() > seq * kDevices / 2; }));
  }
  ASSERT_TRUE(WaitUntil([&] { return http.done.load() == kDevices * kUplinks; }, 60000));

  std::vector<int> inOrder(kUplinks);
  for (int seq = 0; seq < kUplinks; ++seq) inOrder[seq] = seq;
  const auto arrivals = server.Arrivals();
  ASSERT_EQ(arrivals.size(), static_cast<size_t>(kDevices));
  for (const auto& [device, seqs] : arrivals) EXPECT_EQ(seqs, inOrder) << "device " << device;
  EXPECT_EQ(server.Overlaps(), 0);
  // The devices' posts did run side by side.
  EXPECT_GT(server.PeakInHandler(), 1);
  EXPECT_EQ(http.PostCounts().succeeded, static_cast<uint64_t>(kDevices * kUplinks));
}

TEST(ForwardOrder, ASlowServerDoesNotHoldUpTheOtherServers) {
  AppServer slow;
  slow.Hold();  // answers nothing until released
  AppServer fast;
  std::string refused;
  {
    AppServer gone;
    refused = gone.Url();
  }
  CountingHttpManager http;
  ASSERT_EQ(http.StartWorkers(1), 1);
  constexpr int kCap = CHttpManager::kMaxInFlightPerServer;
  constexpr int kSlow = kCap + 12;
  for (int i = 0; i < kSlow; ++i) ASSERT_TRUE(http.AddRequest(PostFor(i, slow.Url(), "/up")));
  ASSERT_TRUE(WaitUntil([&] { return slow.RequestCount() == static_cast<size_t>(kCap); }));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(http.AddRequest(PostFor(100 + i, refused, "/up")));
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(http.AddRequest(PostFor(200 + i, fast.Url(), "/up")));

  ASSERT_TRUE(WaitUntil([&] { return http.DoneFor(fast.Url()) == 30 && http.DoneFor(refused) == 10; }));
  // All of that while the slow server still holds every post it was given,
  // and was given no more than its share of connections.
  EXPECT_EQ(http.DoneFor(slow.Url()), 0);
  EXPECT_EQ(slow.RequestCount(), static_cast<size_t>(kCap));
  EXPECT_EQ(fast.RequestCount(), 30u);
  EXPECT_EQ(http.Count(), static_cast<size_t>(kSlow - kCap));

  slow.Release();
  ASSERT_TRUE(WaitUntil([&] { return http.DoneFor(slow.Url()) == kSlow; }, 60000));
  EXPECT_EQ(slow.RequestCount(), static_cast<size_t>(kSlow));
  const HttpPostCounts counts = http.PostCounts();
  EXPECT_EQ(counts.succeeded, static_cast<uint64_t>(30 + kSlow));
  EXPECT_EQ(counts.failed, 10u);
  EXPECT_EQ(counts.dropped, 0u);
}

TEST(ForwardCounts, SucceededFailedAndDroppedAddUp) {
  constexpr uint64_t kCap = CHttpManager::kMaxInFlightPerServer;
  constexpr uint64_t kRoom = kCap + CHttpManager::kMaxQueuedPerServer;  // in flight + queued
  const struct {
    const char* what;
    int status;
    bool refused;   // the server is gone
    bool overflow;  // more than the server's room while it holds its answers
    uint64_t succeeded, failed, dropped;
  } cases[] = {
      {"answered 200", 200, false, false, 5, 0, 0},
      {"answered 404", 404, false, false, 0, 5, 0},
      {"answered 500", 500, false, false, 0, 5, 0},
      {"connection refused", 200, true, false, 0, 5, 0},
      {"queue overflow", 200, false, true, kRoom, 0, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    AppServer server;
    server.Answer(c.status, "{}");
    std::string url = server.Url();
    if (c.refused) {
      AppServer gone;
      url = gone.Url();
    }
    CountingHttpManager http;
    ASSERT_EQ(http.StartWorkers(1), 1);
    const uint64_t total = c.succeeded + c.failed + c.dropped;
    int32_t device = 0;
    if (c.overflow) {
      server.Hold();
      for (; device < static_cast<int32_t>(kCap); ++device) http.AddRequest(PostFor(device, url, "/up"));
      ASSERT_TRUE(WaitUntil([&] { return server.RequestCount() == kCap; }));
    }
    for (; device < static_cast<int32_t>(total); ++device) http.AddRequest(PostFor(device, url, "/up"));
    server.Release();
    ASSERT_TRUE(WaitUntil([&] { return http.done.load() == static_cast<int>(c.succeeded + c.failed); }, 120000));
    const HttpPostCounts counts = http.PostCounts();
    EXPECT_EQ(counts.succeeded, c.succeeded);
    EXPECT_EQ(counts.failed, c.failed);
    EXPECT_EQ(counts.dropped, c.dropped);
  }
}

}  // namespace
}  // namespace quorvex
