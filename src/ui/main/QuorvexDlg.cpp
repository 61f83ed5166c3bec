#include "ui/main/QuorvexDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QWindow>

#include "persistence/Log.h"
#include "runtime/QuorvexApp.h"
#include "runtime/WindowBridge.h"
#include "ui/dialogs/AboutDlg.h"
#include "ui/pages/LoRaView.h"
#include "ui/pages/RunnView.h"
#include "ui/skin/MessageBox.h"
#include "ui/skin/SkinColors.h"
#include "ui/skin/SkinFonts.h"

namespace quorvex::ui {

namespace {

constexpr int kWidth = 1400, kHeight = 880;
constexpr int kCaptionHeight = 40;
const QRect kPageRect(15, 130, 1370, 708);
const QColor kCurrentPageFace(160, 220, 255);

}  // namespace

CQuorvexDlg::CQuorvexDlg(CQuorvexApp& app, CWindowBridge& bridge)
    : CBaseDialog(nullptr, Qt::Window | Qt::FramelessWindowHint), m_App(app), m_Bridge(bridge) {
  setWindowTitle(QStringLiteral("LoRaWan Network Server"));
  setFixedSize(kWidth, kHeight);
  move(0, 0);
  CreateButtons();
  LayoutControls();
  m_App.LoadSettings();
  CreatePages();

  m_Bridge.SetHandler([this](int message) { OnWindowMessage(message); });
  if (m_Bridge.WakeFd() >= 0) {
    m_WakeNotifier = new QSocketNotifier(m_Bridge.WakeFd(), QSocketNotifier::Read, this);
    connect(m_WakeNotifier, &QSocketNotifier::activated, this, [this] { m_Bridge.Dispatch(); });
  }

  for (QTimer* t : {&m_AutoStartFirst, &m_AutoStartSecond, &m_QuitTimer}) t->setSingleShot(true);
  connect(&m_AutoStartFirst, &QTimer::timeout, this, [this] {
    if (m_App.m_Settings.m_bAutoRestart != 0) m_AutoStartSecond.start(kAutoStartSecondMs);
  });
  connect(&m_AutoStartSecond, &QTimer::timeout, this, &CQuorvexDlg::OnStart);
  connect(&m_QuitTimer, &QTimer::timeout, this, [this] {
    m_QuitRequested = true;
    close();
  });
  m_AutoStartFirst.start(kAutoStartFirstMs);
  qApp->installEventFilter(this);
}

CQuorvexDlg::~CQuorvexDlg() {
  qApp->removeEventFilter(this);
  // Messages that arrive from here on find no window to handle them.
  m_Bridge.SetHandler({});
}

void CQuorvexDlg::CreateButtons() {
  m_Minimize = new CSkinButton(QString(), this);
  m_Close = new CSkinButton(QString(), this);
  m_ServerButton = new CSkinButton(QStringLiteral("Server"), this);
  m_LoRaButton = new CSkinButton(QStringLiteral("LoRa 1.02"), this);
  m_LoRa11Button = new CSkinButton(QStringLiteral("LoRa 1.1"), this);
  m_Start = new CSkinButton(QStringLiteral("Start"), this);
  m_Stop = new CSkinButton(QStringLiteral("Stop"), this);
  m_Minimize->SetPainter([](QPainter& p, const DrawItem& item) { DrawMinimizeButton(p, item); });
  m_Close->SetPainter([](QPainter& p, const DrawItem& item) { DrawCloseButton(p, item); });
  for (auto [button, id] : {std::pair{m_ServerButton, kServerId}, std::pair{m_LoRaButton, kLoRaId},
                            std::pair{m_LoRa11Button, kLoRa11Id}}) {
    const int buttonId = id;
    button->SetPainter([this, buttonId](QPainter& p, const DrawItem& item) { PaintPageButton(p, item, buttonId); });
  }
  m_Start->SetPainter([this](QPainter& p, const DrawItem& item) {
    DrawImageButton(p, item, skin::kOrangeTop, skin::kOrangeBottom, skin::kWhite, "arrow2.png");
  });
  m_Stop->SetPainter([](QPainter& p, const DrawItem& item) {
    DrawTextButton(p, item, skin::kOrangeTop, skin::kOrangeBottom, skin::kWhite, 12);
  });
  m_LoRa11Button->setEnabled(false);

  m_Separator = new QFrame(this);
  m_Separator->setFrameStyle(QFrame::VLine | QFrame::Sunken);
  m_Stopped = new QLabel(QStringLiteral("Server Stopped"), this);
  m_Footer = new QLabel(QStringLiteral("Quorvex %1  -  LoRaWAN 1.0.2 network server, class A and C")
                            .arg(QCoreApplication::applicationVersion()),
                        this);
  for (QLabel* label : {m_Stopped, m_Footer}) SetTextColour(label, skin::kGrey100);
  m_Footer->setFont(CFontSet::Regular(11));

  connect(m_Minimize, &QAbstractButton::clicked, this, &QWidget::showMinimized);
  connect(m_Close, &QAbstractButton::clicked, this, &QWidget::close);
  connect(m_ServerButton, &QAbstractButton::clicked, this, [this] { ShowPage(kServerId); });
  connect(m_LoRaButton, &QAbstractButton::clicked, this, [this] { ShowPage(kLoRaId); });
  connect(m_Start, &QAbstractButton::clicked, this, &CQuorvexDlg::OnStart);
  connect(m_Stop, &QAbstractButton::clicked, this, &CQuorvexDlg::OnStop);
}

void CQuorvexDlg::LayoutControls() {
  ++m_Layouts;
  m_Minimize->setGeometry(1330, 10, 16, 16);
  m_Close->setGeometry(1370, 10, 16, 16);
  m_ServerButton->setGeometry(14, 83, 117, 26);
  m_LoRaButton->setGeometry(133, 83, 117, 26);
  m_LoRa11Button->setGeometry(252, 83, 117, 26);
  m_Separator->setGeometry(1176, 66, 2, 43);
  m_Stopped->setGeometry(1236, 60, 133, 15);
  m_Start->setGeometry(1202, 83, 117, 26);
  m_Stop->setGeometry(1321, 83, 65, 26);
  m_Footer->setGeometry(14, 852, 700, 22);
  if (m_RunnView != nullptr) m_RunnView->LayoutControls();
  if (m_CurrentPage != nullptr) m_CurrentPage->setGeometry(kPageRect);
}

void CQuorvexDlg::CreatePages() {
  m_RunnView = new CRunnView(m_App, this);
  m_LoRaView = new CLoRaView({m_App.m_LoRaDbMgr, m_App.m_LoRaAppList, m_App.m_LoRaDevMgr, m_App.m_LoRaGateMgr,
                              m_App.m_LoRaDlinkList, m_App.m_LoRaLogMgr, m_App.m_Settings,
                              [this] { m_App.SaveSettings(); }},
                             this);
  m_LoRa11View = new CBaseDialog(this);  // the LoRaWAN 1.1 page: empty, kept hidden
  for (QWidget* page : {static_cast<QWidget*>(m_RunnView), static_cast<QWidget*>(m_LoRaView),
                        static_cast<QWidget*>(m_LoRa11View)})
    page->hide();
  m_CurrentPage = nullptr;
  m_CurrentButton = kServerId;
  m_Start->setEnabled(true);
  m_Stop->setEnabled(false);
  ShowPage(kServerId);
}

CSkinButton* CQuorvexDlg::Button(int id) const {
  switch (id) {
    case kMinimizeId: return m_Minimize;
    case kCloseId: return m_Close;
    case kServerId: return m_ServerButton;
    case kLoRaId: return m_LoRaButton;
    case kLoRa11Id: return m_LoRa11Button;
    case kStartId: return m_Start;
    case kStopId: return m_Stop;
    default: return nullptr;
  }
}

void CQuorvexDlg::ShowPage(int buttonId) {
  QWidget* page = buttonId == kServerId ? static_cast<QWidget*>(m_RunnView)
                  : buttonId == kLoRaId ? static_cast<QWidget*>(m_LoRaView)
                                        : nullptr;
  if (page == nullptr || page == m_CurrentPage) return;
  Button(m_CurrentButton)->update();
  m_CurrentButton = buttonId;
  Button(m_CurrentButton)->update();
  page->setGeometry(kPageRect);
  page->show();
  if (m_CurrentPage != nullptr) m_CurrentPage->hide();
  m_CurrentPage = page;
}

void CQuorvexDlg::PaintPageButton(QPainter& p, const DrawItem& item, int id) {
  if (id == m_CurrentButton) {
    DrawImageButton(p, item, kCurrentPageFace, kCurrentPageFace, skin::kGrey80, "arrow.png");
  } else if (!item.disabled) {
    DrawImageButton(p, item, skin::kNearWhite, skin::kNearWhite, skin::kGrey80, "arrow2.png");
  } else {
    DrawImageButton(p, item, skin::kNearWhite, skin::kNearWhite, skin::kWhite, "arrow2.png");
  }
}

void CQuorvexDlg::OnStart() {
  m_AutoStartSecond.stop();
  if (m_App.StartServer() != 1) {
    if (!m_App.StartError().empty()) ShowMessage(this, QString::fromStdString(m_App.StartError()));
    return;
  }
  m_Start->setEnabled(false);
  m_Stop->setEnabled(true);
  m_RunnView->OnServerStarted();
}

void CQuorvexDlg::OnStop() {
  {
    // Stop waits for the server threads; they must not wait for us meanwhile.
    CWindowBridge::Unattended unattended(m_Bridge);
    m_App.StopServer();
  }
  m_Start->setEnabled(true);
  m_Stop->setEnabled(false);
  m_RunnView->OnServerStopped();
}

void CQuorvexDlg::OnWindowMessage(int message) {
  if (message == UM_NOTIFY) {
    DrainLogRing();
  } else if (message == UM_GATEWAYS) {
    m_LoRaView->RebuildGatewayList();
  } else if (message == UM_QUIT) {
    m_QuitTimer.start(kQuitDelayMs);
  }
}

void CQuorvexDlg::DrainLogRing() {
  CLog record;
  while (m_App.TakeLogRecord(record)) m_RunnView->ShowLogRecord(record);
}

void CQuorvexDlg::closeEvent(QCloseEvent* event) {
  if (!m_QuitRequested && m_App.IsStarted()) {
    ShowMessage(this, QStringLiteral("The server is running."));
    event->ignore();
    return;
  }
  event->accept();
}

void CQuorvexDlg::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && event->position().y() < kCaptionHeight) {
    // The window manager moves the window where it can; elsewhere (no window
    // manager) the window follows the mouse itself.
    if (windowHandle() == nullptr || !windowHandle()->startSystemMove())
      m_DragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    event->accept();
    return;
  }
  CBaseDialog::mousePressEvent(event);
}

