#include "ui/skin/CustomListCtrl.h"

#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>

#include "ui/skin/SkinColors.h"
#include "ui/skin/SkinFonts.h"

namespace quorvex::ui {

// ------------------------------------------------------------------ model

int CListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_Rows.size());
}

int CListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_Columns.size());
}

QVariant CListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const ListRow& row = m_Rows[static_cast<size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole: {
      const auto column = static_cast<size_t>(index.column());
      return column < row.texts.size() ? row.texts[column] : QString();
    }
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Column(index.column()).align | Qt::AlignVCenter);
    case kColourRole: return row.colour;
    case kDataRole: return row.data;
    default: return {};
  }
}

QVariant CListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
  if (role == Qt::DisplayRole) return Column(section).caption;
  return {};
}

void CListModel::AddColumn(const ListColumn& column) {
  const int at = columnCount();
  beginInsertColumns({}, at, at);
  m_Columns.push_back(column);
  endInsertColumns();
}

int CListModel::Append(ListRow row) {
  const int at = rowCount();
  if (row.texts.size() > m_Columns.size()) row.texts.resize(m_Columns.size());
  beginInsertRows({}, at, at);
  m_Rows.push_back(std::move(row));
  endInsertRows();
  return at;
}

void CListModel::AppendMany(std::vector<ListRow>& rows) {
  if (rows.empty()) return;
  const int at = rowCount();
  beginInsertRows({}, at, at + static_cast<int>(rows.size()) - 1);
  for (ListRow& row : rows) {
    if (row.texts.size() > m_Columns.size()) row.texts.resize(m_Columns.size());
    m_Rows.push_back(std::move(row));
  }
  endInsertRows();
  rows.clear();
}

void CListModel::SetRow(int row, ListRow value) {
  if (row < 0 || row >= rowCount()) return;
  m_Rows[static_cast<size_t>(row)] = std::move(value);
  emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

void CListModel::Remove(int row) {
  if (row < 0 || row >= rowCount()) return;
  beginRemoveRows({}, row, row);
  m_Rows.erase(m_Rows.begin() + row);
  endRemoveRows();
}

void CListModel::Clear() {
  if (m_Rows.empty()) return;
  beginResetModel();
  m_Rows.clear();
  m_Rows.shrink_to_fit();
  endResetModel();
}

// ------------------------------------------------------------------ header

CSkinHeaderCtrl::CSkinHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsClickable(false);
  setHighlightSections(false);
  setFixedHeight(CCustomListCtrl::kRowHeight);
}

QSize CSkinHeaderCtrl::sizeHint() const { return QSize(QHeaderView::sizeHint().width(), CCustomListCtrl::kRowHeight); }

void CSkinHeaderCtrl::paintEvent(QPaintEvent* event) {
  QHeaderView::paintEvent(event);
  // The strip after the last column takes the header's colour too, not the style's.
  const int last = count() > 0 ? logicalIndex(count() - 1) : -1;
  const int end = last >= 0 ? sectionViewportPosition(last) + sectionSize(last) : 0;
  if (end < viewport()->width()) {
    QPainter p(viewport());
    p.fillRect(QRect(end, 0, viewport()->width() - end, viewport()->height()), m_crBack);
  }
}

void CSkinHeaderCtrl::paintSection(QPainter* p, const QRect& rect, int logicalIndex) const {
  p->save();
  p->fillRect(rect, m_crBack);
  p->setPen(skin::kHeaderRule);
  p->drawLine(rect.left(), rect.top(), rect.left(), rect.bottom());
  p->drawLine(rect.right(), rect.top(), rect.right(), rect.bottom());
  QFont fallback(QStringLiteral("Arial"));
  fallback.setPixelSize(16);
  fallback.setWeight(QFont::DemiBold);
  p->setFont(m_pFont != nullptr ? *m_pFont : fallback);
  p->setPen(skin::kGrey100);
  const QRect text = rect.adjusted(4, 4, -4, -2);
  const QString caption = model() ? model()->headerData(logicalIndex, Qt::Horizontal, Qt::DisplayRole).toString() : "";
  const QString shown = p->fontMetrics().elidedText(caption, Qt::ElideRight, text.width());
  p->drawText(text, Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, shown);
  p->restore();
}

// ------------------------------------------------------------------ rows

namespace {

class CRowDelegate : public QStyledItemDelegate {
 public:
  explicit CRowDelegate(CCustomListCtrl* list) : QStyledItemDelegate(list), m_List(list) {}

  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    p->save();
    const QRect r = option.rect;
    p->fillRect(r, m_List->RowBackground(index.row()));
    p->setPen(QColor(226, 226, 232));  // grid lines
    p->drawLine(r.right(), r.top(), r.right(), r.bottom());
    p->drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    const QString value = index.data().toString();
    if (!value.isEmpty()) {
      p->setFont(CFontSet::Regular(11));
      p->setPen(m_List->RowTextColour(index.row()));
      const QRect text = r.adjusted(4, 0, -4, 0);
      const QFontMetrics& metrics = p->fontMetrics();
      // Shaping a text to elide it is the costliest step of a repaint; a
      // text that surely fits is drawn as it is.
      const bool fits = value.size() * metrics.maxWidth() <= text.width();
      const QString shown = fits ? value : metrics.elidedText(value, Qt::ElideRight, text.width());
      const auto align = static_cast<Qt::Alignment>(index.data(Qt::TextAlignmentRole).toInt());
      p->drawText(text, align | Qt::TextSingleLine, shown);
    }
    p->restore();
  }

