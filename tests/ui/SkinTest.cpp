#include <QComboBox>
#include <QPainter>
#include <QSignalSpy>

#include "WindowFixture.h"
#include "ui/skin/SkinButton.h"

namespace quorvex::ui::test {
namespace {

bool Near(QColor a, QColor b, int tolerance = 6) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

::testing::AssertionResult PixelNear(const QImage& image, QPoint at, QColor expected, int tolerance = 6) {
  const QColor got = image.pixelColor(at);
  if (Near(got, expected, tolerance)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pixel (" << at.x() << "," << at.y() << ") is " << got.name().toStdString()
                                       << ", expected about " << expected.name().toStdString();
}

using DrawingTest = WindowFixture;

TEST_F(DrawingTest, StartFaceIsOrangeAndTheCurrentPageButtonLightBlue) {
  Open();
  const QImage shot = window->grab().toImage();
  // Right of the Start caption, below the bevel: the face's upper half.
  EXPECT_TRUE(PixelNear(shot, QPoint(1202 + 105, 83 + 6), QColor(240, 108, 84), 8));
  EXPECT_TRUE(PixelNear(shot, QPoint(14 + 110, 83 + 8), QColor(160, 220, 255))) << "current page button";
  EXPECT_TRUE(PixelNear(shot, QPoint(133 + 110, 83 + 8), QColor(250, 250, 250))) << "other page button";
  EXPECT_TRUE(PixelNear(shot, QPoint(700, 20), QColor(230, 230, 230), 0)) << "caption band";
  EXPECT_TRUE(PixelNear(shot, QPoint(700, 860), QColor(248, 248, 247), 0)) << "footer band";
  EXPECT_TRUE(PixelNear(shot, QPoint(0, 500), Qt::black, 0)) << "window border";
  window->OnStart();
  const QImage running = window->grab().toImage();
  EXPECT_TRUE(PixelNear(running, QPoint(1321 + 60, 83 + 12), QColor(239, 99, 74), 8)) << "Stop face";
}

TEST_F(DrawingTest, DisabledButtonsShowTheGreyFaceWhateverWasAsked) {
  Open();
  const QImage shot = window->grab().toImage();
  // LoRa 1.1 is disabled; Stop too while the server is stopped.
  EXPECT_TRUE(PixelNear(shot, QPoint(252 + 110, 83 + 6), QColor(230, 230, 230), 6));
  EXPECT_TRUE(PixelNear(shot, QPoint(1321 + 60, 83 + 20), QColor(230, 222, 222), 6));
}

TEST_F(DrawingTest, ListRowsTakeCurrentOddAndCodeColours) {
  Open();
  for (uint32_t type : {CLog::Uplink, CLog::Downlink, CLog::Debug, CLog::Join}) Page().ShowLogRecord(MakeRecord(type));
  CCustomListCtrl& list = List();
  EXPECT_EQ(list.RowBackground(0), QColor(255, 255, 255));
  EXPECT_EQ(list.RowBackground(1), QColor(255, 245, 255));
  EXPECT_EQ(list.RowTextColour(0), QColor(255, 0, 0));
  EXPECT_EQ(list.RowTextColour(1), QColor(0, 0, 255));
  EXPECT_EQ(list.RowTextColour(2), QColor(150, 150, 150));
  // Clicking a row makes it current: it wins over the odd-row colour.
  const QRect cell = list.visualRect(list.Model().index(3, 4));
  QSignalSpy spy(&list, &CCustomListCtrl::Notified);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(list.m_nCurSel, 3);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_EQ(spy.at(0).at(0).toInt(), CCustomListCtrl::kClickCode);
  EXPECT_EQ(spy.at(0).at(1).toInt(), 1003);
  EXPECT_EQ(list.RowBackground(3), QColor(200, 200, 255));
  EXPECT_EQ(list.RowTextColour(3), QColor(47, 64, 107));
  // Pixels: the odd row 1 far right in its Count cell, the current row 3.
  list.clearSelection();
  const QImage shot = list.viewport()->grab().toImage();
  const QRect odd = list.visualRect(list.Model().index(1, 4));
  EXPECT_TRUE(PixelNear(shot, QPoint(odd.right() - 3, odd.top() + 2), QColor(255, 245, 255), 0));
  EXPECT_TRUE(PixelNear(shot, QPoint(cell.right() - 3, cell.top() + 2), QColor(200, 200, 255), 0));
  // A click below the last row changes nothing and tells nothing.
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, QPoint(20, list.viewport()->height() - 5));
  EXPECT_EQ(list.m_nCurSel, 3);
  EXPECT_EQ(spy.count(), 1);
  const QPoint first = list.visualRect(list.Model().index(0, 1)).center();
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, first);
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, first);
  bool doubleClick = false;
  for (const auto& notice : spy) doubleClick = doubleClick || notice.at(0).toInt() == CCustomListCtrl::kDoubleClickCode;
  EXPECT_TRUE(doubleClick);
  EXPECT_EQ(list.m_nCurSel, 0);
}

