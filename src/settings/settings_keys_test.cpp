// Every key of the settings file through the one table that declares them: a file holding
// every key at a value other than its default reads whole, writes back unchanged, and
// survives a round trip through the batches; a missing file gives the defaults; each
// integer's range rule holds at its ends.

#include "settings/settings_keys.h"
#include "settings/settings_store.h"

#include "platform/ini_file.h"
#include "support/qt_print.h"
#include "support/test_data.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace kalvento::settings;
using namespace kalvento::settings::keys;
using kalvento::platform::IniDocument;
using kalvento::test::readFile;
using kalvento::test::writeFile;

namespace {

const QString EveryKeyFile = QStringLiteral(KALVENTO_SETTINGS_TESTDATA "every_key.ini");

template <class Owner> std::string nameOf(const Key<Owner>& key) {
    return std::string(key.section) + '/' + (key.name ? key.name : "*");
}

template <class Owner> bool sameValue(const Key<Owner>& key, const Owner& a, const Owner& b) {
    return std::visit([&](const auto& kind) { return a.*kind.member == b.*kind.member; },
                      key.value);
}

class SettingsKeys : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path = dir.filePath("Options.ini");
    QString entry = dir.filePath("autostart/kalvento.desktop");
    QString home = dir.path() + "/";

    Settings read() { return readAll(path, entry); }
    // Every batch that writes settings, so that each key is written at least once.
    void writeEveryBatch(Settings s) {
        s.maximized = false; // the size and the place are written only then
        ASSERT_TRUE(writeClose(path, s));
        s.maximized = true;
        ASSERT_TRUE(writeClose(path, s));
        ASSERT_TRUE(writeAll(path, s, "/usr/bin/kalvento", entry));
    }
};

} // namespace

TEST_F(SettingsKeys, NoKeyIsDeclaredTwice) {
    QSet<QString> seen;
    const auto add = [&](const std::string& name) {
        const QString folded = QString::fromStdString(name).toCaseFolded();
        EXPECT_FALSE(seen.contains(folded)) << name;
        seen.insert(folded);
    };
    for (const auto& key : settingsKeys())
        add(nameOf(key));
    for (const auto& key : updateKeys())
        add(nameOf(key));
}

TEST_F(SettingsKeys, AFileWithEveryKeyReadsWholeAndWritesBackUnchanged) {
    const QByteArray original = readFile(EveryKeyFile);
    ASSERT_FALSE(original.isEmpty()) << EveryKeyFile.toStdString();
    const IniDocument document = IniDocument::parse(original);
    writeFile(path, original);

    // Every key of the table is in the file with a value unlike its default, so reading it
    // changes every member.
    const Settings defaults = Settings::defaults(home);
    const Settings s = read();
    for (const auto& key : settingsKeys()) {
        if (key.name) {
            EXPECT_TRUE(
                document.value(QString::fromLatin1(key.section), QString::fromLatin1(key.name))
                    .has_value())
                << nameOf(key);
        }
        EXPECT_FALSE(sameValue(key, s, defaults)) << nameOf(key) << " was not read";
    }
    EXPECT_FALSE(s.languageIndexMissing);
    const UpdateState state = readUpdateState(path, QDate(2026, 1, 1));
    const UpdateState noState = readUpdateState(dir.filePath("none.ini"), QDate(2026, 1, 1));
    for (const auto& key : updateKeys())
        EXPECT_FALSE(sameValue(key, state, noState)) << nameOf(key) << " was not read";

    // The batches write each value in the form it was read from, in its place.
    ASSERT_TRUE(writeClose(path, s));
    ASSERT_TRUE(writeAll(path, s, "/usr/bin/kalvento", entry));
    ASSERT_TRUE(writeHideToTray(path, s.hideToTray));
    ASSERT_TRUE(writeStatus(path, s));
    ASSERT_TRUE(writeFriendsSection(path, s));
    ASSERT_TRUE(writeFirstRun(path, s));
    ASSERT_TRUE(writeLastChecked(path, state.lastChecked));
    ASSERT_TRUE(writeErrorCount(path, state.errorCount));
    EXPECT_EQ(readFile(path), original);
}

TEST_F(SettingsKeys, EveryKeyRoundTripsThroughTheBatches) {
    writeFile(path, readFile(EveryKeyFile));
    const Settings s = read();
    const UpdateState state = readUpdateState(path);
    ASSERT_TRUE(QFile::remove(path));

    writeEveryBatch(s);
    ASSERT_TRUE(writeLastChecked(path, state.lastChecked));
    ASSERT_TRUE(writeErrorCount(path, state.errorCount));
    const Settings back = read();
    for (const auto& key : settingsKeys())
        EXPECT_TRUE(sameValue(key, back, s)) << nameOf(key);
    const UpdateState stateBack = readUpdateState(path);
    for (const auto& key : updateKeys())
        EXPECT_TRUE(sameValue(key, stateBack, state)) << nameOf(key);
}

TEST_F(SettingsKeys, AMissingFileOrKeyGivesTheDefault) {
    const Settings defaults = Settings::defaults(home);
    const Settings fromNothing = read();
    for (const auto& key : settingsKeys())
        EXPECT_TRUE(sameValue(key, fromNothing, defaults)) << nameOf(key);

    // The defaults written out read back as the defaults.
    writeEveryBatch(defaults);
    const Settings back = read();
    for (const auto& key : settingsKeys()) {
        if (!key.name || std::string_view(key.name) != "Maximized") { // written as it was last
            EXPECT_TRUE(sameValue(key, back, defaults)) << nameOf(key);
        }
    }

    // An empty or unreadable value is no value.
    for (const auto& key : settingsKeys()) {
        if (!key.name || std::holds_alternative<Text<Settings>>(key.value) ||
            std::holds_alternative<List<Settings>>(key.value))
            continue;
        writeFile(path, QByteArray("[") + key.section + "]\n" + key.name + "=?\n");
        EXPECT_TRUE(sameValue(key, read(), defaults)) << nameOf(key);
    }
}

TEST_F(SettingsKeys, IntegersOutOfRangeFollowTheirRule) {
    const Settings defaults = Settings::defaults(home);
    int checked = 0;
    for (const auto& key : settingsKeys()) {
        const auto* number = std::get_if<Integer<Settings>>(&key.value);
        if (!number || (number->min == IntMin && number->max == IntMax))
            continue;
        const auto readValue = [&](qint64 value) {
            writeFile(path, QByteArray("[") + key.section + "]\n" + key.name + "=" +
                                QByteArray::number(value) + "\n");
            return read().*number->member;
        };
        const bool clamp = number->rule == OutOfRange::Clamp;
        EXPECT_EQ(readValue(number->min), number->min) << nameOf(key);
        EXPECT_EQ(readValue(number->max), number->max) << nameOf(key);
        if (number->min != IntMin) {
            EXPECT_EQ(readValue(qint64(number->min) - 1),
                      clamp ? number->min : defaults.*number->member)
                << nameOf(key);
        }
        if (number->max != IntMax) {
            EXPECT_EQ(readValue(qint64(number->max) + 1),
                      clamp ? number->max : defaults.*number->member)
                << nameOf(key);
        }
        ++checked;
    }
    EXPECT_GE(checked, 8); // the table declares ranges, and the loop saw them
}
