// The window tests run with a QApplication on the offscreen platform.

#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  // Also for test discovery, which runs without the tests' environment.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
