#include "forwarding/HttpManager.h"

#include <curl/curl.h>
#include <pthread.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <strings.h>
#include <unordered_map>
#include <vector>

#include "forwarding/WakeSignal.h"
#include "gateway/Gateway.h"
#include "gateway/JSonIFace2x.h"
#include "persistence/Application.h"
#include "persistence/DLink.h"
#include "persistence/DLinkList.h"
#include "persistence/Device.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "runtime/Trace.h"
#include "util/Format.h"
#include "util/Base64.h"
#include "util/FieldText.h"
#include "util/WinUtils.h"

namespace quorvex {

namespace {

// A driver without a wake signal (no eventfd) looks for queued work this often.
constexpr int kPollMs = 25;
// A driver's longest wait without a wake-up: the posts' stall checks run
// at least this often.
constexpr int kStallCheckMs = 250;
// An idle driver's longest wait (it is woken when work comes).
constexpr int kIdleWaitMs = 1000;
// Destruction aborts the posts in flight; the drivers notice at once.
constexpr uint32_t kCloseWaitMs = 5000;
// Finished easy handles a driver keeps for its next posts.
constexpr std::size_t kSpareHandles = 64;

thread_local int t_WorkerIndex = 0;

// The document posted for every uplink. The values of "freq", "lsnr" and
// "rssi" go in without quotes.
constexpr char kBodyFormat[] =
    "{\t\r\n\"freq\": %s, \r\n\"modu\" : \"LORA\", \r\n\"datr\" : \"SF%dBW125\", \r\n"
    "\"lsnr\" : %s, \r\n\"rssi\" : %s, \r\n\"fcnt\" : %lld, \r\n\"port\": %d, \r\n"
    "\"data\" : \"%s\", \r\n\"appeui\" : \"%s\", \r\n\"deveui\" : \"%s\", \r\n"
    "\"gweui\": \"%s\", \r\n\"time\" : \"%s\" \r\n}";

// Request headers, in this order. "Expect:" only keeps libcurl from adding
// a header of its own; it sends nothing.
constexpr const char* kHeaders[] = {
    "Accept: */*",
    "Accept-Encoding: gzip, deflate, br",
    "User-Agent: Mozilla/4.0 (compatible; MSIE 5.0;* Windows NT)",
    "Content-type: application/json; charset=UTF-8",
    "Expect:",
};
// The encodings announced above; libcurl decodes the answer accordingly.
constexpr char kAcceptEncoding[] = "gzip, deflate, br";

// ---- Texts ------------------------------------------------------------------

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// True for a JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(std::string_view text) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - from;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (digits() == 0) {
    return false;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

// A radio metadata text that goes into the document without quotes: the
// text itself when it is a JSON number, else null (an FSK packet has no
// "lsnr", and a gateway's text must not be able to break the document).
std::string NumberOrNull(std::string_view text) {
  return IsJsonNumber(text) ? std::string(text) : std::string("null");
}

// `text` as the inside of a JSON string: quote, backslash and control
// characters escaped, everything else as it is.
std::string JsonEscape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += Format("\\u%04X", byte);
    } else {
      out += c;
    }
  }
  return out;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  std::size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

// Traces a message from a place that must not throw.
void TraceQuietly(const char* prefix, const char* what) noexcept {
  try {
    TraceLine("%s%s\r\n", prefix, what);
  } catch (...) {
  }
}

// ---- libcurl ------------------------------------------------------------------

// libcurl's global state, set up once per process at the first post (the
// static's initialisation is thread-safe). It is deliberately never torn
// down: a worker may still be ending while static objects are destroyed at
// process exit.
CURLcode CurlGlobal() {
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  return code;
}

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlUrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlFreeDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;
using CurlText = std::unique_ptr<char, CurlFreeDeleter>;

// Collects the answer up to CHttpManager::kMaxAnswer bytes. The text's room
// is reserved before the transfer, so appending never allocates (nothing
// may throw through libcurl).
struct AnswerSink {
  std::string text;
  bool cut = false;
};

