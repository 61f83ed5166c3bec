// The database manager: owns the one connection to the SQLite file
// "LoRaDB_V001.db" in the data directory and the lock (`m_Lock`, recursive)
// under which every statement of the program runs. It creates the six
// tables when the file lacks them, and runs the statements of the tables
// whose owner is not a persistence class: the gateways (GATETBL, for the
// gateway registry) and the packet log (LOGTBL, for the log manager).
//
// Table operations answer 0 for success, 2 when their statement failed to
// prepare or did not complete, 3 for an argument refused before any
// statement ran. The owner's last result receives SQLite's code of the
// latest prepare or step.
//
// Lock order: the database lock is the innermost lock of the program; a
// thread may hold its own manager's lock and then take this one, never the
// reverse. An owner that must change its own list together with a statement
// holds Mutex() across both (the lock is recursive).
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "persistence/GatewayRow.h"
#include "persistence/Log.h"
#include "runtime/BaseThread.h"
#include "util/LatencyHistogram.h"

struct sqlite3;

namespace quorvex {

class CWalCheckpointer;

class CDbManager : public CBaseMgr {
 public:
  static constexpr const char* kFileName = "LoRaDB_V001.db";
  // How long a statement waits for another connection (such as the sqlite3
  // shell) to release the file before it fails as busy.
  static constexpr int kBusyTimeoutMs = 5000;
  // Records per log page.
  static constexpr int kLogPageSize = 100;
  // Pages (4 KiB) by which the write-ahead log grows before a checkpoint is
  // started in the background, and its size at which a commit checkpoints by
  // itself so that the log can start afresh. The background steps are small
  // because a checkpoint's flush to disk holds up the receive thread's own
  // writes to the log for as long as it takes, and that grows with what it
  // copies: steps of 2,000 pages gave 15-18 ms waits at 5,000 uplinks/s,
  // steps of 250 pages 5-12 ms.
  static constexpr int kCheckpointPages = 250;
  static constexpr int kInlineCheckpointPages = 24000;

  CDbManager();
  // Closes the connection.
  ~CDbManager() override;

  // Start-up open of m_FileName (relative names resolve against the current
  // directory, which start-up sets to the data directory). Does nothing when
  // the open step has already run. Sets m_Opened to 1 whatever happens.
  // On success the connection is set up (journal, durability, busy timeout)
  // and the six tables are created if the file lacks them; a file that
  // holds them is used as it is. m_Result: 0 when all went well, else the
  // SQLite code of the failing step (a connection that could not be opened
  // is dropped; after a failing set-up it is kept and its statements fail
  // on their own).
  void Open();
  // Open of `location`: a directory (the file kFileName inside it) or the
  // path of the file itself; m_FileName becomes the path used.
  void Open(const std::string& location);
  // Closes the connection; m_Opened and m_Result become 0. Statements tried
  // afterwards are refused (SQLITE_MISUSE) and their operations answer 2.
  void Close();
  // True while a connection is held.
  bool IsOpen();
  // Whether the server can work with the file: open, a database whose
  // tables could be set up, readable, and writable (a write transaction can
  // be begun). false with the operator's explanation in `reason` otherwise
  // (not a database, damaged, read-only, locked, not open).
  bool CheckUsable(std::string& reason);

  // The connection, null when none. Use only while holding Mutex().
  // Commits another thread's open batch first (see BeginBatch).
  sqlite3* Connection();

  // The file's data version as this connection sees it: it changes when
  // another connection (another program: the sqlite3 shell, an admin tool)
  // has committed since the last reading, never through this connection's own
  // writes. -1 when it cannot be read. Takes the lock itself.
  int64_t DataVersion();

  // Largest value of `column` in `table` ("SELECT MAX(%s) FROM %s "): 0 when
  // the table is empty or the query fails. Sets m_Result to the query's
  // code and m_ErrMsg to its error text (empty on success). Takes the lock
  // itself, so it is safe from any thread and inside a held lock.
  int32_t GetMaxValue(const std::string& table, const std::string& column);

  // GATETBL. Rows are appended to `rows` (not cleared) only when every row
  // was read; a failed read appends nothing and answers 2.
  int LoadGatewayRows(std::vector<CGatewayRow>& rows, int32_t& lastResult);
  // Inserts ACTIVE, ID, IP; on success `row->PKEY` becomes the new key.
  // 3 for a null row (lastResult then 0).
  int InsertGatewayRow(CGatewayRow* row, int32_t& lastResult);
  // Rewrites ACTIVE, ID, IP of the row with `row->PKEY`. 3 for a null row
  // or PKEY 0.
  int UpdateGatewayRow(const CGatewayRow* row, int32_t& lastResult);
  int DeleteGatewayRow(int32_t pkey, int32_t& lastResult);

  // LOGTBL. Stores the record; the assigned key is not read back.
  int InsertLogRow(const CLog& record, int32_t& lastResult);
  // One page of at most kLogPageSize stored records with TYPE > 0, newest
  // first, skipping `offset` records: of device `devPkey`, or of every device
  // when `devPkey` is 0. Appended to `rows` only when the page was read
  // whole; 0, or 2 (nothing appended).
  int ReadLogRows(int32_t devPkey, int32_t offset, std::vector<CLog>& rows, int32_t& lastResult);
  int DeleteAllLogRows(int32_t& lastResult);

