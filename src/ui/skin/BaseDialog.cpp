#include "ui/skin/BaseDialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPainter>
#include <algorithm>

#include "ui/skin/SkinColors.h"
#include "ui/skin/SkinFonts.h"

namespace quorvex::ui {

namespace {

// Integer steps, as the ramp must end just short of the bottom colour.
QColor RampColour(QColor top, QColor bottom, int i, int rows) {
  const int p = rows > 0 ? i * 100 / rows : 0;
  auto channel = [p](int t, int b) { return t - (t - b) * p / 100; };
  return QColor(channel(top.red(), bottom.red()), channel(top.green(), bottom.green()),
                channel(top.blue(), bottom.blue()));
}

QColor Darken(QColor c, int by) {
  auto ch = [by](int v) { return v < by + 1 ? 0 : v - by; };
  return QColor(ch(c.red()), ch(c.green()), ch(c.blue()));
}

QColor Brighten(QColor c, int by) {
  auto ch = [by](int v) { return std::min(255, v + by); };
  return QColor(ch(c.red()), ch(c.green()), ch(c.blue()));
}

void Pixels(QPainter& p, QColor colour, int x0, int y0, int x1, int y1) {
  p.setPen(colour);
  p.drawLine(x0, y0, x1, y1);
}

void DrawRaisedEdge(QPainter& p, const QRect& r) {
  const int right = r.x() + r.width() - 1, bottom = r.y() + r.height() - 1;
  p.setPen(QColor(255, 255, 255));
  p.drawLine(r.x(), r.y(), right - 1, r.y());
  p.drawLine(r.x(), r.y(), r.x(), bottom - 1);
  p.setPen(QColor(105, 105, 105));
  p.drawLine(r.x(), bottom, right, bottom);
  p.drawLine(right, r.y(), right, bottom);
  p.setPen(QColor(160, 160, 160));
  p.drawLine(r.x() + 1, bottom - 1, right - 1, bottom - 1);
  p.drawLine(right - 1, r.y() + 1, right - 1, bottom - 1);
}

// Face, edge and centred text shared by the image and text buttons.
void DrawFace(QPainter& p, const DrawItem& item, QColor top, QColor bottom, QColor text, const QFont& font,
              int textShift) {
  if (item.disabled) {
    top = skin::kGrey230;
    bottom = skin::kDisabledBottom;
  }
  const int rows = item.rect.y() + item.rect.height();
  CBaseDialog::DrawGradient(p, top, bottom, item.rect, rows, true);
  if (item.pressed) DrawRaisedEdge(p, item.rect);
  p.setFont(font);
  p.setPen(text);
  QRect textRect = item.rect.adjusted(textShift, 0, 0, 0);
  p.drawText(textRect, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, item.text.left(260));
}

void DrawCaptionFace(QPainter& p, const DrawItem& item) {
  const QRect& r = item.rect;
  const int rows = r.height();
  for (int k = 0; k < rows; ++k) Pixels(p, skin::kGrey230, r.x(), r.y() + k, r.x() + r.width() - 1, r.y() + k);
  if (!item.pressed) return;
  int level = 210;
  for (int k = 0; k < rows; ++k) {
    Pixels(p, QColor(level, level, level), r.x(), r.y() + k, r.x() + r.width() - 1, r.y() + k);
    level = 210 + (k * 100 / rows) * 37 / 100;
  }
}

QPen GlyphPen() {
  QPen pen(skin::kDarkGrey50);
  pen.setWidth(2);
  return pen;
}

}  // namespace

CBaseDialog::CBaseDialog(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) { ApplySkinLook(*this); }

void CBaseDialog::ApplySkinLook(QWidget& window) {
  QPalette palette = window.palette();
  palette.setColor(QPalette::Window, skin::kWhite);
  window.setPalette(palette);
  window.setAutoFillBackground(true);
  window.setFont(CFontSet::Regular(12));
}

CBaseDialog::~CBaseDialog() = default;

void CBaseDialog::DrawGradient(QPainter& p, QColor top, QColor bottom, const QRect& rect, int rows, bool bevel) {
  if (rows <= 0) return;
  std::vector<QColor> lines(static_cast<size_t>(rows));
  QColor colour = top;
  for (int i = 0; i < rows; ++i) {
    lines[static_cast<size_t>(i)] = colour;
    colour = RampColour(top, bottom, i, rows);
  }
  if (bevel) {
    lines[0] = Darken(lines[0], 5);
    if (rows > 1) lines[1] = Brighten(lines[1], 20);
    if (rows > 3) lines[static_cast<size_t>(rows - 2)] = Darken(lines[static_cast<size_t>(rows - 2)], 5);
    if (rows > 2) lines[static_cast<size_t>(rows - 1)] = Darken(lines[static_cast<size_t>(rows - 1)], 50);
  }
  const int left = rect.x(), right = rect.x() + rect.width(), top0 = rect.y();
  p.save();
  p.setRenderHint(QPainter::Antialiasing, false);
  for (int i = 0; i < rows; ++i) Pixels(p, lines[static_cast<size_t>(i)], left, top0 + i, right - 1, top0 + i);
  if (bevel && rows > 1) {
    const int bottomEdge = rect.y() + rect.height();
    Pixels(p, lines[0], left, top0 + 2, left, bottomEdge - 2);
    Pixels(p, lines[1], left + 1, top0 + 2, left + 1, bottomEdge - 2);
    Pixels(p, lines[static_cast<size_t>(rows - 1)], right - 1, top0 + 2, right - 1, bottomEdge - 1);
    Pixels(p, lines[static_cast<size_t>(rows - 2)], right, top0 + 2, right, bottomEdge - 1);
  }
  p.restore();
}

void CBaseDialog::DrawImageButton(QPainter& p, CSkinImages& images, const DrawItem& item, QColor top,
                                  QColor bottom, QColor text, const QString& image) {
  p.save();
  DrawFace(p, item, top, bottom, text, CFontSet::Bold(12), 0);
  const int side = item.rect.y() + item.rect.height() - 6;
  if (!image.isEmpty() && side > 0) {
    const QImage& picture = images.Get(image);
    if (!picture.isNull()) {
      p.setRenderHint(QPainter::SmoothPixmapTransform, true);
      p.drawImage(QRect(3, 3, side, side), picture);
    }
  }
  p.restore();
}

void CBaseDialog::DrawTextButton(QPainter& p, const DrawItem& item, QColor top, QColor bottom, QColor text,
                                 int sizeCode) {
  p.save();
  DrawFace(p, item, top, bottom, text, CFontSet::Bold(sizeCode), 5);
  p.restore();
}

void CBaseDialog::DrawCloseButton(QPainter& p, const DrawItem& item) {
  p.save();
  DrawCaptionFace(p, item);
  const QRect& r = item.rect;
  const int left = r.x(), top = r.y(), right = r.x() + r.width(), bottom = r.y() + r.height();
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(GlyphPen());
  p.drawLine(QPointF(left + 2, top + 2), QPointF(right - 2, bottom - 2));
  p.drawLine(QPointF(right - 2, top + 2), QPointF(left + 2, bottom - 2));
  p.restore();
}

void CBaseDialog::DrawMinimizeButton(QPainter& p, const DrawItem& item) {
  p.save();
  DrawCaptionFace(p, item);
  const QRect& r = item.rect;
  const int left = r.x(), right = r.x() + r.width(), bottom = r.y() + r.height();
  p.setPen(GlyphPen());
  p.drawLine(left + 2, bottom - 3, right - 2, bottom - 3);
  p.restore();
}

void CBaseDialog::DrawPanel(QPainter& p, const QRect& rect, QColor fill) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(skin::kGrey210);
  p.setBrush(fill);
  p.drawRect(rect.adjusted(0, 0, -1, -1));
  p.restore();
}

void CBaseDialog::DrawHLine(QPainter& p, int inset, int y) const {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(skin::kGrey210);
  p.drawLine(inset, y, width() - inset - 1, y);
  p.restore();
}

void CBaseDialog::SetTextColour(QWidget* widget, QColor colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  palette.setColor(QPalette::ButtonText, colour);
  widget->setPalette(palette);
}

void CBaseDialog::SetItemTextRedraw(QLabel* label, const QString& text) {
  if (label != nullptr && label->text() != text) label->setText(text);
}

void CBaseDialog::FillCombo(QComboBox* combo, const QStringList& items, int index) {
  if (combo == nullptr) return;
  combo->clear();
  combo->addItems(items);
  combo->setCurrentIndex(index < 0 || index >= items.size() ? 0 : index);
}

}  // namespace quorvex::ui
