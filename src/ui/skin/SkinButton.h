// CSkinButton: an owner-drawn push button. It knows no colours of its own:
// the owning window paints it through the painter it set, with the button's
// rectangle, state and text, as the window's draw-item handler would.
#pragma once
#include <QAbstractButton>
#include <functional>

#include "ui/skin/BaseDialog.h"

namespace quorvex::ui {

class CSkinButton : public QAbstractButton {
  Q_OBJECT
 public:
  using Painter = std::function<void(QPainter&, const DrawItem&)>;

  CSkinButton(const QString& text, QWidget* parent);
  // The owner's painter; without one the button draws a plain grey face.
  void SetPainter(Painter painter);
  // The item as the painter receives it now.
  DrawItem Item() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Painter m_Painter;
};

}  // namespace quorvex::ui