size_t WriteAnswer(char* data, size_t size, size_t count, void* user) noexcept {
  auto* sink = static_cast<AnswerSink*>(user);
  const std::size_t bytes = size * count;
  const std::size_t room = CHttpManager::kMaxAnswer - sink->text.size();
  if (bytes <= room) {
    sink->text.append(data, bytes);
    return bytes;
  }
  // Full: keep what fits and stop the transfer (a short count ends it).
  sink->text.append(data, room);
  sink->cut = true;
  return 0;
}

// Watches the exchange: gives up when nothing has been sent or received for
// CHttpManager::kTimeoutMs, or when the owner asks to abort. libcurl calls
// it at least about once a second, also while nothing moves.
struct ProgressWatch {
  const std::atomic<int>* abort = nullptr;
  uint64_t lastMoveMs = 0;
  curl_off_t sent = 0;
  curl_off_t received = 0;
  bool stalled = false;
};

int OnProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) noexcept {
  auto* watch = static_cast<ProgressWatch*>(user);
  if (watch->abort != nullptr && watch->abort->load() != 0) return 1;
  const uint64_t now = GetTickCount64();
  if (sent != watch->sent || received != watch->received) {
    watch->sent = sent;
    watch->received = received;
    watch->lastMoveMs = now;
  } else if (now - watch->lastMoveMs >= static_cast<uint64_t>(CHttpManager::kTimeoutMs)) {
    watch->stalled = true;
    return 1;
  }
  return 0;
}

// Builds the header list; null when memory runs out.
CurlList MakeHeaders() {
  CurlList list;
  for (const char* header : kHeaders) {
    curl_slist* longer = curl_slist_append(list.get(), header);
    if (longer == nullptr) return nullptr;
    (void)list.release();
    list.reset(longer);
  }
  return list;
}

// Blocks SIGPIPE on the calling thread: a TLS write to a peer that has gone
// then fails with EPIPE instead of ending the process.
void BlockSigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// ---- One post ------------------------------------------------------------------

// One post's easy handle and everything its options point to. It must stay
// in place (not be moved) from Prepare until the exchange has ended, and the
// body given to Prepare must live as long.
class CPost {
 public:
  // Sets `handle` up (reset first: its options go, a handle's own
  // connections stay) to post `body` to `url`. CURLE_OK, or the result the
  // post has without an exchange (bad URL 3, not http(s) 1, no memory 27).
  CURLcode Prepare(CurlEasy handle, const std::string& url, const std::string& body,
                   const std::atomic<int>* abort);
  // What the ended exchange amounts to, as HttpPost reports it; `answer`
  // gets the answer when it is 0 and is left empty otherwise.
  int Result(CURLcode rc, std::string& answer);
  CURL* Handle() const { return m_Handle.get(); }
  // The handle, for a later post.
  CurlEasy ReleaseHandle() { return std::move(m_Handle); }
  // True when nothing has been sent or received for kTimeoutMs by `nowMs`.
  bool Stalled(uint64_t nowMs) const;

 private:
  CURLcode ParseUrl(const std::string& url);
  CURLcode SetOptions(const std::string& body, const std::atomic<int>* abort);

  CurlEasy m_Handle;
  CurlUrl m_Url;
  CurlList m_Headers;
  AnswerSink m_Sink;
  ProgressWatch m_Watch;
};

CURLcode CPost::Prepare(CurlEasy handle, const std::string& url, const std::string& body,
                        const std::atomic<int>* abort) {
  m_Handle = std::move(handle);
  const CURLcode parsed = ParseUrl(url);
  if (parsed != CURLE_OK) return parsed;
  m_Headers = MakeHeaders();
  if (!m_Handle || !m_Headers) return CURLE_OUT_OF_MEMORY;
  curl_easy_reset(m_Handle.get());
  m_Sink.text.reserve(CHttpManager::kMaxAnswer);
  return SetOptions(body, abort);
}

