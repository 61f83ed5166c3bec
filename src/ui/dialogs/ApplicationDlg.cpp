#include "ui/dialogs/ApplicationDlg.h"

#include <QComboBox>
#include <QLineEdit>
#include <QSignalBlocker>

namespace quorvex::ui {

namespace {

int Text50() { return static_cast<int>(kAppTextMax); }

}  // namespace

CAppDlg::CAppDlg(CAppList& apps, QWidget* parent)
    : CAppDlg(apps, FormMode::kAdd, CApplication{}, NewApplicationForm(), parent) {}

CAppDlg::CAppDlg(CAppList& apps, const CApplication& record, QWidget* parent)
    : CAppDlg(apps, FormMode::kEdit, record, FormOf(record), parent) {}

CAppDlg::CAppDlg(CAppList& apps, FormMode mode, const CApplication& record, const ApplicationForm& form,
                 QWidget* parent)
    : CEditDialog(parent, QSize(475, 485), QString::fromUtf8(ApplicationFormTitle(mode))),
      m_Apps(apps),
      m_Mode(mode),
      m_Record(record) {
  CreateControls();
  Show(form);
  m_States = OpeningFieldStates(form, mode);
  ShowStates(form);
  // Connected after the form is shown: only the operator's choices run the rules.
  connect(m_Class, &QComboBox::currentIndexChanged, this, &CAppDlg::OnClassChosen);
  connect(m_Adr, &QComboBox::currentIndexChanged, this, &CAppDlg::OnAdrChosen);
}

void CAppDlg::CreateControls() {
  AddLabel("Activation :", {21, 37, 155, 18});
  AddLabel("Class :", {21, 67, 155, 18});
  AddLabel("ADR :", {21, 96, 155, 18});
  AddLabel("Channel Mask :", {21, 125, 155, 18});
  AddLabel("Application EUI :", {21, 158, 155, 18});
  AddLabel("Rx 2 Channel :", {21, 203, 155, 18});
  AddLabel("Rx 2 Datarate :", {21, 231, 155, 18});
  AddLabel("App Servrer Url :", {21, 297, 155, 18});
  AddLabel("App Servrer Parameter :", {21, 327, 155, 18});
  AddLabel("Memo :", {21, 356, 155, 18});
  m_Activation = AddCombo({183, 34, 131, 23}, ChoiceList(kActivationChoices), 0);
  m_Class = AddCombo({183, 63, 131, 23}, ChoiceList(kClassChoices), 0);
  m_Adr = AddCombo({183, 93, 131, 23}, ChoiceList(kAdrChoices), 0);
  m_ChannelMask = AddEdit({183, 122, 131, 24}, EditKind::kUpperCase);
  m_AppEui = AddEdit({183, 153, 167, 24}, EditKind::kUpperCase);
  m_Rx2Channel = AddEdit({183, 198, 131, 24}, EditKind::kDigits);
  m_Rx2Sf = AddCombo({183, 228, 131, 23}, ChoiceList(kRx2SfChoices), 0);
  m_Rx2Bw = AddCombo({183, 254, 131, 23}, ChoiceList(kRx2BwChoices), 0);
  m_Url = AddEdit({185, 293, 258, 24}, EditKind::kPlain, Text50());
  m_Path = AddEdit({185, 322, 258, 24}, EditKind::kPlain, Text50());
  m_Memo = AddEdit({185, 351, 258, 24}, EditKind::kPlain, Text50());
  AddSave({183, 393, 99, 28});
}

void CAppDlg::Show(const ApplicationForm& form) {
  m_Activation->setCurrentIndex(form.activation);
  m_Class->setCurrentIndex(form.deviceClass);
  m_Adr->setCurrentIndex(form.adrOn ? 0 : 1);
  SetText(m_ChannelMask, form.channelMask);
  SetText(m_AppEui, form.appEui);
  SetText(m_Rx2Channel, form.rx2Channel);
  m_Rx2Sf->setCurrentIndex(form.rx2Sf);
  m_Rx2Bw->setCurrentIndex(form.rx2Bw);
  SetText(m_Url, form.url);
  SetText(m_Path, form.path);
  SetText(m_Memo, form.memo);
}

ApplicationForm CAppDlg::ReadForm() const {
  ApplicationForm form;
  form.activation = m_Activation->currentIndex();
  form.deviceClass = m_Class->currentIndex();
  form.adrOn = m_Adr->currentIndex() == 0;
  form.channelMask = TextOf(m_ChannelMask);
  form.appEui = TextOf(m_AppEui);
  form.rx2Channel = TextOf(m_Rx2Channel);
  form.rx2Sf = m_Rx2Sf->currentIndex();
  form.rx2Bw = m_Rx2Bw->currentIndex();
  form.url = TextOf(m_Url);
  form.path = TextOf(m_Path);
  form.memo = TextOf(m_Memo);
  return form;
}

void CAppDlg::ShowStates(const ApplicationForm& form) {
  {
    // The rules' ADR choice is shown, not chosen again.
    const QSignalBlocker block(m_Adr);
    m_Adr->setCurrentIndex(form.adrOn ? 0 : 1);
  }
  m_Activation->setEnabled(m_States.activation);
  m_Class->setEnabled(m_States.deviceClass);
  m_Adr->setEnabled(m_States.adr);
  m_ChannelMask->setEnabled(m_States.channelMask);
  m_AppEui->setEnabled(m_States.appEui);
  m_Rx2Channel->setEnabled(m_States.rx2);
  m_Rx2Sf->setEnabled(m_States.rx2);
  m_Rx2Bw->setEnabled(m_States.rx2);
}

void CAppDlg::OnClassChosen() {
  ApplicationForm form = ReadForm();
  ChooseApplicationClass(form, m_States, form.deviceClass);
  ShowStates(form);
}

void CAppDlg::OnAdrChosen() {
  ApplicationForm form = ReadForm();
  ChooseApplicationAdr(form, m_States, form.adrOn);
  ShowStates(form);
}

std::map<std::string, QWidget*> CAppDlg::Fields() const {
  return {{"activation", m_Activation},
          {"deviceClass", m_Class},
          {"channelMask", m_ChannelMask},
          {"appEui", m_AppEui},
          {"rx2Channel", m_Rx2Channel},
          {"rx2Sf", m_Rx2Sf},
          {"rx2Bw", m_Rx2Bw},
          {"url", m_Url},
          {"path", m_Path},
          {"memo", m_Memo}};
}

void CAppDlg::OnSave() { Conclude(ApplyApplicationForm(ReadForm(), m_Mode, m_Apps, m_Record), Fields()); }

}  // namespace quorvex::ui
