// The window tests need an application object; they run offscreen unless a
// display is given.
#include <gtest/gtest.h>

#include <QtGlobal>

#include "window/kestrel_application.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  kestrel::KestrelApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