  // Group commit. A commit costs file locks and an append to the write-ahead
  // log; one per statement would cap the uplinks a second far below what a
  // network sends. So the receive thread opens a batch before the writes of
  // an uplink and commits it once the socket has nothing more queued, or
  // after a bounded number of datagrams under sustained load. A process
  // killed with a batch open loses that batch whole and nothing else: the
  // file stays consistent.
  //
  // A batch belongs to the thread that opened it. A statement of any other
  // thread first commits it (Connection() does), so that the statement runs
  // on its own and its result is true: a batch that is lost later can take
  // back only its owner's writes, never what another thread was told had
  // succeeded. The owner learns at its CommitBatch whether its batch
  // reached the file.
  //
  // Opens a batch for this thread (BEGIN IMMEDIATE, so a competing writer
  // connection waits for the busy timeout instead of failing the batch
  // later); another thread's open batch is committed first. Does nothing when
  // this thread's batch is open. A failed open leaves the statements
  // committing one by one, with a trace line. True when a batch is open.
  bool BeginBatch();
  // Commits this thread's batch: every statement run in it survives a kill
  // of the process afterwards. A frame that depends on a write (a downlink
  // counter) must go out only after this, and only when it answers true.
  // False, with a trace line, when the batch is lost: its commit failed (the
  // batch is rolled back), an error such as a full disk had rolled it back
  // already, or another thread's statement committed it early and that
  // commit failed. True when it was committed (by this call or early) or
  // none was open. Another thread's open batch is left alone.
  bool CommitBatch();
  // True while a batch is open.
  bool InBatch();

  // How long group commits took (failed ones included), and how many failed.
  const CLatencyHistogram& CommitLatency() const { return m_CommitLatency; }
  uint64_t CommitFailures() const { return m_CommitFailures.load(); }

  // Whether the server can store what it receives: empty when it can, else
  // the reason ("the database is not open", "the last commit failed: ...",
  // "the database is locked by another program", "the database is busy:
  // ..." when a statement of the server has held Mutex() for longer than
  // kProbeTimeoutMs). Takes the write lock for a moment (BEGIN IMMEDIATE,
  // ROLLBACK) unless a batch already holds it, waiting at most
  // kProbeTimeoutMs for another program's lock, and so at most about twice
  // that in all.
  static constexpr int kProbeTimeoutMs = 250;
  std::string WriteProblem();

  // A savepoint in the open transaction: the statements run while it lives
  // are kept by Keep() and undone when it ends without, so that one step of
  // a batch (the writes of one frame) is stored whole or not at all. Hold
  // Mutex() for its whole life. Open() is false, with a trace line, when it
  // could not be made; it then keeps and undoes nothing.
  class Savepoint {
   public:
    explicit Savepoint(CDbManager& db);
    ~Savepoint();
    Savepoint(const Savepoint&) = delete;
    Savepoint& operator=(const Savepoint&) = delete;
    bool Open() const { return m_Open; }
    void Keep();

   private:
    sqlite3* m_Db;
    bool m_Open = false;
  };

  // 1 once the start-up open step has run; 0 again after Close.
  int32_t m_Opened = 0;
  // SQLite code of the last open or GetMaxValue.
  int32_t m_Result = 0;
  // Path of the database file.
  std::string m_FileName = kFileName;
  // Error text of the latest failed GetMaxValue; empty otherwise.
  std::string m_ErrMsg;

 private:
  struct ConnectionCloser {
    void operator()(sqlite3* db) const;
  };
  // Journal, durability and busy settings, then the tables. SQLite's code of
  // the first failing step, 0 when all succeeded.
  int SetUpConnection();
  int CreateMissingTables();

  // Called by SQLite after each commit with the pages in the write-ahead
  // log: hands the checkpoint to m_Checkpointer.
  static int OnWalCommit(void* self, sqlite3* db, const char* schema, int pages);

  // Commits the open batch for whoever runs next; a failed commit is
  // recorded as lost for its owner. Call with m_Lock held.
  void EndBatchEarly();
  // Commits this thread's open batch (or finds it rolled back); see
  // CommitBatch. Call with m_Lock held.
  bool CommitOwnBatch();
  // COMMIT on `db`, timed into m_CommitLatency; SQLite's code.
  int Commit(sqlite3* db);
  // BEGIN IMMEDIATE and ROLLBACK within kProbeTimeoutMs; SQLite's code.
  int ProbeWriteLock(sqlite3* db);

  std::unique_ptr<sqlite3, ConnectionCloser> m_Db;
  // A batch was opened and has not been committed since, and the thread it
  // belongs to. Under m_Lock.
  bool m_BatchOpen = false;
  std::thread::id m_BatchOwner;
  // Owners whose batch another thread committed early: true when that
  // commit failed (the batch is lost). Read and cleared by the owner's
  // CommitBatch. Under m_Lock.
  std::map<std::thread::id, bool> m_EndedEarly;
  // Folds the write-ahead log back into the file on a thread of its own.
  std::unique_ptr<CWalCheckpointer> m_Checkpointer;
  CLatencyHistogram m_CommitLatency;
  std::atomic<uint64_t> m_CommitFailures{0};
  // Code of the latest commit's failure, SQLITE_OK after a good one.
  std::atomic<int> m_LastCommitResult{0};
};

}  // namespace quorvex
