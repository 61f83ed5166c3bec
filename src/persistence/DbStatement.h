// CDbStatement: one prepared SQLite statement, finalised by its destructor on
// every path, with parameters bound in order; and the rules by which a result
// column becomes a record field, which every table reader shares.
//
// Nothing here takes the database lock: the caller holds it from Prepare
// until the statement is destroyed.
//
// Statements are kept prepared per connection and reused: parsing and
// planning a statement costs more than running most of ours, and the radio
// threads run the same few statements for every frame.
#pragma once
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>

namespace quorvex {

class CDbStatement {
 public:
  CDbStatement() = default;
  CDbStatement(const CDbStatement&) = delete;
  CDbStatement& operator=(const CDbStatement&) = delete;

  ~CDbStatement();

  // Prepares `sql` on `db`; returns SQLite's code. No connection (null `db`)
  // gives SQLITE_MISUSE, as SQLite itself answers for a closed connection.
  // With `reuse`, a statement of the same text that this connection has
  // prepared before and that is not in use is taken again (reset, bindings
  // cleared); pass false for texts made up at run time, which would only
  // fill the cache. The connection's owner calls ForgetStatements before
  // closing it.
  int Prepare(sqlite3* db, const char* sql, bool reuse = true);
  sqlite3_stmt* Get() const { return m_Stmt; }

  // Bind the next parameter (1, 2, ... in call order). Bound data is not
  // copied: it must stay unchanged until Step has returned. The first failing
  // bind is kept and returned by Step, which then does not run.
  void BindInt(int32_t value);
  void BindInt64(int64_t value);
  void BindBlob(const uint8_t* data, size_t size);
  // A text field bound with its length up to the terminator, never past the field.
  template <size_t N>
  void BindText(const char (&field)[N]) {
    BindTextBytes(field, strnlen(field, N));
  }

  // One step: SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();

 private:
  void Release();
  void BindTextBytes(const char* text, size_t size);
  void Note(int rc);

  sqlite3_stmt* m_Stmt = nullptr;
  // True when m_Stmt belongs to the connection's cache (released, not finalised).
  bool m_Cached = false;
  int m_NextParam = 1;
  int m_BindError = SQLITE_OK;
};

// Finalises every kept statement of `db`; call before closing it.
void ForgetStatements(sqlite3* db);
// Statements kept for `db` (for tests).
size_t CachedStatementCount(sqlite3* db);

// Runs one statement that returns no row: prepares `sql`, lets `bind` bind
// its parameters (may be empty) and steps once. 0 when the step completed
// (SQLITE_DONE), 2 when the prepare or the step failed. `lastResult` receives
// the prepare's code and then the step's. The caller holds the database lock.
int ExecuteWrite(sqlite3* db, const char* sql, const std::function<void(CDbStatement&)>& bind, int32_t& lastResult);
// ExecuteWrite of a statement whose one parameter is an int key.
int ExecuteWithKey(sqlite3* db, const char* sql, int32_t key, int32_t& lastResult);

// Runs a prepared and bound SELECT to its end, calling `onRow` for each row.
// Returns SQLITE_DONE when every row was read, else the failing step's code.
int StepRows(CDbStatement& stmt, const std::function<void(sqlite3_stmt*)>& onRow);

// Index of the first result column whose name equals `name` byte for byte,
// or -1 when the statement's result has no such column.
int FindColumn(sqlite3_stmt* stmt, const char* name);

// What an int column's negative value becomes in its field.
enum class NegativeInt {
  kZero,          // read as 0 (the rule for every int column unless stated)
  kAsRead,        // kept as stored
  kKeepMinusOne,  // -1 kept (the "none yet" mark), any other negative read as 0
};

// Column readers for the current row. A column missing from the result
// leaves the field as it is. Ints are read as signed 32-bit values.
void ReadInt(sqlite3_stmt* stmt, const char* column, int32_t& field, NegativeInt rule = NegativeInt::kZero);
// An unsigned field kept in a signed column, negatives read as 0.
void ReadCount(sqlite3_stmt* stmt, const char* column, uint32_t& field);
// An unsigned 32-bit value (an address) kept with the same bits in a signed column.
void ReadBits(sqlite3_stmt* stmt, const char* column, uint32_t& field);
void ReadInt64(sqlite3_stmt* stmt, const char* column, int64_t& field);
// A 32-bit frame counter: 0..0xFFFFFFFF as stored, anything larger as
// 0xFFFFFFFF, negatives by `rule` (kKeepMinusOne or kZero). Rows written
// when counters were kept in 16 bits read unchanged.
void ReadCounter(sqlite3_stmt* stmt, const char* column, int64_t& field,
                 NegativeInt rule = NegativeInt::kKeepMinusOne);
// Copies at most `width` bytes and never more than are stored; the rest of
// the field becomes zero. A null leaves the field zero.
void ReadBlobBytes(sqlite3_stmt* stmt, const char* column, uint8_t* field, size_t width);
// Copies at most `capacity` - 1 bytes and terminates; a null reads as empty.
// false when the stored text was longer and has been cut.
bool ReadTextBytes(sqlite3_stmt* stmt, const char* column, char* field, size_t capacity);

template <size_t N>
void ReadBlob(sqlite3_stmt* stmt, const char* column, uint8_t (&field)[N]) {
  ReadBlobBytes(stmt, column, field, N);
}
template <size_t N>
bool ReadText(sqlite3_stmt* stmt, const char* column, char (&field)[N]) {
  return ReadTextBytes(stmt, column, field, N);
}

}  // namespace quorvex
