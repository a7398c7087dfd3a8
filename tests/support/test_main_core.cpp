// The main() of the tests that need no display: a Qt event loop for timers, sockets and the
// signals of worker threads. The program is restricted to loopback, as in every test run,
// so that no name a test makes up is ever looked up in DNS.

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("KALVENTO_INTERFACES"))
        qputenv("KALVENTO_INTERFACES", "lo");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