TEST_F(DrawingTest, ShowSelectedDrawsEverySelectedRowAsCurrent) {
  Open();
  for (int i = 0; i < 3; ++i) Page().ShowLogRecord(MakeRecord(CLog::Uplink, i));
  List().SelectAllRows();
  for (int r = 0; r < 3; ++r) EXPECT_EQ(List().RowBackground(r), QColor(200, 200, 255));
  List().m_bShowSelected = false;
  EXPECT_EQ(List().RowBackground(1), QColor(255, 245, 255));
  List().m_bUniformText = true;
  EXPECT_EQ(List().RowTextColour(0), QColor(0, 0, 255));
}

TEST(SkinTest, GradientRampsInIntegerStepsAndBevelsItsEdges) {
  QImage image(10, 10, QImage::Format_RGB32);
  image.fill(Qt::white);
  {
    QPainter p(&image);
    CBaseDialog::DrawGradient(p, QColor(200, 100, 0), QColor(100, 0, 0), QRect(0, 0, 10, 10), 10, false);
  }
  EXPECT_EQ(image.pixelColor(5, 0), QColor(200, 100, 0));
  EXPECT_EQ(image.pixelColor(5, 1), QColor(200, 100, 0));
  EXPECT_EQ(image.pixelColor(5, 2), QColor(190, 90, 0));
  EXPECT_EQ(image.pixelColor(5, 9), QColor(120, 20, 0)) << "the last line stays short of the bottom colour";
  {
    QPainter p(&image);
    CBaseDialog::DrawGradient(p, QColor(100, 100, 100), QColor(100, 100, 100), QRect(0, 0, 10, 10), 10, true);
  }
  EXPECT_EQ(image.pixelColor(5, 0), QColor(95, 95, 95));
  EXPECT_EQ(image.pixelColor(5, 1), QColor(120, 120, 120));
  EXPECT_EQ(image.pixelColor(5, 8), QColor(95, 95, 95));
  EXPECT_EQ(image.pixelColor(5, 9), QColor(50, 50, 50));
  EXPECT_EQ(image.pixelColor(0, 5), QColor(95, 95, 95)) << "left bevel column";
  EXPECT_EQ(image.pixelColor(9, 5), QColor(50, 50, 50)) << "right bevel column";
}

TEST(SkinTest, PressedCaptionButtonShowsAGreyRampUnderItsGlyph) {
  QImage image(16, 16, QImage::Format_RGB32);
  DrawItem item{QRect(0, 0, 16, 16), false, true, {}};
  {
    QPainter p(&image);
    CBaseDialog::DrawMinimizeButton(p, item);
  }
  EXPECT_EQ(image.pixelColor(8, 0), QColor(210, 210, 210));
  EXPECT_GT(image.pixelColor(8, 10).red(), 220);
  EXPECT_LT(image.pixelColor(8, 13).red(), 100) << "the bar";
  item.pressed = false;
  {
    QPainter p(&image);
    CBaseDialog::DrawCloseButton(p, item);
  }
  EXPECT_EQ(image.pixelColor(8, 0), QColor(230, 230, 230));
  EXPECT_LT(image.pixelColor(8, 8).red(), 120) << "the X crosses the middle";
}

