#include "ui/skin/SkinButton.h"

#include <QPainter>

#include "ui/skin/SkinColors.h"

namespace quorvex::ui {

CSkinButton::CSkinButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
  setText(text);
  setFocusPolicy(Qt::NoFocus);
  setCursor(Qt::PointingHandCursor);
}

void CSkinButton::SetPainter(Painter painter) {
  m_Painter = std::move(painter);
  update();
}

DrawItem CSkinButton::Item() const {
  DrawItem item;
  item.rect = QRect(0, 0, width(), height());
  item.disabled = !isEnabled();
  item.pressed = isDown();
  item.text = text();
  return item;
}

void CSkinButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const DrawItem item = Item();
  if (m_Painter) {
    m_Painter(p, item);
  } else {
    CBaseDialog::DrawTextButton(p, item, skin::kWhite, skin::kGrey230, skin::kGrey80, 12);
  }
}

}  // namespace quorvex::ui
