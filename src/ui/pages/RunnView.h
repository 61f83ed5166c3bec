// CRunnView: the server page. It shows whether the server runs and since
// when, how many gateways are connected, and the live packet log that the
// main window drains into it; the operator pages older records in from the
// database, saves selected rows to a text file, clears the list or the
// stored log, and sets four options: start at log-in, server debug mode
// (which switches itself off after 24 hours), debug log view and auto scroll.
#pragma once
#include <QCheckBox>
#include <QLabel>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <functional>

#include "ui/skin/BaseDialog.h"
#include "ui/skin/CustomListCtrl.h"
#include "ui/skin/SkinButton.h"

namespace quorvex {
class CQuorvexApp;
class CLog;
class COptionWord;
}  // namespace quorvex

namespace quorvex::ui {

class CRunnView : public CBaseDialog {
  Q_OBJECT
 public:
  static constexpr int kMaxRows = 3000;
  static constexpr int64_t kDebugModeMs = 86400000;

  // The page works on `app`'s options, log store and gateway registry; the
  // application object outlives every window.
  CRunnView(CQuorvexApp& app, QWidget* parent);
  ~CRunnView() override;

  // Appends the row of one record drained from the log ring.
  void ShowLogRecord(const CLog& record);
  // After a successful Start: the start time, and the gateway search.
  void OnServerStarted();
  // After Stop: "READY", no gateway status.
  void OnServerStopped();

  // Lays the controls out at their places.
  void LayoutControls();

  // Page commands, as the buttons run them.
  void GetLogFromDb();
  void SaveLog();
  void LogClear();
  void DatabaseAllLogClear();

  // The debug mode switches itself off when this clock (milliseconds, any
  // epoch) has passed its deadline; tests give their own clock and call
  // CheckDebugDeadline.
  void SetClock(std::function<int64_t()> nowMs) { m_NowMs = std::move(nowMs); }
  void CheckDebugDeadline();
  // Where the autostart entry goes (tests give a folder of their own).
  void SetAutostartDir(const QString& dir) { m_AutostartDir = dir; }
  // Where Save Log writes (tests answer the file dialog this way); an empty
  // answer is a cancel.
  void SetSavePathAsker(std::function<QString()> ask) { m_AskSavePath = std::move(ask); }
  // One turn of the gateway status timer. When the gateway port could not
  // be opened, the status line says so instead of searching on.
  void UpdateGatewayStatus();

  CCustomListCtrl* LogList() const { return m_List; }
  QLabel* StateLabel() const { return m_State; }
  QLabel* GatewayLabel() const { return m_GateStatus; }
  CSkinButton* GetLogButton() const { return m_GetLog; }
  QCheckBox* AutoRestartBox() const { return m_AutoRestart; }
  QCheckBox* ServerDebugBox() const { return m_ServerDebug; }
  QCheckBox* DebugLogViewBox() const { return m_DebugLogView; }
  QCheckBox* AutoScrollBox() const { return m_AutoScroll; }
  CSkinButton* SaveLogButton() const { return m_SaveLog; }
  CSkinButton* LogClearButton() const { return m_LogClear; }
  CSkinButton* DbClearButton() const { return m_DbClear; }
  QTimer& GatewayTimer() { return m_GateTimer; }
  int BannerIndex() const { return m_BannerIndex; }
  int PagedIn() const { return m_PagedIn; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void SetUpList();
  void ApplyDebugMode();
  void OnAutoRestartClicked();
  // A box's option: set from the box, then every option saved.
  void SetOption(COptionWord& option, bool on);
  bool OwnsWidget(QObject* object) const;
  int64_t NowMs() const;

  CQuorvexApp& m_App;
  // Set by the receive thread when the gateway port could not be bound; the
  // status timer shows it on the window thread.
  std::atomic<int> m_BindFailedPort{0};
  QString m_AddressText;
  QString m_GateText;
  QString m_AutostartDir;
  std::function<QString()> m_AskSavePath;
  std::function<int64_t()> m_NowMs;
  int64_t m_DebugDeadline = -1;  // -1 while the debug mode is off
  int m_PagedIn = 0;
  int m_BannerIndex = 0;
  const QRect m_BannerRect{15, 585, 265, 105};

  QLabel* m_Port = nullptr;
  QLabel* m_State = nullptr;
  QLabel* m_GateStatus = nullptr;
  QLabel* m_AutoOffNote = nullptr;
  QCheckBox* m_AutoRestart = nullptr;
  QCheckBox* m_ServerDebug = nullptr;
  QCheckBox* m_DebugLogView = nullptr;
  QCheckBox* m_AutoScroll = nullptr;
  CSkinButton* m_GetLog = nullptr;
  CSkinButton* m_SaveLog = nullptr;
  CSkinButton* m_LogClear = nullptr;
  CSkinButton* m_DbClear = nullptr;
  CCustomListCtrl* m_List = nullptr;
  QTimer m_DebugTimer;
  QTimer m_GateTimer;
  QTimer m_BannerTimer;
};

}  // namespace quorvex::ui
