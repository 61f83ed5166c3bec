// quorvex-bench: the load instrument of quorvex-server (and, with --window,
// of the operator window program, which runs the same engine). See PrintUsage
// (BenchOptions.cpp) for the options and README.md ("Benchmarks") for how
// to run it. It prints one report on stdout and its progress on stderr, and
// exits 0 whatever the numbers are: 1 only when it could not run, 2 for a
// bad option.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "BenchDb.h"
#include "BenchOptions.h"
#include "Load.h"
#include "Peers.h"
#include "Stats.h"
#include "persistence/DbManager.h"
#include "runtime/Settings.h"
#include "support/Ports.h"

#ifndef QUORVEX_BENCH_SERVER_BIN
#define QUORVEX_BENCH_SERVER_BIN ""
#endif
#ifndef QUORVEX_BENCH_WINDOW_BIN
#define QUORVEX_BENCH_WINDOW_BIN ""
#endif

namespace quorvex::bench {

namespace {

// A confirmed uplink's reply is due 1000 ms after it and leaves 200 ms early;
// it is on time between 800 and 900 ms.
constexpr double kReplyEarliestMs = 800;
constexpr double kReplyLatestMs = 900;
// An uplink is handed to the application server about 400 ms after it came.
constexpr double kForwardDelayMs = 400;
constexpr int kPullTimeoutMs = 10000;
// The window program loads Qt, its fonts and pictures and opens the window
// before Start is pressed, so its socket is up later than the headless one.
constexpr int kWindowPullTimeoutMs = 30000;
// The event-loop delay an operator starts to notice as a sluggish window.
constexpr double kLoopP99LimitMs = 50;
constexpr int kStopTimeoutMs = 15000;
constexpr auto kLead = std::chrono::milliseconds(200);

void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "[bench] ");
  vfprintf(stderr, format, args);
  fprintf(stderr, "\n");
  va_end(args);
}

std::string Mib(long kb) { return Fixed(static_cast<double>(kb) / 1024.0, 1) + " MiB"; }

double ToolCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void SleepUntilSeconds(const PhaseClock& clock, double seconds, ChildProcess* child) {
  while (clock.NowSeconds() < seconds) {
    if (child != nullptr && !child->Running()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The server (or with --window the window program) next to this tool's
// build, unless told otherwise.
std::string ServerBinary(const BenchOptions& options) {
  if (!options.server.empty()) return options.server;
  const std::string built = options.window ? QUORVEX_BENCH_WINDOW_BIN : QUORVEX_BENCH_SERVER_BIN;
  if (!built.empty() && access(built.c_str(), X_OK) == 0) return built;
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const auto src = self.parent_path().parent_path() / "src";
    const auto sibling = options.window ? src / "ui" / "quorvex" : src / "quorvex-server";
    if (access(sibling.c_str(), X_OK) == 0) return sibling.string();
  }
  return built;
}

// The window's "event-loop delay: N samples, p50 A ms, p99 B ms, max C ms"
// line, printed on its stderr at exit (--loop-stats).
struct LoopDelay {
  bool found = false;
  unsigned long samples = 0;
  double p50 = 0, p99 = 0, max = 0;
};

LoopDelay ReadLoopDelay(const std::string& path) {
  LoopDelay delay;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t at = line.find("event-loop delay:");
    if (at == std::string::npos) continue;
    LoopDelay read;
    if (sscanf(line.c_str() + at, "event-loop delay: %lu samples, p50 %lf ms, p99 %lf ms, max %lf ms", &read.samples,
               &read.p50, &read.p99, &read.max) == 4) {
      read.found = true;
      delay = read;  // the last one, should there be several
    }
  }
  return delay;
}

// ---- Measurements -----------------------------------------------------------

struct PhaseNumbers {
  double seconds = 0;  // the load window's length
  uint64_t planned = 0, sent = 0, acked = 0, ackedInWindow = 0;
  double sendSpanSeconds = 0;  // from the first due time to the last send
  Summary ackMs;
  Summary lateMs;  // how late the sends were against their due times
  uint64_t lowestSecond = 0, highestSecond = 0;  // acks per full second of the window
  bool haveSeconds = false;
  double AckedPerSecond() const { return seconds > 0 ? static_cast<double>(ackedInWindow) / seconds : 0; }
  double SentPerSecond() const { return sendSpanSeconds > 0 ? static_cast<double>(sent) / sendSpanSeconds : 0; }
};

PhaseNumbers Measure(const Plan& plan, const Track& track, const LoadPhase& phase, uint64_t uplinks, double seconds) {
  PhaseNumbers n;
  n.seconds = seconds;
  n.planned = uplinks;
  const double start = phase.StartSeconds() * 1000.0;
  const double end = start + seconds * 1000.0;
  std::vector<double> latency, lateness;
  std::vector<uint64_t> perSecond(static_cast<size_t>(std::ceil(seconds)) + 1, 0);
  double lastSent = start;
  for (uint64_t s = 0; s < uplinks; ++s) {
    const uint32_t sent = track.sent[s].load();
    if (sent == 0) continue;
    ++n.sent;
    const double sentMs = PhaseClock::Ms(sent);
    lastSent = std::max(lastSent, sentMs);
    lateness.push_back(std::max(0.0, sentMs - (start + std::chrono::duration<double, std::milli>(plan.DueAfter(s)).count())));
    const uint32_t ack = track.ack[s].load();
    if (ack == 0) continue;
    ++n.acked;
    const double ackMs = PhaseClock::Ms(ack);
    latency.push_back(ackMs - sentMs);
    if (ackMs <= end) {
      ++n.ackedInWindow;
      const auto second = static_cast<size_t>(std::max(0.0, ackMs - start) / 1000.0);
      if (second < perSecond.size()) ++perSecond[second];
    }
  }
  n.sendSpanSeconds = (lastSent - start) / 1000.0 + 1.0 / plan.Rate();
  n.ackMs = Summarize(latency);
  n.lateMs = Summarize(lateness);
  const size_t full = static_cast<size_t>(std::floor(seconds));
  if (full >= 1) {
    n.haveSeconds = true;
    n.lowestSecond = *std::min_element(perSecond.begin(), perSecond.begin() + static_cast<std::ptrdiff_t>(full));
    n.highestSecond = *std::max_element(perSecond.begin(), perSecond.begin() + static_cast<std::ptrdiff_t>(full));
  }
  return n;
}

void PrintPhase(const char* title, const PhaseNumbers& n, double rate) {
  printf("%s\n", title);
  printf("  sent          %llu of %llu in %.2f s = %.1f/s (target %.1f/s); sends late vs schedule: p99 %.2f, max %.2f ms\n",
         static_cast<unsigned long long>(n.sent), static_cast<unsigned long long>(n.planned), n.sendSpanSeconds,
         n.SentPerSecond(), rate, n.lateMs.p99, n.lateMs.max);
  printf("  PUSH_ACK      %llu (%s of sent); %llu within the %.1f s window = %.1f/s sustained",
         static_cast<unsigned long long>(n.acked), Percent(static_cast<double>(n.acked), static_cast<double>(n.sent)).c_str(),
         static_cast<unsigned long long>(n.ackedInWindow), n.seconds, n.AckedPerSecond());
  if (n.haveSeconds)
    printf(" (per second: lowest %llu, highest %llu)", static_cast<unsigned long long>(n.lowestSecond),
           static_cast<unsigned long long>(n.highestSecond));
  printf("\n  ack latency   %s\n", FormatMs(n.ackMs, 3).c_str());
}

struct TraceCounts {
  bool known = false;
  uint64_t postOk = 0, postFail = 0, queueFull = 0, bindError = 0;
};

TraceCounts CountTrace(const std::string& path) {
  TraceCounts counts;
  std::ifstream in(path);
  if (!in) return counts;
  counts.known = true;
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("HTTP SEND SUCCESS") != std::string::npos) ++counts.postOk;
    if (line.find("HTTP SEND FAIL") != std::string::npos) ++counts.postFail;
    // The forwarder traces drops at most once a second and at its stop,
    // each line with the count so far.
    const size_t so = line.find(" dropped so far)");
    const size_t open = so == std::string::npos ? so : line.rfind('(', so);
    if (open != std::string::npos && line.find("CHttpManager") != std::string::npos)
      counts.queueFull = std::max<uint64_t>(counts.queueFull, std::strtoull(line.c_str() + open + 1, nullptr, 10));
    if (line.find("OnLoRaError") != std::string::npos) ++counts.bindError;
  }
  return counts;
}

