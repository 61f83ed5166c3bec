// CBaseDialog: the base of every window of the operator interface (the main
// window, its pages and the edit dialogs). It gives each one the same look:
// a white background, the regular 12 px font for every child, a cache of
// the PNG pictures of the Images folder beside the program, loaded on first
// use, and the painters the windows draw their buttons with.
//
// Painters work on a DrawItem: the button's rectangle in its own
// coordinates (top-left 0,0), its state and its text, as an owner-drawn
// button hands them over.
#pragma once
#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "ui/skin/SkinImages.h"

class QComboBox;
class QLabel;
class QPainter;

namespace quorvex::ui {

struct DrawItem {
  QRect rect;
  bool disabled = false;
  bool pressed = false;
  QString text;
};

class CBaseDialog : public QWidget {
  Q_OBJECT
 public:
  explicit CBaseDialog(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
  ~CBaseDialog() override;

  // Where every window reads its pictures (CSkinImages::SetImagesDir).
  static void SetImagesDir(const QString& dir) { CSkinImages::SetImagesDir(dir); }

  // The look every window of the interface shares: white background and the
  // regular 12 px font for every child.
  static void ApplySkinLook(QWidget& window);

  // This window's picture of `name` (see CSkinImages: loaded on first use; a
  // missing file draws nothing and is not looked for again).
  const QImage& GetSkinImage(const QString& name) { return m_Images.Get(name); }

  // Fills `rows` one-pixel lines of `rect` from the top with a colour ramp
  // from `top` towards `bottom`; with `bevel` the first two and last two
  // lines and the side columns give the face a raised edge.
  static void DrawGradient(QPainter& p, QColor top, QColor bottom, const QRect& rect, int rows, bool bevel);
  // A button face with a bevelled gradient, the text centred in bold 12 px,
  // and, when `image` is not empty, the picture as a square at (3, 3) of side
  // height - 6. Disabled: the face is grey 230 to RGB(230,220,220) whatever
  // was asked. Pressed: a raised edge around it.
  static void DrawImageButton(QPainter& p, CSkinImages& images, const DrawItem& item, QColor top, QColor bottom,
                              QColor text, const QString& image);
  // The same with this window's pictures.
  void DrawImageButton(QPainter& p, const DrawItem& item, QColor top, QColor bottom, QColor text,
                       const QString& image) {
    DrawImageButton(p, m_Images, item, top, bottom, text, image);
  }
  // As DrawImageButton without a picture, the text in bold of the size code
  // (10, 11, 12, 14, 15, 16, 18 or 32 px; any other code 42 px), its
  // rectangle moved 5 px right.
  static void DrawTextButton(QPainter& p, const DrawItem& item, QColor top, QColor bottom, QColor text, int sizeCode);
  // The 16 x 16 caption buttons: grey 230 face (a 210 -> 247 ramp when
  // pressed) with an X or a bar in dark grey.
  static void DrawCloseButton(QPainter& p, const DrawItem& item);
  static void DrawMinimizeButton(QPainter& p, const DrawItem& item);
  // A panel: a one-pixel grey 210 border around `rect` (corners inclusive),
  // filled inside with `fill`.
  static void DrawPanel(QPainter& p, const QRect& rect, QColor fill);
  // A one-pixel grey 210 line from x = inset to x = width - inset at y.
  void DrawHLine(QPainter& p, int inset, int y) const;

  // The text colour of a label, check box or button.
  static void SetTextColour(QWidget* widget, QColor colour);
  // Sets a label's text; only the label's own area is repainted.
  static void SetItemTextRedraw(QLabel* label, const QString& text);
  // Empties the combo box, adds `items` in order and selects `index`, or 0
  // when the index is negative or past the end.
  static void FillCombo(QComboBox* combo, const QStringList& items, int index);

 private:
  CSkinImages m_Images;
};

}  // namespace quorvex::ui
