// The benchmark's database work: writing the benchmark application and its
// ABP devices through the server's own persistence classes, and reading the
// file directly with SQLite to learn the devices before a run and what the
// server stored after it.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Load.h"

namespace quorvex::bench {

// MEMO of the benchmark application; it is found again by this text.
inline constexpr char kBenchMemo[] = "quorvex-bench";
// MEMO of the optional second application, whose application server is
// made slow or unreachable to show that it holds up nobody else.
inline constexpr char kOtherMemo[] = "quorvex-bench other";

// The second application: `share` (0..1) of the devices post to `url`.
// None when the url is empty or the share 0.
struct OtherApplication {
  std::string url;
  double share = 0;
};

// Writes into the database of `dataDir` (created when missing) one ABP class A
// application without ADR posting to `appUrl`, with `devices` ABP devices
// (joined, session keys derived from their index, no counters yet), of which
// `other.share`, spread evenly, belong to a second such application posting
// to `other.url`. False with `error` when the database cannot be written or
// already holds a benchmark application.
bool PrepareDatabase(const std::string& dataDir, uint32_t devices, const std::string& appUrl, std::string& error,
                     const OtherApplication& other = {});

// The benchmark application as stored.
struct BenchSet {
  int32_t appPkey = 0;
  std::string appUrl;
  int32_t otherAppPkey = 0;          // 0: no second application
  std::string otherAppUrl;
  std::vector<BenchDevice> devices;  // of both applications, by PKEY, at most the number asked for
  int64_t lastLogPkey = 0;           // largest LOGTBL key before the run
};

// Reads the benchmark application (and the second one, if any) of the
// database file `dbPath` and their first `maxDevices` devices. False with
// `error` when there is none.
bool LoadBenchSet(const std::string& dbPath, uint32_t maxDevices, BenchSet& out, std::string& error);

// What the server stored for the benchmark devices.
struct StoredState {
  std::map<int32_t, int32_t> rxSeq;  // device PKEY -> RXSEQ
  // "UP-LINK" rows (TYPE 4) newer than the run's start: (device PKEY, COUNT) -> rows.
  std::map<std::pair<int32_t, int32_t>, uint64_t> uplinkRows;
  uint64_t uplinkRowCount = 0;
};

bool ReadStoredState(const std::string& dbPath, const BenchSet& set, StoredState& out, std::string& error);

}  // namespace quorvex::bench
