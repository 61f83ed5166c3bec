// CDevDlg: the modal form in which the operator registers a device under an
// application or changes one. Which fields can be typed follows the
// application's activation mode (OTAA: network identifier and application
// key; ABP: address and session keys). It stores nothing: on OK the caller
// takes Record() and stores it (InsertDevice / UpdateDevice). The device
// registry is read only for the rules' duplicate tests.
#pragma once
#include <map>
#include <string>

#include "persistence/Application.h"
#include "persistence/DbManager.h"
#include "persistence/Device.h"
#include "persistence/DeviceManager.h"
#include "persistence/DeviceRules.h"
#include "ui/dialogs/EditDialog.h"

class QLineEdit;

namespace quorvex::ui {

class CDevDlg : public CEditDialog {
  Q_OBJECT
 public:
  // Add: a new device of `app`, offered the next free address of `db`.
  CDevDlg(const CApplication& app, CDeviceManager& devices, CDbManager& db, QWidget* parent);
  // Edit: shows `record`; the record itself is not touched, Record() holds
  // the changed copy after OK.
  CDevDlg(const CApplication& app, CDeviceManager& devices, const CDeviceRow& record, QWidget* parent);

  // After OK: the row the rules filled (PKEY -1 when adding).
  const CDeviceRow& Record() const { return m_Record; }

  // The controls, for tests and screenshots.
  QLineEdit* DevEui() const { return m_DevEui; }
  QLineEdit* Address() const { return m_Address; }
  QLineEdit* NetworkId() const { return m_NetworkId; }
  QLineEdit* AppKey() const { return m_AppKey; }
  QLineEdit* AppSKey() const { return m_AppSKey; }
  QLineEdit* NetSKey() const { return m_NetSKey; }
  QLineEdit* Memo() const { return m_Memo; }

 protected:
  void OnSave() override;

 private:
  CDevDlg(const CApplication& app, CDeviceManager& devices, FormMode mode, const CDeviceRow& record,
          const DeviceForm& form, QWidget* parent);
  void CreateControls();
  void Show(const DeviceForm& form);
  void ShowStates(const DeviceFieldStates& states);
  DeviceForm ReadForm() const;
  std::map<std::string, QWidget*> Fields() const;

  CApplication m_App;
  CDeviceManager& m_Devices;
  FormMode m_Mode;
  CDeviceRow m_Record;
  QLineEdit* m_DevEui = nullptr;
  QLineEdit* m_Address = nullptr;
  QLineEdit* m_NetworkId = nullptr;
  QLineEdit* m_AppKey = nullptr;
  QLineEdit* m_AppSKey = nullptr;
  QLineEdit* m_NetSKey = nullptr;
  QLineEdit* m_Memo = nullptr;
};

}  // namespace quorvex::ui
