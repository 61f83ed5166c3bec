#include "ui/dialogs/GatewayDlg.h"

#include <QComboBox>
#include <QLineEdit>

namespace quorvex::ui {

CGateDlg::CGateDlg(CGateManager& gateways, QWidget* parent)
    : CGateDlg(gateways, FormMode::kAdd, CGatewayRow{}, NewGatewayForm(), parent) {}

CGateDlg::CGateDlg(CGateManager& gateways, const CGatewayRow& record, QWidget* parent)
    : CGateDlg(gateways, FormMode::kEdit, record, FormOf(record), parent) {}

CGateDlg::CGateDlg(CGateManager& gateways, FormMode mode, const CGatewayRow& record, const GatewayForm& form,
                   QWidget* parent)
    : CEditDialog(parent, QSize(309, 220), QStringLiteral("Gateway")),
      m_Gateways(gateways),
      m_Mode(mode),
      m_Record(record) {
  AddLabel("Active :", {15, 31, 83, 18});
  AddLabel("ID :", {15, 65, 83, 18});
  m_Active = AddCombo({105, 28, 75, 23}, ChoiceList(kGatewayActiveChoices), form.active ? 0 : 1);
  m_Id = AddEdit({105, 62, 168, 24}, EditKind::kUpperCase);
  AddSave({107, 125, 99, 28});
  SetText(m_Id, form.id);
  m_Id->setEnabled(GatewayIdEditable(mode));
}

GatewayForm CGateDlg::ReadForm() const {
  GatewayForm form;
  form.active = m_Active->currentIndex() == 0;
  form.id = TextOf(m_Id);
  return form;
}

void CGateDlg::OnSave() {
  Conclude(ApplyGatewayForm(ReadForm(), m_Mode, m_Gateways, m_Record), {{"active", m_Active}, {"id", m_Id}});
}

}  // namespace quorvex::ui