std::string Tail(const std::string& path, size_t lines) {
  std::ifstream in(path);
  std::vector<std::string> all;
  std::string line;
  while (std::getline(in, line)) all.push_back(line);
  std::string text;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) text += "    " + all[i] + "\n";
  return text;
}

// ---- The second application ---------------------------------------------------

// The misbehaving server of --other-app: a slow AppServer or a port that
// refuses connections; none without the option.
struct OtherServer {
  std::unique_ptr<AppServer> server;
  std::unique_ptr<RefusingPort> refusing;
  std::string url;   // empty: no second application
  std::string what;  // how it misbehaves, for the report
};

OtherServer StartOtherServer(const BenchOptions& o) {
  OtherServer other;
  if (o.otherApp == "slow") {
    other.server = std::make_unique<AppServer>(0, o.otherDelayMs);
    other.url = "http://127.0.0.1:" + std::to_string(other.server->Port());
    other.what = "answers after " + std::to_string(o.otherDelayMs) + " ms";
  } else if (o.otherApp == "refuse") {
    other.refusing = std::make_unique<RefusingPort>();
    other.url = "http://127.0.0.1:" + std::to_string(other.refusing->Port());
    other.what = "refuses connections";
  }
  if (!other.url.empty())
    Note("%.0f%% of the devices belong to a second application whose server %s", o.otherShare * 100,
         other.what.c_str());
  return other;
}

// The posts of one application's uplinks.
struct PostFigures {
  uint64_t accepted = 0;    // uplinks with a PUSH_ACK
  uint64_t posted = 0;      // uplinks whose post arrived
  uint64_t inWindow = 0;    // of those, posts within the load window shifted by the forwarding delay
  uint64_t missing = 0;     // acknowledged uplinks never posted
  uint64_t withoutAck = 0;  // posts of uplinks without a PUSH_ACK
  Summary delayMs;          // uplink sent -> post received
};

