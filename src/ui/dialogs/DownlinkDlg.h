// CDlinkDlg: the modal form in which the operator queues application data
// and MAC commands for a device. It stores nothing: on OK the caller takes
// Record(), gives it the device's key and queues it (InsertDownlink).
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "persistence/DLink.h"
#include "persistence/DownlinkRules.h"
#include "ui/dialogs/EditDialog.h"

class QComboBox;
class QLineEdit;

namespace quorvex::ui {

class CDlinkDlg : public CEditDialog {
  Q_OBJECT
 public:
  // A request for a device of an application of class `appClass` (CLASS;
  // 1 offers the second receive window).
  CDlinkDlg(int32_t appClass, QWidget* parent);

  // After OK: the new request (DEVPKEY 0 until the caller sets it).
  const CDLink& Record() const { return m_Record; }

  // The controls, for tests and screenshots.
  QComboBox* Port() const { return m_Port; }
  QComboBox* Confirmed() const { return m_Confirmed; }
  QComboBox* Channel() const { return m_Channel; }
  QLineEdit* AppData() const { return m_AppData; }
  QLineEdit* MacData() const { return m_MacData; }

 protected:
  void OnSave() override;

 private:
  void CreateControls();
  void Show(const DownlinkForm& form);
  DownlinkForm ReadForm() const;
  std::map<std::string, QWidget*> Fields() const;

  int32_t m_AppClass;
  CDLink m_Record;
  QComboBox* m_Port = nullptr;
  QComboBox* m_Confirmed = nullptr;
  QComboBox* m_Channel = nullptr;
  QLineEdit* m_AppData = nullptr;
  QLineEdit* m_MacData = nullptr;
};

}  // namespace quorvex::ui