CURLcode CPost::ParseUrl(const std::string& url) {
  // A NUL would silently shorten the URL libcurl sees.
  if (url.find('\0') != std::string::npos) return CURLE_URL_MALFORMAT;
  m_Url.reset(curl_url());
  if (!m_Url) return CURLE_OUT_OF_MEMORY;
  if (curl_url_set(m_Url.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return CURLE_URL_MALFORMAT;
  char* schemeText = nullptr;
  if (curl_url_get(m_Url.get(), CURLUPART_SCHEME, &schemeText, 0) != CURLUE_OK)
    return CURLE_URL_MALFORMAT;
  const CurlText scheme(schemeText);
  if (strcasecmp(scheme.get(), "http") != 0 && strcasecmp(scheme.get(), "https") != 0)
    return CURLE_UNSUPPORTED_PROTOCOL;
  return CURLE_OK;
}

CURLcode CPost::SetOptions(const std::string& body, const std::atomic<int>* abort) {
  CURL* const handle = m_Handle.get();
  CURLcode rc = CURLE_OK;
  const auto set = [&](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, option, value);
  };
  set(CURLOPT_CURLU, m_Url.get());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  const std::string caFile = CHttpManager::TrustedCaFile();  // libcurl copies it
  if (!caFile.empty()) set(CURLOPT_CAINFO, caFile.c_str());
  set(CURLOPT_HTTPHEADER, m_Headers.get());
  set(CURLOPT_ACCEPT_ENCODING, kAcceptEncoding);
  set(CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  set(CURLOPT_POSTFIELDS, body.data());
  // Connecting (with the TLS handshake) and each stall while sending or
  // waiting for the answer give up after kTimeoutMs; a server that keeps
  // trickling is cut off at kTotalTimeoutMs.
  set(CURLOPT_CONNECTTIMEOUT_MS, CHttpManager::kTimeoutMs);
  set(CURLOPT_TIMEOUT_MS, CHttpManager::kTotalTimeoutMs);
  m_Watch.abort = abort;
  m_Watch.lastMoveMs = GetTickCount64();
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, &OnProgress);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(&m_Watch));
  set(CURLOPT_WRITEFUNCTION, &WriteAnswer);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&m_Sink));
  return rc;
}

int CPost::Result(CURLcode rc, std::string& answer) {
  answer.clear();
  if (rc == CURLE_ABORTED_BY_CALLBACK && m_Watch.stalled) rc = CURLE_OPERATION_TIMEDOUT;
  // The transfer stopped because the answer reached its limit: complete.
  if (rc == CURLE_WRITE_ERROR && m_Sink.cut) rc = CURLE_OK;
  if (rc != CURLE_OK) return rc;
  long status = 0;
  if (curl_easy_getinfo(m_Handle.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status <= 0)
    return CURLE_WEIRD_SERVER_REPLY;
  if (status != 200) return static_cast<int>(status);
  answer = std::move(m_Sink.text);
  return 0;
}

bool CPost::Stalled(uint64_t nowMs) const {
  return nowMs - m_Watch.lastMoveMs >= static_cast<uint64_t>(CHttpManager::kTimeoutMs);
}

struct CurlMultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

// A post a driver has in flight: the request (which holds the body the
// handle sends) and the post.
struct Transfer {
  std::unique_ptr<HttpForwardRequest> request;
  CPost post;
  uint32_t startMs = 0;
};

}  // namespace

// ---- The driver -----------------------------------------------------------------

// The body of one driver thread: one libcurl multi handle carrying up to
// kMaxInFlightPerDriver posts at once over its own kept-alive connections.
// It starts every queued request the queue lets start, sleeps in poll until
// a socket, a libcurl timer or its wake signal needs it, and hands every
// ended post to Complete before telling the queue it has ended.
class CPostDriver {
 public:
  CPostDriver(CHttpManager& manager, const HttpWorkerInfo& info);
  ~CPostDriver();
  CPostDriver(const CPostDriver&) = delete;
  CPostDriver& operator=(const CPostDriver&) = delete;

  // Runs until the run is stopped (after the posts in flight have ended)
  // or the manager is closing (the posts in flight aborted).
  void Run();

 private:
  // The run is current: new requests may be started.
  bool Taking() const;
  void RunOnce();
  void StartQueued();
  void Start(std::unique_ptr<HttpForwardRequest> request);
  CurlEasy SpareHandle();
  void CollectEnded();
  void CheckStalls();
  void AbortAll();
  // Hands the post to Complete, frees its device and server in the queue,
  // and keeps its handle.
  void End(CURL* handle, int result, const std::string& answer);
  void Wait();
  bool CanStartMore();

