// The database manager: opening and creating the file, the largest-value
// query, behaviour without a usable connection, sharing the file with
// another connection, and surviving a process killed while writing.
#include "persistence/DbManager.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "persistence/AppList.h"
#include "persistence/DLinkList.h"
#include "persistence/DeviceManager.h"
#include "persistence/DbFixture.h"
#include "support/Wait.h"
#include "persistence/DbStatement.h"
#include "support/TraceCapture.h"

namespace quorvex {
namespace {

using test::DbTest;
using test::RawDb;

TEST_F(DbTest, FreshFileGetsEmptyTablesThatEveryLoadReads) {
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Column("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"),
            (std::vector<std::string>{"APPTBL", "DEVTBL", "DLINKTBL", "GATETBL", "LOGTBL", "NONCETBL"}));
  EXPECT_EQ(raw.Column("SELECT name FROM sqlite_master WHERE type='index' ORDER BY name"),
            (std::vector<std::string>{"DEVTBL_DEVADDR", "DEVTBL_DEVEUI", "DLINKTBL_DEVPKEY", "DLINKTBL_PENDING",
                                      "sqlite_autoindex_NONCETBL_1"}));
  EXPECT_EQ(raw.Scalar("PRAGMA journal_mode"), "wal");

  CAppList apps(db);
  CDeviceManager devices(db);
  CDLinkList downlinks(db);
  std::vector<CGatewayRow> gateways;
  std::vector<CLog> logs;
  int32_t gateResult = -1, logResult = -1;
  EXPECT_EQ(apps.LoadApplications(), 0);
  EXPECT_EQ(devices.LoadDevices(1), 0);
  EXPECT_EQ(downlinks.LoadDownlinks(1, false), 0);
  EXPECT_EQ(db.LoadGatewayRows(gateways, gateResult), 0);
  EXPECT_EQ(db.ReadLogRows(0, 0, logs, logResult), 0);
  EXPECT_TRUE(apps.m_List.empty() && devices.m_Devices.empty() && downlinks.m_List.empty());
  EXPECT_TRUE(gateways.empty() && logs.empty());

  EXPECT_EQ(db.GetMaxValue("DEVTBL", "DEVADDR"), 0);
  EXPECT_EQ(db.m_Result, 0);
  EXPECT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 0);
  EXPECT_EQ(apps.m_List.back()->PKEY, 1);
  EXPECT_EQ(db.GetMaxValue("APPTBL", "PKEY"), 1);
}

TEST(DbManagerOpen, FileThatHoldsTablesIsUsedAsItIsAndMissingOnesAreAdded) {
  test::TempDir dir;
  const std::string path = dir.File(CDbManager::kFileName);
  std::vector<std::string> before;
  {
    // A file made elsewhere: its own declared types, an extra column, a row,
    // no indexes, and only two of the five tables.
    RawDb raw(path);
    ASSERT_EQ(raw.Exec("CREATE TABLE APPTBL (PKEY INTEGER PRIMARY KEY, ACTIVATION INT, CLASS INT, ADR INT, "
                       "CHMASK INT, APPEUI BLOB, RX2CHAN INT, RX2SF INT, RX2BW INT, APPURL VARCHAR(50), "
                       "APPPARM VARCHAR(50), MEMO VARCHAR(50), EXTRA TEXT);"
                       "CREATE TABLE GATETBL (PKEY INTEGER PRIMARY KEY, ACTIVE INT, ID TEXT, IP TEXT);"
                       "INSERT INTO APPTBL (PKEY, CLASS, MEMO, EXTRA) VALUES (7, 1, 'kept', 'x');"),
              SQLITE_OK);
    before = raw.Column("SELECT sql FROM sqlite_master WHERE name IN ('APPTBL','GATETBL') ORDER BY name");
  }
  CDbManager db;
  db.Open(path);  // the file's own path this time
  ASSERT_TRUE(db.IsOpen());
  EXPECT_EQ(db.m_Result, 0);
  EXPECT_EQ(db.m_FileName, path);

  RawDb raw(path);
  EXPECT_EQ(raw.Column("SELECT sql FROM sqlite_master WHERE name IN ('APPTBL','GATETBL') ORDER BY name"), before);
  EXPECT_EQ(raw.Column("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"),
            (std::vector<std::string>{"APPTBL", "DEVTBL", "DLINKTBL", "GATETBL", "LOGTBL", "NONCETBL"}));
  CAppList apps(db);
  ASSERT_EQ(apps.LoadApplications(), 0);
  ASSERT_EQ(apps.m_List.size(), 1u);
  EXPECT_EQ(apps.m_List[0]->PKEY, 7);
  EXPECT_EQ(apps.m_List[0]->CLASS, 1);
  EXPECT_STREQ(apps.m_List[0]->MEMO, "kept");
  EXPECT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 0);
  EXPECT_EQ(apps.m_List.back()->PKEY, 8);  // one more than the largest key
}

