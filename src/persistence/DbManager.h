// The database manager: owns the connection to the SQLite file
// "LoRaDB_V001.db" in the data directory. Every statement runs under its lock.
#pragma once
#include <string>

#include "runtime/BaseThread.h"

namespace quorvex {

class CDbManager : public CBaseMgr {
 public:
  static constexpr const char* kFileName = "LoRaDB_V001.db";

  std::string m_FileName = kFileName;
};

}  // namespace quorvex
