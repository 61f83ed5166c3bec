#include "ui/pages/LoRaView.h"

#include <QKeyEvent>
#include <QPainter>
#include <memory>
#include <mutex>

#include "gateway/GateManager.h"
#include "persistence/AppList.h"
#include "persistence/DLinkList.h"
#include "persistence/DbManager.h"
#include "persistence/DeviceManager.h"
#include "persistence/FormRules.h"
#include "persistence/LogManager.h"
#include "persistence/RecordDeletion.h"
#include "persistence/RecordRows.h"
#include "persistence/RecordStore.h"
#include "runtime/Settings.h"
#include "ui/dialogs/ApplicationDlg.h"
#include "ui/dialogs/DeviceDlg.h"
#include "ui/dialogs/DownlinkDlg.h"
#include "ui/dialogs/GatewayDlg.h"
#include "ui/pages/PageRows.h"
#include "ui/skin/MessageBox.h"
#include "ui/skin/SkinColors.h"
#include "ui/skin/SkinFonts.h"

namespace quorvex::ui {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// Records are drawn in grey 80; stored log rows in grey 150.
constexpr int kRecordColour = 3;

// From the ninth gateway row / the fifth downlink row on, the last column
// narrows to make room for the scroll bar.
constexpr int kNarrowIpFromRow = 8;
constexpr int kNarrowTimeFromRow = 4;

enum ListIds : int { kAppListId = 1003, kDeviceListId = 1004, kGatewayListId = 1008, kLogListId = 1011,
                     kDownlinkListId = 1025 };

struct Column {
  const char* caption;
  Qt::Alignment align;
  int width;
};

struct ListLook {
  QColor header;
  QColor odd;
  QColor current;
};
const ListLook kBlueLook{QColor(240, 240, 255), QColor(255, 245, 255), QColor(200, 200, 255)};
const ListLook kGreyLook{QColor(230, 230, 230), QColor(240, 240, 240), QColor(200, 200, 200)};

template <size_t N>
CCustomListCtrl* MakeList(QWidget* parent, int id, const ListLook& look, const Column (&columns)[N]) {
  auto* list = new CCustomListCtrl(id, parent);
  list->m_crOddRow = look.odd;
  list->m_crSelBack = look.current;
  list->Header()->m_crBack = look.header;
  list->Header()->m_pFont = &CFontSet::Regular(11);
  list->SetMultiSelect(true);
  for (const Column& c : columns) list->InsertColumn(QString::fromLatin1(c.caption), c.align, c.width);
  return list;
}

ListRow RecordRow(const std::vector<std::string>& texts, int32_t pkey) {
  return MakeListRow(texts, kRecordColour, pkey);
}

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CLoRaView::CLoRaView(LoRaPageSources sources, QWidget* parent) : CBaseDialog(parent), m_Src(std::move(sources)) {
  CreateLists();
  CreateButtons();
  CreateDeviceFields();
  m_AutoReg->setChecked(m_Src.settings.m_bAutoReg != 0);
  m_AdrCount->setText(QString::number(m_Src.settings.m_nAdrRxCount.Load()));
  m_AdrSave->setEnabled(false);
  EnableDeviceButtons(false);
  ShowApplications();
  RebuildGatewayList();
}

void CLoRaView::CreateLists() {
  static const Column appColumns[] = {{"Act", Qt::AlignHCenter, 60}, {"Class", Qt::AlignHCenter, 50},
                                      {"APP-EUI", Qt::AlignHCenter, 158}};
  static const Column gatewayColumns[] = {{"Active", Qt::AlignHCenter, 45}, {"ID", Qt::AlignHCenter, 120},
                                          {"IP", Qt::AlignHCenter, 103}};
  static const Column deviceColumns[] = {{"DEV-EUI", Qt::AlignHCenter, 150}, {"Join", Qt::AlignHCenter, 74}};
  static const Column downlinkColumns[] = {{"Port", Qt::AlignHCenter, 40}, {"CFM", Qt::AlignHCenter, 40},
                                           {"CH", Qt::AlignHCenter, 45},   {"MAC", Qt::AlignLeft, 100},
                                           {"APP", Qt::AlignLeft, 110},    {"Time", Qt::AlignLeft, 105}};
  static const Column logColumns[] = {{"Type", Qt::AlignLeft, 65},     {"Time", Qt::AlignHCenter, 110},
                                      {"APP", Qt::AlignLeft, 250},     {"MAC", Qt::AlignLeft, 120},
                                      {"IP", Qt::AlignHCenter, 90},    {"Port", Qt::AlignHCenter, 50},
                                      {"CFM", Qt::AlignHCenter, 50},   {"Freq", Qt::AlignHCenter, 70},
                                      {"Rssi", Qt::AlignHCenter, 60},  {"SNR", Qt::AlignHCenter, 60},
                                      {"SF", Qt::AlignHCenter, 45},    {"FCnt-UP", Qt::AlignHCenter, 45}};
  m_Apps = MakeList(this, kAppListId, kBlueLook, appColumns);
  m_Gateways = MakeList(this, kGatewayListId, kGreyLook, gatewayColumns);
  m_Devices = MakeList(this, kDeviceListId, kBlueLook, deviceColumns);
  m_Downlinks = MakeList(this, kDownlinkListId, kGreyLook, downlinkColumns);
  m_Log = MakeList(this, kLogListId, kBlueLook, logColumns);
  m_Log->m_bShowSelected = true;
  m_Apps->setGeometry(12, 44, 272, 343);
  m_Gateways->setGeometry(12, 453, 272, 180);
  m_Devices->setGeometry(326, 41, 228, 652);
  m_Downlinks->setGeometry(896, 138, 444, 130);
  m_Log->setGeometry(560, 315, 792, 380);
  for (CCustomListCtrl* list : {m_Apps, m_Gateways, m_Devices, m_Downlinks, m_Log})
    connect(list, &CCustomListCtrl::Notified, this, &CLoRaView::OnListNotified);
}

CSkinButton* CLoRaView::AddButton(const char* text, QRect rect, void (CLoRaView::*command)()) {
  auto* button = new CSkinButton(QString::fromLatin1(text), this);
  button->SetPainter([](QPainter& p, const DrawItem& item) {
    DrawTextButton(p, item, skin::kWhite, QColor(240, 240, 255), skin::kGrey80, 11);
  });
  button->setGeometry(rect);
  if (command != nullptr) connect(button, &QAbstractButton::clicked, this, command);
  return button;
}

void CLoRaView::CreateButtons() {
  // Dialog units of the layout scaled to pixels: 1.5 across, 1.625 down.
  AddButton("Add", {149, 16, 44, 23}, &CLoRaView::AddApplication);
  AddButton("Edit", {194, 16, 44, 23}, &CLoRaView::EditApplication);
  AddButton("Delete", {239, 16, 44, 23}, &CLoRaView::DeleteApplication);
  AddButton("Add", {413, 16, 44, 23}, &CLoRaView::AddDevice);
  AddButton("Edit", {458, 16, 44, 23}, &CLoRaView::EditDevice);
  AddButton("Delete", {503, 16, 44, 23}, &CLoRaView::DeleteDevice);
  AddButton("Add", {194, 427, 44, 23}, &CLoRaView::AddGateway);
  AddButton("Delete", {239, 427, 44, 23}, &CLoRaView::DeleteGateway);
  m_AutoReg = new QCheckBox(QStringLiteral("Auto Reg"), this);
  m_AutoReg->setGeometry(116, 429, 74, 20);
  SetTextColour(m_AutoReg, skin::kGrey100);
  connect(m_AutoReg, &QCheckBox::clicked, this, [this](bool on) {
    m_Src.settings.m_bAutoReg = on ? 1 : 0;
    m_Src.saveSettings();
  });
  m_AdrCount = new QLineEdit(this);
  m_AdrCount->setGeometry(174, 661, 63, 23);
  m_AdrSave = AddButton("Save", {240, 661, 44, 23}, &CLoRaView::SaveAdrCount);
  connect(m_AdrCount, &QLineEdit::textEdited, this, [this] { m_AdrSave->setEnabled(true); });

  m_DeviceButtons = {AddButton("Add", {1206, 114, 44, 23}, &CLoRaView::AddDownlink),
                     AddButton("Delete", {1251, 114, 44, 23}, &CLoRaView::DeleteDownlink),
                     AddButton("Reload", {1296, 114, 44, 23}, &CLoRaView::ShowDevice),
                     AddButton("Load", {1175, 291, 44, 23}, &CLoRaView::LoadLog),
                     AddButton("Save", {1220, 291, 44, 23}, &CLoRaView::SaveLog),
                     AddButton("Delete", {1263, 291, 44, 23}, nullptr),  // stored rows are cleared on the server page
                     AddButton("Clear", {1308, 291, 44, 23}, &CLoRaView::ClearLog)};
}

void CLoRaView::CreateDeviceFields() {
  auto label = [this](const char* text, QRect rect) {
    auto* l = new QLabel(QString::fromLatin1(text), this);
    l->setGeometry(rect);
    SetTextColour(l, skin::kGrey100);
    return l;
  };
  // Display only: the fields show the device; its dialog changes it.
  auto field = [this](QRect rect) {
    auto* edit = new QLineEdit(this);
    edit->setGeometry(rect);
    edit->setEnabled(false);
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Disabled, QPalette::Text, skin::kGrey100);
    palette.setColor(QPalette::Disabled, QPalette::Base, skin::kWhite);
    edit->setPalette(palette);
    return edit;
  };
  label("Address (Dec) :", {572, 65, 150, 18});
  m_Address = field({572, 85, 141, 23});
  label("NetworkID (Dec) :", {732, 65, 150, 18});
  m_NetworkId = field({731, 85, 141, 23});
  label("Application Key (Hex 16 Byte) :", {573, 120, 300, 18});
  m_AppKey = field({572, 138, 300, 23});
  label("Application Session Key (Hex 16 Byte) :", {573, 172, 300, 18});
  m_AppSKey = field({572, 192, 300, 23});
  label("Netwrok Session Key (Hex 16 Byte) :", {573, 226, 300, 18});
  m_NetSKey = field({572, 245, 300, 23});
  label("Memo :", {896, 65, 150, 18});
  m_Memo = field({896, 85, 444, 23});
  m_Memo->setMaxLength(50);
  label("Downlink packet list :", {896, 120, 200, 18});
  label("LoRa Rx/Tx Packet Log", {560, 294, 250, 18});
}