// A file whose tables were made without our indexes gets those it can hold;
// one whose column is missing is still opened and used.
TEST(DbManagerOpen, IndexesAreAddedToAFileThatLacksThemWhereTheColumnsAllow) {
  test::TempDir dir;
  const std::string path = dir.File(CDbManager::kFileName);
  {
    RawDb raw(path);
    ASSERT_EQ(raw.Exec("CREATE TABLE APPTBL (PKEY INTEGER PRIMARY KEY, MEMO TEXT);"
                       "CREATE TABLE DEVTBL (PKEY INTEGER PRIMARY KEY, DEVEUI BLOB, MEMO TEXT);"
                       "CREATE TABLE DLINKTBL (PKEY INTEGER PRIMARY KEY, DEVPKEY INTEGER, PORT INTEGER, "
                       "CONFIRMED INTEGER, CHANNEL INTEGER, MAC TEXT, APP TEXT, TIME TEXT, TXDONE INTEGER);"
                       "CREATE TABLE GATETBL (PKEY INTEGER PRIMARY KEY, ACTIVE INT, ID TEXT, IP TEXT);"
                       "CREATE TABLE LOGTBL (PKEY INTEGER PRIMARY KEY, DEVPKEY INTEGER);"),
              SQLITE_OK);
  }
  CDbManager db;
  db.Open(path);
  ASSERT_TRUE(db.IsOpen());
  EXPECT_EQ(db.m_Result, 0);
  RawDb raw(path);
  EXPECT_EQ(raw.Column("SELECT name FROM sqlite_master WHERE type='index' ORDER BY name"),
            (std::vector<std::string>{"DEVTBL_DEVEUI", "DLINKTBL_DEVPKEY", "DLINKTBL_PENDING",
                                      "sqlite_autoindex_NONCETBL_1"}));
}

TEST(DbManagerOpen, OpensOnceAndReopensOnlyAfterClose) {
  test::TempDir first, second;
  CDbManager db;
  db.Open(first.Path().string());
  EXPECT_EQ(db.m_Opened, 1);
  db.Open(second.Path().string());  // the open step has run: nothing happens
  EXPECT_EQ(db.m_FileName, first.File(CDbManager::kFileName));
  db.Close();
  EXPECT_EQ(db.m_Opened, 0);
  EXPECT_FALSE(db.IsOpen());
  db.Open(second.Path().string());
  EXPECT_TRUE(db.IsOpen());
  EXPECT_EQ(db.m_FileName, second.File(CDbManager::kFileName));
}

TEST(DbManagerOpen, DefaultOpenUsesTheFileNameInTheCurrentDirectory) {
  test::TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  {
    CDbManager db;
    db.Open();
    EXPECT_TRUE(db.IsOpen());
  }
  std::filesystem::current_path(previous);
  EXPECT_TRUE(std::filesystem::exists(dir.File(CDbManager::kFileName)));
}