  CHttpManager& m_Manager;
  const HttpWorkerInfo& m_Info;
  CurlMulti m_Multi;
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> m_Transfers;
  std::vector<CurlEasy> m_Spare;
  uint64_t m_LastStallCheckMs = 0;
};

CPostDriver::CPostDriver(CHttpManager& manager, const HttpWorkerInfo& info)
    : m_Manager(manager), m_Info(info), m_Multi(CurlGlobal() == CURLE_OK ? curl_multi_init() : nullptr) {
  if (!m_Multi) return;
  // Idle connections kept for reuse: as many as may be in flight, so that
  // a burst does not close connections that the next burst needs again.
  curl_multi_setopt(m_Multi.get(), CURLMOPT_MAXCONNECTS, static_cast<long>(CHttpManager::kMaxInFlightPerDriver));
  // One request per connection at a time: a device's next post waits for
  // the answer to its previous one anyway.
  curl_multi_setopt(m_Multi.get(), CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_NOTHING));
}

CPostDriver::~CPostDriver() {
  for (auto& [handle, transfer] : m_Transfers) curl_multi_remove_handle(m_Multi.get(), handle);
}

bool CPostDriver::Taking() const {
  return m_Manager.m_Run.load() != 0 && m_Manager.m_RunGeneration.load() == m_Info.m_Generation &&
         m_Manager.m_Closing.load() == 0;
}

void CPostDriver::Run() {
  if (!m_Multi) {
    TraceQuietly("CHttpManager Driver: ", "no libcurl multi handle, nothing is posted");
    return;
  }
  while (m_Manager.m_Closing.load() == 0 && (Taking() || !m_Transfers.empty())) {
    // Nothing thrown while handling the posts may end the thread (or the
    // process): it is traced and the loop goes on.
    try {
      RunOnce();
    } catch (const std::exception& e) {
      TraceQuietly("CHttpManager Driver: ", e.what());
    } catch (...) {
      TraceQuietly("CHttpManager Driver: ", "unknown exception");
    }
  }
  AbortAll();
}

void CPostDriver::RunOnce() {
  if (Taking()) StartQueued();
  int running = 0;
  curl_multi_perform(m_Multi.get(), &running);
  CollectEnded();
  CheckStalls();
  // A post that ended may have let a device's next request start.
  if (!(Taking() && CanStartMore())) Wait();
}

bool CPostDriver::CanStartMore() {
  return m_Transfers.size() < static_cast<std::size_t>(CHttpManager::kMaxInFlightPerDriver) &&
         m_Manager.HasReadyRequest();
}

void CPostDriver::StartQueued() {
  while (m_Transfers.size() < static_cast<std::size_t>(CHttpManager::kMaxInFlightPerDriver)) {
    std::unique_ptr<HttpForwardRequest> request = m_Manager.TakeRequest();
    if (!request) return;
    Start(std::move(request));
  }
}

void CPostDriver::Start(std::unique_ptr<HttpForwardRequest> request) {
  const int32_t device = request->m_DevicePkey;
  const std::string baseUrl = request->m_BaseUrl;
  std::unique_ptr<Transfer> transfer;
  CURL* easy = nullptr;
  CURLcode rc = CURLE_OK;
  try {
    transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->startMs = GetTickCount32();
    const HttpForwardRequest& r = *transfer->request;
    rc = transfer->post.Prepare(SpareHandle(), r.m_BaseUrl + r.m_Path, r.m_Body, &m_Manager.m_Closing);
    easy = transfer->post.Handle();
    if (rc == CURLE_OK && curl_multi_add_handle(m_Multi.get(), easy) != CURLM_OK) rc = CURLE_OUT_OF_MEMORY;
    m_Transfers.emplace(easy, std::move(transfer));
  } catch (const std::exception& e) {
    if (transfer && easy != nullptr) curl_multi_remove_handle(m_Multi.get(), easy);
    ++m_Manager.m_PostsDropped;
    TraceQuietly("CHttpManager Driver, Request Dropped: ", e.what());
    m_Manager.FinishRequest(device, baseUrl);
    return;
  }
  // Refused before any exchange (bad URL, no memory): it ends at once.
  if (rc != CURLE_OK) End(easy, rc, std::string());
}