// ------------------------------------------------------------------ lists

void CLoRaView::ShowApplications() {
  Guard lock(m_Src.db.Mutex());
  for (const auto& app : m_Src.apps.m_List) m_Apps->AppendRow(RecordRow(ApplicationRowTexts(*app), app->PKEY));
}

void CLoRaView::RebuildGatewayList() {
  m_Gateways->setUpdatesEnabled(false);
  m_Gateways->DeleteAllItems();
  {
    // The receive thread that asked for the rebuild holds no gateway lock.
    Guard lock(m_Src.gateways.Mutex());
    for (const auto& gateway : m_Src.gateways.m_Gateways)
      AppendGatewayRow(RecordRow(GatewayRowTexts(*gateway), gateway->PKEY));
  }
  m_Gateways->setUpdatesEnabled(true);
}

void CLoRaView::AppendGatewayRow(const ListRow& row) {
  const int at = m_Gateways->AppendRow(row);
  m_Gateways->SetColumnWidth(2, at >= kNarrowIpFromRow ? 85 : 103);
}

void CLoRaView::AppendDownlinkRow(const ListRow& row) {
  const int at = m_Downlinks->AppendRow(row);
  m_Downlinks->SetColumnWidth(5, at >= kNarrowTimeFromRow ? 90 : 105);
}

