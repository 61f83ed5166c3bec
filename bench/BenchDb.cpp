#include "BenchDb.h"

#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

#include "persistence/AppList.h"
#include "persistence/Application.h"
#include "persistence/DbManager.h"
#include "persistence/Device.h"
#include "persistence/DeviceManager.h"

namespace quorvex::bench {

namespace {

// The benchmark application's EUI and the devices' EUI and address ranges.
constexpr uint8_t kAppEui[8] = {0xB3, 0xEC, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kOtherAppEui[8] = {0xB3, 0xEC, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr uint32_t kDevAddrBase = 0x26000000;
constexpr uint32_t kDevEuiHigh = 0xB3EC00BE;

uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A session key of device `index`, different per index and per `salt`.
void DeriveKey(uint32_t index, uint64_t salt, uint8_t (&key)[16]) {
  const uint64_t a = SplitMix64(salt ^ (static_cast<uint64_t>(index) << 1));
  const uint64_t b = SplitMix64(a ^ salt);
  for (int i = 0; i < 8; ++i) {
    key[i] = static_cast<uint8_t>(a >> (8 * i));
    key[8 + i] = static_cast<uint8_t>(b >> (8 * i));
  }
}

template <size_t N>
void SetText(char (&field)[N], const std::string& text) {
  snprintf(field, N, "%s", text.c_str());
}

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Connection = std::unique_ptr<sqlite3, SqliteCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Opens the file for reading only what it holds (no create). The connection
// is read-write because a WAL file's shared memory index must be writable.
bool OpenFile(const std::string& path, Connection& out, std::string& error) {
  if (!std::filesystem::exists(path)) {
    error = "no database file " + path;
    return false;
  }
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  out.reset(raw);
  if (rc != SQLITE_OK) {
    error = "cannot open " + path + ": " + sqlite3_errstr(rc);
    return false;
  }
  sqlite3_busy_timeout(out.get(), 5000);
  return true;
}

bool Prepare(sqlite3* db, const char* sql, Statement& out, std::string& error) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  out.reset(raw);
  if (rc != SQLITE_OK) {
    error = std::string("cannot read the database (") + sqlite3_errmsg(db) + "): " + sql;
    return false;
  }
  return true;
}

void CopyBlob(sqlite3_stmt* stmt, int column, uint8_t* to, size_t size) {
  const void* blob = sqlite3_column_blob(stmt, column);
  const int length = sqlite3_column_bytes(stmt, column);
  std::memset(to, 0, size);
  if (blob != nullptr && length > 0) std::memcpy(to, blob, std::min(size, static_cast<size_t>(length)));
}

// Runs a statement to its end, calling `row` for each row; false on an error.
template <typename Row>
bool StepAll(sqlite3* db, sqlite3_stmt* stmt, Row row, std::string& error) {
  for (;;) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      error = std::string("reading the database failed: ") + sqlite3_errmsg(db);
      return false;
    }
    row(stmt);
  }
}

}  // namespace

namespace {

// Stores an ABP class A application without ADR posting to `url`; its PKEY,
// or 0 with `error`.
int32_t StoreApplication(CAppList& applications, const uint8_t (&eui)[8], const std::string& url, const char* memo,
                         std::string& error) {
  auto application = std::make_unique<CApplication>();
  application->ACTIVATION = 1;  // ABP
  application->CLASS = 0;
  application->ADR = 0;
  application->CHMASK = 0x00FF;
  std::memcpy(application->APPEUI, eui, sizeof eui);
  application->RX2CHAN = 869525000;
  SetText(application->APPURL, url);
  SetText(application->APPPARM, "/up/deveui");
  SetText(application->MEMO, memo);
  CApplication* kept = application.get();
  if (applications.InsertApplication(std::move(application)) != 0) {
    error = std::string("cannot store the application ") + memo + " (SQLite code " +
            std::to_string(applications.m_Result) + ")";
    return 0;
  }
  return kept->PKEY;
}

// True when device `index` belongs to the other application: `share` of
// the devices, spread evenly (every second one for 0.5).
bool BelongsToOther(uint32_t index, double share) {
  return std::floor((index + 1) * share) > std::floor(index * share);
}

std::unique_ptr<CDevice> MakeDevice(uint32_t index, int32_t appPkey) {
  auto device = std::make_unique<CDevice>();
  device->APKEY = appPkey;
  device->JOINED = 1;
  const uint32_t euiLow = index + 1;
  for (int b = 0; b < 4; ++b) {
    device->DEVEUI[b] = static_cast<uint8_t>(kDevEuiHigh >> (24 - 8 * b));
    device->DEVEUI[4 + b] = static_cast<uint8_t>(euiLow >> (24 - 8 * b));
  }
  device->DEVADDR = kDevAddrBase + index + 1;
  DeriveKey(index, 0x4E57534B45590001ull, device->NETSKEY);
  DeriveKey(index, 0x415050534B455902ull, device->APPSKEY);
  device->TXSEQ = -1;
  device->RXSEQ = -1;
  SetText(device->MEMO, kBenchMemo);
  return device;
}

}  // namespace