// Without a usable connection every operation answers 2 with the library's
// code in its owner's last result, and inserts still keep their records.
TEST(DbManagerOpen, StatementsWithoutAConnectionFailWithoutHarm) {
  test::TempDir dir;
  CDbManager never;  // never opened
  CDbManager closed;
  closed.Open(dir.Path().string());
  closed.Close();
  CDbManager garbage;  // a file that is not a database: never overwritten
  const std::string junkPath = dir.File("junk.db");
  const std::string junk(4096, 'J');
  std::ofstream(junkPath, std::ios::binary) << junk;
  garbage.Open(junkPath);
  EXPECT_EQ(garbage.m_Opened, 1);
  EXPECT_EQ(garbage.m_Result, SQLITE_NOTADB);

  for (CDbManager* db : {&never, &closed, &garbage}) {
    CAppList apps(*db);
    EXPECT_EQ(apps.LoadApplications(), 2);
    EXPECT_NE(apps.m_Result, 0);
    EXPECT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 2);
    ASSERT_EQ(apps.m_List.size(), 1u);
    EXPECT_EQ(apps.m_List[0]->PKEY, -1);

    CDeviceManager devices(*db);
    EXPECT_EQ(devices.GetDeviceByPkey(1), nullptr);
    EXPECT_NE(devices.m_Result, 0);
    CDLinkList downlinks(*db);
    EXPECT_EQ(downlinks.DeleteDownlinksOfDevice(1), 2);
    int32_t result = 0;
    EXPECT_EQ(db->InsertLogRow(CLog{}, result), 2);
    EXPECT_NE(result, 0);
    EXPECT_EQ(db->GetMaxValue("APPTBL", "PKEY"), 0);
  }
  CDeviceManager unbound;
  EXPECT_EQ(unbound.LoadDevices(1), 2);
  EXPECT_EQ(unbound.m_Result, SQLITE_MISUSE);
  test::TempDir other;
  CDbManager opened;
  opened.Open(other.Path().string());
  unbound.Attach(&opened);
  EXPECT_EQ(unbound.LoadDevices(1), 0);

  std::ifstream in(junkPath, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), junk);
}

TEST_F(DbTest, GetMaxValueReportsFailuresAsZeroWithTheirText) {
  RawDb raw(DbPath());
  ASSERT_EQ(raw.Exec("INSERT INTO DEVTBL (DEVADDR) VALUES (5), (-9), (41), (NULL);"), SQLITE_OK);
  EXPECT_EQ(db.GetMaxValue("DEVTBL", "DEVADDR"), 41);
  EXPECT_EQ(db.GetMaxValue("NOSUCHTBL", "PKEY"), 0);
  EXPECT_NE(db.m_Result, 0);
  EXPECT_NE(db.m_ErrMsg.find("NOSUCHTBL"), std::string::npos);
  EXPECT_EQ(db.GetMaxValue("DEVTBL", "PKEY"), 4);
  EXPECT_EQ(db.m_Result, 0);
  EXPECT_TRUE(db.m_ErrMsg.empty());
}

// Another connection holding the write lock for a moment delays a statement
// instead of failing it, and never blocks reads.
TEST_F(DbTest, AnotherConnectionsWriteLockIsWaitedFor) {
  CAppList apps(db);
  RawDb other(DbPath());
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE; INSERT INTO APPTBL (MEMO) VALUES ('other');"), SQLITE_OK);

  EXPECT_EQ(apps.LoadApplications(), 0);  // a reader goes on meanwhile
  std::atomic<bool> started{false};
  int result = -1;
  std::thread writer([&] {
    auto app = std::make_unique<CApplication>();
    SetField(app->MEMO, "ours");
    started = true;
    result = apps.InsertApplication(std::move(app));
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the insert meet the lock
  ASSERT_EQ(other.Exec("COMMIT"), SQLITE_OK);
  writer.join();

  EXPECT_EQ(result, 0);
  EXPECT_EQ(apps.m_List.back()->PKEY, 2);
  EXPECT_EQ(other.Column("SELECT MEMO FROM APPTBL ORDER BY PKEY"), (std::vector<std::string>{"other", "ours"}));
}

// Statements are prepared once per connection and reused; the same text
// used again while it is in use (a nested operation) gets a statement of
// its own; closing forgets them, and a reopened connection prepares afresh.
TEST_F(DbTest, StatementsAreKeptPerConnectionAndReused) {
  CAppList apps(db);
  ASSERT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 0);
  ASSERT_EQ(apps.LoadApplications(), 0);
  const size_t kept = CachedStatementCount(db.Connection());
  EXPECT_GT(kept, 0u);
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 0);
    ASSERT_EQ(apps.LoadApplications(), 0);
  }
  EXPECT_EQ(CachedStatementCount(db.Connection()), kept);
  apps.m_List.clear();
  ASSERT_EQ(apps.LoadApplications(), 0);
  EXPECT_EQ(apps.m_List.size(), 51u);

  {
    std::lock_guard<std::recursive_mutex> lock(db.Mutex());
    CDbStatement outer;
    ASSERT_EQ(outer.Prepare(db.Connection(), "SELECT PKEY FROM APPTBL ORDER BY PKEY"), SQLITE_OK);
    ASSERT_EQ(outer.Step(), SQLITE_ROW);
    CDbStatement inner;
    ASSERT_EQ(inner.Prepare(db.Connection(), "SELECT PKEY FROM APPTBL ORDER BY PKEY"), SQLITE_OK);
    EXPECT_NE(inner.Get(), outer.Get());
    ASSERT_EQ(inner.Step(), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(inner.Get(), 0), 1);
    ASSERT_EQ(outer.Step(), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(outer.Get(), 0), 2);  // the outer walk was not disturbed
  }
  sqlite3* before = db.Connection();
  db.Close();
  EXPECT_EQ(CachedStatementCount(before), 0u);
  db.Open(dir.Path().string());
  apps.m_List.clear();
  ASSERT_EQ(apps.LoadApplications(), 0);
  EXPECT_EQ(apps.m_List.size(), 51u);
}

