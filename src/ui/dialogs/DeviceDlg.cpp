#include "ui/dialogs/DeviceDlg.h"

#include <QLineEdit>

namespace quorvex::ui {

CDevDlg::CDevDlg(const CApplication& app, CDeviceManager& devices, CDbManager& db, QWidget* parent)
    : CDevDlg(app, devices, FormMode::kAdd, CDeviceRow{}, NewDeviceForm(db), parent) {}

CDevDlg::CDevDlg(const CApplication& app, CDeviceManager& devices, const CDeviceRow& record, QWidget* parent)
    : CDevDlg(app, devices, FormMode::kEdit, record, FormOf(record), parent) {}

// The application is copied: the form must not follow (or outlive) the
// list's record while it is open.
CDevDlg::CDevDlg(const CApplication& app, CDeviceManager& devices, FormMode mode, const CDeviceRow& record,
                 const DeviceForm& form, QWidget* parent)
    : CEditDialog(parent, QSize(530, 385), QString::fromStdString(DeviceFormTitle(app, mode))),
      m_App(app),
      m_Devices(devices),
      m_Mode(mode),
      m_Record(record) {
  CreateControls();
  Show(form);
  ShowStates(DeviceFieldStatesOf(m_App, mode));
}

void CDevDlg::CreateControls() {
  AddLabel("Device EUI :", {21, 39, 155, 20});
  AddLabel("Address (Dec) :", {21, 75, 155, 20});
  AddLabel("Network ID (Dec) :", {21, 111, 155, 20});
  AddLabel("App Key (Hex 16 Byte) :", {21, 146, 155, 20});
  AddLabel("App SKey (Hex 16 Byte) :", {21, 182, 155, 20});
  AddLabel("Network SKey (Hex 16 Byte) :", {21, 218, 155, 20});
  AddLabel("Memo :", {20, 254, 155, 20});
  m_DevEui = AddEdit({183, 34, 167, 26}, EditKind::kUpperCase);
  m_Address = AddEdit({183, 70, 84, 26}, EditKind::kDigits);
  m_NetworkId = AddEdit({183, 106, 84, 26}, EditKind::kDigits);
  m_AppKey = AddEdit({183, 141, 308, 26}, EditKind::kUpperCase);
  m_AppSKey = AddEdit({183, 177, 308, 26}, EditKind::kUpperCase);
  m_NetSKey = AddEdit({183, 213, 308, 26}, EditKind::kUpperCase);
  m_Memo = AddEdit({183, 249, 308, 26}, EditKind::kPlain, static_cast<int>(kDeviceMemoMax));
  AddSave({201, 299, 99, 28});
}

void CDevDlg::Show(const DeviceForm& form) {
  SetText(m_DevEui, form.devEui);
  SetText(m_Address, form.address);
  SetText(m_NetworkId, form.networkId);
  SetText(m_AppKey, form.appKey);
  SetText(m_AppSKey, form.appSKey);
  SetText(m_NetSKey, form.netSKey);
  SetText(m_Memo, form.memo);
}

void CDevDlg::ShowStates(const DeviceFieldStates& states) {
  m_DevEui->setEnabled(states.devEui);
  m_Address->setEnabled(states.address);
  m_NetworkId->setEnabled(states.networkId);
  m_AppKey->setEnabled(states.appKey);
  m_AppSKey->setEnabled(states.appSKey);
  m_NetSKey->setEnabled(states.netSKey);
}

DeviceForm CDevDlg::ReadForm() const {
  DeviceForm form;
  form.devEui = TextOf(m_DevEui);
  form.address = TextOf(m_Address);
  form.networkId = TextOf(m_NetworkId);
  form.appKey = TextOf(m_AppKey);
  form.appSKey = TextOf(m_AppSKey);
  form.netSKey = TextOf(m_NetSKey);
  form.memo = TextOf(m_Memo);
  return form;
}

std::map<std::string, QWidget*> CDevDlg::Fields() const {
  return {{"devEui", m_DevEui}, {"address", m_Address}, {"networkId", m_NetworkId},
          {"appKey", m_AppKey}, {"appSKey", m_AppSKey}, {"netSKey", m_NetSKey},
          {"memo", m_Memo}};
}

void CDevDlg::OnSave() { Conclude(ApplyDeviceForm(ReadForm(), m_Mode, m_App, m_Devices, m_Record), Fields()); }

}  // namespace quorvex::ui
