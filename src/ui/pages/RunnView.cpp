#include "ui/pages/RunnView.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPainter>
#include <chrono>

#include "gateway/GateManager.h"
#include "persistence/LogManager.h"
#include "platform/Tick.h"
#include "runtime/Autostart.h"
#include "runtime/QuorvexApp.h"
#include "ui/pages/PageRows.h"
#include "ui/skin/MessageBox.h"
#include "ui/skin/SkinColors.h"
#include "ui/skin/SkinFonts.h"
#include "util/WinUtils.h"

namespace quorvex::ui {

namespace {

constexpr int kGatewayTimerFirstMs = 150;
constexpr int kBannerMs = 3000;
// How often the 24-hour deadline of the debug mode is looked at.
constexpr int kDebugCheckMs = 1000;

const char* const kBanners[4] = {"banner1.png", "banner2.png", "banner3.png", "banner4.png"};

QString HostText() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0) return QStringLiteral("localhost");
  return QString::fromLocal8Bit(name);
}


}  // namespace

CRunnView::CRunnView(CQuorvexApp& app, QWidget* parent) : CBaseDialog(parent), m_App(app) {
  m_AddressText = HostText();
  m_AutostartDir = QString::fromStdString(DefaultAutostartDir());
  CreateControls();
  LayoutControls();
  SetUpList();
  m_State->setText(QStringLiteral("READY"));
  m_AutoOffNote->setText(QStringLiteral("Automatic turn off after 24 hours"));
  m_GateStatus->hide();

  m_AutoRestart->setChecked(m_App.m_Settings.m_bAutoRestart != 0);
  m_ServerDebug->setChecked(m_App.m_Settings.m_bServerDebug != 0);
  m_DebugLogView->setChecked(m_App.m_Settings.m_bDebugLogView != 0);
  m_AutoScroll->setChecked(m_App.m_Settings.m_bAutoScroll != 0);
  ApplyDebugMode();  // also writes the options back

  m_DebugTimer.setInterval(kDebugCheckMs);
  connect(&m_DebugTimer, &QTimer::timeout, this, &CRunnView::CheckDebugDeadline);
  m_DebugTimer.start();
  m_GateTimer.setSingleShot(true);
  connect(&m_GateTimer, &QTimer::timeout, this, &CRunnView::UpdateGatewayStatus);
  m_BannerTimer.setInterval(kBannerMs);
  connect(&m_BannerTimer, &QTimer::timeout, this, [this] {
    m_BannerIndex = (m_BannerIndex + 1) % 4;
    update(m_BannerRect);
  });
  m_BannerTimer.start();
  qApp->installEventFilter(this);
  // Called on the receive thread; the server is stopped before the page goes.
  m_App.m_BindErrorObserver = [this](int, int port) { m_BindFailedPort = port > 0 ? port : -1; };
}

CRunnView::~CRunnView() { m_App.m_BindErrorObserver = nullptr; }

void CRunnView::CreateControls() {
  m_Port = new QLabel(QStringLiteral("LoRa UDP PORT,  RX : %1  TX : %1").arg(m_App.m_GatewayPort), this);
  m_Port->setFont(CFontSet::Regular(12));
  m_State = new QLabel(this);
  m_State->setFont(CFontSet::Bold(16));
  m_GateStatus = new QLabel(this);
  m_GateStatus->setFont(CFontSet::Regular(12));
  m_AutoOffNote = new QLabel(this);
  m_AutoOffNote->setFont(CFontSet::Regular(11));
  for (QLabel* label : {m_Port, m_State}) SetTextColour(label, skin::kGrey80);
  SetTextColour(m_GateStatus, skin::kRed);
  SetTextColour(m_AutoOffNote, skin::kGrey100);

  m_AutoRestart = new QCheckBox(QStringLiteral(" Auto-restart at boot"), this);
  m_ServerDebug = new QCheckBox(QStringLiteral(" Server Debug Mode"), this);
  m_DebugLogView = new QCheckBox(QStringLiteral(" Debug Log View"), this);
  m_AutoScroll = new QCheckBox(QStringLiteral(" Auto Scroll"), this);
  for (QCheckBox* box : {m_AutoRestart, m_ServerDebug, m_DebugLogView, m_AutoScroll}) {
    SetTextColour(box, skin::kGrey100);
    box->setFocusPolicy(Qt::NoFocus);
  }
  connect(m_AutoRestart, &QCheckBox::clicked, this, &CRunnView::OnAutoRestartClicked);
  connect(m_ServerDebug, &QCheckBox::clicked, this, &CRunnView::ApplyDebugMode);
  connect(m_DebugLogView, &QCheckBox::clicked, this,
          [this](bool on) { SetOption(m_App.m_Settings.m_bDebugLogView, on); });
  connect(m_AutoScroll, &QCheckBox::clicked, this, [this](bool on) { SetOption(m_App.m_Settings.m_bAutoScroll, on); });

  m_GetLog = new CSkinButton(QStringLiteral("Get Log 0 From DB"), this);
  m_SaveLog = new CSkinButton(QStringLiteral("Save Log"), this);
  m_LogClear = new CSkinButton(QStringLiteral("Log Clear"), this);
  m_DbClear = new CSkinButton(QStringLiteral("Database All Log Clear"), this);
  auto imageFace = [this](QPainter& p, const DrawItem& item) {
    DrawImageButton(p, item, QColor(170, 230, 255), QColor(170, 230, 255), skin::kGrey80, "arrow.png");
  };
  auto textFace = [](QPainter& p, const DrawItem& item) {
    DrawTextButton(p, item, QColor(190, 250, 255), QColor(190, 250, 255), skin::kGrey80, 12);
  };
  m_GetLog->SetPainter(imageFace);
  m_DbClear->SetPainter(imageFace);
  m_SaveLog->SetPainter(textFace);
  m_LogClear->SetPainter(textFace);
  connect(m_GetLog, &QAbstractButton::clicked, this, &CRunnView::GetLogFromDb);
  connect(m_SaveLog, &QAbstractButton::clicked, this, &CRunnView::SaveLog);
  connect(m_LogClear, &QAbstractButton::clicked, this, &CRunnView::LogClear);
  connect(m_DbClear, &QAbstractButton::clicked, this, &CRunnView::DatabaseAllLogClear);

  m_List = new CCustomListCtrl(1003, this);
}

