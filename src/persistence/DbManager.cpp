#include "persistence/DbManager.h"

#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "persistence/DbRows.h"
#include "persistence/DbSql.h"
#include "persistence/DbStatement.h"
#include "platform/Thread.h"
#include "runtime/Trace.h"
#include "util/Format.h"

namespace quorvex {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// The six tables as this server creates them in a file that lacks them (a
// file made by an earlier program gets the ones it lacks, such as NONCETBL).
// The declared types give the storage classes in which the program binds
// each column (INTEGER, BLOB without conversion, TEXT); PKEY is an integer
// primary key, the row id itself, so an insert gets one more than the
// largest key. Joins and uplinks look devices up by EUI and by address on
// every frame, hence the two indexes of DEVTBL.
struct TableDefinition {
  const char* name;
  const char* create;
};

constexpr TableDefinition kTables[] = {
    {"APPTBL",
     "CREATE TABLE IF NOT EXISTS APPTBL (PKEY INTEGER PRIMARY KEY, ACTIVATION INTEGER, CLASS INTEGER, "
     "ADR INTEGER, CHMASK INTEGER, APPEUI BLOB, RX2CHAN INTEGER, RX2SF INTEGER, RX2BW INTEGER, "
     "APPURL TEXT, APPPARM TEXT, MEMO TEXT);"},
    {"DEVTBL",
     "CREATE TABLE IF NOT EXISTS DEVTBL (PKEY INTEGER PRIMARY KEY, APKEY INTEGER, GPKEY INTEGER, "
     "JOINED INTEGER, DEVEUI BLOB, DEVADDR INTEGER, NETWORKID INTEGER, APPKEY BLOB, APPSKEY BLOB, "
     "NETSKEY BLOB, TXSEQ INTEGER, RXSEQ INTEGER, ADR INTEGER, ADRCNT INTEGER, ADRPWR INTEGER, "
     "PWRREQ INTEGER, ADRSF INTEGER, NBGATE INTEGER, RXTICK INTEGER, MEMO TEXT);"},
    {"DLINKTBL",
     "CREATE TABLE IF NOT EXISTS DLINKTBL (PKEY INTEGER PRIMARY KEY, DEVPKEY INTEGER, PORT INTEGER, "
     "CONFIRMED INTEGER, CHANNEL INTEGER, MAC TEXT, APP TEXT, TIME TEXT, TXDONE INTEGER);"},
    {"GATETBL",
     "CREATE TABLE IF NOT EXISTS GATETBL (PKEY INTEGER PRIMARY KEY, ACTIVE INTEGER, ID TEXT, IP TEXT);"},
    {"LOGTBL",
     "CREATE TABLE IF NOT EXISTS LOGTBL (PKEY INTEGER PRIMARY KEY, DEVPKEY INTEGER, TYPE INTEGER, "
     "RXTIME TEXT, MACDATA TEXT, APPDATA TEXT, IP TEXT, DEVEUI TEXT, PORT INTEGER, CONFIRMED INTEGER, "
     "FREQ TEXT, RSSI TEXT, SNR TEXT, SF TEXT, COUNT INTEGER);"},
    // The DevNonces of each device's accepted joins (CDeviceManager), oldest
    // first by key; a device uses each one once.
    {"NONCETBL",
     "CREATE TABLE IF NOT EXISTS NONCETBL (PKEY INTEGER PRIMARY KEY, DEVPKEY INTEGER, DEVNONCE INTEGER, "
     "UNIQUE (DEVPKEY, DEVNONCE));"},
};

// Joins and uplinks look devices up by EUI and by address on every frame,
// every reply looks for the device's pending downlinks, and the scheduler
// for a class C downlink every pass in which no reply is due. The indexes are
// added to a file that lacks them too (a file made by an earlier program);
// they change no data, and a file where one cannot be made (a column
// missing, a read-only file) is used without it.
constexpr const char* kIndexes[] = {
    "CREATE INDEX IF NOT EXISTS DEVTBL_DEVEUI ON DEVTBL (DEVEUI)",
    "CREATE INDEX IF NOT EXISTS DEVTBL_DEVADDR ON DEVTBL (DEVADDR)",
    "CREATE INDEX IF NOT EXISTS DLINKTBL_DEVPKEY ON DLINKTBL (DEVPKEY)",
    "CREATE INDEX IF NOT EXISTS DLINKTBL_PENDING ON DLINKTBL (TXDONE, CHANNEL)",
};

// 1 when the table exists, 0 when it does not, -1 when the query failed
// (`rc` holds its code).
int TableExists(sqlite3* db, const char* name, int& rc) {
  CDbStatement stmt;
  rc = stmt.Prepare(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=? COLLATE NOCASE");
  if (rc != SQLITE_OK) return -1;
  sqlite3_bind_text(stmt.Get(), 1, name, -1, SQLITE_STATIC);
  rc = stmt.Step();
  if (rc == SQLITE_ROW) {
    rc = SQLITE_OK;
    return 1;
  }
  if (rc == SQLITE_DONE) {
    rc = SQLITE_OK;
    return 0;
  }
  return -1;
}

// Decimal text to a 32-bit int: leading white space and one sign allowed,
// conversion stops at the first non-digit; out-of-range values saturate.
int32_t ParseInt32(const char* text) {
  const char* p = text;
  while (*p != 0 && isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p++ - '0');
    if (value > int64_t(INT32_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int OnMaxRow(void* user, int columns, char** values, char** /*names*/) {
  if (columns > 0 && values != nullptr && values[0] != nullptr) *static_cast<int32_t*>(user) = ParseInt32(values[0]);
  return 0;
}

}  // namespace

// A checkpoint copies the write-ahead log back into the database file and
// flushes both to disk. Run by the committing thread (SQLite's default,
// every 1,000 pages) it would stall the radio threads for the flush, many
// times a second under load, since every commit adds the pages it changed.
// So a thread of its own, with a connection of its own, runs it when the log
// has grown by kCheckpointPages, and once commits have paused for a second
// (so the log does not stay long after a burst). A passive checkpoint never
// blocks the server's connection, which writes on meanwhile. Under steady
// load such a checkpoint never finds the log without new frames, and only a
// log copied whole is started afresh: so once the log holds
// kInlineCheckpointPages the committing thread checkpoints between its own
// transactions, which copies the few frames the background left and lets the
// next commit restart the log.
class CWalCheckpointer {
 public:
  explicit CWalCheckpointer(std::string path) : m_Path(std::move(path)) {
    m_Thread = std::thread([this] { Run(); });
  }
  ~CWalCheckpointer() {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Stop = true;
    }
    m_Wake.notify_one();
    if (m_Thread.joinable()) m_Thread.join();
  }
  CWalCheckpointer(const CWalCheckpointer&) = delete;
  CWalCheckpointer& operator=(const CWalCheckpointer&) = delete;

  // After a commit that left `pages` in the log.
  void OnCommit(int pages) {
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      ++m_Commits;
      if (pages < m_PagesCopied) m_PagesCopied = 0;  // the log started afresh
      // Counted from what the last checkpoint copied: under steady load the
      // log keeps its earlier frames until the committing thread restarts it.
      if (pages - m_PagesCopied >= CDbManager::kCheckpointPages && !m_Kicked) wake = m_Kicked = true;
    }
    if (wake) m_Wake.notify_one();
  }

 private:
  void Run() {
    NameThisThread("qv-checkpoint");
    LowerThisThreadPriority(kBackgroundNice);  // the committing threads go first
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(m_Path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)> db(raw, &sqlite3_close_v2);
    if (rc != SQLITE_OK) {
      TraceLine("CDbManager Checkpointer Open Error %d\r\n", rc);
      return;  // the server's commits checkpoint by themselves past kInlineCheckpointPages
    }
    sqlite3_busy_timeout(db.get(), CDbManager::kBusyTimeoutMs);
    // A connection knows the file is in WAL mode only once it has read it;
    // before that a checkpoint does nothing.
    (void)sqlite3_exec(db.get(), "SELECT COUNT(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    std::unique_lock<std::mutex> lock(m_Mutex);
    uint64_t commitsSeen = m_Commits;
    bool logHoldsFrames = false;
    while (!m_Stop) {
      m_Wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_Stop || m_Kicked; });
      if (m_Stop) break;
      const bool kicked = m_Kicked;
      const bool paused = m_Commits == commitsSeen;
      if (m_Commits != commitsSeen) logHoldsFrames = true;
      commitsSeen = m_Commits;
      if (!kicked && !(paused && logHoldsFrames)) continue;
      lock.unlock();
      int logPages = 0, copied = 0;
      const int result =
          sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, &logPages, &copied);
      if (result != SQLITE_OK && result != SQLITE_BUSY) TraceLine("CDbManager Checkpoint Error %d\r\n", result);
      lock.lock();
      m_Kicked = false;
      if (result == SQLITE_OK && copied > 0) m_PagesCopied = copied;
      // A log copied whole is started afresh by the next commit; one that a
      // reader kept from being copied whole is tried again at the next pause.
      logHoldsFrames = result != SQLITE_OK || copied < logPages;
    }
  }

