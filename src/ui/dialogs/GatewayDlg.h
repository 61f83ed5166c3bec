// CGateDlg: the modal form in which the operator registers a gateway by its
// EUI or switches a known one between active and inactive. It stores
// nothing: on OK the caller takes Record() and stores it (InsertGateway /
// UpdateGateway). The gateway registry is read only for the rules'
// duplicate-ID test.
#pragma once
#include <map>
#include <string>

#include "gateway/GateManager.h"
#include "persistence/GatewayRow.h"
#include "persistence/GatewayRules.h"
#include "ui/dialogs/EditDialog.h"

class QComboBox;
class QLineEdit;

namespace quorvex::ui {

class CGateDlg : public CEditDialog {
  Q_OBJECT
 public:
  // Add: a new gateway, active.
  CGateDlg(CGateManager& gateways, QWidget* parent);
  // Edit: shows `record` (its ID fixed); the record itself is not touched,
  // Record() holds the changed copy after OK.
  CGateDlg(CGateManager& gateways, const CGatewayRow& record, QWidget* parent);

  // After OK: the row the rules filled (PKEY 0 when adding).
  const CGatewayRow& Record() const { return m_Record; }

  // The controls, for tests and screenshots.
  QComboBox* Active() const { return m_Active; }
  QLineEdit* Id() const { return m_Id; }

 protected:
  void OnSave() override;

 private:
  CGateDlg(CGateManager& gateways, FormMode mode, const CGatewayRow& record, const GatewayForm& form, QWidget* parent);
  GatewayForm ReadForm() const;

  CGateManager& m_Gateways;
  FormMode m_Mode;
  CGatewayRow m_Record;
  QComboBox* m_Active = nullptr;
  QLineEdit* m_Id = nullptr;
};

}  // namespace quorvex::ui
