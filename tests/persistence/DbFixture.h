// Test support for the persistence tests: a database manager opened on a
// fresh file in a temporary directory, and a second, independent SQLite
// connection to the same file, as another process (the sqlite3 shell)
// would have, for writing rows the server never writes and for checking
// what is stored.
#pragma once
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "persistence/DbManager.h"
#include "support/TempDir.h"

namespace quorvex::test {

// A raw connection of its own, closed by the destructor.
class RawDb {
 public:
  explicit RawDb(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &m_Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_busy_timeout(m_Db, 10000);
  }
  ~RawDb() { sqlite3_close_v2(m_Db); }
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;

  sqlite3* Get() const { return m_Db; }
  // Runs `sql` (one or more statements); SQLite's code.
  int Exec(const std::string& sql) { return sqlite3_exec(m_Db, sql.c_str(), nullptr, nullptr, nullptr); }
  // The first column of every row of `sql` as text ("NULL" for null).
  std::vector<std::string> Column(const std::string& sql) {
    std::vector<std::string> out;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_Db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return {"<prepare failed>"};
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      out.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
    }
    sqlite3_finalize(stmt);
    return out;
  }
  std::string Scalar(const std::string& sql) {
    auto column = Column(sql);
    return column.empty() ? "<no row>" : column.front();
  }

 private:
  sqlite3* m_Db = nullptr;
};

// A manager opened on a fresh database file in a fresh directory.
class DbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db.Open(dir.Path().string());
    ASSERT_TRUE(db.IsOpen());
    ASSERT_EQ(db.m_Result, 0);
  }
  std::string DbPath() const { return dir.File(CDbManager::kFileName); }

  TempDir dir;
  CDbManager db;
};

}  // namespace quorvex::test