  const std::string m_Path;
  std::mutex m_Mutex;
  std::condition_variable m_Wake;
  uint64_t m_Commits = 0;
  int m_PagesCopied = 0;  // frames of the log that the last checkpoint had copied
  bool m_Kicked = false;
  bool m_Stop = false;
  std::thread m_Thread;
};

int CDbManager::OnWalCommit(void* self, sqlite3* db, const char* /*schema*/, int pages) {
  auto* manager = static_cast<CDbManager*>(self);
  if (pages >= kInlineCheckpointPages || !manager->m_Checkpointer) {
    if (pages >= kCheckpointPages) sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  } else {
    manager->m_Checkpointer->OnCommit(pages);
  }
  return SQLITE_OK;
}

void CDbManager::ConnectionCloser::operator()(sqlite3* db) const {
  // Kept statements are finalised first, so the close completes at once;
  // close_v2 would still defer it safely otherwise.
  ForgetStatements(db);
  sqlite3_close_v2(db);
}

CDbManager::CDbManager() = default;

CDbManager::~CDbManager() { Close(); }

void CDbManager::Open(const std::string& location) {
  Guard lock(m_Lock);
  if (m_Opened == 1) return;
  std::error_code ec;
  if (!location.empty()) {
    m_FileName = std::filesystem::is_directory(location, ec)
                     ? (std::filesystem::path(location) / kFileName).string()
                     : location;
  }
  Open();
}

