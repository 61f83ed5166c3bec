// CAboutDlg: the About box of the main window's menu: the program's name,
// version and what it is, with an OK button.
#pragma once
#include <QDialog>

namespace quorvex::ui {

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent);
  // The text the box shows.
  static QString Text();
};

}  // namespace quorvex::ui
