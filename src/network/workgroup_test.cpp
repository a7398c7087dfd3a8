#include "network/workgroup.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kalvento::network;

TEST(Workgroup, ReadsTheGlobalSectionOfSmbConf) {
    struct Case {
        const char* what;
        const char* text;
        std::optional<QString> workgroup;
    } cases[] = {
        {"plain", "[global]\n   workgroup = OFFICE\n", "OFFICE"},
        {"case and blanks in names", "[ Global ]\n\tWork Group=Sales Team  \n", "Sales Team"},
        {"globals alias", "[globals]\nworkgroup = G2\n", "G2"},
        {"before any section", "workgroup = EARLY\n[homes]\nbrowseable = no\n", "EARLY"},
        {"other section ignored", "[global]\nserver string = x\n[share]\nworkgroup = NO\n",
         std::nullopt},
        {"comments", "[global]\n; workgroup = A\n# workgroup = B\nworkgroup = C\n", "C"},
        {"last setting wins", "[global]\nworkgroup = FIRST\nworkgroup = SECOND\n", "SECOND"},
        {"continued line", "[global]\nworkgroup = LONG\\\nNAME\n", "LONGNAME"},
        {"CRLF", "[global]\r\nworkgroup = DOS\r\n", "DOS"},
        {"empty value", "[global]\nworkgroup =\n", std::nullopt},
        {"no file content", "", std::nullopt},
        {"Windows-1252 value", "[global]\nworkgroup = Caf\xE9\n", QStringLiteral("Caf\u00E9")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(workgroupFromSmbConf(c.text), c.workgroup) << c.what;
}

TEST(Workgroup, EnvironmentThenSmbConfThenTheDefault) {
    const bool wasSet = qEnvironmentVariableIsSet("KALVENTO_WORKGROUP");
    const QByteArray saved = qgetenv("KALVENTO_WORKGROUP");
    qunsetenv("KALVENTO_WORKGROUP");

    QTemporaryDir dir;
    const QString path = dir.filePath("smb.conf");
    EXPECT_EQ(workgroupName(path), "WORKGROUP") << "no file";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[global]\nworkgroup = LAB\n");
    file.close();
    EXPECT_EQ(workgroupName(path), "LAB");
    qputenv("KALVENTO_WORKGROUP", "TESTGROUP");
    EXPECT_EQ(workgroupName(path), "TESTGROUP");

    if (wasSet)
        qputenv("KALVENTO_WORKGROUP", saved);
    else
        qunsetenv("KALVENTO_WORKGROUP");
}
