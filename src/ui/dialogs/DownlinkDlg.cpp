#include "ui/dialogs/DownlinkDlg.h"

#include <QComboBox>
#include <QLineEdit>

namespace quorvex::ui {

CDlinkDlg::CDlinkDlg(int32_t appClass, QWidget* parent)
    : CEditDialog(parent, QSize(485, 295), QStringLiteral("Down Link Request")), m_AppClass(appClass) {
  CreateControls();
  Show(NewDownlinkForm());
}

void CDlinkDlg::CreateControls() {
  AddLabel("Port :", {21, 36, 155, 18});
  AddLabel("Confirmed Type :", {21, 68, 155, 18});
  AddLabel("Channel :", {21, 101, 155, 18});
  AddLabel("Application Data (Hex) :", {21, 133, 155, 18});
  AddLabel("Mac Data (Hex) :", {21, 166, 155, 18});
  m_Port = AddCombo({183, 34, 131, 23}, ChoiceList(DownlinkPortChoices()), 0);
  m_Confirmed = AddCombo({183, 67, 131, 23}, ChoiceList(kConfirmedChoices), 0);
  m_Channel = AddCombo({183, 98, 131, 23}, ChoiceList(DownlinkChannelChoices(m_AppClass)), 0);
  m_AppData = AddEdit({183, 128, 272, 24}, EditKind::kUpperCase);
  m_MacData = AddEdit({183, 161, 272, 24}, EditKind::kPlain);
  AddSave({183, 205, 99, 28});
}

void CDlinkDlg::Show(const DownlinkForm& form) {
  // The port list holds the ports' own texts.
  m_Port->setCurrentIndex(m_Port->findText(QString::number(form.port)));
  m_Confirmed->setCurrentIndex(form.confirmed);
  m_Channel->setCurrentIndex(form.channel);
  SetText(m_AppData, form.appData);
  SetText(m_MacData, form.macData);
}

DownlinkForm CDlinkDlg::ReadForm() const {
  DownlinkForm form;
  form.port = m_Port->currentText().toInt();
  form.confirmed = m_Confirmed->currentIndex();
  form.channel = m_Channel->currentIndex();
  form.appData = TextOf(m_AppData);
  form.macData = TextOf(m_MacData);
  return form;
}

std::map<std::string, QWidget*> CDlinkDlg::Fields() const {
  return {{"port", m_Port},
          {"confirmed", m_Confirmed},
          {"channel", m_Channel},
          {"appData", m_AppData},
          {"macData", m_MacData}};
}

void CDlinkDlg::OnSave() { Conclude(ApplyDownlinkForm(ReadForm(), m_AppClass, m_Record), Fields()); }

}  // namespace quorvex::ui