 private:
  CCustomListCtrl* m_List;
};

}  // namespace

CCustomListCtrl::CCustomListCtrl(int listId, QWidget* parent)
    : QTableView(parent), m_ListId(listId), m_Model(this), m_header(new CSkinHeaderCtrl(this)) {
  setHorizontalHeader(m_header);
  setModel(&m_Model);
  setItemDelegate(new CRowDelegate(this));
  setShowGrid(false);
  setWordWrap(false);
  setCornerButtonEnabled(false);
  setSelectionBehavior(SelectRows);
  setSelectionMode(SingleSelection);
  setEditTriggers(NoEditTriggers);
  setHorizontalScrollMode(ScrollPerPixel);
  setFrameShape(QFrame::Box);
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setMinimumSectionSize(kRowHeight);
  verticalHeader()->setDefaultSectionSize(kRowHeight);
  m_header->setStretchLastSection(false);
  m_header->setSectionResizeMode(QHeaderView::Interactive);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Base, skin::kWhite);
  palette.setColor(QPalette::Text, skin::kListText);
  setPalette(palette);
  setFont(CFontSet::Regular(11));
  m_LiveTimer.setSingleShot(true);
  connect(&m_LiveTimer, &QTimer::timeout, this, &CCustomListCtrl::FlushLiveRows);
  connect(this, &QTableView::clicked, this, [this](const QModelIndex& i) { OnRowClicked(i, kClickCode); });
  connect(this, &QTableView::doubleClicked, this, [this](const QModelIndex& i) { OnRowClicked(i, kDoubleClickCode); });
}

void CCustomListCtrl::InsertColumn(const QString& caption, Qt::Alignment align, int width) {
  m_Model.AddColumn({caption, align, width});
  SetColumnWidth(m_Model.columnCount() - 1, width);
}

void CCustomListCtrl::SetColumnWidth(int column, int width) { m_header->resizeSection(column, width); }

int CCustomListCtrl::AppendRow(ListRow row) {
  FlushLiveRows();  // rows keep the order they came in
  return m_Model.Append(std::move(row));
}

void CCustomListCtrl::AppendLiveRow(ListRow row, bool follow) {
  if (!m_LiveTimer.isActive()) m_LiveTimer.start(kLiveRepaintMs);
  m_Follow = follow;
  m_LivePending.push_back(std::move(row));
}

void CCustomListCtrl::FlushLiveRows() {
  m_LiveTimer.stop();
  m_Model.AppendMany(m_LivePending);
  if (m_Follow && m_Model.rowCount() > 0) scrollToBottom();
  m_Follow = false;
}

void CCustomListCtrl::DeleteAllItems() {
  m_nCurSel = -1;
  m_LivePending.clear();
  m_Model.Clear();
}

void CCustomListCtrl::DeleteItem(int row) {
  m_nCurSel = -1;
  m_Model.Remove(row);
}

std::vector<int> CCustomListCtrl::SelectedRows() const {
  std::vector<int> rows;
  if (selectionModel() == nullptr) return rows;
  for (const QModelIndex& i : selectionModel()->selectedRows()) rows.push_back(i.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

void CCustomListCtrl::SelectAllRows() {
  FlushLiveRows();
  selectAll();
}

void CCustomListCtrl::EnsureVisible(int row) {
  if (row >= 0 && row < GetItemCount()) scrollTo(m_Model.index(row, 0), QAbstractItemView::EnsureVisible);
}

void CCustomListCtrl::SetMultiSelect(bool multi) { setSelectionMode(multi ? ExtendedSelection : SingleSelection); }

QColor CCustomListCtrl::RowBackground(int row) const {
  const bool selected = m_bShowSelected && selectionModel() != nullptr && selectionModel()->isRowSelected(row, {});
  if (row == m_nCurSel || selected) return m_crSelBack;
  return (row % 2) != 0 ? m_crOddRow : skin::kWhite;
}

QColor CCustomListCtrl::RowTextColour(int row) const {
  const bool selected = m_bShowSelected && selectionModel() != nullptr && selectionModel()->isRowSelected(row, {});
  if (row == m_nCurSel || selected) return skin::kCurrentRowText;
  if (m_bUniformText) return skin::kBlue;
  switch (m_Model.Row(row).colour) {
    case 0: return skin::kRed;
    case 2: return skin::kGrey150;
    case 3: return skin::kGrey80;
    default: return skin::kBlue;
  }
}

void CCustomListCtrl::OnRowClicked(const QModelIndex& index, int code) {
  if (!index.isValid() || index.row() < 0 || index.column() < 0) return;
  m_nCurSel = index.row();
  viewport()->update();
  emit Notified(code, m_ListId);
}

}  // namespace quorvex::ui
