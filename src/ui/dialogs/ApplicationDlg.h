// CAppDlg: the modal form in which the operator creates an application or
// changes one. It stores nothing: on OK the caller takes Record() and stores
// it (InsertApplication / UpdateApplication). The application list is read
// only for the rules' duplicate-EUI test.
#pragma once
#include <map>
#include <string>

#include "persistence/AppList.h"
#include "persistence/Application.h"
#include "persistence/ApplicationRules.h"
#include "ui/dialogs/EditDialog.h"

class QComboBox;
class QLineEdit;

namespace quorvex::ui {

class CAppDlg : public CEditDialog {
  Q_OBJECT
 public:
  // Add: a new application, filled with the rules' defaults.
  CAppDlg(CAppList& apps, QWidget* parent);
  // Edit: shows `record`; the record itself is not touched, Record() holds
  // the changed copy after OK.
  CAppDlg(CAppList& apps, const CApplication& record, QWidget* parent);

  // After OK: the record the rules filled (PKEY -1 when adding).
  const CApplication& Record() const { return m_Record; }

  // The controls, for tests and screenshots.
  QComboBox* Activation() const { return m_Activation; }
  QComboBox* Class() const { return m_Class; }
  QComboBox* Adr() const { return m_Adr; }
  QLineEdit* ChannelMask() const { return m_ChannelMask; }
  QLineEdit* AppEui() const { return m_AppEui; }
  QLineEdit* Rx2Channel() const { return m_Rx2Channel; }
  QComboBox* Rx2Sf() const { return m_Rx2Sf; }
  QComboBox* Rx2Bw() const { return m_Rx2Bw; }
  QLineEdit* Url() const { return m_Url; }
  QLineEdit* Path() const { return m_Path; }
  QLineEdit* Memo() const { return m_Memo; }

 protected:
  void OnSave() override;

 private:
  CAppDlg(CAppList& apps, FormMode mode, const CApplication& record, const ApplicationForm& form, QWidget* parent);
  void CreateControls();
  void Show(const ApplicationForm& form);
  ApplicationForm ReadForm() const;
  // Shows what the rules changed (ADR) and which controls they enable.
  void ShowStates(const ApplicationForm& form);
  void OnClassChosen();
  void OnAdrChosen();
  std::map<std::string, QWidget*> Fields() const;

  CAppList& m_Apps;
  FormMode m_Mode;
  CApplication m_Record;
  ApplicationFieldStates m_States;
  QComboBox* m_Activation = nullptr;
  QComboBox* m_Class = nullptr;
  QComboBox* m_Adr = nullptr;
  QLineEdit* m_ChannelMask = nullptr;
  QLineEdit* m_AppEui = nullptr;
  QLineEdit* m_Rx2Channel = nullptr;
  QComboBox* m_Rx2Sf = nullptr;
  QComboBox* m_Rx2Bw = nullptr;
  QLineEdit* m_Url = nullptr;
  QLineEdit* m_Path = nullptr;
  QLineEdit* m_Memo = nullptr;
};

}  // namespace quorvex::ui
