// The HTTP manager: delivers every data uplink that carries application data
// to the application server of the device's application, as a JSON document
// in an HTTP(S) POST, and turns the server's answer into a downlink request.
//
// The transmit scheduler hands uplinks over with ForwardUplink, which only
// composes the request and queues it; worker threads (25 ms polling) take
// the first request under the lock and post it with the lock released, so a
// slow or absent application server never delays the radio side. A request
// that fails is traced and dropped; there is no retry.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/BaseThread.h"

namespace quorvex {

class CHttpManager;
class CDevice;
class CDLinkList;

// One uplink waiting to be forwarded; owned by the queue, then by the worker
// that posts it. Texts never exceed the k*Max limits of CHttpManager.
struct HttpForwardRequest {
  virtual ~HttpForwardRequest() = default;

  int32_t m_DevicePkey = 0;  // PKEY of the device
  int32_t m_Port = 0;        // FPort of the uplink
  std::string m_BaseUrl;     // the application's APPURL
  std::string m_Path;        // APPPARM with the device's identifiers substituted
  std::string m_Body;        // the JSON document
};
using HttpRequest = HttpForwardRequest;

// One per worker thread: its index, its manager and its wake event
// (manual reset). A record belongs to one run; a new start makes new ones,
// so a worker still ending from the previous run keeps its own.
struct HttpWorkerInfo {
  int m_Index = 0;
  CHttpManager* m_Manager = nullptr;
  std::shared_ptr<CEvent> m_Event;
  uint32_t m_Generation = 0;
};

// What became of the uplinks handed to the manager since it was made: posts
// answered 200, posts that failed (any other status or a transfer error),
// and uplinks dropped before a post (queue full, or an exception).
struct HttpPostCounts {
  uint64_t succeeded = 0;
  uint64_t failed = 0;
  uint64_t dropped = 0;
};

class CHttpManager : public CBaseMgr {
 public:
  static constexpr int kMaxWorkers = 64;
  // Longest base URL, path and body a request carries; longer ones are
  // refused, never cut (a cut path or body would post to the wrong resource
  // or send broken JSON).
  static constexpr std::size_t kMaxBaseUrl = 99;
  static constexpr std::size_t kMaxPath = 99;
  static constexpr std::size_t kMaxBody = 1023;
  // At most this many bytes of an answer are kept; the transfer stops there
  // and the text is parsed as cut.
  static constexpr std::size_t kMaxAnswer = 2046;
  // Longest "appdata" and "macdata" texts of an answer that fit a downlink
  // request (its APP and MAC fields); a longer one refuses the whole answer.
  static constexpr std::size_t kMaxAppData = 90;
  static constexpr std::size_t kMaxMacData = 30;
  // Requests waiting at most; further uplinks are refused (traced) until the
  // workers catch up, so a dead server cannot make the queue grow forever.
  static constexpr std::size_t kMaxQueued = 4096;
  // Connecting (TLS handshake included) and each stall while sending or
  // waiting for the answer give up after this (result 28, timed out).
  static constexpr long kTimeoutMs = 5000;
  // The whole exchange gives up after this, however the server trickles.
  static constexpr long kTotalTimeoutMs = 3 * kTimeoutMs;
  // HttpPost result when an exception ended the post (its text is traced).
  static constexpr int kPostException = -1;

  CHttpManager() = default;
  // Stops the workers and aborts a post in flight, then waits for them.
  virtual ~CHttpManager();

  // The downlink queue into which answers carrying data are inserted (the
  // application's m_LoRaDlinkList, which must outlive this manager). Call
  // before the workers start; without it such answers are traced and dropped.
  void Attach(CDLinkList* downlinks);

  // Sets the worker count (1..64) and m_Run, and starts that many workers,
  // each with a fresh event. Returns the number of workers started.
  int StartWorkers(int count);
  // m_Run 0 and every worker's event set; does not wait. A post in flight
  // is finished (within its timeouts) before its worker ends.
  void StopWorkers();

  // Hands a data uplink to the application server of its application: copies
  // what the post needs from the device record and queues it (see
  // ComposeRequest). Called by the transmit scheduler; never waits on the
  // network and never throws (a failure is traced and the uplink dropped).
  void ForwardUplink(const CDevice& device);

