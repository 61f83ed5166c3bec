// The text of every SQL statement the server runs against its database, in
// one place. "?" parameters are bound in order; "%d" and "%s" are filled by
// formatting before the statement is prepared.
#pragma once

namespace quorvex::sql {

// APPTBL
inline constexpr const char* kSelectApplications = "SELECT * FROM APPTBL ORDER BY APPEUI";
inline constexpr const char* kInsertApplication =
    "INSERT INTO APPTBL (ACTIVATION, CLASS,ADR,CHMASK,APPEUI,RX2CHAN,RX2SF,RX2BW,APPURL,APPPARM,MEMO) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ";
inline constexpr const char* kUpdateApplication =
    "UPDATE APPTBL SET ACTIVATION=?,CLASS=?,ADR=?,CHMASK=?,APPEUI=?,RX2CHAN=?,RX2SF=?,RX2BW=?,APPURL=?,APPPARM=?, "
    "MEMO=? WHERE PKEY=?";
inline constexpr const char* kDeleteApplication = "DELETE FROM APPTBL WHERE PKEY=?";

// DEVTBL
inline constexpr const char* kSelectDevicesOfApplication = "SELECT * FROM DEVTBL WHERE APKEY=? ORDER BY DEVEUI";
inline constexpr const char* kSelectDeviceByPkey = "SELECT * FROM DEVTBL WHERE PKEY=?";
// Keys are reused (the highest key of a deleted row goes to the next device),
// so a device is identified by its key and its EUI together.
inline constexpr const char* kSelectDeviceExists = "SELECT 1 FROM DEVTBL WHERE PKEY=? AND DEVEUI=?";
inline constexpr const char* kSelectDeviceByEui = "SELECT * FROM DEVTBL WHERE DEVEUI=?";
inline constexpr const char* kSelectDeviceByAddr = "SELECT * FROM DEVTBL WHERE DEVADDR=?";
inline constexpr const char* kInsertDevice =
    "INSERT INTO DEVTBL (APKEY,GPKEY,JOINED,DEVEUI,DEVADDR,NETWORKID,APPKEY,APPSKEY,NETSKEY,TXSEQ,RXSEQ,ADR,ADRCNT,"
    "ADRPWR,PWRREQ,ADRSF,NBGATE,RXTICK,MEMO) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ";
// The columns a data uplink changes, and those a downlink changes. The
// receive thread and the scheduler both write devices, each from the
// snapshot it read; writing only its own columns keeps one from undoing the
// other's update (an uplink must not roll back a downlink counter).
// An uplink only ever sets ADR (to ask for a LinkADRReq); the reply clears it.
inline constexpr const char* kUpdateDeviceUplinkState =
    "UPDATE DEVTBL SET GPKEY=?, RXSEQ=?, ADR=CASE WHEN ?=1 THEN 1 ELSE ADR END, ADRCNT=?, ADRSF=?, NBGATE=?, "
    "RXTICK=? WHERE PKEY=?";
// What a frame that was not accepted changes (a refused join or uplink, or
// a copy of a frame already answered): when it came and how many gateways
// heard it. Its copy of the row is older than what the scheduler may have
// stored since, so nothing else of it is written.
inline constexpr const char* kUpdateDeviceReception = "UPDATE DEVTBL SET NBGATE=?, RXTICK=? WHERE PKEY=?";
inline constexpr const char* kUpdateDeviceDownlinkState =
    "UPDATE DEVTBL SET TXSEQ=?, ADR=?, ADRPWR=?, PWRREQ=? WHERE PKEY=?";
inline constexpr const char* kSelectDeviceDownlinkState =
    "SELECT TXSEQ, ADR, ADRPWR, PWRREQ FROM DEVTBL WHERE PKEY=?";
// The columns the operator changes when editing a device, by activation
// mode: an OTAA device's network identifier and application key, an ABP
// device's session keys; the memo for both. Never the counters, the join
// state or a joined device's session keys, which the radio threads move on
// while the form is open.
inline constexpr const char* kUpdateDeviceOtaaFields = "UPDATE DEVTBL SET NETWORKID=?, APPKEY=?, MEMO=? WHERE PKEY=?";
inline constexpr const char* kUpdateDeviceAbpFields = "UPDATE DEVTBL SET APPSKEY=?, NETSKEY=?, MEMO=? WHERE PKEY=?";
inline constexpr const char* kUpdateDevice =
    "UPDATE DEVTBL SET APKEY=?,GPKEY=?,JOINED=?,DEVEUI=?,DEVADDR=?,NETWORKID=?,APPKEY=?,APPSKEY=?, NETSKEY=?, "
    "TXSEQ=?, RXSEQ=?, ADR=?, ADRCNT=?, ADRPWR=?, PWRREQ=?, ADRSF=?, NBGATE=?, RXTICK=?, MEMO=? WHERE PKEY=?";
inline constexpr const char* kDeleteDevice = "DELETE FROM DEVTBL WHERE PKEY=?";
inline constexpr const char* kDeleteDevicesOfApplication = "DELETE FROM DEVTBL WHERE APKEY=?";

// NONCETBL
inline constexpr const char* kSelectDevNonce = "SELECT 1 FROM NONCETBL WHERE DEVPKEY=? AND DEVNONCE=?";
inline constexpr const char* kInsertDevNonce = "INSERT OR IGNORE INTO NONCETBL (DEVPKEY, DEVNONCE) VALUES (?, ?)";
// Every DevNonce of the device but its newest `?` (by key, the order of the joins).
inline constexpr const char* kPruneDevNonces =
    "DELETE FROM NONCETBL WHERE PKEY IN (SELECT PKEY FROM NONCETBL WHERE DEVPKEY=? ORDER BY PKEY DESC "
    "LIMIT -1 OFFSET ?)";
inline constexpr const char* kDeleteDevNonces = "DELETE FROM NONCETBL WHERE DEVPKEY=?";
inline constexpr const char* kDeleteDevNoncesOfApplication =
    "DELETE FROM NONCETBL WHERE DEVPKEY IN (SELECT PKEY FROM DEVTBL WHERE APKEY=?)";

// DLINKTBL
inline constexpr const char* kSelectDownlinksOfDevice = "SELECT * FROM DLINKTBL WHERE DEVPKEY=? ORDER BY PKEY";
inline constexpr const char* kSelectPendingDownlinksOfDevice =
    "SELECT * FROM DLINKTBL WHERE DEVPKEY=? AND TXDONE=? ORDER BY PKEY";
inline constexpr const char* kSelectNextRx2Downlink =
    "SELECT * FROM DLINKTBL WHERE TXDONE=0 AND CHANNEL=1 AND PKEY>? ORDER BY PKEY LIMIT 1;";
inline constexpr const char* kInsertDownlink =
    "INSERT INTO DLINKTBL (DEVPKEY, PORT,CONFIRMED,CHANNEL,MAC,APP,TIME, TXDONE) VALUES (?, ?, ?, ?, ?, ?, ?, ?) ";
inline constexpr const char* kUpdateDownlink =
    "UPDATE DLINKTBL SET DEVPKEY=?,PORT=?,CONFIRMED=?,CHANNEL=?,MAC=?,APP=?,TIME=?, TXDONE=? WHERE PKEY=?";
inline constexpr const char* kDeleteDownlink = "DELETE FROM DLINKTBL WHERE PKEY=?";
inline constexpr const char* kDeleteDownlinksOfDevice = "DELETE FROM DLINKTBL WHERE DEVPKEY=?";
// The requests of every device of one application, whichever devices the
// registry happens to hold.
inline constexpr const char* kDeleteDownlinksOfApplication =
    "DELETE FROM DLINKTBL WHERE DEVPKEY IN (SELECT PKEY FROM DEVTBL WHERE APKEY=?)";

// GATETBL
inline constexpr const char* kSelectGateways = "SELECT * FROM GATETBL ORDER BY PKEY";
inline constexpr const char* kInsertGateway = "INSERT INTO GATETBL (ACTIVE, ID, IP) VALUES (?, ?, ?) ";
inline constexpr const char* kUpdateGateway = "UPDATE GATETBL SET ACTIVE=?,ID=?,IP=? WHERE PKEY=?";
inline constexpr const char* kDeleteGateway = "DELETE FROM GATETBL WHERE PKEY=?";

// LOGTBL
inline constexpr const char* kSelectLogPageOfDevice =
    "SELECT * FROM LOGTBL WHERE DEVPKEY=%d AND TYPE > 0 ORDER BY PKEY DESC LIMIT %d OFFSET %d";
inline constexpr const char* kSelectLogPage = "SELECT * FROM LOGTBL WHERE TYPE > 0 ORDER BY PKEY DESC LIMIT %d OFFSET %d";
inline constexpr const char* kInsertLog =
    "INSERT INTO LOGTBL (DEVPKEY, TYPE, RXTIME, MACDATA, APPDATA, IP, DEVEUI, PORT, CONFIRMED, FREQ, RSSI, SNR, SF, "
    "COUNT) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ";
inline constexpr const char* kDeleteAllLogs = "DELETE FROM LOGTBL";
// One trimming step: the oldest rows, at most ?2 of them (a key range from the
// smallest key), and none of the newest ?1 keys. Both bounds are looked up in
// the key's own b-tree, so the step costs the rows it deletes and no scan.
inline constexpr const char* kTrimLogStep =
    "DELETE FROM LOGTBL WHERE PKEY <= (SELECT MAX(PKEY) FROM LOGTBL) - ?1 "
    "AND PKEY < (SELECT MIN(PKEY) FROM LOGTBL) + ?2";
// The rows of an export: a key range [?1, ?2), TYPE at least ?3 (1 leaves
// out the debug records, as the log views do), of the device with DEVEUI ?4
// or of all for ''. In key order, the order they were stored.
inline constexpr const char* kSelectLogRange =
    "SELECT * FROM LOGTBL WHERE PKEY >= ?1 AND PKEY < ?2 AND TYPE >= ?3 AND (?4 = '' OR DEVEUI = ?4) "
    "ORDER BY PKEY";
// Keys and times, newest first, for dating the rows (LogDates.h).
inline constexpr const char* kSelectLogTimesNewestFirst = "SELECT PKEY, RXTIME FROM LOGTBL ORDER BY PKEY DESC";
inline constexpr const char* kSelectLogKeyAfterLast = "SELECT IFNULL(MAX(PKEY), 0) + 1 FROM LOGTBL";
inline constexpr const char* kCountLogRowsBefore = "SELECT COUNT(*) FROM LOGTBL WHERE PKEY < ?1";
// One step of an operator's clearing: the oldest rows below key ?1, at most
// ?2 of them, found in the key's b-tree as kTrimLogStep finds them.
inline constexpr const char* kDeleteLogStepBefore =
    "DELETE FROM LOGTBL WHERE PKEY < ?1 AND PKEY < (SELECT MIN(PKEY) FROM LOGTBL) + ?2";

// Moves when another connection committed to the file.
inline constexpr const char* kSelectDataVersion = "PRAGMA data_version";

// Largest value of a column: column first, table second.
inline constexpr const char* kSelectMax = "SELECT MAX(%s) FROM %s ";

}  // namespace quorvex::sql