CurlEasy CPostDriver::SpareHandle() {
  if (m_Spare.empty()) return CurlEasy(curl_easy_init());
  CurlEasy handle = std::move(m_Spare.back());
  m_Spare.pop_back();
  return handle;
}

void CPostDriver::CollectEnded() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(m_Multi.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    // The message goes with its handle's removal: copy what it says first.
    CURL* const handle = message->easy_handle;
    const CURLcode rc = message->data.result;
    const auto found = m_Transfers.find(handle);
    if (found == m_Transfers.end()) continue;
    std::string answer;
    const int result = found->second->post.Result(rc, answer);
    End(handle, result, answer);
  }
}

void CPostDriver::CheckStalls() {
  const uint64_t now = GetTickCount64();
  if (now - m_LastStallCheckMs < static_cast<uint64_t>(kStallCheckMs)) return;
  m_LastStallCheckMs = now;
  std::vector<CURL*> stalled;
  for (const auto& [handle, transfer] : m_Transfers)
    if (transfer->post.Stalled(now)) stalled.push_back(handle);
  for (CURL* handle : stalled) End(handle, CURLE_OPERATION_TIMEDOUT, std::string());
}

void CPostDriver::AbortAll() {
  std::vector<CURL*> all;
  for (const auto& [handle, transfer] : m_Transfers) all.push_back(handle);
  for (CURL* handle : all) End(handle, CURLE_ABORTED_BY_CALLBACK, std::string());
}

void CPostDriver::End(CURL* handle, int result, const std::string& answer) {
  const auto found = m_Transfers.find(handle);
  if (found == m_Transfers.end()) return;
  std::unique_ptr<Transfer> transfer = std::move(found->second);
  m_Transfers.erase(found);
  if (handle != nullptr) curl_multi_remove_handle(m_Multi.get(), handle);
  const HttpForwardRequest& request = *transfer->request;
  const int elapsed = static_cast<int>(GetTickCount32() - transfer->startMs);
  try {
    m_Manager.Complete(request, result, answer, elapsed);
  } catch (...) {
    TraceQuietly("CHttpManager Driver: ", "the end of a post was not handled");
  }
  // Only now may the device's next post start: after its answer was stored.
  m_Manager.FinishRequest(request.m_DevicePkey, request.m_BaseUrl);
  // A driver of an ended run starts nothing: the current ones take over.
  if (!Taking()) m_Manager.WakeWorkers();
  if (handle != nullptr && m_Spare.size() < kSpareHandles) m_Spare.push_back(transfer->post.ReleaseHandle());
}

void CPostDriver::Wait() {
  CWakeSignal& wake = *m_Info.m_Wake;
  curl_waitfd extra{};
  extra.fd = wake.Fd();
  extra.events = CURL_WAIT_POLLIN;
  const bool signalled = extra.fd >= 0;
  const int timeoutMs = !signalled ? kPollMs : m_Transfers.empty() ? kIdleWaitMs : kStallCheckMs;
  curl_multi_poll(m_Multi.get(), signalled ? &extra : nullptr, signalled ? 1 : 0, timeoutMs, nullptr);
  wake.Drain();
}


// ---- Manager -------------------------------------------------------------------

CHttpManager::CHttpManager()
    : m_Queue(ForwardQueueLimits{kMaxQueued, kMaxQueuedPerServer, kMaxInFlightPerServer}) {}

CHttpManager::~CHttpManager() {
  m_Closing = 1;
  StopWorkers();
  WaitForThreads(kCloseWaitMs);
}

void CHttpManager::Attach(CDLinkList* downlinks) { m_Downlinks.store(downlinks); }

namespace {
std::mutex g_CaFileMutex;
std::string g_CaFile;  // guarded by g_CaFileMutex
}  // namespace

void CHttpManager::SetTrustedCaFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_CaFileMutex);
  g_CaFile = path;
}

std::string CHttpManager::TrustedCaFile() {
  std::lock_guard<std::mutex> lock(g_CaFileMutex);
  return g_CaFile;
}

