#include "platform/paths.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "support/qt_print.h"

using namespace kalvento::platform;

TEST(Paths, SettingsDirectoryChoice) {
    QTemporaryDir portable;
    QFile(portable.filePath("Options.ini")).open(QIODevice::WriteOnly);
    QTemporaryDir installed;
    const QString p = portable.path();
    const QString i = installed.path();
    struct Case {
        const char* name;
        QString overrideDirectory, programDir, configHome;
        QString expected;
    } cases[] = {
        {"override wins", "/etc/kv", p, "/cfg", "/etc/kv/"},
        {"override with slash", "/etc/kv/", p, "/cfg", "/etc/kv/"},
        {"portable copy", "", p, "/cfg", p + "/"},
        {"installed program", "", i, "/cfg", "/cfg/kalvento/"},
        {"no XDG_CONFIG_HOME", "", i, "", "/home/u/.config/kalvento/"},
        {"relative XDG_CONFIG_HOME is ignored", "", i, "cfg", "/home/u/.config/kalvento/"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(
            chooseSettingsDirectory(c.overrideDirectory, c.programDir, c.configHome, "/home/u"),
            c.expected)
            << c.name;
}

TEST(Paths, SettingsDirectoryIsCreatedFromTheEnvironment) {
    QTemporaryDir dir;
    const QString wanted = dir.filePath("deep/er");
    qputenv("KALVENTO_CONFIG_DIR", QFile::encodeName(wanted));
    EXPECT_EQ(settingsDirectory(), wanted + "/");
    EXPECT_EQ(settingsFilePath(), wanted + "/Options.ini");
    EXPECT_TRUE(QFileInfo(wanted).isDir());
    qunsetenv("KALVENTO_CONFIG_DIR");
}

TEST(Paths, ProgramDirectoryHoldsTheExecutable) {
    const QString dir = programDirectory();
    EXPECT_TRUE(dir.endsWith('/'));
    EXPECT_TRUE(QFileInfo::exists(dir + "paths_test"));
}
