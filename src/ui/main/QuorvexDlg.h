// CQuorvexDlg: the program's only top-level window. A borderless 1400 x 880
// window that draws its own caption band; it carries the page buttons, Start
// and Stop and the caption's close and minimise buttons, holds the three
// pages, loads the operator options, and is the window the server threads
// report to: packet-log records and new gateways reach it through the
// bridge, whose messages it handles on its own thread.
//
// Deadlock freedom: a server thread that reports waits for this window's
// thread (a synchronous hand-off). This window therefore never waits for a
// server thread while the bridge expects it to answer: Stop runs inside a
// CWindowBridge::Unattended scope (senders then leave their message pending
// and go on), modal message boxes and file dialogs run nested event loops
// that keep answering the bridge, and at close the bridge is closed before
// the server threads are stopped. No handler takes a lock that a reporting
// thread holds while it waits (the dispatcher reports with no gateway or
// database lock held).
#pragma once
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include "ui/skin/BaseDialog.h"
#include "ui/skin/SkinButton.h"

class QFrame;
class QLabel;

namespace quorvex {
class CQuorvexApp;
class CWindowBridge;
}  // namespace quorvex

namespace quorvex::ui {

class CRunnView;
class CLoRaView;
class CLoRa11View;

class CQuorvexDlg : public CBaseDialog {
  Q_OBJECT
 public:
  static constexpr int kAutoStartFirstMs = 200;
  static constexpr int kAutoStartSecondMs = 500;
  static constexpr int kQuitDelayMs = 100;

  // Loads the options and creates the pages. `app` and `bridge` outlive the
  // window; the window becomes the bridge's handler.
  CQuorvexDlg(CQuorvexApp& app, CWindowBridge& bridge);
  ~CQuorvexDlg() override;

  // The messages the server threads send (and UM_QUIT), on this thread.
  void OnWindowMessage(int message);

  // Commands, as the buttons run them.
  void ShowPage(int buttonId);
  void OnStart();
  void OnStop();
  // Puts every control back at its place (Ctrl+Enter).
  void LayoutControls();

  CRunnView* ServerPage() const { return m_RunnView; }
  CLoRaView* LoRaPage() const { return m_LoRaView; }
  QWidget* CurrentPage() const { return m_CurrentPage; }
  int CurrentButtonId() const { return m_CurrentButton; }
  CSkinButton* Button(int id) const;
  // Layouts done (the initial one counts).
  int LayoutCount() const { return m_Layouts; }

  static constexpr int kMinimizeId = 1022, kCloseId = 1021, kServerId = 1046, kLoRaId = 1048, kLoRa11Id = 1049,
                       kStartId = 1002, kStopId = 1023;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateButtons();
  void CreatePages();
  void PaintPageButton(QPainter& p, const DrawItem& item, int id);
  void DrainLogRing();
  void ShowAbout();

  CQuorvexApp& m_App;
  CWindowBridge& m_Bridge;
  CRunnView* m_RunnView = nullptr;
  CLoRaView* m_LoRaView = nullptr;
  CBaseDialog* m_LoRa11View = nullptr;
  QWidget* m_CurrentPage = nullptr;
  int m_CurrentButton = kServerId;
  int m_Layouts = 0;
  bool m_QuitRequested = false;
  QPoint m_DragOffset{-1, -1};

  CSkinButton* m_Minimize = nullptr;
  CSkinButton* m_Close = nullptr;
  CSkinButton* m_ServerButton = nullptr;
  CSkinButton* m_LoRaButton = nullptr;
  CSkinButton* m_LoRa11Button = nullptr;
  CSkinButton* m_Start = nullptr;
  CSkinButton* m_Stop = nullptr;
  QLabel* m_Stopped = nullptr;
  QLabel* m_Footer = nullptr;
  QFrame* m_Separator = nullptr;
  QSocketNotifier* m_WakeNotifier = nullptr;
  QTimer m_AutoStartFirst;
  QTimer m_AutoStartSecond;
  QTimer m_QuitTimer;
};

}  // namespace quorvex::ui