// Group commit: writes of an open batch reach other connections only when
// it is committed; a statement of another thread commits the batch first and
// runs on its own; a close commits it.
TEST_F(DbTest, BatchIsSeenByOthersOnlyOnceCommitted) {
  CAppList apps(db);
  RawDb other(DbPath());
  EXPECT_TRUE(db.BeginBatch());
  EXPECT_TRUE(db.InBatch());
  ASSERT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 0);
  EXPECT_TRUE(db.BeginBatch());  // already open: nothing changes
  EXPECT_EQ(other.Scalar("SELECT COUNT(*) FROM APPTBL"), "0");
  EXPECT_TRUE(db.CommitBatch());
  EXPECT_FALSE(db.InBatch());
  EXPECT_EQ(other.Scalar("SELECT COUNT(*) FROM APPTBL"), "1");
  EXPECT_TRUE(db.CommitBatch());  // nothing open: harmless

  EXPECT_TRUE(db.BeginBatch());
  ASSERT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 0);
  std::thread([&] {
    EXPECT_TRUE(db.CommitBatch());  // this thread has none; the other's is left alone...
    EXPECT_TRUE(db.InBatch());
  }).join();
  std::thread([&] { EXPECT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 0); }).join();
  EXPECT_FALSE(db.InBatch());  // ...but its statement committed it first
  EXPECT_EQ(other.Scalar("SELECT COUNT(*) FROM APPTBL"), "3");
  EXPECT_TRUE(db.CommitBatch());  // committed early, and successfully

  db.BeginBatch();
  ASSERT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 0);
  db.Close();
  EXPECT_EQ(other.Scalar("SELECT COUNT(*) FROM APPTBL"), "4");
}

// A batch that cannot be committed takes back only its owner's writes: a
// statement another thread ran meanwhile (a forwarding worker queuing a
// downlink, say) was told it succeeded, and stays. The owner hears of the
// loss at its own CommitBatch.
TEST_F(DbTest, ALostBatchNeverTakesBackAnotherThreadsWrites) {
  CAppList apps(db);
  RawDb other(DbPath());
  static std::atomic<int> failCommits{0};
  failCommits = 0;
  sqlite3_commit_hook(db.Connection(), [](void*) { return failCommits.exchange(0); }, nullptr);
  struct Case {
    const char* what;
    bool failEarlyCommit;  // the commit another thread's statement makes fails
    bool failOwnCommit;    // the owner's own commit fails
    const char* ownerRows;   // of the owner's rows, which reached the file
    bool ownerCommitTrue;
  };
  const Case cases[] = {
      {"all commits succeed", false, false, "2", true},
      {"the early commit fails", true, false, "1", false},
      {"the owner's commit fails", false, true, "1", false},
  };
  int memo = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(other.Exec("DELETE FROM APPTBL"), 0);
    auto ownerRow = [&] {
      auto app = std::make_unique<CApplication>();
      snprintf(app->MEMO, sizeof app->MEMO, "owner %d", ++memo);
      return apps.InsertApplication(std::move(app));
    };
    ASSERT_TRUE(db.BeginBatch());
    ASSERT_EQ(ownerRow(), 0);
    failCommits = c.failEarlyCommit ? 1 : 0;
    std::thread([&] {
      auto app = std::make_unique<CApplication>();
      snprintf(app->MEMO, sizeof app->MEMO, "worker");
      EXPECT_EQ(apps.InsertApplication(std::move(app)), 0);
    }).join();
    ASSERT_TRUE(db.BeginBatch());  // the owner goes on with a batch of its own
    ASSERT_EQ(ownerRow(), 0);
    failCommits = c.failOwnCommit ? 1 : 0;
    EXPECT_EQ(db.CommitBatch(), c.ownerCommitTrue);
    EXPECT_EQ(other.Scalar("SELECT COUNT(*) FROM APPTBL WHERE MEMO='worker'"), "1");
    EXPECT_EQ(other.Scalar("SELECT COUNT(*) FROM APPTBL WHERE MEMO LIKE 'owner%'"), c.ownerRows);
  }
  sqlite3_commit_hook(db.Connection(), nullptr, nullptr);
}

