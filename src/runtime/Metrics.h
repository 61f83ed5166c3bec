// The operator's view of a running server: /metrics in the Prometheus text
// format and /health, built from the counters and queues of the managers.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "forwarding/HttpManager.h"
#include "runtime/ServerMetrics.h"
#include "util/LatencyHistogram.h"

namespace quorvex {

class CQuorvexApp;

// A gateway pulling in this run and when it last pulled.
struct GatewaySeen {
  std::string id;              // the gateway's ID (its EUI as 16 hex digits)
  int64_t lastSeenUnixMs = 0;  // its latest acknowledged PULL_DATA
};

// Every value the metrics text shows, read at one moment.
struct MetricsSnapshot {
  uint64_t uplinks = 0;
  uint64_t joins = 0;
  uint64_t micFailures = 0;
  uint64_t duplicates = 0;
  uint64_t framesDropped = 0;
  std::size_t frameQueue = 0;
  std::array<uint64_t, kRefusalCount> refused{};
  uint64_t downlinksSent = 0;
  std::array<uint64_t, kDownlinkFailureCount> downlinksFailed{};
  HttpPostCounts posts;
  std::size_t forwardingQueue = 0;
  std::size_t schedulerQueue = 0;
  std::vector<GatewaySeen> gateways;  // connected ones only
  CLatencyHistogram::Snapshot commits;
  uint64_t commitFailures = 0;
};

// Reads `app`'s counters and queues; `unixNowMs` and `tickNow` (the same
// moment on the calendar and the tick clock) turn pull ticks into times.
// Takes each manager's lock briefly, one at a time.
MetricsSnapshot ReadMetrics(CQuorvexApp& app, int64_t unixNowMs, uint64_t tickNow);

// The Prometheus text format (version 0.0.4) of `snapshot`: every family
// with its HELP and TYPE lines, every reason and result label present even
// at zero, so that rates start from the first scrape.
std::string FormatMetrics(const MetricsSnapshot& snapshot);

// `value` as a label value between double quotes: backslash, double quote
// and line feed escaped as the text format requires.
std::string QuotedLabel(const std::string& value);

// Whether the server is serving: its UDP socket bound and its database
// writable. `problems` names what is wrong, one line each.
struct HealthReport {
  bool healthy = false;
  std::string problems;
};
HealthReport CheckHealth(CQuorvexApp& app);

}  // namespace quorvex
