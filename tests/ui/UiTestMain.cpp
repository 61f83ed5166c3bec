// The window tests run on Qt's offscreen platform unless a display was asked
// for, with the Fusion style the program uses.
#include <gtest/gtest.h>

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