// A frame may leave only when its batch is on file, so the batch tells its
// outcome: true when it was committed (or none was open), false, with a
// trace line, when its commit failed or an error had rolled it back already.
// A savepoint keeps or undoes its own step of the batch alone. Every failed write
// leaves a trace line naming the statement.
TEST_F(DbTest, ABatchTellsWhetherItIsOnFile) {
  CAppList apps(db);
  RawDb other(DbPath());
  auto onConnection = [&](const char* sql) {
    std::lock_guard<std::recursive_mutex> lock(db.Mutex());
    return sqlite3_exec(db.Connection(), sql, nullptr, nullptr, nullptr);
  };
  const struct {
    const char* what;
    std::function<void()> inject, lift;
    bool onFile;
    const char* trace;
  } cases[] = {
      {"committed", [] {}, [] {}, true, ""},
      {"the commit fails",
       [&] { sqlite3_commit_hook(db.Connection(), [](void*) { return 1; }, nullptr); },
       [&] { sqlite3_commit_hook(db.Connection(), nullptr, nullptr); }, false,
       "CDbManager::CommitBatch Error 19 (constraint failed)"},
      {"an error rolled the batch back",
       [&] {
         onConnection("CREATE TEMP TRIGGER undo BEFORE INSERT ON main.APPTBL BEGIN SELECT RAISE(ROLLBACK, 'x'); END");
       },
       [&] { onConnection("DROP TRIGGER temp.undo"); }, false, "CDbManager::CommitBatch Error: the batch was rolled back"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string before = other.Scalar("SELECT COUNT(*) FROM APPTBL");
    test::TraceCapture trace;
    ASSERT_TRUE(db.BeginBatch());
    c.inject();
    (void)apps.InsertApplication(std::make_unique<CApplication>());
    EXPECT_EQ(db.CommitBatch(), c.onFile);
    c.lift();
    EXPECT_EQ(other.Scalar("SELECT COUNT(*) FROM APPTBL") != before, c.onFile);
    if (c.trace[0] != 0) {
      EXPECT_TRUE(trace.Saw(c.trace));
    }
  }
  EXPECT_TRUE(db.CommitBatch());  // none open

  // A refused write is traced; a savepoint undoes its own step only.
  test::TraceCapture trace;
  ASSERT_EQ(onConnection("PRAGMA query_only=1"), SQLITE_OK);
  EXPECT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 2);
  EXPECT_TRUE(trace.Saw("DB write failed, error 8 (attempt to write a readonly database): INSERT INTO APPTBL"));
  ASSERT_EQ(onConnection("PRAGMA query_only=0"), SQLITE_OK);
  const std::string before = other.Scalar("SELECT COUNT(*) FROM APPTBL");
  {
    std::lock_guard<std::recursive_mutex> lock(db.Mutex());
    ASSERT_TRUE(db.BeginBatch());
    {
      CDbManager::Savepoint kept(db);
      ASSERT_TRUE(kept.Open());
      ASSERT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 0);
      kept.Keep();
    }
    {
      CDbManager::Savepoint undone(db);
      ASSERT_EQ(apps.InsertApplication(std::make_unique<CApplication>()), 0);
    }
    EXPECT_TRUE(db.CommitBatch());
  }
  EXPECT_EQ(other.Scalar("SELECT COUNT(*) FROM APPTBL"), std::to_string(std::stoi(before) + 1));
}

