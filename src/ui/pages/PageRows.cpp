#include "ui/pages/PageRows.h"

#include <QFileDialog>
#include <ctime>

#include "persistence/SavedLog.h"
#include "ui/skin/MessageBox.h"

namespace quorvex::ui {

ListRow MakeListRow(const std::vector<std::string>& texts, int colour, qint64 data) {
  ListRow out;
  out.texts.reserve(texts.size());
  for (const std::string& text : texts) out.texts.push_back(QString::fromStdString(text));
  out.colour = colour;
  out.data = data;
  return out;
}

ListRow MakeListRow(const LogListRow& row) { return MakeListRow(row.columns, row.colour); }

void SaveSelectedLogRows(QWidget* parent, CCustomListCtrl& list, const std::function<QString()>& askPath) {
  list.FlushLiveRows();
  const std::vector<int> selected = list.SelectedRows();
  if (selected.empty()) {
    ShowMessage(parent, QStringLiteral("Please select a log item to save !"));
    return;
  }
  const QString path = askPath ? askPath()
                               : QFileDialog::getSaveFileName(parent, QStringLiteral("Save As"), QStringLiteral("*.txt"),
                                                              QStringLiteral("Log Text (*.txt)"));
  if (path.isEmpty()) return;
  std::vector<std::vector<std::string>> rows;
  rows.reserve(selected.size());
  for (int r : selected) {
    std::vector<std::string> texts;
    for (const QString& t : list.Model().Row(r).texts) texts.push_back(t.toStdString());
    texts.resize(static_cast<size_t>(list.Model().columnCount()));
    rows.push_back(std::move(texts));
  }
  (void)WriteSavedLog(path.toStdString(), rows, time(nullptr));
}

}  // namespace quorvex::ui
