// The packet-log trimmer on a real database file: what one step deletes, that
// steps catch up in small pieces, and that the trimming thread keeps the
// limit while rows keep coming without ever deleting one of the newest.
#include "persistence/LogTrimmer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "persistence/DbFixture.h"
#include "persistence/Log.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

class LogTrimmerTest : public test::DbTest {
 protected:
  // Stores rows with the keys first..last, as the server's inserts make them.
  void InsertKeys(int64_t first, int64_t last) {
    test::RawDb raw(DbPath());
    const std::string sql = "WITH RECURSIVE k(x) AS (SELECT " + std::to_string(first) +
                            " UNION ALL SELECT x+1 FROM k WHERE x<" + std::to_string(last) +
                            ") INSERT INTO LOGTBL (PKEY, DEVPKEY, TYPE, RXTIME) SELECT x, 1, 4, 'then' FROM k";
    ASSERT_EQ(raw.Exec(sql), SQLITE_OK);
  }
  std::string Query(const std::string& sql) {
    test::RawDb raw(DbPath());
    return raw.Scalar(sql);
  }
};

TEST_F(LogTrimmerTest, OneStepDeletesOnlyTheOldestRowsBeyondTheLimitAndAtMostAStep) {
  const struct {
    int64_t rows, keep;
    int step;
    int64_t deleted;
    const char* oldestLeft;
  } cases[] = {
      {0, 10, 5, 0, "NULL"},            // an empty log
      {10, 20, 5, 0, "1"},              // under the limit
      {10, 10, 5, 0, "1"},              // at the limit
      {10, 4, 100, 6, "7"},             // the whole excess in one step
      {10, 4, 3, 3, "4"},               // a step's worth of it
      {10000, 1000, 2000, 2000, "2001"},
      {10, 0, 3, 3, "4"},               // a limit of none still goes by steps
      {10, 9, 1, 1, "2"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(test::RawDb(DbPath()).Exec("DELETE FROM LOGTBL"), SQLITE_OK);
    if (c.rows > 0) InsertKeys(1, c.rows);
    EXPECT_EQ(CLogTrimmer::TrimStep(db, c.keep, c.step), c.deleted) << c.rows << " keep " << c.keep;
    EXPECT_EQ(Query("SELECT MIN(PKEY) FROM LOGTBL"), c.oldestLeft) << c.rows << " keep " << c.keep;
    EXPECT_EQ(Query("SELECT MAX(PKEY) FROM LOGTBL"), c.rows ? std::to_string(c.rows) : "NULL");
  }
}

TEST_F(LogTrimmerTest, KeysWithGapsNeverLoseOneOfTheNewestKeys) {
  // Rows deleted in the middle (by another program) leave fewer than the
  // limit in the newest keys; those are kept all the same.
  InsertKeys(1, 50);
  InsertKeys(1000, 1009);
  while (CLogTrimmer::TrimStep(db, 20, 7) > 0) {
  }
  EXPECT_EQ(Query("SELECT COUNT(*) FROM LOGTBL"), "10");
  EXPECT_EQ(Query("SELECT MIN(PKEY) FROM LOGTBL"), "1000");
}

TEST_F(LogTrimmerTest, StepsCatchUpInPiecesOfTheStepSize) {
  InsertKeys(1, 10000);
  int steps = 0;
  for (int64_t deleted; (deleted = CLogTrimmer::TrimStep(db, 1000, 700)) > 0; ++steps) EXPECT_LE(deleted, 700);
  EXPECT_EQ(steps, 13);  // 9,000 rows, 700 at a time
  EXPECT_EQ(Query("SELECT COUNT(*) FROM LOGTBL"), "1000");
  EXPECT_EQ(Query("SELECT MIN(PKEY) FROM LOGTBL"), "9001");
}

TEST_F(LogTrimmerTest, AStepOnAClosedDatabaseFails) {
  db.Close();
  EXPECT_EQ(CLogTrimmer::TrimStep(db, 10, 10), -1);
}

// Counts the rows each transaction of the server's connection deletes from
// the log, from SQLite's own hooks (they run on the thread that runs the
// statement, under the database lock).
struct DeleteCounter {
  int64_t inTransaction = 0;
  int64_t largest = 0;
  static void OnUpdate(void* self, int op, const char*, const char* table, sqlite3_int64) {
    auto* counter = static_cast<DeleteCounter*>(self);
    if (op == SQLITE_DELETE && std::string(table) == "LOGTBL") ++counter->inTransaction;
  }
  static int OnCommit(void* self) {
    auto* counter = static_cast<DeleteCounter*>(self);
    counter->largest = std::max(counter->largest, counter->inTransaction);
    counter->inTransaction = 0;
    return 0;
  }
};

TEST_F(LogTrimmerTest, TheThreadKeepsTheLimitWhileRowsAreInsertedAndNeverDeletesTheNewest) {
  constexpr int64_t kKeep = 500;
  constexpr int kStep = 100;
  constexpr int kInserts = 6000;
  DeleteCounter counter;
  {
    std::lock_guard<std::recursive_mutex> lock(db.Mutex());
    sqlite3_update_hook(db.Connection(), &DeleteCounter::OnUpdate, &counter);
    sqlite3_commit_hook(db.Connection(), &DeleteCounter::OnCommit, &counter);
  }
  std::atomic<bool> inserting{true};
  std::atomic<int> violations{0};
  // Another connection, as another program: each reading is one snapshot, in
  // which every one of the newest kKeep keys must still be there.
  std::thread checker([&] {
    test::RawDb raw(DbPath());
    const std::string check = "SELECT (SELECT COUNT(*) FROM LOGTBL WHERE PKEY > m - " + std::to_string(kKeep) +
                              ") = MIN(m, " + std::to_string(kKeep) + ") FROM (SELECT IFNULL(MAX(PKEY), 0) m FROM LOGTBL)";
    while (inserting) {
      if (raw.Scalar(check) != "1") ++violations;
    }
  });
  {
    CLogTrimmer trimmer(db, kKeep, kStep);
    CLog record;
    record.TYPE = CLog::Uplink;
    int32_t result = 0;
    for (int i = 0; i < kInserts; ++i) ASSERT_EQ(db.InsertLogRow(record, result), 0);
    inserting = false;
    checker.join();
    EXPECT_TRUE(test::WaitUntil([&] { return trimmer.RowsDeleted() == kInserts - kKeep; }))
        << trimmer.RowsDeleted();
  }
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(Query("SELECT COUNT(*) FROM LOGTBL"), std::to_string(kKeep));
  EXPECT_EQ(Query("SELECT MIN(PKEY) FROM LOGTBL"), std::to_string(kInserts - kKeep + 1));
  std::lock_guard<std::recursive_mutex> lock(db.Mutex());
  EXPECT_GT(counter.largest, 0);
  EXPECT_LE(counter.largest, kStep);
  sqlite3_update_hook(db.Connection(), nullptr, nullptr);
  sqlite3_commit_hook(db.Connection(), nullptr, nullptr);
}

}  // namespace
}  // namespace quorvex
