#include "persistence/DbRows.h"

#include "runtime/Trace.h"

namespace quorvex {

void ReadApplicationRow(sqlite3_stmt* stmt, CApplication& r) {
  ReadInt(stmt, "PKEY", r.PKEY);
  ReadInt(stmt, "ACTIVATION", r.ACTIVATION);
  ReadInt(stmt, "CLASS", r.CLASS);
  ReadInt(stmt, "ADR", r.ADR);
  ReadInt(stmt, "CHMASK", r.CHMASK);
  ReadBlob(stmt, "APPEUI", r.APPEUI);
  ReadInt(stmt, "RX2CHAN", r.RX2CHAN);
  ReadInt(stmt, "RX2SF", r.RX2SF);
  ReadInt(stmt, "RX2BW", r.RX2BW);
  // A server address cut to the field would post to another address; the
  // application then posts nowhere until the operator corrects it.
  const bool urlWhole = ReadText(stmt, "APPURL", r.APPURL);
  const bool pathWhole = ReadText(stmt, "APPPARM", r.APPPARM);
  if (!urlWhole || !pathWhole) {
    TraceLine("Application %d: its server address is longer than %zu characters and is not used\r\n", r.PKEY,
              sizeof r.APPURL - 1);
    r.APPURL[0] = 0;
  }
  ReadText(stmt, "MEMO", r.MEMO);
}

void ReadDeviceRow(sqlite3_stmt* stmt, CDeviceRow& r) {
  ReadInt(stmt, "PKEY", r.PKEY);
  ReadInt(stmt, "APKEY", r.APKEY);
  ReadInt(stmt, "GPKEY", r.GPKEY);
  ReadInt(stmt, "JOINED", r.JOINED);
  ReadBlob(stmt, "DEVEUI", r.DEVEUI);
  // An address or network identifier with its top bit set is stored
  // negative; reading it as 0 would lose the device's identity.
  ReadBits(stmt, "DEVADDR", r.DEVADDR);
  ReadBits(stmt, "NETWORKID", r.NETWORKID);
  ReadBlob(stmt, "APPKEY", r.APPKEY);
  ReadBlob(stmt, "APPSKEY", r.APPSKEY);
  ReadBlob(stmt, "NETSKEY", r.NETSKEY);
  ReadCounter(stmt, "TXSEQ", r.TXSEQ);
  ReadCounter(stmt, "RXSEQ", r.RXSEQ);
  ReadInt(stmt, "ADR", r.ADR);
  ReadInt(stmt, "ADRCNT", r.ADRCNT);
  ReadInt(stmt, "ADRPWR", r.ADRPWR);
  ReadInt(stmt, "PWRREQ", r.PWRREQ);
  ReadInt(stmt, "ADRSF", r.ADRSF);
  ReadInt(stmt, "NBGATE", r.NBGATE);
  ReadInt64(stmt, "RXTICK", r.RXTICK);
  ReadText(stmt, "MEMO", r.MEMO);
}

void ReadDownlinkRow(sqlite3_stmt* stmt, CDLink& r) {
  ReadInt(stmt, "PKEY", r.PKEY);
  ReadInt(stmt, "DEVPKEY", r.DEVPKEY);
  ReadInt(stmt, "PORT", r.PORT, NegativeInt::kAsRead);
  ReadInt(stmt, "CONFIRMED", r.CONFIRMED, NegativeInt::kAsRead);
  ReadInt(stmt, "CHANNEL", r.CHANNEL, NegativeInt::kAsRead);
  ReadText(stmt, "MAC", r.MAC);
  ReadText(stmt, "APP", r.APP);
  ReadText(stmt, "TIME", r.TIME);
  ReadInt(stmt, "TXDONE", r.TXDONE);
}

void ReadGatewayRow(sqlite3_stmt* stmt, CGatewayRow& r) {
  ReadInt(stmt, "PKEY", r.PKEY);
  ReadInt(stmt, "ACTIVE", r.ACTIVE);
  ReadText(stmt, "ID", r.ID);
  ReadText(stmt, "IP", r.IP);
}

void ReadLogRow(sqlite3_stmt* stmt, CLog& r) {
  ReadCount(stmt, "PKEY", r.PKEY);
  ReadCount(stmt, "DEVPKEY", r.DEVPKEY);
  ReadCount(stmt, "TYPE", r.TYPE);
  ReadText(stmt, "RXTIME", r.RXTIME);
  ReadText(stmt, "MACDATA", r.MACDATA);
  ReadText(stmt, "APPDATA", r.APPDATA);
  ReadText(stmt, "IP", r.IP);
  ReadText(stmt, "DEVEUI", r.DEVEUI);
  ReadInt(stmt, "PORT", r.PORT);
  ReadInt(stmt, "CONFIRMED", r.CONFIRMED);
  ReadText(stmt, "FREQ", r.FREQ);
  ReadText(stmt, "RSSI", r.RSSI);
  ReadText(stmt, "SNR", r.SNR);
  ReadText(stmt, "SF", r.SF);
  ReadCounter(stmt, "COUNT", r.COUNT, NegativeInt::kZero);
}

void BindApplicationRow(CDbStatement& s, const CApplication& r) {
  s.BindInt(r.ACTIVATION);
  s.BindInt(r.CLASS);
  s.BindInt(r.ADR);
  s.BindInt(r.CHMASK);
  s.BindBlob(r.APPEUI, sizeof r.APPEUI);
  s.BindInt(r.RX2CHAN);
  s.BindInt(r.RX2SF);
  s.BindInt(r.RX2BW);
  s.BindText(r.APPURL);
  s.BindText(r.APPPARM);
  s.BindText(r.MEMO);
}

void BindDeviceRow(CDbStatement& s, const CDeviceRow& r) {
  s.BindInt(r.APKEY);
  s.BindInt(r.GPKEY);
  s.BindInt(r.JOINED);
  s.BindBlob(r.DEVEUI, sizeof r.DEVEUI);
  s.BindInt(static_cast<int32_t>(r.DEVADDR));
  s.BindInt(static_cast<int32_t>(r.NETWORKID));
  s.BindBlob(r.APPKEY, sizeof r.APPKEY);
  s.BindBlob(r.APPSKEY, sizeof r.APPSKEY);
  s.BindBlob(r.NETSKEY, sizeof r.NETSKEY);
  s.BindInt64(r.TXSEQ);
  s.BindInt64(r.RXSEQ);
  s.BindInt(r.ADR);
  s.BindInt(r.ADRCNT);
  s.BindInt(r.ADRPWR);
  s.BindInt(r.PWRREQ);
  s.BindInt(r.ADRSF);
  s.BindInt(r.NBGATE);
  s.BindInt64(r.RXTICK);
  s.BindText(r.MEMO);
}

void BindDownlinkRow(CDbStatement& s, const CDLink& r) {
  s.BindInt(r.DEVPKEY);
  s.BindInt(r.PORT);
  s.BindInt(r.CONFIRMED);
  s.BindInt(r.CHANNEL);
  s.BindText(r.MAC);
  s.BindText(r.APP);
  s.BindText(r.TIME);
  s.BindInt(r.TXDONE);
}

void BindGatewayRow(CDbStatement& s, const CGatewayRow& r) {
  s.BindInt(r.ACTIVE);
  s.BindText(r.ID);
  s.BindText(r.IP);
}

void BindLogRow(CDbStatement& s, const CLog& r) {
  s.BindInt(static_cast<int32_t>(r.DEVPKEY));
  s.BindInt(static_cast<int32_t>(r.TYPE));
  s.BindText(r.RXTIME);
  s.BindText(r.MACDATA);
  s.BindText(r.APPDATA);
  s.BindText(r.IP);
  s.BindText(r.DEVEUI);
  s.BindInt(r.PORT);
  s.BindInt(r.CONFIRMED);
  s.BindText(r.FREQ);
  s.BindText(r.RSSI);
  s.BindText(r.SNR);
  s.BindText(r.SF);
  s.BindInt64(r.COUNT);
}

}  // namespace quorvex