  // Appends a request (producer side: lock, append, unlock; no wake). False,
  // the request dropped, when kMaxQueued requests already wait.
  bool AddRequest(std::unique_ptr<HttpForwardRequest> request);
  size_t Count();
  // Read at any time from any thread.
  HttpPostCounts PostCounts() const;
  int WorkerCount() const { return m_WorkerCount.load(); }

  bool WaitForThreads(uint32_t timeoutMs) override;

  // ---- Pure parts, public for the tests -------------------------------------

  // The request for `device`'s uplink at local time `local` + `millisecond`,
  // or null when it is not forwarded. Not forwarded, silently: no payload
  // (FPort 0 or empty), no application, an empty APPURL. Refused with a
  // trace line: an APPURL whose scheme is not http:// or https://
  // (case-insensitive), a payload length outside the record, a path over
  // kMaxPath or a body over kMaxBody characters.
  static std::unique_ptr<HttpForwardRequest> ComposeRequest(const CDevice& device,
                                                            const std::tm& local, int millisecond);

  // APPPARM with every "appeui", then "deveui", then "devaddr" replaced
  // (case-sensitive, left to right) and "/" put in front of a non-empty
  // result that lacks it. No length limit is applied here.
  static std::string MakeForwardPath(std::string_view parm, std::string_view appeui,
                                     std::string_view deveui, std::string_view devaddr);

  // "%04d-%02d-%02dT%02d:%02d:%02d.%dZ" of local time and millisecond
  // (2 March 2024 09:05:03.007 -> "2024-03-02T09:05:03.7Z").
  static std::string FormatForwardTime(const std::tm& local, int millisecond);

  // POSTs `body` to `url` (http or https, certificates verified, no
  // redirects followed) with the forwarding headers, and waits for the
  // answer (timeouts kTimeoutMs / kTotalTimeoutMs). Result: 0 when the
  // status is 200, `answer` then holding at most kMaxAnswer bytes of the
  // answer; the status (e.g. 404) for any other status; libcurl's error
  // code (1..99) when the URL cannot be parsed (3), its scheme is not
  // http/https (1), or the exchange fails (7 refused, 28 timed out, 35 or 60
  // TLS failures, ...); kPostException when an exception ended it. On every
  // non-zero result `answer` is empty. `abort`, when given, aborts the
  // exchange (within about a second) once it becomes non-zero (result 42).
  static int HttpPost(const std::string& url, const std::string& body, std::string& answer,
                      const std::atomic<int>* abort = nullptr);

  // Name of the file in the data directory whose certificate authorities
  // (PEM) https posts trust instead of the system's: for application
  // servers with a private authority or a self-signed certificate.
  static constexpr char kTrustedCaFileName[] = "ca-certificates.pem";
  // The authorities file of every later post, process-wide; empty for the
  // system's. Certificates and host names are verified either way.
  static void SetTrustedCaFile(const std::string& path);
  static std::string TrustedCaFile();

 protected:
  // Posts one request and handles the answer; runs on a worker thread
  // without the manager's lock. Never throws.
  virtual void Process(HttpForwardRequest& request);
  // Index of the worker thread calling Process (for its trace lines).
  static int CurrentWorkerIndex();

 private:
  static int WorkerThread(std::shared_ptr<HttpWorkerInfo> info);
  // Sets every worker's event.
  void WakeWorkers();
  // Turns an answer into a downlink request of the request's device.
  void StoreAnswer(const HttpForwardRequest& request, const std::string& answer, int index);

  std::deque<std::unique_ptr<HttpForwardRequest>> m_Requests;
  std::atomic<int> m_WorkerCount{0};
  std::atomic<CDLinkList*> m_Downlinks{nullptr};
  std::atomic<uint64_t> m_PostsSucceeded{0};
  std::atomic<uint64_t> m_PostsFailed{0};
  std::atomic<uint64_t> m_PostsDropped{0};
  // Set by the destructor: a post in flight is aborted.
  std::atomic<int> m_Closing{0};
  std::array<std::shared_ptr<HttpWorkerInfo>, kMaxWorkers> m_Workers;
  std::array<std::unique_ptr<CThread>, kMaxWorkers> m_WorkerThreads;
};

}  // namespace quorvex
