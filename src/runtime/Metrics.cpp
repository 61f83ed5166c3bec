#include "runtime/Metrics.h"

#include <mutex>

#include "runtime/QuorvexApp.h"
#include "util/Format.h"

namespace quorvex {

namespace {

std::vector<GatewaySeen> ConnectedGateways(CGateManager& gateways, int64_t unixNowMs, uint64_t tickNow) {
  std::vector<GatewaySeen> seen;
  std::lock_guard<std::recursive_mutex> lock(gateways.Mutex());
  for (const auto& gateway : gateways.m_Gateways) {
    if (!gateway->m_Connected) continue;
    const auto age = static_cast<int64_t>(tickNow - gateway->m_LastPullTick);
    seen.push_back({gateway->ID, unixNowMs - age});
  }
  return seen;
}

// One family's HELP and TYPE lines.
void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += Format("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void Sample(std::string& out, const char* name, uint64_t value) {
  out += Format("%s %llu\n", name, static_cast<unsigned long long>(value));
}

void LabelledSample(std::string& out, const char* name, const char* label, const std::string& labelValue,
                    uint64_t value) {
  out += Format("%s{%s=%s} %llu\n", name, label, QuotedLabel(labelValue).c_str(),
                static_cast<unsigned long long>(value));
}

void Counter(std::string& out, const char* name, const char* help, uint64_t value) {
  Family(out, name, "counter", help);
  Sample(out, name, value);
}

void Gauge(std::string& out, const char* name, const char* help, uint64_t value) {
  Family(out, name, "gauge", help);
  Sample(out, name, value);
}

void FormatFrames(std::string& out, const MetricsSnapshot& s) {
  Counter(out, "quorvex_uplinks_total", "Data uplinks verified with a new frame counter.", s.uplinks);
  Counter(out, "quorvex_joins_total", "Join requests answered with a new session.", s.joins);
  Counter(out, "quorvex_mic_failures_total", "Data uplinks and join requests whose MIC did not match.",
          s.micFailures);
  Counter(out, "quorvex_duplicates_total",
          "Copies of a frame already taken, through another gateway or sent again.", s.duplicates);
  Counter(out, "quorvex_frames_dropped_total",
          "Radio frames acknowledged but dropped because too many waited to be handled.", s.framesDropped);
  Gauge(out, "quorvex_frame_queue_depth", "Radio frames acknowledged and waiting to be handled.", s.frameQueue);
  Family(out, "quorvex_frames_refused_total", "counter", "Radio frames not taken, by reason.");
  for (std::size_t i = 0; i < kRefusalCount; ++i)
    LabelledSample(out, "quorvex_frames_refused_total", "reason", RefusalLabel(static_cast<Refusal>(i)),
                   s.refused[i]);
}

void FormatDownlinks(std::string& out, const MetricsSnapshot& s) {
  Counter(out, "quorvex_downlinks_sent_total", "Downlink frames sent to gateways.", s.downlinksSent);
  Family(out, "quorvex_downlinks_failed_total", "counter",
         "Downlinks not sent: by the server (not built, state not stored, class C request failed) or "
         "refused by the gateway.");
  for (std::size_t i = 0; i < kDownlinkFailureCount; ++i)
    LabelledSample(out, "quorvex_downlinks_failed_total", "where",
                   DownlinkFailureLabel(static_cast<DownlinkFailure>(i)), s.downlinksFailed[i]);
  Gauge(out, "quorvex_scheduler_queue_depth", "Answers waiting for their receive window.", s.schedulerQueue);
}

void FormatForwarding(std::string& out, const MetricsSnapshot& s) {
  Family(out, "quorvex_posts_total", "counter",
         "Uplinks forwarded to application servers: answered 200, failed, or dropped before posting.");
  LabelledSample(out, "quorvex_posts_total", "result", "succeeded", s.posts.succeeded);
  LabelledSample(out, "quorvex_posts_total", "result", "failed", s.posts.failed);
  LabelledSample(out, "quorvex_posts_total", "result", "dropped", s.posts.dropped);
  Gauge(out, "quorvex_forwarding_queue_depth", "Uplinks waiting to be posted.", s.forwardingQueue);
}

void FormatGateways(std::string& out, const MetricsSnapshot& s) {
  Gauge(out, "quorvex_gateways_connected", "Gateways pulling in this run.", s.gateways.size());
  Family(out, "quorvex_gateway_last_seen_timestamp_seconds", "gauge",
         "When each connected gateway last pulled, in seconds since the Unix epoch.");
  for (const GatewaySeen& gateway : s.gateways)
    out += Format("quorvex_gateway_last_seen_timestamp_seconds{gateway=%s} %.3f\n", QuotedLabel(gateway.id).c_str(),
                  static_cast<double>(gateway.lastSeenUnixMs) / 1000.0);
}

void FormatDatabase(std::string& out, const MetricsSnapshot& s) {
  const char* name = "quorvex_db_commit_duration_seconds";
  Family(out, name, "histogram", "How long the database's group commits took.");
  for (std::size_t i = 0; i < CLatencyHistogram::kBuckets; ++i)
    out += Format("%s_bucket{le=\"%g\"} %llu\n", name, static_cast<double>(CLatencyHistogram::kBoundsUs[i]) / 1e6,
                  static_cast<unsigned long long>(s.commits.atOrBelow[i]));
  out += Format("%s_bucket{le=\"+Inf\"} %llu\n", name, static_cast<unsigned long long>(s.commits.count));
  out += Format("%s_sum %.6f\n", name, static_cast<double>(s.commits.sumUs) / 1e6);
  out += Format("%s_count %llu\n", name, static_cast<unsigned long long>(s.commits.count));
  Counter(out, "quorvex_db_commit_failures_total", "Group commits that failed (their writes were lost).",
          s.commitFailures);
}

std::string UdpProblem(CQuorvexApp& app) {
  if (!app.IsStarted()) return "the server is not started";
  if (app.m_LoRaUdpServer.Socket() == CUdpServer::kNoSocket || app.m_LoRaUdpServer.BoundPort() == 0)
    return Format("UDP port %d is not open", app.m_GatewayPort);
  return {};
}

}  // namespace

MetricsSnapshot ReadMetrics(CQuorvexApp& app, int64_t unixNowMs, uint64_t tickNow) {
  const CServerMetrics& m = app.m_Metrics;
  MetricsSnapshot s;
  s.uplinks = m.m_Uplinks.load();
  s.joins = m.m_Joins.load();
  s.micFailures = m.m_MicFailures.load();
  s.duplicates = m.m_Duplicates.load();
  s.framesDropped = m.m_FramesDropped.load();
  s.frameQueue = app.FramesWaiting();
  for (std::size_t i = 0; i < kRefusalCount; ++i) s.refused[i] = m.Refused(static_cast<Refusal>(i));
  s.downlinksSent = m.m_DownlinksSent.load();
  for (std::size_t i = 0; i < kDownlinkFailureCount; ++i)
    s.downlinksFailed[i] = m.DownlinksFailed(static_cast<DownlinkFailure>(i));
  s.posts = app.m_LoRaHttpMgr.PostCounts();
  s.forwardingQueue = app.m_LoRaHttpMgr.Count();
  s.schedulerQueue = app.m_LoRaJitMgr.Count();
  s.gateways = ConnectedGateways(app.m_LoRaGateMgr, unixNowMs, tickNow);
  s.commits = app.m_LoRaDbMgr.CommitLatency().Read();
  s.commitFailures = app.m_LoRaDbMgr.CommitFailures();
  return s;
}

std::string FormatMetrics(const MetricsSnapshot& snapshot) {
  std::string out;
  FormatFrames(out, snapshot);
  FormatDownlinks(out, snapshot);
  FormatForwarding(out, snapshot);
  FormatGateways(out, snapshot);
  FormatDatabase(out, snapshot);
  return out;
}

std::string QuotedLabel(const std::string& value) {
  std::string out = "\"";
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

HealthReport CheckHealth(CQuorvexApp& app) {
  HealthReport report;
  if (const std::string udp = UdpProblem(app); !udp.empty()) report.problems += "udp: " + udp + "\n";
  if (const std::string db = app.m_LoRaDbMgr.WriteProblem(); !db.empty()) report.problems += "database: " + db + "\n";
  report.healthy = report.problems.empty();
  return report;
}

}  // namespace quorvex
