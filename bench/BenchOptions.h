// Command-line options of quorvex-bench: the load to generate, where the
// server comes from, and the --short / --long presets. Presets only set
// defaults; an explicit option wins wherever it stands on the line.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quorvex::bench {

struct BenchOptions {
  uint32_t devices = 2000;     // --devices N
  uint32_t gateways = 4;       // --gateways G
  double rate = 1000;          // --rate R, uplinks per second
  double seconds = 10;         // --seconds D
  double confirmed = 0.1;      // --confirmed FRACTION of uplinks sent confirmed
  std::string server;          // --server PATH; empty: the server of this build
  bool window = false;         // --window: the operator window program instead of quorvex-server
  bool keepData = false;       // --keep-data
  bool noForward = false;      // --no-forward
  int connectPort = 0;         // --connect PORT: a running server; 0 starts one
  std::string dataDir;         // --data-dir DIR
  int pid = 0;                 // --pid PID of a --connect server (memory figures)
  bool prepareOnly = false;    // --prepare-only: write the database into --data-dir and stop
  int httpPort = 0;            // --http-port P of the local application server (0: any free)
  int threads = 2;             // --threads T sender threads
  double drain = 3;            // --drain S: how long to wait for late answers after the last uplink
  double baselineSeconds = -1; // --baseline-seconds S; negative: min(D, 10); 0: none
  int sampleMs = 1000;         // --sample-ms MS between memory samples
  // --other-app slow|refuse: a second application, whose server answers
  // after --other-delay-ms or refuses connections, takes --other-share of
  // the devices.
  std::string otherApp;
  double otherShare = 0.5;     // --other-share FRACTION
  int otherDelayMs = 6000;     // --other-delay-ms MS
  std::vector<std::string> serverArgs;  // --server-arg ARG, each one more argument of the started server
  std::string preset = "default";
};

enum class ParseOutcome { Run, Help, Error };

// Reads argv into `out`. Error: `error` says why (the caller exits 2).
ParseOutcome ParseOptions(int argc, char** argv, BenchOptions& out, std::string& error);

void PrintUsage(FILE* out);

// The effective baseline duration of `options` in seconds (0: none).
double BaselineSeconds(const BenchOptions& options);

}  // namespace quorvex::bench
