#include "persistence/DbStatement.h"

#include <algorithm>
#include <climits>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "runtime/Trace.h"

namespace quorvex {

namespace {

// Kept statements per connection: texts to prepared statements, each marked
// while a CDbStatement uses it. Callers hold their connection's lock, so
// this registry's own lock only keeps connections of different owners apart.
struct KeptStatement {
  sqlite3_stmt* stmt = nullptr;
  bool inUse = false;
};
// Looked up by the caller's text without building a string.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
using StatementMap = std::unordered_map<std::string, KeptStatement, TextHash, std::equal_to<>>;
// More distinct texts than the program has statements means texts made at
// run time: those are not kept.
constexpr size_t kMaxKeptPerConnection = 128;

std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}
std::unordered_map<sqlite3*, StatementMap>& Registry() {
  static auto* registry = new std::unordered_map<sqlite3*, StatementMap>();  // never destroyed: used at exit
  return *registry;
}

}  // namespace

CDbStatement::~CDbStatement() { Release(); }

void CDbStatement::Release() {
  if (m_Stmt == nullptr) return;
  if (!m_Cached) {
    sqlite3_finalize(m_Stmt);
  } else {
    sqlite3_reset(m_Stmt);
    sqlite3_clear_bindings(m_Stmt);
    std::lock_guard<std::mutex> lock(RegistryLock());
    auto connection = Registry().find(sqlite3_db_handle(m_Stmt));
    bool kept = false;
    if (connection != Registry().end()) {
      for (auto& [text, entry] : connection->second) {
        if (entry.stmt == m_Stmt) {
          entry.inUse = false;
          kept = true;
          break;
        }
      }
    }
    if (!kept) sqlite3_finalize(m_Stmt);  // the connection's statements were forgotten meanwhile
  }
  m_Stmt = nullptr;
  m_Cached = false;
}

int CDbStatement::Prepare(sqlite3* db, const char* sql, bool reuse) {
  Release();
  m_NextParam = 1;
  m_BindError = SQLITE_OK;
  if (db == nullptr) return SQLITE_MISUSE;
  if (reuse) {
    std::lock_guard<std::mutex> lock(RegistryLock());
    StatementMap& kept = Registry()[db];
    auto found = kept.find(std::string_view(sql));
    if (found != kept.end() && !found->second.inUse) {
      found->second.inUse = true;
      m_Stmt = found->second.stmt;
      m_Cached = true;
      return SQLITE_OK;
    }
  }
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  m_Stmt = raw;
  if (rc == SQLITE_OK && raw == nullptr) return SQLITE_MISUSE;  // empty text: nothing to run
  if (rc == SQLITE_OK && reuse) {
    std::lock_guard<std::mutex> lock(RegistryLock());
    StatementMap& kept = Registry()[db];
    if (kept.size() < kMaxKeptPerConnection && kept.find(std::string_view(sql)) == kept.end()) {
      kept.emplace(sql, KeptStatement{raw, true});
      m_Cached = true;
    }
  }
  return rc;
}

void ForgetStatements(sqlite3* db) {
  std::lock_guard<std::mutex> lock(RegistryLock());
  auto connection = Registry().find(db);
  if (connection == Registry().end()) return;
  // A statement in use is finalised by its CDbStatement, which no longer
  // finds it here.
  for (auto& [text, entry] : connection->second)
    if (!entry.inUse) sqlite3_finalize(entry.stmt);
  Registry().erase(connection);
}

size_t CachedStatementCount(sqlite3* db) {
  std::lock_guard<std::mutex> lock(RegistryLock());
  auto connection = Registry().find(db);
  return connection == Registry().end() ? 0 : connection->second.size();
}

void CDbStatement::Note(int rc) {
  if (rc != SQLITE_OK && m_BindError == SQLITE_OK) m_BindError = rc;
  ++m_NextParam;
}

void CDbStatement::BindInt(int32_t value) {
  Note(m_Stmt != nullptr ? sqlite3_bind_int(m_Stmt, m_NextParam, value) : SQLITE_MISUSE);
}

void CDbStatement::BindInt64(int64_t value) {
  Note(m_Stmt != nullptr ? sqlite3_bind_int64(m_Stmt, m_NextParam, value) : SQLITE_MISUSE);
}

void CDbStatement::BindBlob(const uint8_t* data, size_t size) {
  Note(m_Stmt != nullptr ? sqlite3_bind_blob(m_Stmt, m_NextParam, data, static_cast<int>(size), SQLITE_STATIC)
              : SQLITE_MISUSE);
}

void CDbStatement::BindTextBytes(const char* text, size_t size) {
  Note(m_Stmt != nullptr ? sqlite3_bind_text(m_Stmt, m_NextParam, text, static_cast<int>(size), SQLITE_STATIC)
              : SQLITE_MISUSE);
}

int CDbStatement::Step() {
  if (m_Stmt == nullptr) return SQLITE_MISUSE;
  if (m_BindError != SQLITE_OK) return m_BindError;
  return sqlite3_step(m_Stmt);
}