void CLoRaView::OnListNotified(int code, int listId) {
  const bool doubleClick = code == CCustomListCtrl::kDoubleClickCode;
  switch (listId) {
    case kAppListId:
      ChooseApplication();
      if (doubleClick) EditApplication();
      break;
    case kDeviceListId:
      ShowDevice();
      if (doubleClick) EditDevice();
      break;
    case kGatewayListId:
      if (doubleClick) EditGateway();
      break;
    default:
      break;
  }
}

bool CLoRaView::CurrentKey(const CCustomListCtrl* list, int32_t& key) {
  const int row = list->m_nCurSel;
  if (row < 0 || row >= list->GetItemCount()) return false;
  key = static_cast<int32_t>(list->Model().Row(row).data);
  return true;
}

bool CLoRaView::CurrentApplication(CApplication& out) {
  int32_t key = 0;
  return CurrentKey(m_Apps, key) && m_Src.apps.CopyApplication(key, out);
}

bool CLoRaView::CurrentDevice(CDeviceRow& out) {
  int32_t key = 0;
  if (!CurrentKey(m_Devices, key)) return false;
  Guard lock(m_Src.db.Mutex());
  for (const auto& device : m_Src.devices.m_Devices) {
    if (device->PKEY != key) continue;
    out = *device;
    return true;
  }
  return false;
}