int CHttpManager::StartWorkers(int count) {
  count = std::clamp(count, 1, kMaxWorkers);
  const uint32_t generation = BeginRun();
  m_WorkerCount = count;
  int started = 0;
  for (int i = 0; i < count; ++i) {
    auto info = std::make_shared<HttpWorkerInfo>();
    info->m_Index = i;
    info->m_Manager = this;
    info->m_Wake = std::make_shared<CWakeSignal>();
    info->m_Generation = generation;
    {
      std::lock_guard<std::recursive_mutex> lock(m_Lock);
      m_Workers[i] = info;
    }
    RetireThread(std::move(m_WorkerThreads[i]));
    m_WorkerThreads[i] = CThread::Create([info] { return WorkerThread(info); });
    if (m_WorkerThreads[i]) ++started;
  }
  return started;
}

void CHttpManager::StopWorkers() {
  m_Run = 0;
  WakeWorkers();
  // The lines about drops are throttled; the stop gives the final count.
  const uint64_t dropped = m_PostsDropped.load();
  if (dropped != 0) TraceLine("CHttpManager Stopping (%" PRIu64 " dropped so far)\r\n", dropped);
}

void CHttpManager::WakeWorkers() {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  const int count = m_WorkerCount.load();
  for (int i = 0; i < count; ++i)
    if (m_Workers[i]) m_Workers[i]->m_Wake->Notify();
}

void CHttpManager::ForwardUplink(const CDevice& device) {
  try {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    auto request = ComposeRequest(device, local, static_cast<int>(now.tv_nsec / 1000000));
    if (request) AddRequest(std::move(request));
  } catch (const std::exception& e) {
    ++m_PostsDropped;
    TraceQuietly("CHttpManager::ForwardUplink Dropped: ", e.what());
  } catch (...) {
    ++m_PostsDropped;
    TraceQuietly("CHttpManager::ForwardUplink Dropped: ", "unknown exception");
  }
}

bool CHttpManager::AddRequest(std::unique_ptr<HttpForwardRequest> request) {
  if (!request) return false;
  CForwardQueue::AddResult result;
  {
    std::lock_guard<std::mutex> lock(m_QueueLock);
    result = m_Queue.Add(request);
  }
  if (result == CForwardQueue::AddResult::Added) {
    // An idle driver starts it at once instead of at its next poll.
    WakeWorkers();
    return true;
  }
  const uint64_t dropped = ++m_PostsDropped;
  if (!m_QueueFullTrace.Allow(GetTickCount64())) return false;
  if (result == CForwardQueue::AddResult::Full) {
    TraceLine("CHttpManager Queue Full (%zu), Uplink Of Device %d Dropped (%" PRIu64 " dropped so far)\r\n",
              kMaxQueued, request->m_DevicePkey, dropped);
  } else {
    TraceLine("CHttpManager Queue Full (%zu For %s), Uplink Of Device %d Dropped (%" PRIu64 " dropped so far)\r\n",
              kMaxQueuedPerServer, request->m_BaseUrl.c_str(), request->m_DevicePkey, dropped);
  }
  return false;
}

std::unique_ptr<HttpForwardRequest> CHttpManager::TakeRequest() {
  std::lock_guard<std::mutex> lock(m_QueueLock);
  return m_Queue.Take();
}

void CHttpManager::FinishRequest(int32_t device, const std::string& baseUrl) {
  std::lock_guard<std::mutex> lock(m_QueueLock);
  m_Queue.Finish(device, baseUrl);
}

bool CHttpManager::HasReadyRequest() {
  std::lock_guard<std::mutex> lock(m_QueueLock);
  return m_Queue.HasReady();
}

HttpPostCounts CHttpManager::PostCounts() const {
  return {m_PostsSucceeded.load(), m_PostsFailed.load(), m_PostsDropped.load()};
}

size_t CHttpManager::Count() {
  std::lock_guard<std::mutex> lock(m_QueueLock);
  return m_Queue.Queued();
}

bool CHttpManager::WaitForThreads(uint32_t timeoutMs) {
  bool ended = CBaseThread::WaitForThreads(timeoutMs);
  for (auto& thread : m_WorkerThreads)
    if (thread) ended = thread->WaitFor(timeoutMs) && ended;
  return ended;
}

int CHttpManager::CurrentWorkerIndex() { return t_WorkerIndex; }

