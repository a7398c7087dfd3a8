#include "platform/identity.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>

using namespace kalvento::platform;

TEST(Identity, ComputerNameIsTheHostNameBeforeTheFirstDotCutTo15) {
    struct Case {
        const char* host;
        const char* name;
    } cases[] = {
        {"pc7", "pc7"},
        {"pc7.office.example", "pc7"},
        {"accounting-desk-12.lan", "accounting-desk"},
        {"exactlyfifteen1", "exactlyfifteen1"},
        {"", "Unknown"},
        {".example", "Unknown"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(computerNameFromHostName(c.host), QString::fromLatin1(c.name)) << c.host;
    // Fifteen bytes of UTF-8, never half a letter: "łódź-biuro-" is 14 bytes, one more "ż"
    // would be 16.
    EXPECT_EQ(computerNameFromHostName("\xc5\x82\xc3\xb3"
                                       "d\xc5\xba-biuro-\xc5\xbc.lan"),
              QStringLiteral("łódź-biuro-"));
}

TEST(Identity, TheEnvironmentNamesACopyForTestsOnOneHost) {
    const QByteArray saved = qgetenv("KALVENTO_COMPUTER_NAME");
    const bool wasSet = qEnvironmentVariableIsSet("KALVENTO_COMPUTER_NAME");

    qputenv("KALVENTO_COMPUTER_NAME", "Copy-number-two-of-many");
    EXPECT_EQ(computerName(), "Copy-number-two");
    qunsetenv("KALVENTO_COMPUTER_NAME");
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(computerName(), computerNameFromHostName(host));

    if (wasSet)
        qputenv("KALVENTO_COMPUTER_NAME", saved);
}

TEST(Identity, UserAndProcessAreThisOnes) {
    EXPECT_FALSE(userName().isEmpty());
    EXPECT_NE(userName(), "Unknown");
    EXPECT_EQ(processId(), quint32(::getpid()));
}