void CDbManager::Open() {
  Guard lock(m_Lock);
  if (m_Opened == 1) return;
  if (!m_Db) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(m_FileName.c_str(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    m_Db.reset(raw);  // a failed open may still hand back a handle to close
    m_Result = rc;
    m_ErrMsg.clear();
    if (rc != SQLITE_OK) {
      m_Db.reset();
    } else {
      m_Result = SetUpConnection();
    }
  }
  m_Opened = 1;
}

void CDbManager::Close() {
  Guard lock(m_Lock);
  // Closing a connection would roll an open batch back, whoever's it is.
  if (m_BatchOpen && m_BatchOwner != std::this_thread::get_id()) {
    EndBatchEarly();
  } else {
    (void)CommitOwnBatch();
  }
  m_Checkpointer.reset();  // before the last connection folds the log back in
  m_Db.reset();
  m_ErrMsg.clear();
  m_Opened = 0;
  m_Result = 0;
}

bool CDbManager::IsOpen() {
  Guard lock(m_Lock);
  return m_Db != nullptr;
}

bool CDbManager::CheckUsable(std::string& reason) {
  Guard lock(m_Lock);
  sqlite3* db = m_Db.get();
  auto refuse = [&reason](const std::string& why, int code) {
    reason = why + " (" + sqlite3_errstr(code) + ")";
    return false;
  };
  if (db == nullptr) return refuse("it could not be opened", m_Result != 0 ? m_Result : SQLITE_CANTOPEN);
  if (m_Result != SQLITE_OK) return refuse("its tables could not be set up", m_Result);
  int rc = sqlite3_exec(db, "SELECT COUNT(*) FROM APPTBL", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return refuse("it cannot be read", rc);
  if (sqlite3_db_readonly(db, "main") != 0) return refuse("it is read-only", SQLITE_READONLY);
  if (sqlite3_get_autocommit(db) == 0) return true;  // a batch is open: writing works
  rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return refuse("it cannot be written", rc);
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return true;
}

int CDbManager::SetUpConnection() {
  sqlite3* db = m_Db.get();
  int first = SQLITE_OK;
  auto note = [&first](int rc) {
    if (rc != SQLITE_OK && first == SQLITE_OK) first = rc;
  };

  // Another process (the operator's sqlite3 shell) may hold the file for a
  // moment: wait for it, but never for long, since radio threads queue up
  // behind the database lock meanwhile.
  sqlite3_busy_timeout(db, kBusyTimeoutMs);

  // Durability: write-ahead log with synchronous=NORMAL. A statement outside
  // a batch commits on its own, a batch (BeginBatch) commits its statements
  // together; a commit is an append to the -wal file, handed to the
  // operating system before it returns. So what has been committed survives
  // the process being killed at any moment (kill -9, a crash): the kernel
  // holds its bytes. A process killed in the middle of
  // a statement leaves WAL frames without a commit mark, which the next
  // opener discards, so the database file itself is never damaged. The WAL
  // is flushed to disk at every checkpoint; only a power loss or a kernel
  // crash can take back the statements since the last one, and even then
  // the file stays consistent. synchronous=FULL would flush at every
  // statement: about ten times fewer writes per second on the radio
  // threads' path (measured here: 2,600 against 31,000 commits a second),
  // which caps the uplinks a server can take well below what a network
  // sends. A rollback journal would block readers (such as the sqlite3
  // shell) during every write; with the WAL they read on while the server
  // writes. The -wal and -shm files beside the database are part of it
  // while the server runs; Close folds the log back into the database file.
  {
    CDbStatement stmt;
    int rc = stmt.Prepare(db, "PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK) {
      rc = stmt.Step();
      // The answer names the mode in force; a file system without shared
      // memory keeps the rollback journal, which FULL makes equally safe.
      if (rc == SQLITE_ROW || rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    note(rc);
  }
  note(sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr));
  // Checkpoints leave the committing thread (see CWalCheckpointer); the
  // hook replaces SQLite's own automatic checkpoint.
  if (sqlite3_db_readonly(db, "main") == 0) {
    m_Checkpointer = std::make_unique<CWalCheckpointer>(m_FileName);
    sqlite3_wal_hook(db, &CDbManager::OnWalCommit, this);
  }
  note(CreateMissingTables());
  if (first == SQLITE_OK) {
    for (const char* index : kIndexes) (void)sqlite3_exec(db, index, nullptr, nullptr, nullptr);
  }
  return first;
}

int CDbManager::CreateMissingTables() {
  sqlite3* db = m_Db.get();
  bool missing = false;
  for (const TableDefinition& table : kTables) {
    int rc = SQLITE_OK;
    const int exists = TableExists(db, table.name, rc);
    if (exists < 0) return rc;
    if (exists == 0) missing = true;
  }
  if (!missing) return SQLITE_OK;

  // All missing tables in one transaction, so that a kill in the middle
  // leaves either none or all of them.
  int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  for (const TableDefinition& table : kTables) {
    int existsRc = SQLITE_OK;
    const int exists = TableExists(db, table.name, existsRc);
    if (exists < 0) {
      rc = existsRc;
      break;
    }
    if (exists == 1) continue;  // a table the file already holds is used as it is
    rc = sqlite3_exec(db, table.create, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) break;
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return rc;
}

int32_t CDbManager::GetMaxValue(const std::string& table, const std::string& column) {
  Guard lock(m_Lock);
  char query[256] = {};
  snprintf(query, sizeof query, sql::kSelectMax, column.c_str(), table.c_str());
  int32_t result = 0;
  m_ErrMsg.clear();
  if (!m_Db) {
    m_Result = SQLITE_MISUSE;
    return 0;
  }
  char* error = nullptr;
  m_Result = sqlite3_exec(Connection(), query, OnMaxRow, &result, &error);
  if (error != nullptr) {
    m_ErrMsg = error;
    sqlite3_free(error);
  }
  return m_Result == SQLITE_OK ? result : 0;
}

int CDbManager::LoadGatewayRows(std::vector<CGatewayRow>& rows, int32_t& lastResult) {
  Guard lock(m_Lock);
  CDbStatement stmt;
  lastResult = stmt.Prepare(Connection(), sql::kSelectGateways);
  if (lastResult != SQLITE_OK) return 2;
  std::vector<CGatewayRow> read;
  const int rc = StepRows(stmt, [&read](sqlite3_stmt* s) {
    CGatewayRow row;
    ReadGatewayRow(s, row);
    read.push_back(row);
  });
  if (rc != SQLITE_DONE) {
    lastResult = rc;
    return 2;
  }
  rows.insert(rows.end(), read.begin(), read.end());
  return 0;
}

int CDbManager::InsertGatewayRow(CGatewayRow* row, int32_t& lastResult) {
  lastResult = 0;
  if (row == nullptr) return 3;
  Guard lock(m_Lock);
  const int result = ExecuteWrite(
      Connection(), sql::kInsertGateway, [row](CDbStatement& stmt) { BindGatewayRow(stmt, *row); }, lastResult);
  // The key of the row just inserted on this connection: exact even when
  // another process inserts into the table at the same time.
  if (result == 0) row->PKEY = static_cast<int32_t>(sqlite3_last_insert_rowid(Connection()));
  return result;
}

int CDbManager::UpdateGatewayRow(const CGatewayRow* row, int32_t& lastResult) {
  if (row == nullptr || row->PKEY == 0) return 3;
  Guard lock(m_Lock);
  return ExecuteWrite(
      Connection(), sql::kUpdateGateway,
      [row](CDbStatement& stmt) {
        BindGatewayRow(stmt, *row);
        stmt.BindInt(row->PKEY);
      },
      lastResult);
}

int CDbManager::DeleteGatewayRow(int32_t pkey, int32_t& lastResult) {
  Guard lock(m_Lock);
  return ExecuteWithKey(Connection(), sql::kDeleteGateway, pkey, lastResult);
}

int64_t CDbManager::DataVersion() {
  Guard lock(m_Lock);
  CDbStatement stmt;
  if (stmt.Prepare(Connection(), sql::kSelectDataVersion) != SQLITE_OK || stmt.Step() != SQLITE_ROW) return -1;
  return sqlite3_column_int64(stmt.Get(), 0);
}

int CDbManager::InsertLogRow(const CLog& record, int32_t& lastResult) {
  lastResult = 0;
  Guard lock(m_Lock);
  return ExecuteWrite(
      Connection(), sql::kInsertLog, [&record](CDbStatement& stmt) { BindLogRow(stmt, record); }, lastResult);
}

int CDbManager::ReadLogRows(int32_t devPkey, int32_t offset, std::vector<CLog>& rows, int32_t& lastResult) {
  char query[256] = {};
  if (devPkey != 0) {
    snprintf(query, sizeof query, sql::kSelectLogPageOfDevice, devPkey, kLogPageSize, offset);
  } else {
    snprintf(query, sizeof query, sql::kSelectLogPage, kLogPageSize, offset);
  }
  Guard lock(m_Lock);
  CDbStatement stmt;
  lastResult = stmt.Prepare(Connection(), query, false);  // text made per page
  if (lastResult != SQLITE_OK) return 2;
  std::vector<CLog> read;
  const int rc = StepRows(stmt, [&read](sqlite3_stmt* s) {
    CLog record;
    ReadLogRow(s, record);
    read.push_back(record);
  });
  if (rc != SQLITE_DONE) {
    lastResult = rc;
    return 2;
  }
  rows.insert(rows.end(), read.begin(), read.end());
  return 0;
}

int CDbManager::DeleteAllLogRows(int32_t& lastResult) {
  Guard lock(m_Lock);
  return ExecuteWrite(Connection(), sql::kDeleteAllLogs, nullptr, lastResult);
}

sqlite3* CDbManager::Connection() {
  Guard lock(m_Lock);
  if (m_BatchOpen && m_BatchOwner != std::this_thread::get_id()) EndBatchEarly();
  return m_Db.get();
}

void CDbManager::EndBatchEarly() {
  sqlite3* db = m_Db.get();
  m_BatchOpen = false;
  bool lost = db == nullptr || sqlite3_get_autocommit(db) != 0;  // rolled back by an error already
  if (!lost) {
    const int rc = Commit(db);
    lost = rc != SQLITE_OK;
    if (lost) {
      TraceLine("CDbManager::CommitBatch Error %d (%s), committing early\r\n", rc, sqlite3_errstr(rc));
      if (sqlite3_get_autocommit(db) == 0) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  m_EndedEarly[m_BatchOwner] = m_EndedEarly[m_BatchOwner] || lost;
}

bool CDbManager::BeginBatch() {
  Guard lock(m_Lock);
  sqlite3* db = Connection();  // another thread's batch is committed first
  if (db == nullptr) return false;
  if (sqlite3_get_autocommit(db) == 0) return true;
  const int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  m_BatchOpen = rc == SQLITE_OK;
  m_BatchOwner = std::this_thread::get_id();
  if (rc != SQLITE_OK) TraceLine("CDbManager::BeginBatch Error %d (%s)\r\n", rc, sqlite3_errstr(rc));
  return m_BatchOpen;
}

bool CDbManager::CommitBatch() {
  Guard lock(m_Lock);
  const std::thread::id self = std::this_thread::get_id();
  if (const auto early = m_EndedEarly.find(self); early != m_EndedEarly.end()) {
    const bool lost = early->second;
    m_EndedEarly.erase(early);
    // This thread may have opened a new batch since; it is committed below.
    if (lost) {
      TraceLine("CDbManager::CommitBatch Error: the batch was lost when committed early\r\n");
      if (!(m_BatchOpen && m_BatchOwner == self)) return false;
      (void)CommitOwnBatch();
      return false;
    }
  }
  if (m_BatchOpen && m_BatchOwner != self) return true;  // another thread's batch: not ours to commit
  return CommitOwnBatch();
}

bool CDbManager::CommitOwnBatch() {
  sqlite3* db = m_Db.get();
  const bool opened = std::exchange(m_BatchOpen, false);
  if (db == nullptr || sqlite3_get_autocommit(db) != 0) {
    // An error such as a full disk may already have rolled the batch back.
    if (opened) TraceLine("CDbManager::CommitBatch Error: the batch was rolled back\r\n");
    return !opened;
  }
  const int rc = Commit(db);
  if (rc == SQLITE_OK) return true;
  TraceLine("CDbManager::CommitBatch Error %d (%s)\r\n", rc, sqlite3_errstr(rc));
  if (sqlite3_get_autocommit(db) == 0) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

int CDbManager::Commit(sqlite3* db) {
  const auto start = std::chrono::steady_clock::now();
  const int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  m_CommitLatency.Add(static_cast<uint64_t>(took.count()));
  m_LastCommitResult = rc;
  if (rc != SQLITE_OK) ++m_CommitFailures;
  return rc;
}

std::string CDbManager::WriteProblem() {
  // The server's own statements hold the lock while they wait for another
  // program's; the check must not wait behind them for their busy timeout.
  std::unique_lock<std::recursive_mutex> lock(m_Lock, std::defer_lock);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeTimeoutMs);
  while (!lock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return Format("the database is busy: a write has waited more than %d ms", kProbeTimeoutMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  sqlite3* db = m_Db.get();
  if (db == nullptr) return "the database is not open";
  if (const int last = m_LastCommitResult.load(); last != SQLITE_OK)
    return std::string("the last commit failed: ") + sqlite3_errstr(last);
  // An open batch already holds the write lock: nothing to wait for.
  if (sqlite3_get_autocommit(db) == 0) return {};
  const int rc = ProbeWriteLock(db);
  if (rc == SQLITE_OK) return {};
  if (rc == SQLITE_BUSY) return "the database is locked by another program";
  return std::string("the database cannot be written: ") + sqlite3_errstr(rc);
}

int CDbManager::ProbeWriteLock(sqlite3* db) {
  sqlite3_busy_timeout(db, kProbeTimeoutMs);
  int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return rc;
}

CDbManager::Savepoint::Savepoint(CDbManager& db) : m_Db(db.Connection()) {
  const int rc = m_Db != nullptr ? sqlite3_exec(m_Db, "SAVEPOINT step", nullptr, nullptr, nullptr) : SQLITE_MISUSE;
  m_Open = rc == SQLITE_OK;
  if (!m_Open) TraceLine("CDbManager::Savepoint Error %d (%s)\r\n", rc, sqlite3_errstr(rc));
}

CDbManager::Savepoint::~Savepoint() {
  if (!m_Open) return;
  // Fails harmlessly when an error has rolled the whole transaction back.
  sqlite3_exec(m_Db, "ROLLBACK TO step", nullptr, nullptr, nullptr);
  sqlite3_exec(m_Db, "RELEASE step", nullptr, nullptr, nullptr);
}

void CDbManager::Savepoint::Keep() {
  if (m_Open) sqlite3_exec(m_Db, "RELEASE step", nullptr, nullptr, nullptr);
  m_Open = false;
}

bool CDbManager::InBatch() {
  Guard lock(m_Lock);
  return m_Db != nullptr && sqlite3_get_autocommit(m_Db.get()) == 0;
}

}  // namespace quorvex