namespace {

// Every failed write leaves a trace line: a read-only, full or locked file
// must be visible to the operator, not only in a return value. The line
// names the statement by its first words (never its data: no key or payload).
int WriteFailed(const char* sql, int rc) {
  const std::string_view text(sql);
  const std::string_view head = text.substr(0, std::min<size_t>(text.size(), 32));
  TraceLine("DB write failed, error %d (%s): %.*s...\r\n", rc, sqlite3_errstr(rc), static_cast<int>(head.size()),
            head.data());
  return 2;
}

}  // namespace

int ExecuteWrite(sqlite3* db, const char* sql, const std::function<void(CDbStatement&)>& bind, int32_t& lastResult) {
  CDbStatement stmt;
  int rc = stmt.Prepare(db, sql);
  lastResult = rc;
  if (rc != SQLITE_OK) return WriteFailed(sql, rc);
  if (bind) bind(stmt);
  rc = stmt.Step();
  lastResult = rc;
  return rc == SQLITE_DONE ? 0 : WriteFailed(sql, rc);
}

int ExecuteWithKey(sqlite3* db, const char* sql, int32_t key, int32_t& lastResult) {
  return ExecuteWrite(db, sql, [key](CDbStatement& stmt) { stmt.BindInt(key); }, lastResult);
}

int StepRows(CDbStatement& stmt, const std::function<void(sqlite3_stmt*)>& onRow) {
  for (;;) {
    const int rc = stmt.Step();
    if (rc != SQLITE_ROW) return rc;
    onRow(stmt.Get());
  }
}

int FindColumn(sqlite3_stmt* stmt, const char* name) {
  if (stmt == nullptr || name == nullptr) return -1;
  const int count = sqlite3_column_count(stmt);
  // Rows are read field by field in the order of their table's columns, so
  // the column after the one found last is tried first: a row costs one
  // name comparison per field instead of a scan for each.
  thread_local sqlite3_stmt* lastStmt = nullptr;
  thread_local int lastIndex = -1;
  const auto matches = [&](int i) {
    const char* columnName = sqlite3_column_name(stmt, i);
    return columnName != nullptr && strcmp(columnName, name) == 0;
  };
  if (stmt == lastStmt && lastIndex + 1 < count && matches(lastIndex + 1)) return ++lastIndex;
  for (int i = 0; i < count; ++i) {
    if (matches(i)) {
      lastStmt = stmt;
      lastIndex = i;
      return i;
    }
  }
  return -1;
}

void ReadInt(sqlite3_stmt* stmt, const char* column, int32_t& field, NegativeInt rule) {
  const int index = FindColumn(stmt, column);
  if (index < 0) return;
  const int32_t value = sqlite3_column_int(stmt, index);
  if (value >= 0 || rule == NegativeInt::kAsRead) {
    field = value;
  } else {
    field = (rule == NegativeInt::kKeepMinusOne && value == -1) ? -1 : 0;
  }
}

void ReadCount(sqlite3_stmt* stmt, const char* column, uint32_t& field) {
  const int index = FindColumn(stmt, column);
  if (index < 0) return;
  const int32_t value = sqlite3_column_int(stmt, index);
  field = value < 0 ? 0u : static_cast<uint32_t>(value);
}

void ReadBits(sqlite3_stmt* stmt, const char* column, uint32_t& field) {
  const int index = FindColumn(stmt, column);
  if (index < 0) return;
  field = static_cast<uint32_t>(sqlite3_column_int(stmt, index));
}

void ReadInt64(sqlite3_stmt* stmt, const char* column, int64_t& field) {
  const int index = FindColumn(stmt, column);
  if (index < 0) return;
  field = sqlite3_column_int64(stmt, index);
}

void ReadCounter(sqlite3_stmt* stmt, const char* column, int64_t& field, NegativeInt rule) {
  const int index = FindColumn(stmt, column);
  if (index < 0) return;
  constexpr int64_t kLargest = 0xFFFFFFFF;
  const int64_t value = sqlite3_column_int64(stmt, index);
  if (value >= 0) {
    field = value > kLargest ? kLargest : value;
  } else {
    field = (rule == NegativeInt::kKeepMinusOne && value == -1) ? -1 : 0;
  }
}

void ReadBlobBytes(sqlite3_stmt* stmt, const char* column, uint8_t* field, size_t width) {
  const int index = FindColumn(stmt, column);
  if (index < 0) return;
  memset(field, 0, width);
  // The pointer first, then its length: the order SQLite's documentation asks for.
  const void* data = sqlite3_column_blob(stmt, index);
  const int stored = sqlite3_column_bytes(stmt, index);
  if (data == nullptr || stored <= 0) return;
  const size_t n = static_cast<size_t>(stored) < width ? static_cast<size_t>(stored) : width;
  memcpy(field, data, n);
}

bool ReadTextBytes(sqlite3_stmt* stmt, const char* column, char* field, size_t capacity) {
  if (capacity == 0) return false;
  const int index = FindColumn(stmt, column);
  if (index < 0) return true;
  field[0] = 0;
  const unsigned char* text = sqlite3_column_text(stmt, index);
  const int stored = sqlite3_column_bytes(stmt, index);
  if (text == nullptr || stored <= 0) return true;
  const size_t n = static_cast<size_t>(stored) < capacity - 1 ? static_cast<size_t>(stored) : capacity - 1;
  memcpy(field, text, n);
  field[n] = 0;
  return n == static_cast<size_t>(stored);
}

}  // namespace quorvex
