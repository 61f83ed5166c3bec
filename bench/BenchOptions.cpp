#include "BenchOptions.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <type_traits>
#include <vector>

namespace quorvex::bench {

namespace {

bool ParseDouble(const std::string& text, double low, double high, double& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != 0 || !std::isfinite(value) || value < low || value > high) return false;
  out = value;
  return true;
}

bool ParseInt(const std::string& text, long low, long high, long& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != 0 || value < low || value > high) return false;
  out = value;
  return true;
}

void ApplyPreset(const std::string& name, BenchOptions& o) {
  o.preset = name;
  if (name == "short") {
    // A smoke run: a few seconds at a rate the server is expected to carry.
    o.devices = 200;
    o.gateways = 2;
    o.rate = 20;
    o.seconds = 5;
    o.confirmed = 0.25;
    o.drain = 3;
    o.baselineSeconds = 5;
    o.sampleMs = 500;
  } else if (name == "long") {
    // A soak: ten minutes of steady load that a sound server carries whole
    // (below the application-server forwarding rate), memory sampled every
    // 5 s; raise --rate to soak it under overload.
    o.devices = 20000;
    o.gateways = 4;
    o.rate = 1000;
    o.seconds = 600;
    o.confirmed = 0.1;
    o.drain = 5;
    o.baselineSeconds = 10;
    o.sampleMs = 5000;
  }
}

}  // namespace

double BaselineSeconds(const BenchOptions& options) {
  if (options.baselineSeconds >= 0) return std::min(options.baselineSeconds, options.seconds);
  return std::min(options.seconds, 10.0);
}

void PrintUsage(FILE* out) {
  fprintf(out,
          "Usage: quorvex-bench [--short | --long] [options]\n"
          "\n"
          "Load instrument for quorvex-server (or the operator window program, --window):\n"
          "prepares a fresh data directory with N ABP devices, starts the server, drives it\n"
          "from G simulated gateways over loopback and prints one report (throughput,\n"
          "PUSH_ACK latency, confirmed-reply timing, posts to the application server,\n"
          "server memory, a UDP echo baseline, and loss checks).\n"
          "It exits 0 whatever the numbers are; 1 when it could not run, 2 on a bad option.\n"
          "\n"
          "  --short              a few seconds at small numbers (smoke run)\n"
          "  --long               a ten-minute soak\n"
          "  --devices N          ABP devices in the database (default 2000)\n"
          "  --gateways G         simulated gateways, each pulling first (default 4)\n"
          "  --rate R             uplinks per second, open-loop (default 1000)\n"
          "  --seconds D          duration of the load (default 10)\n"
          "  --confirmed F        fraction of uplinks sent confirmed, 0..1 (default 0.1)\n"
          "  --server PATH        quorvex-server to start (default: the one of this build)\n"
          "  --window             start the operator window program instead (quorvex of this\n"
          "                       build, or --server PATH) with --start --loop-stats, on Qt's\n"
          "                       offscreen platform unless QT_QPA_PLATFORM is set; the report\n"
          "                       adds its event-loop delay and checks its p99 is under 50 ms\n"
          "  --server-arg ARG     one more argument for the started server, after its own\n"
          "                       (repeat for more), e.g. --server-arg --log-keep --server-arg 20000\n"
          "  --keep-data          keep the data directory (database, server output)\n"
          "  --no-forward         the application has no server URL: uplinks are not posted\n"
          "                       (measures the radio path alone)\n"
          "  --other-app MODE     a second application whose server misbehaves: slow (answers\n"
          "                       after --other-delay-ms, default 6000) or refuse (refuses\n"
          "                       connections); it takes --other-share of the devices (default\n"
          "                       0.5); the report shows both applications' posts apart\n"
          "  --data-dir DIR       data directory to use instead of a fresh temporary one\n"
          "  --threads T          sender threads (default 2)\n"
          "  --drain S            seconds to wait for late answers after the load (default 3)\n"
          "  --baseline-seconds S duration of the echo baseline (default min(D, 10); 0: none)\n"
          "  --sample-ms MS       interval of the server memory samples (default 1000)\n"
          "\n"
          "Against a server that is already running:\n"
          "  quorvex-bench --prepare-only --data-dir DIR [--devices N] [--http-port P]\n"
          "      writes the benchmark application and devices into DIR's database; then start\n"
          "      quorvex-server --data-dir DIR --port PORT (it loads applications at start) and run\n"
          "  quorvex-bench --connect PORT --data-dir DIR [--pid PID] [options]\n"
          "      drives that server; the application server listens on the port stored in the\n"
          "      database; memory figures need --pid (otherwise the process is looked up by\n"
          "      its command line); the server is not stopped, the checks read the live database.\n");
}