void CLoRaView::EnableDeviceButtons(bool on) {
  for (CSkinButton* button : m_DeviceButtons) button->setEnabled(on);
}

QString CLoRaView::DeviceTitle() const {
  const int rows = m_Devices->GetItemCount();
  return rows > 0 ? QStringLiteral("Device %1").arg(rows) : QStringLiteral("Device");
}

// ------------------------------------------------------------ applications

bool CLoRaView::Run(CEditDialog& dialog) {
  if (m_RunDialog) return m_RunDialog(dialog);
  return dialog.exec() == QDialog::Accepted;
}

void CLoRaView::TellRefusal(const DeleteResult& result) {
  if (result.Refused()) ShowMessage(this, Text(DeleteRefusedMessage(result)));
}

void CLoRaView::AddApplication() {
  CAppDlg dialog(m_Src.apps, this);
  if (!Run(dialog)) return;
  CApplication stored;
  (void)StoreNewApplication(m_Src.db, m_Src.apps, dialog.Record(), stored);  // listed whatever the answer
  m_Apps->AppendRow(RecordRow(ApplicationRowTexts(stored), stored.PKEY));
}

void CLoRaView::EditApplication() {
  CApplication app;
  if (!CurrentApplication(app)) return;
  const int row = m_Apps->m_nCurSel;
  CAppDlg dialog(m_Src.apps, app, this);
  if (!Run(dialog)) return;
  (void)StoreEditedApplication(m_Src.db, m_Src.apps, dialog.Record());
  m_Apps->Model().SetRow(row, RecordRow(ApplicationRowTexts(dialog.Record()), dialog.Record().PKEY));
}

void CLoRaView::DeleteApplication() {
  int32_t key = 0;
  if (!CurrentKey(m_Apps, key)) return;
  const int row = m_Apps->m_nCurSel;
  if (!ShowMessage(this, QString::fromLatin1(kDeleteQuestion), MessageKind::YesNo)) return;
  const DeleteResult result =
      DeleteApplicationCascade(m_Src.db, m_Src.apps, m_Src.devices, m_Src.downlinks, key);
  m_Apps->DeleteItem(row);
  m_Devices->DeleteAllItems();
  m_Downlinks->DeleteAllItems();
  m_Log->DeleteAllItems();
  ShowDeviceFields(nullptr);
  EnableDeviceButtons(false);
  // The rows below moved up: no row's devices are shown any more.
  m_nAppRow = -1;
  update();
  TellRefusal(result);
}

void CLoRaView::ChooseApplication() {
  int32_t key = 0;
  if (!CurrentKey(m_Apps, key)) return;
  const int row = m_Apps->m_nCurSel;
  if (row == m_nAppRow) return;
  m_Devices->setUpdatesEnabled(false);
  m_Devices->DeleteAllItems();
  m_Log->DeleteAllItems();
  (void)m_Src.devices.LoadDevices(key);
  {
    Guard lock(m_Src.db.Mutex());
    for (const auto& device : m_Src.devices.m_Devices) {
      if (device->APKEY == key) m_Devices->AppendRow(RecordRow(DeviceRowTexts(*device), device->PKEY));
    }
  }
  m_Devices->setUpdatesEnabled(true);
  m_nAppRow = row;
  EnableDeviceButtons(false);
  update();
}

// ----------------------------------------------------------------- devices