int CHttpManager::WorkerThread(std::shared_ptr<HttpWorkerInfo> info) {
  NameThisThread("qv-forward");
  BlockSigpipe();
  // Posting waits on the network and may always wait a little longer: the
  // radio threads go first when the processor is short.
  LowerThisThreadPriority(kBackgroundNice);
  t_WorkerIndex = info->m_Index;
  try {
    CPostDriver driver(*info->m_Manager, *info);
    driver.Run();
  } catch (const std::exception& e) {
    TraceQuietly("CHttpManager Driver Ended: ", e.what());
  } catch (...) {
    TraceQuietly("CHttpManager Driver Ended: ", "unknown exception");
  }
  return 0;
}

void CHttpManager::Complete(const HttpForwardRequest& request, int result,
                            const std::string& answer, int elapsedMs) {
  const int index = CurrentWorkerIndex();
  if (result != 0) {
    ++m_PostsFailed;
    TraceLine("(THREAD=%d) HTTP SEND FAIL ERR=%d, TM=%d\r\n", index, result, elapsedMs);
    return;  // a failed post has no answer
  }
  ++m_PostsSucceeded;
  TraceLine("(THREAD=%d) HTTP SEND SUCCESS TIME=%d\r\n", index, elapsedMs);
  StoreAnswer(request, answer, index);
}

void CHttpManager::StoreAnswer(const HttpForwardRequest& request, const std::string& answer,
                               int index) {
  std::string appdata;
  std::string macdata;
  CJSonIFace2x json;
  const int result = json.SetHttpRxParse(answer, appdata, macdata);
  if (appdata.empty() && macdata.empty()) return;
  if (result != 0) {
    TraceLine("(THREAD=%d) HTTP ANSWER RESULT=%d, DATA IGNORED\r\n", index, result);
    return;
  }
  // A cut hex text would send the device wrong data: refuse the answer.
  if (appdata.size() > kMaxAppData || macdata.size() > kMaxMacData) {
    TraceLine("(THREAD=%d) HTTP ANSWER REFUSED, APPDATA %zu/%zu MACDATA %zu/%zu CHARACTERS\r\n",
              index, appdata.size(), kMaxAppData, macdata.size(), kMaxMacData);
    return;
  }
  CDLinkList* downlinks = m_Downlinks.load();
  if (downlinks == nullptr) {
    TraceLine("(THREAD=%d) HTTP ANSWER REFUSED, NO DOWNLINK QUEUE\r\n", index);
    return;
  }
  auto record = std::make_unique<CDLink>();
  record->DEVPKEY = request.m_DevicePkey;
  record->PORT = request.m_Port;
  record->CONFIRMED = 0;
  record->CHANNEL = CDLink::kRx1;
  record->TXDONE = 0;
  // Sizes checked above; the fields are zero-filled, so the texts stay terminated.
  std::memcpy(record->APP, appdata.data(), appdata.size());
  std::memcpy(record->MAC, macdata.data(), macdata.size());
  const int stored = downlinks->InsertDownlink(std::move(record), false);
  if (stored != 0)
    TraceLine("(THREAD=%d) HTTP ANSWER DOWNLINK NOT STORED ERR=%d\r\n", index, stored);
}

// ---- Composition ---------------------------------------------------------------

std::string CHttpManager::FormatForwardTime(const std::tm& local, int millisecond) {
  return Format("%04d-%02d-%02dT%02d:%02d:%02d.%dZ", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millisecond);
}

std::string CHttpManager::MakeForwardPath(std::string_view parm, std::string_view appeui,
                                          std::string_view deveui, std::string_view devaddr) {
  std::string path(parm);
  ReplaceAll(path, "appeui", appeui);
  ReplaceAll(path, "deveui", deveui);
  ReplaceAll(path, "devaddr", devaddr);
  if (!path.empty() && path.front() != '/') path.insert(path.begin(), '/');
  return path;
}

