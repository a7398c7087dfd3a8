// The main() of the tests of windows and widgets: a QApplication on the offscreen platform
// (unless the environment names another), which, like the program, keeps running when its
// last window closes (a window hidden in the tray is still running). The program is
// restricted to loopback, as in every test run.

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!qEnvironmentVariableIsSet("KALVENTO_INTERFACES"))
        qputenv("KALVENTO_INTERFACES", "lo");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