TEST(SkinTest, FillComboSelectsZeroForAnIndexOutOfRange) {
  QComboBox combo;
  struct Case {
    int index, selected;
  };
  for (const Case c : {Case{1, 1}, Case{5, 0}, Case{-1, 0}, Case{3, 0}}) {
    CBaseDialog::FillCombo(&combo, {"a", "b", "c"}, c.index);
    EXPECT_EQ(combo.count(), 3);
    EXPECT_EQ(combo.currentIndex(), c.selected) << c.index;
  }
}

TEST(SkinTest, MissingPicturesDrawNothingAndAreNotLookedForAgain) {
  quorvex::test::TempDir images;
  CBaseDialog::SetImagesDir(QString::fromStdString(images.Path().string()));
  CBaseDialog dialog;
  EXPECT_TRUE(dialog.GetSkinImage("arrow.png").isNull());
  QImage red(4, 4, QImage::Format_RGB32);
  red.fill(Qt::red);
  ASSERT_TRUE(red.save(QString::fromStdString(images.File("arrow.png"))));
  EXPECT_TRUE(dialog.GetSkinImage("arrow.png").isNull()) << "a failed load is kept for the window's life";
  CBaseDialog fresh;
  EXPECT_FALSE(fresh.GetSkinImage("arrow.png").isNull()) << "a new window looks again";
  EXPECT_TRUE(fresh.GetSkinImage("not-a-skin-name.png").isNull());
  CBaseDialog::SetImagesDir(QStringLiteral(QUORVEX_IMAGES_DIR));
}

TEST(SkinTest, ImageButtonDrawsItsIconAsASquareAtTheLeftEdge) {
  quorvex::test::TempDir images;
  QImage green(8, 8, QImage::Format_RGB32);
  green.fill(Qt::green);
  ASSERT_TRUE(green.save(QString::fromStdString(images.File("arrow.png"))));
  CBaseDialog::SetImagesDir(QString::fromStdString(images.Path().string()));
  CBaseDialog dialog;
  QImage image(117, 26, QImage::Format_RGB32);
  {
    QPainter p(&image);
    dialog.DrawImageButton(p, DrawItem{QRect(0, 0, 117, 26), false, false, "Go"}, QColor(250, 250, 250),
                           QColor(250, 250, 250), QColor(80, 80, 80), "arrow.png");
  }
  EXPECT_EQ(image.pixelColor(3, 3), QColor(Qt::green));
  EXPECT_EQ(image.pixelColor(22, 22), QColor(Qt::green)) << "a 20 x 20 square at (3, 3)";
  EXPECT_NE(image.pixelColor(23, 12), QColor(Qt::green));
  CBaseDialog::SetImagesDir(QStringLiteral(QUORVEX_IMAGES_DIR));
}

TEST(SkinTest, HeaderWithoutAFontFallsBackToArial) {
  CCustomListCtrl list(1, nullptr);
  list.InsertColumn("Type", Qt::AlignHCenter, 60);
  EXPECT_EQ(list.Header()->m_pFont, nullptr);
  EXPECT_EQ(list.Header()->height(), 20);
  list.resize(200, 100);
  const QImage shot = list.Header()->grab().toImage();
  EXPECT_EQ(shot.pixelColor(150, 10), QColor(160, 220, 255)) << "background beyond the last column";
  const int edge = list.Header()->sectionPosition(0) + list.Header()->sectionSize(0) - 1;
  EXPECT_EQ(shot.pixelColor(edge, 10), QColor(140, 210, 205)) << "rule at the column's right edge, x = " << edge;
}

}  // namespace
}  // namespace quorvex::ui::test