std::unique_ptr<HttpForwardRequest> CHttpManager::ComposeRequest(const CDevice& device,
                                                                 const std::tm& local,
                                                                 int millisecond) {
  if (device.m_UpPayloadLength == 0 || device.m_UpFPort == 0) return nullptr;
  const std::shared_ptr<const CApplication> app = device.m_Application;
  if (!app) return nullptr;
  std::string baseUrl = FieldText(app->APPURL);
  if (baseUrl.empty()) return nullptr;  // an application without a server

  if (!StartsWithNoCase(baseUrl, "http://") && !StartsWithNoCase(baseUrl, "https://")) {
    TraceLine("CHttpManager::ForwardUplink Refused, APPURL Not http(s): %s\r\n", baseUrl.c_str());
    return nullptr;
  }
  if (baseUrl.size() > kMaxBaseUrl) {
    TraceLine("CHttpManager::ForwardUplink Refused, APPURL Of %zu Characters\r\n", baseUrl.size());
    return nullptr;
  }
  if (device.m_UpPayloadLength < 0 ||
      static_cast<std::size_t>(device.m_UpPayloadLength) > sizeof device.m_UpPayload) {
    TraceLine("CHttpManager::ForwardUplink Refused, Payload Length %d\r\n",
              device.m_UpPayloadLength);
    return nullptr;
  }

  CBase64 base64;
  if (!base64.SetData(device.m_UpPayload, static_cast<uint32_t>(device.m_UpPayloadLength)) ||
      !base64.Encode()) {
    TraceLine("CHttpManager::ForwardUplink Refused, Payload Not Encoded\r\n");
    return nullptr;
  }
  const std::string data = base64.GetOutputText();
  const std::string appeui = CWinUtils::BytesToHex(app->APPEUI, '-', sizeof app->APPEUI);
  const std::string deveui = CWinUtils::BytesToHex(device.DEVEUI, '-', sizeof device.DEVEUI);
  const std::string devaddr = std::to_string(static_cast<int32_t>(device.DEVADDR));
  const std::string time = FormatForwardTime(local, millisecond);

  std::string path = MakeForwardPath(FieldText(app->APPPARM), appeui, deveui, devaddr);
  if (path.size() > kMaxPath) {
    TraceLine("CHttpManager::ForwardUplink Refused, Path Of %zu Characters (At Most %zu)\r\n",
              path.size(), kMaxPath);
    return nullptr;
  }

  const std::string gweui = device.m_Gateway != nullptr ? FieldText(device.m_Gateway->ID) : "";
  std::string body = Format(kBodyFormat, NumberOrNull(FieldText(device.m_RxInfo.freq)).c_str(),
                            device.ADRSF, NumberOrNull(FieldText(device.m_RxInfo.lsnr)).c_str(),
                            NumberOrNull(FieldText(device.m_RxInfo.rssi)).c_str(), static_cast<long long>(device.RXSEQ),
                            device.m_UpFPort, data.c_str(), appeui.c_str(), deveui.c_str(),
                            JsonEscape(gweui).c_str(), time.c_str());
  if (body.size() > kMaxBody) {
    TraceLine("CHttpManager::ForwardUplink Refused, Body Of %zu Characters (At Most %zu)\r\n",
              body.size(), kMaxBody);
    return nullptr;
  }

  auto request = std::make_unique<HttpForwardRequest>();
  request->m_DevicePkey = device.PKEY;
  request->m_Port = device.m_UpFPort;
  request->m_BaseUrl = std::move(baseUrl);
  request->m_Path = std::move(path);
  request->m_Body = std::move(body);
  return request;
}

// ---- The post --------------------------------------------------------------------

int CHttpManager::HttpPost(const std::string& url, const std::string& body, std::string& answer,
                           const std::atomic<int>* abort) {
  answer.clear();
  try {
    if (CurlGlobal() != CURLE_OK) return CURLE_FAILED_INIT;
    CPost post;
    const CURLcode prepared = post.Prepare(CurlEasy(curl_easy_init()), url, body, abort);
    if (prepared != CURLE_OK) return prepared;
    return post.Result(curl_easy_perform(post.Handle()), answer);
  } catch (const std::exception& e) {
    answer.clear();
    TraceQuietly("CHttpManager::HttpPost Exception: ", e.what());
    return kPostException;
  } catch (...) {
    answer.clear();
    TraceQuietly("CHttpManager::HttpPost Exception: ", "unknown");
    return kPostException;
  }
}

}  // namespace quorvex