void CLoRaView::ShowDeviceFields(const CDeviceRow* device) {
  const DeviceDetailTexts details = device != nullptr ? DeviceDetailsOf(*device) : DeviceDetailTexts{};
  m_Address->setText(Text(details.address));
  m_NetworkId->setText(Text(details.networkId));
  m_AppKey->setText(Text(details.appKey));
  m_AppSKey->setText(Text(details.appSKey));
  m_NetSKey->setText(Text(details.netSKey));
  m_Memo->setText(Text(details.memo));
}

void CLoRaView::ShowDevice() {
  CApplication app;
  CDeviceRow device;
  if (!CurrentApplication(app) || !CurrentDevice(device)) return;
  ShowDeviceFields(&device);
  EnableDeviceButtons(true);
  (void)m_Src.downlinks.LoadDownlinks(device.PKEY, false);
  m_Downlinks->setUpdatesEnabled(false);
  m_Downlinks->DeleteAllItems();
  m_Log->DeleteAllItems();
  {
    Guard lock(m_Src.db.Mutex());
    for (const auto& downlink : m_Src.downlinks.m_List) {
      if (downlink->DEVPKEY == device.PKEY) AppendDownlinkRow(RecordRow(DownlinkRowTexts(*downlink), downlink->PKEY));
    }
  }
  m_Downlinks->setUpdatesEnabled(true);
}

void CLoRaView::AddDevice() {
  CApplication app;
  if (!CurrentApplication(app)) return;
  CDevDlg dialog(app, m_Src.devices, m_Src.db, this);
  if (!Run(dialog)) return;
  CDeviceRow stored;
  (void)StoreNewDevice(m_Src.db, m_Src.devices, dialog.Record(), stored);
  m_Devices->AppendRow(RecordRow(DeviceRowTexts(stored), stored.PKEY));
  EnableDeviceButtons(false);
  update();
}

void CLoRaView::EditDevice() {
  CApplication app;
  CDeviceRow device;
  if (!CurrentApplication(app) || !CurrentDevice(device)) return;
  const int row = m_Devices->m_nCurSel;
  CDevDlg dialog(app, m_Src.devices, device, this);
  if (!Run(dialog)) return;
  (void)StoreEditedDevice(m_Src.db, m_Src.devices, app, dialog.Record());
  CDeviceRow stored;
  if (CurrentDevice(stored)) m_Devices->Model().SetRow(row, RecordRow(DeviceRowTexts(stored), stored.PKEY));
  ShowDevice();
}

void CLoRaView::DeleteDevice() {
  int32_t key = 0;
  if (!CurrentKey(m_Devices, key)) return;
  const int row = m_Devices->m_nCurSel;
  if (!ShowMessage(this, QString::fromLatin1(kDeleteQuestion), MessageKind::YesNo)) return;
  const DeleteResult result = DeleteDeviceCascade(m_Src.db, m_Src.devices, m_Src.downlinks, key);
  m_Downlinks->DeleteAllItems();
  m_Log->DeleteAllItems();
  EnableDeviceButtons(false);
  ShowDeviceFields(nullptr);
  m_Devices->DeleteItem(row);
  update();
  TellRefusal(result);
}

// ---------------------------------------------------------------- gateways

void CLoRaView::AddGateway() {
  CGateDlg dialog(m_Src.gateways, this);
  if (!Run(dialog)) return;
  CGatewayRow stored;
  (void)StoreNewGateway(m_Src.gateways, dialog.Record(), stored);
  AppendGatewayRow(RecordRow(GatewayRowTexts(stored), stored.PKEY));
}

void CLoRaView::EditGateway() {
  int32_t key = 0;
  if (!CurrentKey(m_Gateways, key)) return;
  const int row = m_Gateways->m_nCurSel;
  CGatewayRow gateway;
  bool found = false;
  {
    Guard lock(m_Src.gateways.Mutex());
    for (const auto& record : m_Src.gateways.m_Gateways) {
      if (record->PKEY != key) continue;
      gateway = *record;
      found = true;
      break;
    }
  }
  if (!found) return;
  CGateDlg dialog(m_Src.gateways, gateway, this);
  if (!Run(dialog)) return;
  (void)StoreEditedGateway(m_Src.gateways, dialog.Record());
  Guard lock(m_Src.gateways.Mutex());
  for (const auto& record : m_Src.gateways.m_Gateways) {
    if (record->PKEY == key) m_Gateways->Model().SetRow(row, RecordRow(GatewayRowTexts(*record), key));
  }
}

