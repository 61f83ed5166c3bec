// The HTTP manager: delivers every data uplink that carries application data
// to the application server of the device's application, as a JSON document
// in an HTTP(S) POST, and turns the server's answer into a downlink request.
//
// The transmit scheduler hands uplinks over with ForwardUplink, which only
// composes the request and queues it (CForwardQueue), so a slow or absent
// application server never delays the radio side. Driver threads (normally
// one) each run many posts at once with libcurl's multi interface over
// kept-alive connections, and are woken the moment a request is queued.
// The queue keeps each device's posts in the order of its uplinks (one post
// of a device in flight at a time) and caps what one application server
// may have queued and in flight, so a slow or dead server does not hold up
// the others. A request that fails is traced and dropped; there is no retry.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "forwarding/ForwardQueue.h"
#include "runtime/BaseThread.h"
#include "util/TraceThrottle.h"

namespace quorvex {

class CHttpManager;
class CDevice;
class CDLinkList;
class CPostDriver;
class CWakeSignal;

// One uplink waiting to be forwarded; owned by the queue, then by the driver
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

// One per driver thread: its index, its manager and its wake signal. A
// record belongs to one run; a new start makes new ones, so a driver still
// ending from the previous run keeps its own.
struct HttpWorkerInfo {
  int m_Index = 0;
  CHttpManager* m_Manager = nullptr;
  std::shared_ptr<CWakeSignal> m_Wake;
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
  // Requests of one application server (base URL) waiting at most. As many
  // as the frame queue holds (CFramePipeline::kMaxWaiting), so the uplinks
  // that piled up while the database was held by another program, released
  // at once, all find room even when they belong to one application.
  static constexpr std::size_t kMaxQueuedPerServer = 20000;
  // Requests waiting at most, all servers together; further uplinks are
  // refused (traced and counted as dropped) until the drivers catch up. Twice
  // one server's share: a dead or slow server fills only its half and the
  // others keep the rest. A request is at most about 1.4 KB (usually under
  // 0.6 KB), so the queue stays under about 55 MB.
  static constexpr std::size_t kMaxQueued = 2 * kMaxQueuedPerServer;
  // Posts to one application server in flight at most (one connection
  // each): enough to keep a fast server busy, few enough that a server
  // that stops answering ties up only these.
  static constexpr int kMaxInFlightPerServer = 8;
  // Posts one driver has in flight at most, all servers together; also the
  // number of idle connections it keeps open.
  static constexpr int kMaxInFlightPerDriver = 256;
  // Connecting (TLS handshake included) and each stall while sending or
  // waiting for the answer give up after this (result 28, timed out).
  static constexpr long kTimeoutMs = 5000;
  // The whole exchange gives up after this, however the server trickles.
  static constexpr long kTotalTimeoutMs = 3 * kTimeoutMs;
  // HttpPost result when an exception ended the post (its text is traced).
  static constexpr int kPostException = -1;

  CHttpManager();
  // Stops the drivers and aborts the posts in flight, then waits for them.
  virtual ~CHttpManager();

  // The downlink queue into which answers carrying data are inserted (the
  // application's m_LoRaDlinkList, which must outlive this manager). Call
  // before the drivers start; without it such answers are traced and dropped.
  void Attach(CDLinkList* downlinks);

  // Sets the driver count (1..64) and m_Run, and starts that many driver
  // threads, each with a fresh wake signal and its own connections.
  // Returns the number started. One driver carries many posts at once;
  // more only help when one processor cannot keep up.
  int StartWorkers(int count);
  // m_Run 0 and every driver woken; does not wait. Traces how many uplinks
  // were dropped since the start, if any. The posts in flight are
  // finished (within their timeouts) before a driver ends; queued requests
  // stay for the next start.
  void StopWorkers();

  // Hands a data uplink to the application server of its application: copies
  // what the post needs from the device record and queues it (see
  // ComposeRequest). Called by the transmit scheduler; never waits on the
  // network and never throws (a failure is traced and the uplink dropped).
  void ForwardUplink(const CDevice& device);

  // Queues a request behind the earlier ones of its device and wakes the
  // drivers. False, the request dropped (counted; traced at most once a
  // second with the count so far), when kMaxQueued requests already wait,
  // or kMaxQueuedPerServer of its base URL; false and nothing counted for a
  // null request.
  bool AddRequest(std::unique_ptr<HttpForwardRequest> request);
  // Requests waiting (not in flight).
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
  // The post of `request` has ended after `elapsedMs` with `result` (as
  // HttpPost gives it; `answer` is the answer when it is 0): counts and
  // traces it and turns the answer into a downlink request. Runs on the
  // driver thread that posted it, without the manager's locks, before the
  // device's next post may start. Never throws.
  virtual void Complete(const HttpForwardRequest& request, int result, const std::string& answer,
                        int elapsedMs);
  // Index of the driver thread calling Complete (for its trace lines).
  static int CurrentWorkerIndex();

 private:
  friend class CPostDriver;

  static int WorkerThread(std::shared_ptr<HttpWorkerInfo> info);
  // Wakes every driver.
  void WakeWorkers();
  // Turns an answer into a downlink request of the request's device.
  void StoreAnswer(const HttpForwardRequest& request, const std::string& answer, int index);
  // Queue access for the drivers (each takes m_QueueLock).
  std::unique_ptr<HttpForwardRequest> TakeRequest();
  void FinishRequest(int32_t device, const std::string& baseUrl);
  bool HasReadyRequest();

  std::mutex m_QueueLock;
  CForwardQueue m_Queue;  // guarded by m_QueueLock
  std::atomic<int> m_WorkerCount{0};
  std::atomic<CDLinkList*> m_Downlinks{nullptr};
  std::atomic<uint64_t> m_PostsSucceeded{0};
  std::atomic<uint64_t> m_PostsFailed{0};
  std::atomic<uint64_t> m_PostsDropped{0};
  // Lines about a full queue: at most one a second, with the running count.
  CTraceThrottle m_QueueFullTrace;
  // Set by the destructor: the posts in flight are aborted.
  std::atomic<int> m_Closing{0};
  std::array<std::shared_ptr<HttpWorkerInfo>, kMaxWorkers> m_Workers;
  std::array<std::unique_ptr<CThread>, kMaxWorkers> m_WorkerThreads;
};

}  // namespace quorvex