ParseOutcome ParseOptions(int argc, char** argv, BenchOptions& out, std::string& error) {
  std::vector<std::string> args(argv + 1, argv + argc);
  BenchOptions o;
  // Presets first, so that explicit options override them in any order.
  for (const std::string& arg : args) {
    if (arg == "--short") ApplyPreset("short", o);
    if (arg == "--long") ApplyPreset("long", o);
  }
  if (std::count(args.begin(), args.end(), "--short") + std::count(args.begin(), args.end(), "--long") > 1) {
    error = "give at most one of --short and --long";
    return ParseOutcome::Error;
  }

  using Setter = std::function<bool(const std::string&)>;
  auto count = [](auto& field, long low, long high) {
    return Setter([&field, low, high](const std::string& v) {
      long value = 0;
      if (!ParseInt(v, low, high, value)) return false;
      field = static_cast<std::remove_reference_t<decltype(field)>>(value);
      return true;
    });
  };
  auto real = [](double& field, double low, double high) {
    return Setter([&field, low, high](const std::string& v) { return ParseDouble(v, low, high, field); });
  };
  auto text = [](std::string& field) {
    return Setter([&field](const std::string& v) {
      field = v;
      return !v.empty();
    });
  };
  const std::map<std::string, std::pair<Setter, const char*>> valued = {
      {"--devices", {count(o.devices, 1, 1000000), "a count from 1 to 1000000"}},
      {"--gateways", {count(o.gateways, 1, 256), "a count from 1 to 256"}},
      {"--rate", {real(o.rate, 0.1, 1000000), "uplinks per second, 0.1 to 1000000"}},
      {"--seconds", {real(o.seconds, 0.5, 3000), "seconds, 0.5 to 3000"}},
      {"--confirmed", {real(o.confirmed, 0, 1), "a fraction from 0 to 1"}},
      {"--server", {text(o.server), "a path"}},
      {"--connect", {count(o.connectPort, 1, 65535), "a UDP port"}},
      {"--data-dir", {text(o.dataDir), "a directory"}},
      {"--pid", {count(o.pid, 1, 1 << 30), "a process id"}},
      {"--http-port", {count(o.httpPort, 1, 65535), "a TCP port"}},
      {"--threads", {count(o.threads, 1, 64), "a count from 1 to 64"}},
      {"--drain", {real(o.drain, 0, 600), "seconds, 0 to 600"}},
      {"--baseline-seconds", {real(o.baselineSeconds, 0, 3000), "seconds, 0 to 3000"}},
      {"--sample-ms", {count(o.sampleMs, 50, 600000), "milliseconds, 50 to 600000"}},
      {"--other-app", {text(o.otherApp), "slow or refuse"}},
      {"--other-share", {real(o.otherShare, 0.01, 0.99), "a fraction from 0.01 to 0.99"}},
      {"--other-delay-ms", {count(o.otherDelayMs, 0, 600000), "milliseconds, 0 to 600000"}},
  };

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") return ParseOutcome::Help;
    if (arg == "--short" || arg == "--long") continue;
    if (arg == "--keep-data") {
      o.keepData = true;
      continue;
    }
    if (arg == "--no-forward") {
      o.noForward = true;
      continue;
    }
    if (arg == "--window") {
      o.window = true;
      continue;
    }
    if (arg == "--server-arg") {
      if (i + 1 >= args.size()) {
        error = "--server-arg needs a value (one argument for the server)";
        return ParseOutcome::Error;
      }
      o.serverArgs.push_back(args[++i]);
      continue;
    }
    if (arg == "--prepare-only") {
      o.prepareOnly = true;
      continue;
    }
    const auto found = valued.find(arg);
    if (found == valued.end()) {
      error = "unknown option '" + arg + "'";
      return ParseOutcome::Error;
    }
    if (i + 1 >= args.size()) {
      error = arg + " needs a value (" + found->second.second + ")";
      return ParseOutcome::Error;
    }
    const std::string& value = args[++i];
    if (!found->second.first(value)) {
      error = "bad value '" + value + "' for " + arg + ": give " + found->second.second;
      return ParseOutcome::Error;
    }
  }

  if ((o.prepareOnly || o.connectPort != 0) && o.dataDir.empty()) {
    error = o.prepareOnly ? "--prepare-only needs --data-dir" : "--connect needs --data-dir (the server's)";
    return ParseOutcome::Error;
  }
  if (o.prepareOnly && o.connectPort != 0) {
    error = "--prepare-only and --connect exclude each other";
    return ParseOutcome::Error;
  }
  if (o.window && (o.connectPort != 0 || o.prepareOnly)) {
    error = "--window starts the window program itself; it excludes --connect and --prepare-only";
    return ParseOutcome::Error;
  }
  if (!o.serverArgs.empty() && o.connectPort != 0) {
    error = "--server-arg is for a server this tool starts; it excludes --connect";
    return ParseOutcome::Error;
  }
  if (!o.otherApp.empty() && o.otherApp != "slow" && o.otherApp != "refuse") {
    error = "bad value '" + o.otherApp + "' for --other-app: give slow or refuse";
    return ParseOutcome::Error;
  }
  if (!o.otherApp.empty() && (o.connectPort != 0 || o.prepareOnly || o.noForward)) {
    error = "--other-app needs this tool's own application servers; it excludes --connect, --prepare-only and "
            "--no-forward";
    return ParseOutcome::Error;
  }
  if (o.pid != 0 && o.connectPort == 0) {
    error = "--pid is for --connect (a server this tool starts is measured anyway)";
    return ParseOutcome::Error;
  }
  // Per-uplink bookkeeping is kept in memory and stamped in 32-bit microseconds.
  if (o.rate * o.seconds > 20e6) {
    error = "rate x seconds is above 20 million uplinks; shorten the run";
    return ParseOutcome::Error;
  }
  if (o.seconds + o.drain > 3500) {
    error = "seconds + drain must stay below 3500";
    return ParseOutcome::Error;
  }
  out = o;
  return ParseOutcome::Run;
}

}  // namespace quorvex::bench
