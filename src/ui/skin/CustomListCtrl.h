// CCustomListCtrl: the report list of every page, a model/view table so that
// thousands of live rows cost one model row each. It colours its rows itself
// (the current row, odd rows, and a colour code per row: 0 red, 1 blue,
// 2 grey 150, 3 grey 80, anything else blue), never shows the style's own
// selection highlight, and tells its owner about clicks and double clicks
// on a row through Notified(code, listId): code -2 for a click, -3 for a
// double click. A click on empty space changes nothing and tells nothing.
//
// CSkinHeaderCtrl paints the column header: a background colour, rules
// between the columns and the captions in grey 100, in the font it was given
// or, without one, in a 16 px Arial of weight 600.
#pragma once
#include <QAbstractTableModel>
#include <QColor>
#include <QHeaderView>
#include <QTableView>
#include <QTimer>
#include <vector>

namespace quorvex::ui {

struct ListColumn {
  QString caption;
  Qt::Alignment align = Qt::AlignLeft;
  int width = 60;
};

struct ListRow {
  std::vector<QString> texts;
  int colour = 1;    // colour code
  qint64 data = 0;   // the owner's tag for the row's record (0 for none)
};

class CListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  static constexpr int kColourRole = Qt::UserRole + 1;
  static constexpr int kDataRole = Qt::UserRole + 2;

  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  void AddColumn(const ListColumn& column);
  const ListColumn& Column(int i) const { return m_Columns[static_cast<size_t>(i)]; }
  // Appends a row (texts beyond the column count are ignored); its index.
  int Append(ListRow row);
  // Appends rows in one insertion.
  void AppendMany(std::vector<ListRow>& rows);
  void SetRow(int row, ListRow value);
  // Removes one row; a row outside the list is ignored.
  void Remove(int row);
  const ListRow& Row(int row) const { return m_Rows[static_cast<size_t>(row)]; }
  void Clear();

 private:
  std::vector<ListColumn> m_Columns;
  std::vector<ListRow> m_Rows;
};

class CSkinHeaderCtrl : public QHeaderView {
  Q_OBJECT
 public:
  explicit CSkinHeaderCtrl(QWidget* parent);

  const QFont* m_pFont = nullptr;  // one of the font set's fonts, or none
  QColor m_crBack{160, 220, 255};

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
};

class CCustomListCtrl : public QTableView {
  Q_OBJECT
 public:
  static constexpr int kClickCode = -2;
  static constexpr int kDoubleClickCode = -3;
  static constexpr int kRowHeight = 20;

  CCustomListCtrl(int listId, QWidget* parent);

  int ListId() const { return m_ListId; }
  CListModel& Model() { return m_Model; }
  const CListModel& Model() const { return m_Model; }
  CSkinHeaderCtrl* Header() const { return m_header; }

  void InsertColumn(const QString& caption, Qt::Alignment align, int width);
  void SetColumnWidth(int column, int width);
  // Appends a row; its index.
  int AppendRow(ListRow row);
  // Rows in the list, including live rows not shown yet.
  int GetItemCount() const { return m_Model.rowCount() + static_cast<int>(m_LivePending.size()); }
  // Empties the list; the current row becomes -1.
  void DeleteAllItems();
  // Removes one row; the current row becomes -1.
  void DeleteItem(int row);
  // Rows in the list's own selected state, in list order.
  std::vector<int> SelectedRows() const;
  void SelectAllRows();
  void EnsureVisible(int row);
  // Several rows may be selected (else one at most).
  void SetMultiSelect(bool multi);

  // Rows that arrive faster than the eye can follow: they are gathered and
  // enter the list together at most every kLiveRepaintMs, with one repaint
  // (and then a scroll to the last row when `follow` is set). A row at a
  // time would repaint the whole list after every row, which costs
  // milliseconds a row. GetItemCount counts them at once.
  void AppendLiveRow(ListRow row, bool follow);
  static constexpr int kLiveRepaintMs = 40;
  // Shows now what AppendLiveRow gathered (the timer does it otherwise).
  void FlushLiveRows();

  // The row colouring of `row` as drawn now: background and text colour.
  QColor RowBackground(int row) const;
  QColor RowTextColour(int row) const;

  int m_nCurSel = -1;
  bool m_bUniformText = false;
  QColor m_crOddRow{255, 245, 255};
  QColor m_crSelBack{200, 200, 255};
  bool m_bShowSelected = false;

 signals:
  void Notified(int code, int listId);

 private:
  void OnRowClicked(const QModelIndex& index, int code);

  QTimer m_LiveTimer;
  std::vector<ListRow> m_LivePending;
  bool m_Follow = false;

  int m_ListId;
  CListModel m_Model;
  CSkinHeaderCtrl* m_header;
};

}  // namespace quorvex::ui
