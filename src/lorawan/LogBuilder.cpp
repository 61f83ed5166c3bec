#include "lorawan/LogBuilder.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "persistence/Device.h"
#include "runtime/QuorvexApp.h"
#include "util/WinUtils.h"

namespace quorvex {

namespace {

// The device's EUI as 16 upper-case hex digits.
void SetDevice(CLog& record, const CDeviceRow& device) {
  record.DEVPKEY = static_cast<uint32_t>(device.PKEY);
  SetField(record.DEVEUI, CWinUtils::BytesToHex(device.DEVEUI, 0, sizeof device.DEVEUI));
}

CLog NewRecord(uint32_t type, const SocketAddress& address) {
  CLog record;
  record.TYPE = type;
  SetField(record.RXTIME, LogTimeText());
  SetField(record.IP, AddressText(address));
  return record;
}

void SetRadio(CLog& record, const RadioMetadata& meta) {
  SetField(record.FREQ, meta.freq);
  SetField(record.RSSI, meta.rssi);
  SetField(record.SNR, meta.lsnr);
  SetField(record.SF, meta.datr);
}

std::string Hex(const uint8_t* bytes, int count) { return CWinUtils::BytesToHex(bytes, ' ', count); }

// Ring first, then the table, then the window: the window is told only
// after the database lock has been released, so it is never the one the
// radio thread waits for.
void Emit(CQuorvexApp& app, const CLog& record) {
  app.PostLogRecord(record);
  if (record.TYPE != CLog::Debug) app.m_LoRaLogMgr.InsertLog(record);
  app.NotifyWindow(UM_NOTIFY);
}

bool TypedRecordsOn(CQuorvexApp& app) { return app.m_Settings.m_bServerDebug.Load() != 0; }

}  // namespace

std::string LogTimeText() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[32];
  snprintf(text, sizeof text, "%02d %02d:%02d:%02d %03d", local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           static_cast<int>(now.tv_nsec / 1000000));
  return text;
}

void LogDebug(CQuorvexApp& app, const SocketAddress& from, const std::string& text, const uint8_t* bytes,
              int count) {
  CLog record = NewRecord(CLog::Debug, from);
  std::string appData = text;
  if (bytes != nullptr && count >= 1) appData += Hex(bytes, count);
  SetField(record.APPDATA, appData);
  Emit(app, record);
}

void LogFrameHead(CQuorvexApp& app, const SocketAddress& from, const std::string& text,
                  std::span<const uint8_t> frame, std::size_t head) {
  const std::size_t shown = std::min(head, frame.size());
  std::string summary = text + std::to_string(frame.size()) + " bytes";
  if (shown > 0) summary += ": " + Hex(frame.data(), static_cast<int>(shown));
  LogDebug(app, from, summary, nullptr, 0);
}

void LogTxFail(CQuorvexApp& app, const SocketAddress& from, const std::string& text) {
  if (!TypedRecordsOn(app)) return;
  CLog record = NewRecord(CLog::TxFail, from);
  CDeviceRow last = app.LastTxDevice();
  if (last.PKEY < 0) last.PKEY = 0;  // nothing sent yet: the failure names no device
  SetDevice(record, last);
  SetField(record.APPDATA, text);
  Emit(app, record);
}

void LogTxFail(CQuorvexApp& app, const SocketAddress& pullAddr, const CDeviceRow& device, const std::string& text) {
  if (!TypedRecordsOn(app)) return;
  CLog record = NewRecord(CLog::TxFail, pullAddr);
  SetDevice(record, device);
  SetField(record.APPDATA, text);
  Emit(app, record);
}

void LogJoin(CQuorvexApp& app, const SocketAddress& from, const CDevice& device, const RadioMetadata& meta) {
  if (!TypedRecordsOn(app)) return;
  CLog record = NewRecord(CLog::Join, from);
  SetDevice(record, device);
  SetRadio(record, meta);
  Emit(app, record);
}

void LogUplink(CQuorvexApp& app, const SocketAddress& from, const CDevice& device, const RadioMetadata& meta) {
  if (!TypedRecordsOn(app)) return;
  CLog record = NewRecord(CLog::Uplink, from);
  SetDevice(record, device);
  record.PORT = device.m_UpFPort;
  record.CONFIRMED = device.m_UpMType == 2 ? 0 : 1;
  SetField(record.MACDATA, Hex(device.m_UpMac, device.m_UpMacLength));
  SetField(record.APPDATA, Hex(device.m_UpPayload, device.m_UpPayloadLength));
  SetRadio(record, meta);
  record.COUNT = device.RXSEQ;
  Emit(app, record);
}

void LogAccept(CQuorvexApp& app, const SocketAddress& pullAddr, const CDevice& device, const RadioMetadata& meta) {
  if (!TypedRecordsOn(app)) return;
  CLog record = NewRecord(CLog::Accept, pullAddr);
  SetDevice(record, device);
  SetField(record.FREQ, meta.freq);
  Emit(app, record);
}

void LogDownlink(CQuorvexApp& app, const SocketAddress& pullAddr, const CDevice& device,
                 const RadioMetadata& meta) {
  if (!TypedRecordsOn(app)) return;
  CLog record = NewRecord(CLog::Downlink, pullAddr);
  SetDevice(record, device);
  record.PORT = device.m_DownFPort;
  record.CONFIRMED = device.m_DownMType == 3 ? 0 : 1;
  SetField(record.MACDATA, Hex(device.m_MacAnswers, device.m_MacAnswerLength));
  SetField(record.APPDATA, Hex(device.m_DownPayload, device.m_DownPayloadLength));
  SetField(record.FREQ, meta.freq);
  record.COUNT = device.TXSEQ;
  Emit(app, record);
}

}  // namespace quorvex