void CRunnView::LayoutControls() {
  m_Port->setGeometry(29, 49, 263, 20);
  m_State->setGeometry(29, 91, 261, 20);
  m_GateStatus->setGeometry(29, 119, 224, 26);
  m_AutoRestart->setGeometry(41, 223, 228, 16);
  m_ServerDebug->setGeometry(41, 268, 141, 16);
  m_AutoOffNote->setGeometry(65, 291, 224, 26);
  m_GetLog->setGeometry(41, 317, 218, 28);
  m_SaveLog->setGeometry(41, 354, 105, 28);
  m_LogClear->setGeometry(153, 354, 105, 28);
  m_DebugLogView->setGeometry(56, 398, 141, 16);
  m_AutoScroll->setGeometry(56, 424, 141, 16);
  m_DbClear->setGeometry(41, 458, 218, 28);
  m_List->setGeometry(315, 10, 1045, 685);
}

void CRunnView::SetUpList() {
  m_List->m_crOddRow = skin::kOddRow;
  m_List->m_crSelBack = skin::kSelBack;
  m_List->m_bShowSelected = true;
  m_List->Header()->m_crBack = QColor(240, 240, 255);
  m_List->Header()->m_pFont = &CFontSet::Regular(11);
  m_List->SetMultiSelect(true);
  struct Col {
    const char* caption;
    Qt::Alignment align;
    int width;
  };
  static const Col columns[] = {{"Type", Qt::AlignHCenter, 60}, {"Time", Qt::AlignHCenter, 110},
                                {"APP", Qt::AlignLeft, 350},    {"MAC", Qt::AlignLeft, 170},
                                {"IP", Qt::AlignHCenter, 90},   {"DEVEUI", Qt::AlignHCenter, 120},
                                {"Port", Qt::AlignHCenter, 50}, {"CFM", Qt::AlignHCenter, 50},
                                {"Freq", Qt::AlignHCenter, 70}, {"Rssi", Qt::AlignHCenter, 60},
                                {"SNR", Qt::AlignHCenter, 60},  {"SF", Qt::AlignHCenter, 50},
                                {"Count", Qt::AlignHCenter, 50}};
  for (const Col& c : columns) m_List->InsertColumn(QString::fromLatin1(c.caption), c.align, c.width);
}

int64_t CRunnView::NowMs() const {
  if (m_NowMs) return m_NowMs();
  return static_cast<int64_t>(GetTickCount64());
}

void CRunnView::ShowLogRecord(const CLog& record) {
  const CSettingsBlock& s = m_App.m_Settings;
  if (s.m_bServerDebug == 0) return;
  if (m_List->GetItemCount() > kMaxRows) LogClear();
  if (record.TYPE == CLog::Debug && s.m_bDebugLogView == 0) return;
  m_List->AppendLiveRow(MakeListRow(MakeLiveLogRow(record)), s.m_bAutoScroll != 0);
}

void CRunnView::OnServerStarted() {
  const QString started = QString::fromStdString(CWinUtils::LocalTimeText("%Y-%m-%d  %H:%M", time(nullptr)));
  SetItemTextRedraw(m_State, QStringLiteral("RUNNING : ") + started);
  m_GateStatus->show();
  m_GateText = QStringLiteral("Gateway Searching ");
  SetItemTextRedraw(m_GateStatus, m_GateText);
  m_GateTimer.start(kGatewayTimerFirstMs);
}

void CRunnView::OnServerStopped() {
  // The receive thread may report a failed bind before Start has returned,
  // so the report is cleared here, when no receive thread runs.
  m_BindFailedPort = 0;
  SetItemTextRedraw(m_State, QStringLiteral("READY"));
  m_GateStatus->hide();
  m_GateTimer.stop();
}

