#include "ui/skin/MessageBox.h"

#include <QMessageBox>

namespace quorvex::ui {

namespace {
MessageHook& Hook() {
  static MessageHook hook;
  return hook;
}
}  // namespace

bool ShowMessage(QWidget* parent, const QString& text, MessageKind kind) {
  if (Hook()) return Hook()(text, kind);
  const QString title = QStringLiteral("LoRaWan Network Server");
  if (kind == MessageKind::YesNo) {
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
  }
  QMessageBox::information(parent, title, text, QMessageBox::Ok);
  return true;
}

void SetMessageHook(MessageHook hook) { Hook() = std::move(hook); }

}  // namespace quorvex::ui
