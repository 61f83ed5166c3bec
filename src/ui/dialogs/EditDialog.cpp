#include "ui/dialogs/EditDialog.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QValidator>

#include "ui/skin/BaseDialog.h"
#include "ui/skin/MessageBox.h"
#include "ui/skin/SkinButton.h"
#include "ui/skin/SkinColors.h"
#include "ui/skin/SkinFonts.h"

namespace quorvex::ui {

namespace {

// Hex fields show what is typed in capitals, as the window shows stored
// EUIs and keys; whether the text is valid hex is the rules' business, so
// every character is let through.
class CUpperCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    input = input.toUpper();
    return Acceptable;
  }
};


}  // namespace

CEditDialog::CEditDialog(QWidget* parent, QSize size, const QString& title) : QDialog(parent) {
  CBaseDialog::ApplySkinLook(*this);
  setWindowTitle(title);
  setFixedSize(size);
  setModal(true);
}

QLabel* CEditDialog::AddLabel(const char* text, const QRect& rect) {
  auto* label = new QLabel(QString::fromUtf8(text), this);
  label->setGeometry(rect);
  CBaseDialog::SetTextColour(label, skin::kGrey100);
  return label;
}

QComboBox* CEditDialog::AddCombo(const QRect& rect, const QStringList& items, int index) {
  auto* combo = new QComboBox(this);
  combo->setGeometry(rect);
  CBaseDialog::FillCombo(combo, items, index);
  return combo;
}

QLineEdit* CEditDialog::AddEdit(const QRect& rect, EditKind kind, int maxLength) {
  auto* edit = new QLineEdit(this);
  edit->setGeometry(rect);
  if (maxLength > 0) edit->setMaxLength(maxLength);
  if (kind == EditKind::kUpperCase) edit->setValidator(new CUpperCaseValidator(edit));
  if (kind == EditKind::kDigits) {
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  }
  return edit;
}

void CEditDialog::AddSave(const QRect& rect) {
  m_Save = new CSkinButton(QStringLiteral("Save"), this);
  m_Save->setGeometry(rect);
  m_Save->SetPainter([this](QPainter& p, const DrawItem& item) {
    CBaseDialog::DrawImageButton(p, m_Images, item, skin::kOrangeTop, skin::kOrangeBottom, skin::kWhite,
                                 QStringLiteral("arrow2.png"));
  });
  connect(m_Save, &QAbstractButton::clicked, this, [this] { OnSave(); });
}

void CEditDialog::Conclude(const RuleResult& result, const std::map<std::string, QWidget*>& fields) {
  if (result.ok) {
    accept();
    return;
  }
  ShowMessage(this, QString::fromStdString(result.message));
  const auto found = fields.find(result.field);
  if (found != fields.end() && found->second != nullptr) found->second->setFocus(Qt::OtherFocusReason);
}

void CEditDialog::keyPressEvent(QKeyEvent* event) {
  // Return is the form's OK command wherever the focus is; the edits and
  // drop-down lists leave it to the form. Escape stays with QDialog (reject).
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && m_Save != nullptr && m_Save->isEnabled()) {
    event->accept();
    m_Save->click();
    return;
  }
  QDialog::keyPressEvent(event);
}

std::string TextOf(const QLineEdit* edit) { return edit->text().toStdString(); }

void SetText(QLineEdit* edit, const std::string& text) { edit->setText(QString::fromStdString(text)); }

}  // namespace quorvex::ui
