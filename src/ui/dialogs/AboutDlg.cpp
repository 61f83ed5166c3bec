#include "ui/dialogs/AboutDlg.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/skin/SkinFonts.h"

namespace quorvex::ui {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Quorvex"));
  auto* layout = new QVBoxLayout(this);
  auto* title = new QLabel(QStringLiteral("Quorvex %1").arg(QCoreApplication::applicationVersion()), this);
  title->setFont(CFontSet::Bold(16));
  auto* text = new QLabel(Text(), this);
  text->setFont(CFontSet::Regular(12));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(title);
  layout->addWidget(text);
  layout->addWidget(buttons);
}

QString CAboutDlg::Text() {
  return QStringLiteral(
      "LoRaWAN 1.0.2 network server for class A and class C devices.\n"
      "Serves packet-forwarder gateways over UDP, answers OTAA joins,\n"
      "forwards application data over HTTP and keeps its data in SQLite.");
}

}  // namespace quorvex::ui
