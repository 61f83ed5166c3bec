// What the pages share about their lists: rows made from the engine's texts,
// and saving the selected log rows to the operator's text file.
#pragma once
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "persistence/LogManager.h"
#include "ui/skin/CustomListCtrl.h"

class QWidget;

namespace quorvex::ui {

// A list row of texts, colour code and the owner's tag for its record.
ListRow MakeListRow(const std::vector<std::string>& texts, int colour, qint64 data = 0);
// The row of a log record as the engine made it.
ListRow MakeListRow(const LogListRow& row);

// Saves the selected rows of `list` to the file the operator names (asked
// through `askPath`, or a Save As dialog when it is empty; an empty answer
// cancels). With no row selected: "Please select a log item to save !" and
// nothing else. A file that cannot be created is skipped without a message.
void SaveSelectedLogRows(QWidget* parent, CCustomListCtrl& list, const std::function<QString()>& askPath);

}  // namespace quorvex::ui