void CRunnView::UpdateGatewayStatus() {
  m_GateTimer.stop();
  if (const int port = m_BindFailedPort.load(); port != 0) {
    SetItemTextRedraw(m_GateStatus, QStringLiteral("UDP port %1 could not be opened").arg(port));
    return;
  }
  const int connected = m_App.m_LoRaGateMgr.CountConnected(GetTickCount64());
  m_GateText = QString::fromStdString(NextGatewayStatusText(m_GateText.toStdString(), connected));
  m_GateTimer.start(GatewayStatusPeriodMs(connected));
  SetItemTextRedraw(m_GateStatus, m_GateText);
}

void CRunnView::GetLogFromDb() {
  std::vector<LogListRow> rows;
  const int added = m_App.m_LoRaLogMgr.ReadLogPage(rows, 0, m_PagedIn);
  for (const LogListRow& row : rows) m_List->AppendRow(MakeListRow(row));
  m_PagedIn += added;
  m_GetLog->setText(QStringLiteral("Get Log %1 From DB").arg(m_PagedIn));
}

void CRunnView::SaveLog() { SaveSelectedLogRows(this, *m_List, m_AskSavePath); }

void CRunnView::LogClear() {
  m_PagedIn = 0;
  m_GetLog->setText(QStringLiteral("Get Log 0 From DB"));
  m_List->DeleteAllItems();
}

void CRunnView::DatabaseAllLogClear() {
  if (!ShowMessage(this, QStringLiteral("Delete all logs in database ?"), MessageKind::YesNo)) return;
  // A failed deletion leaves its code in the log store and still clears the list.
  (void)m_App.m_LoRaLogMgr.DeleteAllLogs();
  LogClear();
}

void CRunnView::SetOption(COptionWord& option, bool on) {
  option = on ? 1 : 0;
  m_App.SaveSettings();
}

void CRunnView::ApplyDebugMode() {
  const bool on = m_ServerDebug->isChecked();
  m_App.m_Settings.m_bServerDebug = on ? 1 : 0;
  for (QWidget* w : std::initializer_list<QWidget*>{m_GetLog, m_SaveLog, m_LogClear, m_DbClear, m_DebugLogView,
                                                    m_AutoScroll})
    w->setEnabled(on);
  if (on) {
    m_DebugDeadline = NowMs() + kDebugModeMs;
  } else {
    m_DebugDeadline = -1;
    m_List->DeleteAllItems();
  }
  m_App.SaveSettings();
}

void CRunnView::CheckDebugDeadline() {
  if (m_DebugDeadline < 0 || NowMs() < m_DebugDeadline) return;
  m_ServerDebug->setChecked(false);
  ApplyDebugMode();
}

void CRunnView::OnAutoRestartClicked() {
  const bool ticked = m_AutoRestart->isChecked();
  const std::string program = ticked ? QCoreApplication::applicationFilePath().toStdString() : std::string();
  if (m_AutostartDir.isEmpty() || !WriteAutostartEntry(m_AutostartDir.toStdString(), program)) {
    m_AutoRestart->setChecked(m_App.m_Settings.m_bAutoRestart != 0);
    ShowMessage(this, QStringLiteral("Fail, The program must be run as administrator mode !"));
    return;
  }
  m_App.m_Settings.m_bAutoRestart = ticked ? 1 : 0;
  m_App.SaveSettings();
}

bool CRunnView::OwnsWidget(QObject* object) const {
  for (auto* w = qobject_cast<QWidget*>(object); w != nullptr; w = w->parentWidget()) {
    if (w == this) return true;
  }
  return false;
}

bool CRunnView::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress || !isVisible() || !OwnsWidget(watched)) return false;
  const auto* key = static_cast<QKeyEvent*>(event);
  switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      return true;
    case Qt::Key_Delete:
      LogClear();
      return false;
    case Qt::Key_A:
      if (key->modifiers() & Qt::ControlModifier) m_List->SelectAllRows();
      return false;
    default:
      return false;
  }
}

void CRunnView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), skin::kWhite);
  DrawPanel(p, QRect(QPoint(0, 0), QPoint(294, 704)), skin::kNearWhite);
  DrawPanel(p, QRect(QPoint(305, 0), QPoint(1369, 704)), skin::kNearWhite);
  p.drawImage(QRect(3, 15, 25, 23), GetSkinImage("arrow4.png"));
  p.setFont(CFontSet::Bold(14));
  p.setPen(skin::kGrey80);
  p.drawText(QRect(QPoint(25, 15), QPoint(324, 37)), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
             QStringLiteral("Server information  [ %1 ]").arg(m_AddressText));
  DrawPanel(p, QRect(QPoint(15, 150), QPoint(279, 509)), skin::kWhite);
  p.setPen(skin::kGrey210);
  p.drawLine(40, 250, 254, 250);
  p.setRenderHint(QPainter::SmoothPixmapTransform, true);
  const QImage& banner = GetSkinImage(kBanners[m_BannerIndex]);
  if (!banner.isNull()) p.drawImage(m_BannerRect, banner);
}

}  // namespace quorvex::ui