void CQuorvexDlg::mouseMoveEvent(QMouseEvent* event) {
  if (m_DragOffset.x() >= 0 && (event->buttons() & Qt::LeftButton)) {
    move(event->globalPosition().toPoint() - m_DragOffset);
    return;
  }
  CBaseDialog::mouseMoveEvent(event);
}

void CQuorvexDlg::mouseReleaseEvent(QMouseEvent* event) {
  m_DragOffset = QPoint(-1, -1);
  CBaseDialog::mouseReleaseEvent(event);
}

void CQuorvexDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(QStringLiteral("Minimize"), this, &QWidget::showMinimized);
  menu.addAction(QStringLiteral("Close"), this, &QWidget::close);
  menu.addSeparator();
  menu.addAction(QStringLiteral("Quorvex Info(&A)..."), this, &CQuorvexDlg::ShowAbout);
  menu.exec(event->globalPos());
}

void CQuorvexDlg::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

bool CQuorvexDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || widget->window() != this) return false;
  const auto* key = static_cast<QKeyEvent*>(event);
  if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
    if (key->modifiers() & Qt::ControlModifier) LayoutControls();
    return true;
  }
  return key->key() == Qt::Key_Escape;
}

void CQuorvexDlg::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, false);
  const int w = width(), h = height();
  p.setPen(Qt::black);
  p.setBrush(skin::kWhite);
  p.drawRect(0, 0, w - 1, h - 1);
  p.fillRect(QRect(QPoint(1, 848), QPoint(w - 2, h - 2)), skin::kFooter);
  DrawHLine(p, 1, 848);
  p.fillRect(QRect(QPoint(1, 1), QPoint(w - 2, kCaptionHeight - 1)), skin::kGrey230);
  p.setPen(skin::kGrey210);
  p.drawLine(1, kCaptionHeight, w - 2, kCaptionHeight);
  DrawHLine(p, 14, 114);
  p.setFont(CFontSet::Bold(16));
  p.setPen(skin::kGrey80);
  p.drawText(QRect(QPoint(18, 10), QPoint(259, 34)), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
             QStringLiteral("LoRaWAN Network Server"));
  const QImage& server = GetSkinImage("server.png");
  if (!server.isNull()) p.drawImage(QRect(1199, 55, 25, 25), server);
}

}  // namespace quorvex::ui
