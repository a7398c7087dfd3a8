#include "platform/autostart.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "support/qt_print.h"

using namespace kalvento::platform;

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The value of key in the [Desktop Entry] group, empty when missing.
QByteArray entryValue(const QByteArray& contents, const QByteArray& key) {
    for (const QByteArray& line : contents.split('\n'))
        if (line.startsWith(key + '='))
            return line.mid(key.size() + 1);
    return {};
}

} // namespace

TEST(Autostart, ExecIsQuotedByTheDesktopEntryRules) {
    struct Case {
        QString path;
        QString exec;
    } cases[] = {
        {"/usr/bin/kalvento", R"("/usr/bin/kalvento" -s)"},
        {"/opt/my apps/kalvento", R"("/opt/my apps/kalvento" -s)"},
        {R"(/a"b`c$d)", R"("/a\\"b\\`c\\$d" -s)"},
        {R"(/back\slash)", R"("/back\\\\slash" -s)"},
        {"/100%/k", R"("/100%%/k" -s)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(autostartExec(c.path), c.exec) << c.path.toStdString();
}

TEST(Autostart, EntryPathFollowsXdgConfigHome) {
    qputenv("XDG_CONFIG_HOME", "/tmp/cfg-home");
    EXPECT_EQ(autostartEntryPath(), "/tmp/cfg-home/autostart/kalvento.desktop");
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_TRUE(autostartEntryPath().endsWith("/.config/autostart/kalvento.desktop"));
}

TEST(Autostart, EnableWritesTheEntryAndDisableDeletesIt) {
    QTemporaryDir dir;
    const QString entry = dir.filePath("autostart/kalvento.desktop");
    EXPECT_FALSE(isAutostartEnabled(entry));

    ASSERT_TRUE(setAutostartEnabled(true, "/opt/kalvento/kalvento", entry));
    EXPECT_TRUE(isAutostartEnabled(entry));
    const QByteArray text = readFile(entry);
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n")) << text.constData();
    EXPECT_TRUE(text.contains("\nExec=\"/opt/kalvento/kalvento\" -s\n")) << text.constData();
    EXPECT_TRUE(text.contains("\nType=Application\n"));

    ASSERT_TRUE(setAutostartEnabled(false, "/opt/kalvento/kalvento", entry));
    EXPECT_FALSE(QFile::exists(entry));
    EXPECT_TRUE(setAutostartEnabled(false, "/opt/kalvento/kalvento", entry)); // already off
}

// The desktop matches a started copy to its menu entry by the file's name and the entry's
// name and icon, so the entry written for the login names the program as the menu does.
TEST(Autostart, EntryHasTheMenuEntrysIdentityAndIsValid) {
    QTemporaryDir dir;
    const QString entry = dir.filePath("autostart/kalvento.desktop");
    ASSERT_TRUE(setAutostartEnabled(true, "/usr/bin/kalvento", entry));
    const QByteArray written = readFile(entry);
    const QByteArray menu = readFile(KALVENTO_MENU_ENTRY);
    ASSERT_FALSE(menu.isEmpty());
    EXPECT_EQ(QFileInfo(entry).fileName(), QFileInfo(KALVENTO_MENU_ENTRY).fileName());
    for (const char* key : {"Type", "Name", "GenericName", "Comment", "Icon", "Categories"}) {
        EXPECT_FALSE(entryValue(menu, key).isEmpty()) << key;
        EXPECT_EQ(entryValue(written, key), entryValue(menu, key)) << key;
    }

    const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
    if (validator.isEmpty())
        GTEST_SKIP() << "desktop-file-validate is not installed (scripts/setup installs it)";
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(validator, {entry});
    ASSERT_TRUE(check.waitForFinished(10000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAll().constData();
    EXPECT_EQ(check.readAll(), QByteArray()) << "warnings from desktop-file-validate";
}

TEST(Autostart, HiddenEntryCountsAsOff) {
    QTemporaryDir dir;
    const QString entry = dir.filePath("kalvento.desktop");
    struct Case {
        QByteArray text;
        bool enabled;
    } cases[] = {
        {"[Desktop Entry]\nExec=k -s\n", true},
        {"[Desktop Entry]\r\nHidden=true\r\nExec=k -s\r\n", false},
        {"[Desktop Entry]\nHidden = true\n", false},
        {"[Desktop Entry]\nHidden=false\n", true},
        {"[Desktop Action x]\nHidden=true\n", true},
    };
    for (const Case& c : cases) {
        QFile file(entry);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.text);
        file.close();
        EXPECT_EQ(isAutostartEnabled(entry), c.enabled) << c.text.constData();
    }
    // Switching on again replaces the hidden entry.
    QFile(entry).open(QIODevice::WriteOnly);
    ASSERT_TRUE(setAutostartEnabled(true, "/k", entry));
    EXPECT_TRUE(isAutostartEnabled(entry));
}

TEST(Autostart, FailureIsReportedAsFalse) {
    QTemporaryDir dir;
    QFile(dir.filePath("file")).open(QIODevice::WriteOnly);
    const QString entry = dir.filePath("file/autostart/kalvento.desktop");
    EXPECT_FALSE(setAutostartEnabled(true, "/k", entry));
    EXPECT_FALSE(isAutostartEnabled(entry));
}