// Checkpoints run in the background: once the server's commits pause, what
// they wrote is copied from the write-ahead log into the database file
// itself while the connection stays open.
TEST_F(DbTest, PausedCommitsAreCheckpointedIntoTheFileInTheBackground) {
  const auto fileSize = [&] { return std::filesystem::file_size(DbPath()); };
  const auto before = fileSize();
  CDeviceManager devices(db);
  db.BeginBatch();
  for (int i = 0; i < 2000; ++i) {
    auto device = std::make_unique<CDevice>();
    device->DEVADDR = 0x01000000u + static_cast<uint32_t>(i);
    ASSERT_EQ(devices.InsertDevice(std::move(device)), 0);
  }
  db.CommitBatch();
  EXPECT_TRUE(test::WaitUntil([&] { return fileSize() > before + 64 * 1024; }))
      << "the database file stayed at " << fileSize() << " bytes";
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM DEVTBL"), "2000");
}

}  // namespace
}  // namespace quorvex

// The durability test forks its writer while other threads of this process
// may live on (the trace's writer thread, started by any test that traced a
// failed write). The child only opens its own database and writes to it, so
// ThreadSanitizer is told to let it start threads instead of ending it.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUORVEX_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(QUORVEX_THREAD_SANITIZER)
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace quorvex {
namespace {

// A child process inserting devices as fast as it can, one commit per
// insert or in batches, is killed with SIGKILL mid-way: the file stays
// sound and holds every insert that the child saw committed.
class DbManagerDurability : public ::testing::TestWithParam<int> {};

TEST_P(DbManagerDurability, KilledWriterLosesNoCompletedInsertAndLeavesASoundFile) {
  const int batch = GetParam();  // inserts per commit; 0: no batch
  test::TempDir dir;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(fds[0]);
    CDbManager db;
    db.Open(dir.Path().string());
    CDeviceManager devices(db);
    std::vector<int32_t> pending;
    for (uint32_t i = 1; i <= 200000; ++i) {
      if (batch > 0) db.BeginBatch();
      auto device = std::make_unique<CDevice>();
      device->DEVADDR = 0x80000000u + i;
      device->RXTICK = int64_t(i) << 33;
      if (devices.InsertDevice(std::move(device)) != 0) _exit(3);
      pending.push_back(devices.m_Devices.back()->PKEY);
      devices.m_Devices.clear();
      if (batch > 0 && pending.size() < static_cast<size_t>(batch)) continue;
      db.CommitBatch();
      for (const int32_t key : pending)
        if (write(fds[1], &key, sizeof key) != sizeof key) _exit(4);
      pending.clear();
    }
    _exit(0);
  }
  close(fds[1]);
  std::vector<int32_t> done;
  int32_t key = 0;
  while (done.size() < 300 && read(fds[0], &key, sizeof key) == sizeof key) done.push_back(key);
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  while (read(fds[0], &key, sizeof key) == sizeof key) done.push_back(key);
  close(fds[0]);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself with status " << status;
  ASSERT_GE(done.size(), 300u);

  {
    RawDb raw(dir.File(CDbManager::kFileName));
    EXPECT_EQ(raw.Scalar("PRAGMA integrity_check"), "ok");
  }
  CDbManager db;
  db.Open(dir.Path().string());
  ASSERT_EQ(db.m_Result, 0);
  CDeviceManager devices(db);
  for (size_t i = 0; i < done.size(); ++i) {
    ASSERT_EQ(done[i], int32_t(i + 1));
    auto device = devices.GetDeviceByPkey(done[i]);
    ASSERT_NE(device, nullptr) << "completed insert " << done[i] << " lost";
    EXPECT_EQ(device->DEVADDR, 0x80000000u + i + 1);
    EXPECT_EQ(device->RXTICK, int64_t(i + 1) << 33);
  }
}

INSTANTIATE_TEST_SUITE_P(CommitPerInsertOrBatched, DbManagerDurability, ::testing::Values(0, 64));

}  // namespace
}  // namespace quorvex