// The posts of the uplinks of the benchmark application's devices, or with
// `other` of the second application's.
PostFigures CountPosts(const Plan& plan, const Track& track, uint64_t uplinks, bool other, double windowStartMs,
                       double seconds) {
  PostFigures figures;
  std::vector<double> delay;
  const double windowEndMs = windowStartMs + seconds * 1000.0;
  for (uint64_t s = 0; s < uplinks; ++s) {
    if (plan.Device(plan.DeviceOf(s)).other != other) continue;
    const uint32_t sent = track.sent[s].load(), ack = track.ack[s].load(), post = track.post[s].load();
    if (ack != 0) ++figures.accepted;
    if (post == 0) {
      if (ack != 0) ++figures.missing;
      continue;
    }
    ++figures.posted;
    const double postMs = PhaseClock::Ms(post);
    if (postMs >= windowStartMs && postMs <= windowEndMs) ++figures.inWindow;
    delay.push_back(postMs - PhaseClock::Ms(sent));
    if (ack == 0) ++figures.withoutAck;
  }
  figures.delayMs = Summarize(delay);
  return figures;
}

void PrintPosts(const PostFigures& posts, double seconds) {
  printf("  posts         %llu received, %llu within the window (shifted by 400 ms) = %.1f/s; %llu of %llu accepted "
         "uplinks never posted\n",
         static_cast<unsigned long long>(posts.posted), static_cast<unsigned long long>(posts.inWindow),
         seconds > 0 ? static_cast<double>(posts.inWindow) / seconds : 0.0,
         static_cast<unsigned long long>(posts.missing), static_cast<unsigned long long>(posts.accepted));
  printf("  post delay    %s (uplink sent -> post received)\n", FormatMs(posts.delayMs, 1).c_str());
}

// ---- The run -----------------------------------------------------------------

int PrepareOnly(const BenchOptions& o) {
  int port = o.httpPort;
  if (port == 0) {
    // Any free TCP port now; the user starts the tool on it later.
    AppServer probe(0);
    port = probe.Port();
  }
  const std::string url = o.noForward ? std::string() : "http://127.0.0.1:" + std::to_string(port);
  std::string error;
  if (!PrepareDatabase(o.dataDir, o.devices, url, error)) {
    fprintf(stderr, "quorvex-bench: %s\n", error.c_str());
    return 1;
  }
  printf("Prepared %u ABP devices in %s/%s; the application posts to %s.\n"
         "Start the server on it, e.g.  quorvex-server --data-dir %s --port 1700\n"
         "then run                     quorvex-bench --connect 1700 --data-dir %s [--rate R --seconds D ...]\n",
         o.devices, o.dataDir.c_str(), CDbManager::kFileName, url.c_str(), o.dataDir.c_str(), o.dataDir.c_str());
  return 0;
}

// Removes a data directory this tool made, unless it is to be kept.
class DataDirGuard {
 public:
  DataDirGuard(std::string dir, bool remove) : m_Dir(std::move(dir)), m_Remove(remove) {}
  ~DataDirGuard() {
    if (!m_Remove || m_Dir.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(m_Dir, ec);
  }
  DataDirGuard(const DataDirGuard&) = delete;
  DataDirGuard& operator=(const DataDirGuard&) = delete;

 private:
  std::string m_Dir;
  bool m_Remove;
};

int Run(const BenchOptions& o) {
  signal(SIGPIPE, SIG_IGN);
  if (o.prepareOnly) return PrepareOnly(o);
  const bool connect = o.connectPort != 0;
  // The window program needs a display; offscreen draws into memory, so
  // the figures are those of the window's own work and not of an X server.
  // Set here, before any thread of this tool runs, and inherited by the child.
  if (o.window && getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::string qpa = o.window ? getenv("QT_QPA_PLATFORM") : "";
  const char* const serverName = o.window ? "the window program" : "quorvex-server";
  const double toolCpuAtStart = ToolCpuSeconds();

  // ---- Data directory and database
  std::string dataDir = o.dataDir;
  bool madeDir = false;
  std::string serverBin;
  if (!connect) {
    serverBin = ServerBinary(o);
    if (serverBin.empty() || access(serverBin.c_str(), X_OK) != 0) {
      fprintf(stderr, "quorvex-bench: no %s to run at '%s' (build %s or give --server PATH)\n",
              o.window ? "window program" : "server", serverBin.c_str(), o.window ? "quorvex" : "quorvex-server");
      return 1;
    }
    if (dataDir.empty()) {
      const char* tmp = getenv("TMPDIR");
      std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/quorvex-bench.XXXXXX";
      if (mkdtemp(pattern.data()) == nullptr) {
        fprintf(stderr, "quorvex-bench: cannot make a data directory %s: %s\n", pattern.c_str(), strerror(errno));
        return 1;
      }
      dataDir = pattern;
      madeDir = true;
    } else if (std::filesystem::exists(std::filesystem::path(dataDir) / CDbManager::kFileName)) {
      fprintf(stderr, "quorvex-bench: %s already holds a database; give a fresh directory (or use --connect)\n",
              dataDir.c_str());
      return 1;
    }
  }
  DataDirGuard guard(dataDir, madeDir && !o.keepData);
  const std::string dbPath = (std::filesystem::path(dataDir) / CDbManager::kFileName).string();

  std::unique_ptr<AppServer> appServer;
  OtherServer other;
  BenchSet set;
  std::string error;
  if (!connect) {
    appServer = std::make_unique<AppServer>(o.httpPort);
    const std::string url = o.noForward ? std::string() : "http://127.0.0.1:" + std::to_string(appServer->Port());
    other = StartOtherServer(o);
    Note("preparing %u ABP devices in %s", o.devices, dataDir.c_str());
    if (!PrepareDatabase(dataDir, o.devices, url, error, OtherApplication{other.url, o.otherShare}) ||
        !LoadBenchSet(dbPath, o.devices, set, error)) {
      fprintf(stderr, "quorvex-bench: %s\n", error.c_str());
      return 1;
    }
    // The window is measured showing every record as it comes: a settings
    // file of the defaults (server debug, debug log view and auto scroll on,
    // auto-restart off since --start presses Start) replaces any file the
    // directory holds, which might have turned those off.
    if (o.window) {
      CSettingsBlock defaults;
      if (!defaults.SaveSettings((std::filesystem::path(dataDir) / kSettingsFileName).string())) {
        fprintf(stderr, "quorvex-bench: cannot write %s/%s\n", dataDir.c_str(), kSettingsFileName);
        return 1;
      }
    }
  } else {
    if (!LoadBenchSet(dbPath, o.devices, set, error)) {
      fprintf(stderr, "quorvex-bench: %s\n", error.c_str());
      return 1;
    }
    const size_t colon = set.appUrl.rfind(':');
    const int port = colon == std::string::npos ? 0 : std::atoi(set.appUrl.c_str() + colon + 1);
    if (set.appUrl.rfind("http://127.0.0.1:", 0) != 0 || port <= 0) {
      fprintf(stderr, "quorvex-bench: the benchmark application posts to '%s', not to a loopback port of this tool\n",
              set.appUrl.c_str());
      return 1;
    }
    appServer = std::make_unique<AppServer>(port);
    if (set.devices.size() < o.devices)
      Note("the database holds %zu benchmark devices; using those", set.devices.size());
  }

  const uint64_t uplinks = std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(o.rate * o.seconds)));
  const uint32_t devices = static_cast<uint32_t>(set.devices.size());
  Plan plan(set.devices, o.gateways, o.rate, uplinks, o.confirmed);
  if (o.rate > devices)
    Note("warning: %.0f uplinks/s over %u devices: each device sends every %.2f s, more than once a second",
         o.rate, devices, devices / o.rate);