void CLoRaView::DeleteGateway() {
  int32_t key = 0;
  if (!CurrentKey(m_Gateways, key)) return;
  const int row = m_Gateways->m_nCurSel;
  if (!ShowMessage(this, QString::fromLatin1(kDeleteQuestion), MessageKind::YesNo)) return;
  const DeleteResult result = DeleteGatewayRecord(m_Src.gateways, key);
  m_Gateways->DeleteItem(row);
  TellRefusal(result);
}

// --------------------------------------------------------------- downlinks

void CLoRaView::AddDownlink() {
  CApplication app;
  CDeviceRow device;
  if (!CurrentApplication(app) || !CurrentDevice(device)) return;
  CDlinkDlg dialog(app.CLASS, this);
  if (!Run(dialog)) return;
  auto record = std::make_unique<CDLink>(dialog.Record());
  record->DEVPKEY = device.PKEY;
  const CDLink* stored = record.get();
  Guard lock(m_Src.db.Mutex());
  (void)m_Src.downlinks.InsertDownlink(std::move(record), true);
  AppendDownlinkRow(RecordRow(DownlinkRowTexts(*stored), stored->PKEY));
}

void CLoRaView::DeleteDownlink() {
  int32_t key = 0;
  if (!CurrentKey(m_Downlinks, key)) return;
  const int row = m_Downlinks->m_nCurSel;
  if (!ShowMessage(this, QString::fromLatin1(kDeleteQuestion), MessageKind::YesNo)) return;
  const DeleteResult result = DeleteDownlinkRecord(m_Src.db, m_Src.downlinks, key);
  m_Downlinks->DeleteItem(row);
  TellRefusal(result);
}

// -------------------------------------------------------------- packet log

void CLoRaView::LoadLog() {
  int32_t key = 0;
  if (!CurrentKey(m_Devices, key)) return;
  std::vector<LogListRow> rows;
  (void)m_Src.logs.ReadLogPage(rows, key, m_Log->GetItemCount());
  for (const LogListRow& row : rows) m_Log->AppendRow(MakeListRow(row));
}

void CLoRaView::SaveLog() { SaveSelectedLogRows(this, *m_Log, m_AskSavePath); }

void CLoRaView::ClearLog() { m_Log->DeleteAllItems(); }

// ----------------------------------------------------------------- options

void CLoRaView::SaveAdrCount() {
  int32_t count = 0;
  const RuleResult result = ReadAdrRxSetupCount(m_AdrCount->text().toStdString(), count);
  if (!result.ok) {
    ShowMessage(this, Text(result.message));
    return;
  }
  m_Src.settings.m_nAdrRxCount = count;
  m_Src.saveSettings();
  m_AdrSave->setEnabled(false);
}

void CLoRaView::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      event->accept();
      return;
    default:
      CBaseDialog::keyPressEvent(event);
  }
}

void CLoRaView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), skin::kWhite);
  auto title = [&](int x, int y, int width, const QString& text, int size) {
    p.drawImage(QRect(x - 22, y, 25, 23), GetSkinImage("arrow4.png"));
    p.setFont(CFontSet::Bold(size));
    p.setPen(skin::kGrey80);
    p.drawText(QRect(x, y, width, 23), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
  };
  DrawPanel(p, QRect(QPoint(0, 0), QPoint(294, 399)), skin::kNearWhite);
  DrawPanel(p, QRect(QPoint(305, 0), QPoint(1369, 704)), skin::kNearWhite);
  DrawPanel(p, QRect(QPoint(0, 415), QPoint(294, 704)), skin::kNearWhite);
  DrawPanel(p, QRect(QPoint(558, 45), QPoint(1354, 284)), skin::kWhite);
  title(25, 15, 95, QStringLiteral("Application"), 14);
  title(332, 15, 190, DeviceTitle(), 14);
  title(25, 425, 95, QStringLiteral("Gateway"), 14);
  title(25, 660, 195, QStringLiteral("ADR RX Setup Count :"), 12);
}

}  // namespace quorvex::ui