bool PrepareDatabase(const std::string& dataDir, uint32_t devices, const std::string& appUrl, std::string& error,
                     const OtherApplication& other) {
  std::error_code ec;
  std::filesystem::create_directories(dataDir, ec);
  CDbManager db;
  db.Open(dataDir);
  if (!db.IsOpen() || db.m_Result != 0) {
    error = "cannot open the database in " + dataDir + " (SQLite code " + std::to_string(db.m_Result) + ")";
    return false;
  }
  CAppList applications(db);
  if (applications.LoadApplications() != 0) {
    error = "cannot read APPTBL";
    return false;
  }
  for (const auto& application : applications.m_List) {
    if (std::strcmp(application->MEMO, kBenchMemo) == 0 || std::strcmp(application->MEMO, kOtherMemo) == 0) {
      error = "the database already holds a benchmark application (PKEY " + std::to_string(application->PKEY) + ")";
      return false;
    }
  }
  const int32_t appPkey = StoreApplication(applications, kAppEui, appUrl, kBenchMemo, error);
  if (appPkey == 0) return false;
  const bool withOther = !other.url.empty() && other.share > 0;
  const int32_t otherPkey = withOther ? StoreApplication(applications, kOtherAppEui, other.url, kOtherMemo, error) : 0;
  if (withOther && otherPkey == 0) return false;

  CDeviceManager registry(db);
  // One transaction: with synchronous=FULL every single insert would wait
  // for the disk.
  std::lock_guard<std::recursive_mutex> lock(db.Mutex());
  if (sqlite3_exec(db.Connection(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    error = std::string("cannot begin a transaction: ") + sqlite3_errmsg(db.Connection());
    return false;
  }
  for (uint32_t i = 0; i < devices; ++i) {
    const int32_t owner = withOther && BelongsToOther(i, other.share) ? otherPkey : appPkey;
    if (registry.InsertDevice(MakeDevice(i, owner)) != 0) {
      error = "cannot store device " + std::to_string(i) + " (SQLite code " + std::to_string(registry.m_Result) + ")";
      sqlite3_exec(db.Connection(), "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
    registry.m_Devices.clear();  // the registry's display list is of no use here
  }
  if (sqlite3_exec(db.Connection(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    error = std::string("cannot commit the devices: ") + sqlite3_errmsg(db.Connection());
    return false;
  }
  return true;
}

bool LoadBenchSet(const std::string& dbPath, uint32_t maxDevices, BenchSet& out, std::string& error) {
  Connection db;
  if (!OpenFile(dbPath, db, error)) return false;
  Statement stmt;
  if (!Prepare(db.get(), "SELECT PKEY, APPURL FROM APPTBL WHERE MEMO=? ORDER BY PKEY LIMIT 1", stmt, error))
    return false;
  sqlite3_bind_text(stmt.get(), 1, kBenchMemo, -1, SQLITE_STATIC);
  BenchSet set;
  bool found = false;
  if (!StepAll(
          db.get(), stmt.get(),
          [&](sqlite3_stmt* s) {
            found = true;
            set.appPkey = sqlite3_column_int(s, 0);
            const auto* url = sqlite3_column_text(s, 1);
            set.appUrl = url != nullptr ? reinterpret_cast<const char*>(url) : "";
          },
          error))
    return false;
  if (!found) {
    error = "the database holds no benchmark application (MEMO '" + std::string(kBenchMemo) +
            "'); run quorvex-bench --prepare-only --data-dir DIR first";
    return false;
  }
  sqlite3_reset(stmt.get());
  sqlite3_bind_text(stmt.get(), 1, kOtherMemo, -1, SQLITE_STATIC);
  if (!StepAll(
          db.get(), stmt.get(),
          [&](sqlite3_stmt* s) {
            set.otherAppPkey = sqlite3_column_int(s, 0);
            const auto* url = sqlite3_column_text(s, 1);
            set.otherAppUrl = url != nullptr ? reinterpret_cast<const char*>(url) : "";
          },
          error))
    return false;

  if (!Prepare(db.get(),
               "SELECT PKEY, DEVADDR, NETSKEY, APPSKEY, RXSEQ, DEVEUI, APKEY FROM DEVTBL WHERE APKEY IN (?, ?) "
               "ORDER BY PKEY LIMIT ?",
               stmt, error))
    return false;
  sqlite3_bind_int(stmt.get(), 1, set.appPkey);
  sqlite3_bind_int(stmt.get(), 2, set.otherAppPkey);
  sqlite3_bind_int64(stmt.get(), 3, maxDevices);
  if (!StepAll(
          db.get(), stmt.get(),
          [&](sqlite3_stmt* s) {
            BenchDevice device;
            device.pkey = sqlite3_column_int(s, 0);
            device.devAddr = static_cast<uint32_t>(sqlite3_column_int(s, 1));
            CopyBlob(s, 2, device.nwkSKey.data(), device.nwkSKey.size());
            CopyBlob(s, 3, device.appSKey.data(), device.appSKey.size());
            device.rxSeqAtStart = sqlite3_column_int(s, 4);
            CopyBlob(s, 5, device.devEui, sizeof device.devEui);
            device.other = set.otherAppPkey != 0 && sqlite3_column_int(s, 6) == set.otherAppPkey;
            set.devices.push_back(device);
          },
          error))
    return false;
  if (set.devices.empty()) {
    error = "the benchmark application has no devices";
    return false;
  }

  if (!Prepare(db.get(), "SELECT IFNULL(MAX(PKEY), 0) FROM LOGTBL", stmt, error)) return false;
  if (!StepAll(db.get(), stmt.get(), [&](sqlite3_stmt* s) { set.lastLogPkey = sqlite3_column_int64(s, 0); }, error))
    return false;
  out = std::move(set);
  return true;
}

bool ReadStoredState(const std::string& dbPath, const BenchSet& set, StoredState& out, std::string& error) {
  Connection db;
  if (!OpenFile(dbPath, db, error)) return false;
  StoredState state;
  Statement stmt;
  if (!Prepare(db.get(), "SELECT PKEY, RXSEQ FROM DEVTBL WHERE APKEY IN (?, ?)", stmt, error)) return false;
  sqlite3_bind_int(stmt.get(), 1, set.appPkey);
  sqlite3_bind_int(stmt.get(), 2, set.otherAppPkey);
  if (!StepAll(
          db.get(), stmt.get(),
          [&](sqlite3_stmt* s) { state.rxSeq[sqlite3_column_int(s, 0)] = sqlite3_column_int(s, 1); }, error))
    return false;

  if (!Prepare(db.get(), "SELECT DEVPKEY, COUNT FROM LOGTBL WHERE TYPE=4 AND PKEY>?", stmt, error)) return false;
  sqlite3_bind_int64(stmt.get(), 1, set.lastLogPkey);
  if (!StepAll(
          db.get(), stmt.get(),
          [&](sqlite3_stmt* s) {
            const int32_t device = sqlite3_column_int(s, 0);
            if (state.rxSeq.count(device) == 0) return;  // not a benchmark device
            ++state.uplinkRows[{device, sqlite3_column_int(s, 1)}];
            ++state.uplinkRowCount;
          },
          error))
    return false;
  out = std::move(state);
  return true;
}

}  // namespace quorvex::bench
