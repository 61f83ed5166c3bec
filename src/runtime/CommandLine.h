// The options the server programs share: --data-dir DIR and --port N, and
// the headless server's packet-log limit --log-keep N and metrics address
// --metrics [HOST:]PORT.
#pragma once
#include <cstdint>
#include <string>

namespace quorvex {

// A UDP port number from 1 to 65535 as decimal text; false for anything else.
bool ParsePort(const char* text, int& port);

// The data directory for --data-dir `given`: `given` itself, or when it is
// empty the directory of the running program, so that the server and the
// admin tool installed beside it find the same database file.
std::string DataDirOrDefault(const std::string& given);

// The packet log's default limit in rows. A typical row takes about 170 bytes
// of the file (an uplink with a 16-byte payload, measured in a file of 200,000
// such rows), so a million rows keep the file near 170 MB, small enough for any
// server's disk, and at 10 uplinks a second still hold more than a day.
inline constexpr int64_t kDefaultLogKeepRows = 1000000;
// The largest limit accepted: far beyond any disk's worth of rows.
inline constexpr int64_t kMaxLogKeepRows = 1000000000000;

// The rows the packet log keeps, as decimal text: 0 (no limit: the log grows
// without end) or 1 up to kMaxLogKeepRows; false for anything else.
bool ParseLogKeep(const char* text, int64_t& rows);

// Where the metrics endpoint listens when only a port is given: this host
// alone, since the counters say a lot about the network.
inline constexpr char kDefaultMetricsHost[] = "127.0.0.1";

// "PORT", "HOST:PORT" or "[IPV6]:PORT" into `host` (kDefaultMetricsHost
// for a bare port) and `port` (1-65535); false for anything else.
bool ParseListenAddress(const char* text, std::string& host, int& port);

}  // namespace quorvex