  // ---- Baseline: the same load against a UDP echo responder
  const double baselineSeconds = BaselineSeconds(o);
  std::optional<PhaseNumbers> baseline;
  std::optional<uint64_t> baselineDrops;
  if (baselineSeconds > 0) {
    Note("baseline: %.1f uplinks/s for %.1f s against the UDP echo responder", o.rate, baselineSeconds);
    const uint64_t count = std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(o.rate * baselineSeconds)));
    PhaseClock clock;
    Track track(count);
    EchoResponder echo;
    const auto drops = UdpReceiveBufferDrops();
    LoadPhase phase(plan, track, clock, echo.Port(), o.threads, count);
    phase.Start(kLead);
    phase.WaitForSenders();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // late acks
    phase.StopReceiver();
    baseline = Measure(plan, track, phase, count, baselineSeconds);
    const auto after = UdpReceiveBufferDrops();
    if (drops && after) baselineDrops = *after - *drops;
  }

  // ---- The server
  PhaseClock clock;
  Track track(uplinks);
  std::unique_ptr<ChildProcess> child;
  pid_t pid = 0;
  uint16_t port = 0;
  const std::string outPath = dataDir + "/server.out", errPath = dataDir + "/server.err";
  if (!connect) {
    port = test::FreeUdpPort();
    std::vector<std::string> args{"--data-dir", dataDir, "--port", std::to_string(port)};
    if (o.window) {
      args.insert(args.end(), {"--start", "--loop-stats"});
      Note("starting %s on UDP port %u (QT_QPA_PLATFORM=%s)", serverBin.c_str(), port, qpa.c_str());
    } else {
      Note("starting %s on UDP port %u", serverBin.c_str(), port);
    }
    for (const std::string& extra : o.serverArgs) Note("  with the server argument %s", extra.c_str());
    args.insert(args.end(), o.serverArgs.begin(), o.serverArgs.end());
    child = std::make_unique<ChildProcess>(serverBin, args, outPath, errPath);
    pid = child->Pid();
  } else {
    port = static_cast<uint16_t>(o.connectPort);
    pid = o.pid != 0 ? o.pid : FindServerProcess(o.connectPort);
  }
  std::unique_ptr<ProcessSampler> sampler;
  if (pid != 0) sampler = std::make_unique<ProcessSampler>(pid, clock, o.sampleMs);

  // The load starts only once every gateway's PULL has been answered: the
  // server is up and its socket bound.
  const double startedAt = clock.NowSeconds();
  PullSide pull(plan, track, clock, port);
  const auto serverGone = [&child] { return child && !child->Running(); };
  if (!pull.PullAll(o.window ? kWindowPullTimeoutMs : kPullTimeoutMs, error, serverGone)) {
    fprintf(stderr, "quorvex-bench: the server does not answer the gateways: %s\n", error.c_str());
    if (child) {
      const auto exit = child->WaitExit(0);
      if (exit) fprintf(stderr, "quorvex-bench: the server ended with status %d\n", *exit);
      fprintf(stderr, "quorvex-bench: the end of its stderr:\n%s", Tail(errPath, 20).c_str());
    }
    return 1;
  }
  const double readySeconds = clock.NowSeconds() - startedAt;
  appServer->Attach(&plan, &track, &clock);
  if (other.server) other.server->Attach(&plan, &track, &clock);
  // Posts must stop reaching the track before it goes, on every way out.
  struct DetachOnExit {
    AppServer& server;
    AppServer* other;
    ~DetachOnExit() {
      server.Stop();
      if (other != nullptr) other->Stop();
    }
  } detach{*appServer, other.server.get()};

  Note("load: %.1f uplinks/s for %.1f s from %u gateways over %u devices, %.0f%% confirmed", o.rate, o.seconds,
       o.gateways, devices, o.confirmed * 100);
  const auto dropsBefore = UdpReceiveBufferDrops();
  // Samples at the start and end of the load and after the drain (valid
  // when taken: the server's process may be unknown or gone).
  ProcessSample atStart{}, atEnd{}, afterDrain{};
  bool haveStart = false, haveEnd = false, haveDrain = false;
  auto take = [&sampler](ProcessSample& into) {
    const auto sample = sampler ? sampler->SampleNow() : std::nullopt;
    if (sample) into = *sample;
    return sample.has_value();
  };
  haveStart = take(atStart);
  LoadPhase phase(plan, track, clock, port, o.threads, uplinks);
  phase.Start(kLead);
  phase.WaitForSenders();
  haveEnd = take(atEnd);
  Note("load sent; waiting %.1f s for late answers", o.drain);
  SleepUntilSeconds(clock, phase.EndSeconds() + o.drain, child.get());
  haveDrain = take(afterDrain);
  const auto dropsAfter = UdpReceiveBufferDrops();
  if (sampler) sampler->Stop();

  std::optional<int> exitCode;
  double stopSeconds = 0;
  bool diedEarly = false;
  if (child) {
    diedEarly = !child->Running();
    const double asked = clock.NowSeconds();
    child->Signal(SIGTERM);
    exitCode = child->WaitExit(kStopTimeoutMs);
    stopSeconds = clock.NowSeconds() - asked;
    if (!exitCode) {
      child->Signal(SIGKILL);
      child->WaitExit(kStopTimeoutMs);
    }
  }
  pull.Stop();
  phase.StopReceiver();
  appServer->Stop();
  if (other.server) other.server->Stop();
  const double toolCpu = ToolCpuSeconds() - toolCpuAtStart;

  // ---- What the server stored
  StoredState stored;
  std::string storedError;
  const bool haveStored = ReadStoredState(dbPath, set, stored, storedError);
  const TraceCounts trace = child ? CountTrace(errPath) : TraceCounts{};
  const LoopDelay loop = o.window ? ReadLoopDelay(errPath) : LoopDelay{};

  // ---- Report
  const PhaseNumbers server = Measure(plan, track, phase, uplinks, o.seconds);
  printf("\n==================== quorvex-bench report ====================\n");
  printf("Setup\n");
  printf("  preset %s: %u devices, %u gateways, %.1f uplinks/s for %.1f s (%llu uplinks), %.0f%% confirmed, "
         "%d sender thread(s)\n",
         o.preset.c_str(), devices, o.gateways, o.rate, o.seconds, static_cast<unsigned long long>(uplinks),
         o.confirmed * 100, phase.Threads());
  if (connect)
    printf("  server: already running on UDP 127.0.0.1:%u (pid %s), data %s\n", port,
           pid != 0 ? std::to_string(pid).c_str() : "unknown", dataDir.c_str());
  else if (o.window)
    printf("  server: the window program %s --start --loop-stats (pid %d) on UDP 127.0.0.1:%u, QT_QPA_PLATFORM=%s; "
           "every gateway's PULL answered %.2f s after it was started\n",
           serverBin.c_str(), pid, port, qpa.c_str(), readySeconds);
  else
    printf("  server: %s (pid %d) on UDP 127.0.0.1:%u; every gateway's PULL answered %.2f s after it was started\n",
           serverBin.c_str(), pid, port, readySeconds);
  printf("  data: %s (%s)%s\n", dataDir.c_str(), FileSystemType(dataDir).c_str(),
         madeDir && !o.keepData ? ", removed afterwards (--keep-data keeps it)" : "");
  printf("  application server: http://127.0.0.1:%d (this tool); %u CPU core(s)\n", appServer->Port(),
         std::thread::hardware_concurrency());
  if (!set.otherAppUrl.empty()) {
    const auto count = std::count_if(set.devices.begin(), set.devices.end(), [](const BenchDevice& d) { return d.other; });
    printf("  second application: %ld of the devices post to %s%s\n", static_cast<long>(count),
           set.otherAppUrl.c_str(), other.what.empty() ? "" : (", which " + other.what).c_str());
  }
  if (o.rate > devices) printf("  WARNING: devices send more than once a second (rate > devices)\n");

  printf("\n");
  PrintPhase(o.window ? "Uplinks through the window program (quorvex)" : "Uplinks through quorvex-server", server,
             o.rate);
  const uint64_t unacked = server.sent - server.acked;
  printf("  no PUSH_ACK   %llu", static_cast<unsigned long long>(unacked));
  if (dropsBefore && dropsAfter)
    printf("; kernel UDP receive-buffer drops during the phase: %llu (all sockets)",
           static_cast<unsigned long long>(*dropsAfter - *dropsBefore));
  printf("\n");
  if (track.sendErrors || track.ackUnmatched || track.ackDuplicate || track.otherDatagrams)
    printf("  oddities      send errors %llu, acks naming no uplink %llu, repeated acks %llu, other datagrams %llu\n",
           static_cast<unsigned long long>(track.sendErrors.load()),
           static_cast<unsigned long long>(track.ackUnmatched.load()),
           static_cast<unsigned long long>(track.ackDuplicate.load()),
           static_cast<unsigned long long>(track.otherDatagrams.load()));

  // Confirmed uplinks and their PULL_RESP.
  std::vector<double> replyMs, replyAfterAckMs;
  uint64_t confirmedSent = 0, confirmedAcked = 0, replied = 0, early = 0, late = 0, neverAcked = 0, neverCame = 0;
  for (uint64_t s = 0; s < uplinks; ++s) {
    const uint32_t sent = track.sent[s].load();
    if (sent == 0 || !plan.IsConfirmed(s)) continue;
    ++confirmedSent;
    if (track.ack[s].load() != 0) ++confirmedAcked;
    const uint32_t resp = track.resp[s].load();
    if (resp == 0) {
      ++neverCame;
      if (track.ack[s].load() == 0) ++neverAcked;
      continue;
    }
    ++replied;
    const double delay = PhaseClock::Ms(resp) - PhaseClock::Ms(sent);
    replyMs.push_back(delay);
    if (track.ack[s].load() != 0) replyAfterAckMs.push_back(PhaseClock::Ms(resp) - PhaseClock::Ms(track.ack[s].load()));
    if (delay < kReplyEarliestMs) ++early;
    if (delay > kReplyLatestMs) ++late;
  }
  const Summary reply = Summarize(replyMs);
  const Summary replyAfterAck = Summarize(replyAfterAckMs);
  printf("\nConfirmed uplinks: PULL_RESP timing (uplink sent -> PULL_RESP at the gateway; due 800-900 ms)\n");
  printf("  confirmed     %llu sent, %llu acknowledged, %llu answered\n", static_cast<unsigned long long>(confirmedSent),
         static_cast<unsigned long long>(confirmedAcked), static_cast<unsigned long long>(replied));
  printf("  delay         %s\n", FormatMs(reply, 1).c_str());
  printf("  after the ack %s (PUSH_ACK -> PULL_RESP: leaves out the time the uplink waited to be read)\n",
         FormatMs(replyAfterAck, 1).c_str());
  printf("  outside       %llu of %llu answered (%llu before 800 ms, %llu after 900 ms)\n",
         static_cast<unsigned long long>(early + late), static_cast<unsigned long long>(replied),
         static_cast<unsigned long long>(early), static_cast<unsigned long long>(late));
  printf("  never came    %llu (%llu of them had no PUSH_ACK either), waiting %.1f s after the last uplink\n",
         static_cast<unsigned long long>(neverCame), static_cast<unsigned long long>(neverAcked), o.drain);
  printf("  downlinks     %llu did not open (MIC/shape), %llu without ACK, %llu for unconfirmed uplinks, "
         "%llu through another gateway, %llu repeated, %llu naming no uplink\n",
         static_cast<unsigned long long>(track.respBad.load()), static_cast<unsigned long long>(track.respNoAck.load()),
         static_cast<unsigned long long>(track.respUnconfirmed.load()),
         static_cast<unsigned long long>(track.respWrongGateway.load()),
         static_cast<unsigned long long>(track.respDuplicate.load()),
         static_cast<unsigned long long>(track.respUnknown.load()));

  // Posts to the application servers.
  // Posts follow their uplinks by about 400 ms: they are counted over the
  // load window shifted by that much.
  const double windowStart = phase.StartSeconds() * 1000.0 + kForwardDelayMs;
  const PostFigures posts = CountPosts(plan, track, uplinks, false, windowStart, o.seconds);
  const PostFigures otherPosts = CountPosts(plan, track, uplinks, true, windowStart, o.seconds);
  if (o.noForward) {
    printf("\nApplication server: none (--no-forward: the application has no server URL)\n");
  } else {
    printf("\nApplication server (every uplink carries application data on FPort 1, so each accepted one is forwarded)\n");
    if (!set.otherAppUrl.empty()) printf("  the benchmark application's devices (%s):\n", set.appUrl.c_str());
    PrintPosts(posts, o.seconds);
    if (!set.otherAppUrl.empty()) {
      printf("  the other application's devices (%s, %s):\n", set.otherAppUrl.c_str(), other.what.c_str());
      PrintPosts(otherPosts, o.seconds);
    }
    printf("  all posts     %llu received\n", static_cast<unsigned long long>(track.postsTotal.load()));
    if (trace.known) {
      const uint64_t accounted = trace.postOk + trace.postFail + trace.queueFull;
      const uint64_t accepted = posts.accepted + otherPosts.accepted;
      printf("  server trace  %llu posts succeeded, %llu failed, %llu dropped (forwarding queue full)\n",
             static_cast<unsigned long long>(trace.postOk), static_cast<unsigned long long>(trace.postFail),
             static_cast<unsigned long long>(trace.queueFull));
      printf("  unaccounted   %llu accepted uplinks neither posted nor traced as failed or dropped: still queued at the "
             "stop, or never handed to the forwarder (the trace cannot tell which)\n",
             static_cast<unsigned long long>(accepted > accounted ? accepted - accounted : 0));
    } else {
      printf("  server trace  unknown (not a server this tool started): failed posts and forwarding-queue drops "
             "cannot be counted\n");
    }
  }

  // Memory.
  printf("\nMemory of %s\n", serverName);
  const std::vector<ProcessSample> samples = sampler ? sampler->Samples() : std::vector<ProcessSample>{};
  if (samples.empty()) {
    printf("  unknown (%s)\n", connect ? "no process found for the port; give --pid" : "no sample could be read");
  } else {
    long peak = 0;
    for (const auto& sample : samples) peak = std::max(peak, sample.hwmKb);
    printf("  VmHWM (peak resident) %s\n", Mib(peak).c_str());
    printf("  VmRSS         before the load %s, end of the load %s, after the drain %s\n",
           haveStart ? Mib(atStart.rssKb).c_str() : "?", haveEnd ? Mib(atEnd.rssKb).c_str() : "?",
           haveDrain ? Mib(afterDrain.rssKb).c_str() : "?");
    // At most 24 evenly picked samples of the load and drain.
    std::vector<ProcessSample> during;
    for (const auto& sample : samples)
      if (sample.seconds >= phase.StartSeconds()) during.push_back(sample);
    printf("  VmRSS over time (s after the load began: MiB):");
    const size_t shown = std::min<size_t>(during.size(), 24);
    for (size_t i = 0; i < shown; ++i) {
      const auto& sample = during[shown > 1 ? i * (during.size() - 1) / (shown - 1) : 0];
      printf(" %s:%s", Fixed(sample.seconds - phase.StartSeconds(), o.sampleMs < 1000 ? 1 : 0).c_str(),
             Fixed(static_cast<double>(sample.rssKb) / 1024.0, 1).c_str());
    }
    printf("\n");
    std::vector<double> x, y;
    const double half = phase.StartSeconds() + o.seconds / 2;
    for (const auto& sample : during) {
      if (sample.seconds < half || sample.seconds > phase.EndSeconds()) continue;
      x.push_back(sample.seconds / 60.0);
      y.push_back(static_cast<double>(sample.rssKb) / 1024.0);
    }
    if (x.size() >= 3)
      printf("  trend         %+.2f MiB/min over the second half of the load (%zu samples)\n", Slope(x, y), x.size());
    else
      printf("  trend         too few samples in the second half of the load to tell (use --sample-ms)\n");
    if (haveStart && haveEnd && atEnd.seconds > atStart.seconds)
      printf("  CPU           %.2f s user+system during the load = %.0f%% of one core\n",
             atEnd.cpuSeconds - atStart.cpuSeconds,
             100.0 * (atEnd.cpuSeconds - atStart.cpuSeconds) / (atEnd.seconds - atStart.seconds));
  }

  // The window thread's responsiveness over the whole life of the program.
  if (o.window) {
    printf("\nWindow event loop (--loop-stats: how late a 10 ms timer fires, from the window's open to its close)\n");
    if (loop.found)
      printf("  delay         %lu samples, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", loop.samples, loop.p50, loop.p99,
             loop.max);
    else
      printf("  delay         no event-loop delay line in the window's stderr (did it exit normally?)\n");
  }

  // Baseline.
  printf("\n");
  if (baseline) {
    char title[160];
    snprintf(title, sizeof title, "Baseline: UDP echo responder in this tool (same gateways, frames and rate, %.1f s)",
             baseline->seconds);
    PrintPhase(title, *baseline, o.rate);
    if (baselineDrops) printf("  kernel UDP receive-buffer drops: %llu\n", static_cast<unsigned long long>(*baselineDrops));
    printf("  server/baseline: throughput %s, ack latency p50 %s, p99 %s, max %s\n",
           Ratio(server.AckedPerSecond(), baseline->AckedPerSecond()).c_str(),
           Ratio(server.ackMs.p50, baseline->ackMs.p50).c_str(), Ratio(server.ackMs.p99, baseline->ackMs.p99).c_str(),
           Ratio(server.ackMs.max, baseline->ackMs.max).c_str());
  } else {
    printf("Baseline: none (--baseline-seconds 0)\n");
  }
  printf("  this tool used %.2f s of CPU over the whole run\n", toolCpu);

  // Checks.
  printf("\nChecks (%s)\n", connect ? "the live database of a running server: it may still be writing"
                                      : "database read after the server was stopped with SIGTERM");
  if (child) {
    if (diedEarly)
      printf("  FAIL  the server ended before the stop (status %d)\n", exitCode.value_or(-1));
    else if (exitCode)
      printf("  %s  the server exited with status %d %.2f s after SIGTERM\n", *exitCode == 0 ? "PASS" : "FAIL",
             *exitCode, stopSeconds);
    else
      printf("  FAIL  the server did not exit within %d s of SIGTERM (killed)\n", kStopTimeoutMs / 1000);
  }
  if (!haveStored) {
    printf("  FAIL  the database could not be read: %s\n", storedError.c_str());
  } else {
    // Every device's stored RXSEQ against its last sent (and last acknowledged) counter.
    std::vector<int64_t> lastSent(devices, -1), lastAcked(devices, -1);
    std::unordered_map<uint64_t, uint64_t> expectedRows;  // (PKEY << 16 | counter) -> acknowledged uplinks
    for (uint64_t s = 0; s < uplinks; ++s) {
      if (track.sent[s].load() == 0) continue;
      const uint32_t d = plan.DeviceOf(s);
      lastSent[d] = static_cast<int64_t>(s);
      if (track.ack[s].load() != 0) {
        lastAcked[d] = static_cast<int64_t>(s);
        ++expectedRows[static_cast<uint64_t>(plan.Device(d).pkey) << 16 | plan.CounterOf(s)];
      }
    }
    uint32_t wrong = 0, wrongButLastAcked = 0;
    for (uint32_t d = 0; d < devices; ++d) {
      const BenchDevice& device = plan.Device(d);
      const int32_t want = lastSent[d] < 0 ? device.rxSeqAtStart : plan.CounterOf(static_cast<uint64_t>(lastSent[d]));
      const auto found = stored.rxSeq.find(device.pkey);
      if (found != stored.rxSeq.end() && found->second == want) continue;
      ++wrong;
      const int32_t acked =
          lastAcked[d] < 0 ? device.rxSeqAtStart : plan.CounterOf(static_cast<uint64_t>(lastAcked[d]));
      if (found != stored.rxSeq.end() && found->second == acked) ++wrongButLastAcked;
    }
    if (wrong == 0)
      printf("  PASS  RXSEQ: all %u devices hold their last sent counter\n", devices);
    else
      printf("  FAIL  RXSEQ: %u of %u devices differ from their last sent counter (%u of them hold their last "
             "acknowledged one: the later uplinks were never processed)\n",
             wrong, devices, wrongButLastAcked);

    uint64_t missingRows = 0, extraRows = 0;
    for (const auto& [key, count] : expectedRows) {
      const auto found = stored.uplinkRows.find({static_cast<int32_t>(key >> 16), static_cast<int32_t>(key & 0xFFFF)});
      const uint64_t have = found == stored.uplinkRows.end() ? 0 : found->second;
      if (have < count) missingRows += count - have;
    }
    for (const auto& [key, count] : stored.uplinkRows) {
      const auto found = expectedRows.find(static_cast<uint64_t>(key.first) << 16 | static_cast<uint16_t>(key.second));
      const uint64_t want = found == expectedRows.end() ? 0 : found->second;
      if (count > want) extraRows += count - want;
    }
    const bool logOk = stored.uplinkRowCount == server.acked && missingRows == 0 && extraRows == 0;
    printf("  %s  LOGTBL: %llu UP-LINK rows for %llu accepted (acknowledged) uplinks; %llu missing, %llu extra\n",
           logOk ? "PASS" : "FAIL", static_cast<unsigned long long>(stored.uplinkRowCount),
           static_cast<unsigned long long>(server.acked), static_cast<unsigned long long>(missingRows),
           static_cast<unsigned long long>(extraRows));
  }
  if (!o.noForward) {
    const uint64_t postMissing = posts.missing;
    const uint64_t posted = posts.posted + otherPosts.posted, postWithoutAck = posts.withoutAck + otherPosts.withoutAck;
    const bool postsOk = postMissing == 0 && track.postDuplicate == 0 && track.postBad == 0 && track.postUnknown == 0;
    const bool orderOk = track.postOutOfOrder == 0;
    printf("  %s  post order: %llu posts arrived after a later uplink of their device had been posted\n",
           orderOk ? "PASS" : "FAIL", static_cast<unsigned long long>(track.postOutOfOrder.load()));
    printf("  %s  posts: %llu posts for %llu forwarded uplinks; %llu missing%s, %llu repeated, %llu unreadable or "
           "disagreeing, %llu naming no uplink sent%s\n",
           postsOk ? "PASS" : "FAIL", static_cast<unsigned long long>(posted), static_cast<unsigned long long>(server.acked),
           static_cast<unsigned long long>(postMissing),
           set.otherAppUrl.empty() ? "" : " (not counting the other application's, which may be lost)",
           static_cast<unsigned long long>(track.postDuplicate.load()),
           static_cast<unsigned long long>(track.postBad.load()), static_cast<unsigned long long>(track.postUnknown.load()),
           postWithoutAck != 0 ? (" (" + std::to_string(postWithoutAck) + " for uplinks without PUSH_ACK)").c_str() : "");
  }
  if (o.window) {
    if (loop.found)
      printf("  %s  event-loop p99 under %.0f ms: p99 %.2f ms (max %.2f ms)\n", loop.p99 < kLoopP99LimitMs ? "PASS" : "FAIL",
             kLoopP99LimitMs, loop.p99, loop.max);
    else
      printf("  FAIL  event-loop p99 under %.0f ms: the window printed no event-loop delay\n", kLoopP99LimitMs);
  }
  if (child && trace.bindError != 0) printf("  note: the server trace shows a bind error banner\n");
  if (madeDir && o.keepData) printf("\nData kept in %s (server.out, server.err, %s)\n", dataDir.c_str(), CDbManager::kFileName);
  printf("==============================================================\n");
  fflush(stdout);
  return 0;
}

}  // namespace
}  // namespace quorvex::bench

int main(int argc, char** argv) {
  using namespace quorvex::bench;
  BenchOptions options;
  std::string error;
  switch (ParseOptions(argc, argv, options, error)) {
    case ParseOutcome::Help:
      PrintUsage(stdout);
      return 0;
    case ParseOutcome::Error:
      fprintf(stderr, "quorvex-bench: %s\n", error.c_str());
      PrintUsage(stderr);
      return 2;
    case ParseOutcome::Run:
      break;
  }
  try {
    return Run(options);
  } catch (const std::exception& e) {
    fprintf(stderr, "quorvex-bench: %s\n", e.what());
    return 1;
  }
}
