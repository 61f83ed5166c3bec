// CLoRaView: the LoRaWAN 1.0.2 page, on which the operator manages what the
// server knows: the applications, the devices of the chosen application, the
// gateways, the keys and addresses of the device shown, the downlinks queued
// for it and its stored packet log; and two options, Auto Reg and the ADR RX
// setup count.
//
// The page is a view. Every row carries its record's key (PKEY); a command
// looks the record up in its registry under the registry's lock, hands a
// copy to an edit dialog, and stores what the dialog's rules accepted
// through the engine (RecordStore, RecordDeletion), which keeps the records
// consistent for the radio threads that use them meanwhile.
#pragma once
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <functional>

#include "ui/skin/BaseDialog.h"
#include "ui/skin/CustomListCtrl.h"
#include "ui/skin/SkinButton.h"

namespace quorvex {
class CAppList;
class CApplication;
class CDLinkList;
class CDbManager;
class CDeviceManager;
struct CDeviceRow;
class CGateManager;
class CLogManager;
struct CSettingsBlock;
struct DeleteResult;
}  // namespace quorvex

namespace quorvex::ui {

class CEditDialog;

// What the page works on. The application object owns all of it and
// outlives every window.
struct LoRaPageSources {
  CDbManager& db;
  CAppList& apps;
  CDeviceManager& devices;
  CGateManager& gateways;
  CDLinkList& downlinks;
  CLogManager& logs;
  CSettingsBlock& settings;
  // Writes the options to the settings file.
  std::function<void()> saveSettings;
};

class CLoRaView : public CBaseDialog {
  Q_OBJECT
 public:
  CLoRaView(LoRaPageSources sources, QWidget* parent);

  // Rebuilds the gateway list from the registry, in registry order.
  void RebuildGatewayList();

  // The page's commands, as its buttons and lists run them. Each works on
  // the current row of its list and does nothing without one.
  void AddApplication();
  void EditApplication();
  void DeleteApplication();
  void ChooseApplication();
  void ShowDevice();
  void AddDevice();
  void EditDevice();
  void DeleteDevice();
  void AddGateway();
  void EditGateway();
  void DeleteGateway();
  void AddDownlink();
  void DeleteDownlink();
  void LoadLog();
  void SaveLog();
  void ClearLog();
  void SaveAdrCount();

  // Runs an edit dialog; true when the operator saved. Tests fill and
  // answer the dialog here instead of a modal loop.
  using DialogRunner = std::function<bool(CEditDialog& dialog)>;
  void SetDialogRunner(DialogRunner run) { m_RunDialog = std::move(run); }
  // Where Save writes (tests answer the file dialog this way).
  void SetSavePathAsker(std::function<QString()> ask) { m_AskSavePath = std::move(ask); }

  // "Device" with an empty device list, else "Device <rows>".
  QString DeviceTitle() const;

  CCustomListCtrl* ApplicationList() const { return m_Apps; }
  CCustomListCtrl* GatewayList() const { return m_Gateways; }
  CCustomListCtrl* DeviceList() const { return m_Devices; }
  CCustomListCtrl* DownlinkList() const { return m_Downlinks; }
  CCustomListCtrl* LogList() const { return m_Log; }
  QCheckBox* AutoRegBox() const { return m_AutoReg; }
  QLineEdit* AdrCountEdit() const { return m_AdrCount; }
  CSkinButton* AdrSaveButton() const { return m_AdrSave; }
  // The device fields: address, network identifier, three keys, memo.
  QLineEdit* AddressField() const { return m_Address; }
  QLineEdit* NetworkIdField() const { return m_NetworkId; }
  QLineEdit* AppKeyField() const { return m_AppKey; }
  QLineEdit* AppSKeyField() const { return m_AppSKey; }
  QLineEdit* NetSKeyField() const { return m_NetSKey; }
  QLineEdit* MemoField() const { return m_Memo; }
  // The buttons that need a device shown (downlinks and packet log).
  const std::vector<CSkinButton*>& DeviceButtons() const { return m_DeviceButtons; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void CreateLists();
  void CreateButtons();
  void CreateDeviceFields();
  CSkinButton* AddButton(const char* text, QRect rect, void (CLoRaView::*command)());
  void ShowApplications();
  void OnListNotified(int code, int listId);
  void EnableDeviceButtons(bool on);
  void ShowDeviceFields(const CDeviceRow* device);
  // The key of the current row of `list`, false when there is none.
  static bool CurrentKey(const CCustomListCtrl* list, int32_t& key);
  // A copy of the current application's / device's record, false when there is none.
  bool CurrentApplication(CApplication& out);
  bool CurrentDevice(CDeviceRow& out);
  void AppendGatewayRow(const ListRow& row);
  void AppendDownlinkRow(const ListRow& row);
  // After a refused deletion: the operator learns that the file still has it.
  void TellRefusal(const DeleteResult& result);
  bool Run(CEditDialog& dialog);

  LoRaPageSources m_Src;
  DialogRunner m_RunDialog;
  std::function<QString()> m_AskSavePath;
  // Row of the application whose devices are shown; -1 for none.
  int m_nAppRow = -1;

  CCustomListCtrl* m_Apps = nullptr;
  CCustomListCtrl* m_Gateways = nullptr;
  CCustomListCtrl* m_Devices = nullptr;
  CCustomListCtrl* m_Downlinks = nullptr;
  CCustomListCtrl* m_Log = nullptr;
  QCheckBox* m_AutoReg = nullptr;
  QLineEdit* m_AdrCount = nullptr;
  CSkinButton* m_AdrSave = nullptr;
  QLineEdit* m_Address = nullptr;
  QLineEdit* m_NetworkId = nullptr;
  QLineEdit* m_AppKey = nullptr;
  QLineEdit* m_AppSKey = nullptr;
  QLineEdit* m_NetSKey = nullptr;
  QLineEdit* m_Memo = nullptr;
  std::vector<CSkinButton*> m_DeviceButtons;
};

}  // namespace quorvex::ui
