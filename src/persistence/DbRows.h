// How each record kind becomes a table row and back: the column readers and
// the parameter binders of the five tables, in the order of the statements'
// parameters. Used by the owners of the record lists under the database lock.
#pragma once
#include <sqlite3.h>

#include "persistence/Application.h"
#include "persistence/DLink.h"
#include "persistence/DbStatement.h"
#include "persistence/Device.h"
#include "persistence/GatewayRow.h"
#include "persistence/Log.h"

namespace quorvex {

// Readers: the current row of `stmt` into a fresh record. Ints read negative
// as 0, except DLINKTBL's PORT, CONFIRMED and CHANNEL (as stored), DEVTBL's
// TXSEQ and RXSEQ (frame counters: ReadCounter) and DEVADDR and NETWORKID
// (all 32 bits kept).
void ReadApplicationRow(sqlite3_stmt* stmt, CApplication& record);
void ReadDeviceRow(sqlite3_stmt* stmt, CDeviceRow& record);
void ReadDownlinkRow(sqlite3_stmt* stmt, CDLink& record);
void ReadGatewayRow(sqlite3_stmt* stmt, CGatewayRow& record);
void ReadLogRow(sqlite3_stmt* stmt, CLog& record);

// Binders: every column but PKEY, in the order of the INSERT and UPDATE
// statements (an UPDATE then binds PKEY itself).
void BindApplicationRow(CDbStatement& stmt, const CApplication& record);
void BindDeviceRow(CDbStatement& stmt, const CDeviceRow& record);
void BindDownlinkRow(CDbStatement& stmt, const CDLink& record);
void BindGatewayRow(CDbStatement& stmt, const CGatewayRow& record);
void BindLogRow(CDbStatement& stmt, const CLog& record);

}  // namespace quorvex
