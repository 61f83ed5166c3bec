// CEditDialog: what the record forms (application, device, downlink request,
// gateway) have in common. Each form is a thin view over the engine's form
// rules: it shows the form the rules open with, follows their enable rules,
// and on Save hands its fields to the rules and shows their answer. Nothing
// here or in the forms decides what input is acceptable, so the window and
// the command-line admin tool can never disagree.
//
// The look is the skin's: white background, the regular 12 px font, grey
// labels, and an orange owner-drawn "Save" button. Save is the default
// command (Return presses it wherever the focus is); Escape and the caption's
// close box cancel. There is no Cancel button.
#pragma once
#include <QDialog>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <map>
#include <string>

#include "persistence/FormRules.h"
#include "ui/skin/SkinImages.h"

class QComboBox;
class QKeyEvent;
class QLabel;
class QLineEdit;

namespace quorvex::ui {

class CBaseDialog;
class CSkinButton;

class CEditDialog : public QDialog {
  Q_OBJECT
 public:
  // The Save button, for callers that script the form (tests, screenshots).
  CSkinButton* SaveButton() const { return m_Save; }

 protected:
  // A fixed-size modal form of `size` pixels titled `title`.
  CEditDialog(QWidget* parent, QSize size, const QString& title);

  // Called when Save is pressed (by click or Return). The form reads its
  // fields, calls its rules and passes the answer to Conclude.
  virtual void OnSave() = 0;

  // Control makers: each places its control at `rect` (dialog coordinates).
  // Controls that take focus must be made top to bottom, since the focus
  // order follows the order of creation.
  QLabel* AddLabel(const char* text, const QRect& rect);
  // A drop-down list holding `items`, `index` selected (0 when outside).
  QComboBox* AddCombo(const QRect& rect, const QStringList& items, int index);
  // A one-line edit. `maxLength` 0 means no limit.
  enum class EditKind { kPlain, kUpperCase, kDigits };
  QLineEdit* AddEdit(const QRect& rect, EditKind kind, int maxLength = 0);
  // The Save button at `rect`.
  void AddSave(const QRect& rect);

  // The answer of the form's rules: accepted closes the form with OK;
  // refused shows the rules' message and puts the focus on the control that
  // `fields` maps the refused field's name to (if any), keeping the form open.
  void Conclude(const RuleResult& result, const std::map<std::string, QWidget*>& fields);

  void keyPressEvent(QKeyEvent* event) override;

 private:
  CSkinImages m_Images;  // the Save button's picture
  CSkinButton* m_Save = nullptr;
};

// Helpers for reading and filling controls without conversions of their own.
template <typename Container>
QStringList ChoiceList(const Container& texts) {
  QStringList list;
  for (const auto& text : texts) list << QString::fromUtf8(std::string(text).c_str());
  return list;
}
// The control's text in the form's encoding (UTF-8, which the rules count
// in bytes against the record fields).
std::string TextOf(const QLineEdit* edit);
void SetText(QLineEdit* edit, const std::string& text);

}  // namespace quorvex::ui
