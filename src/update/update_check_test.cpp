#include "update/update_check.h"
#include "update/update_info.h"
#include "update/update_schedule.h"
#include "update/version.h"

#include "http/http_client.h"
#include "settings/settings_store.h"
#include "support/http_servers.h"
#include "support/qt_print.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

using namespace kalvento::update;

TEST(Version, IsTheBuildsFourPartVersion) {
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^1\\.2\\.\\d+\\.\\d+$")).match(GetVersion()).hasMatch())
        << GetVersion().toStdString();
    EXPECT_TRUE(GetVersion().startsWith(QStringLiteral(KALVENTO_VERSION)));
}

TEST(CompareVersions, TellsANewerMajorMinorOrRelease) {
    const struct {
        const char* current;
        const char* offered;
        bool newer;
    } rows[] = {
        // clang-format off
        {"1.5.3.0", "1.4.9", false},
        {"1.5.3.0", "1.5.4", true},
        {"1.5.3.0", "2.0.0.7", true},
        {"1.5.3.0", "1.5.3.9", false}, // the fourth number is ignored
        {"1.5.3.0", "1.6.0", true},
        {"1.5.3.0", "0.9.9", false},
        {"1.5.3.0", "1.5.3", false},
        {"1.2.0.1", "1.2.1", true},
        {"1.2.0.1", "N/A", false},
        {"1.2.0.1", "", false},
        {"1.2.0.1", "2", false},       // no dots
        {"1.2.0.1", "3.1", false},     // no release
        {"1.2.0.1", "1.x.5", false},
        {"1.2.0.1", "01.9.9", false},  // "1" is one character: ".9.9" is left, which fails
        {"1.2.0", "9.9.9", false},     // the current release needs its dot
        {"1.2.0.1", "1.10.0", true},
        // clang-format on
    };
    for (const auto& row : rows)
        EXPECT_EQ(
            CompareVersions(QString::fromLatin1(row.current), QString::fromLatin1(row.offered)),
            row.newer)
            << row.current << " against " << row.offered;
}

TEST(UpdateInfo, ReadsTheUpdateInfoSectionWithNAForWhatIsMissing) {
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/Tolmirant.upd");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Other]\r\nVersion=0.0.1\r\n[updateinfo]\r\n version = 1.3.0 \r\n"
               "UpdateURL=http://example.org/k.deb\r\nDetails=Sch\xc3\xb6n\r\n");
    file.close();
    const TUpdateInfo info = readUpdateInfo(path);
    EXPECT_EQ(info.Version, QStringLiteral("1.3.0"));
    EXPECT_EQ(info.UpdateURL, QStringLiteral("http://example.org/k.deb"));
    EXPECT_EQ(info.ReadmeURL, QStringLiteral("N/A"));
    EXPECT_EQ(info.Details, QStringLiteral("Schön"));
    EXPECT_EQ(readUpdateInfo(dir.path() + QStringLiteral("/missing")).Version,
              QStringLiteral("N/A"));
}

namespace {

// Runs the schedule against a settings file of its own with scripted answers.
struct Schedule {
    QTemporaryDir dir;
    QString path = dir.path() + QStringLiteral("/Options.ini");
    std::vector<int> results; // what the next checks find
    int checks = 0;
    QList<int> resetQuestions;
    bool resetAnswer = false;
    int newerQuestions = 0;
    bool newerAnswer = false;
    int windowsShown = 0;
    QStringList errors;

    UpdateCheckHooks hooks() {
        UpdateCheckHooks h;
        h.runCheck = [this] {
            // The date is written before the check runs.
            EXPECT_EQ(state().lastChecked, today);
            return results.at(size_t(checks++));
        };
        h.askResetCounter = [this](int count) {
            resetQuestions << count;
            return resetAnswer;
        };
        h.askShowNewer = [this] {
            ++newerQuestions;
            return newerAnswer;
        };
        h.showNewer = [this] { ++windowsShown; };
        h.reportError = [this](const QString& e) { errors << e; };
        return h;
    }
    NextCheck run(bool alwaysConnected, bool online) {
        return TarkistaPaivitykset(path, today, alwaysConnected, online, hooks());
    }
    kalvento::settings::UpdateState state() const {
        return kalvento::settings::readUpdateState(path, today);
    }
    void set(QDate lastChecked, int count) {
        ASSERT_TRUE(kalvento::settings::writeLastChecked(path, lastChecked).ok());
        ASSERT_TRUE(kalvento::settings::writeErrorCount(path, count).ok());
    }
    QDate today = QDate(2026, 12, 8);
};

} // namespace

TEST(UpdateSchedule, AFirstCheckRunsWhenConnectedAndIsNotRepeatedThatDay) {
    Schedule s; // no file yet: "Last checked" counts as yesterday
    s.results = {crNoNewer};
    EXPECT_EQ(s.run(true, false), NextCheck::Tomorrow);
    EXPECT_EQ(s.checks, 1);
    EXPECT_EQ(s.state().lastChecked, s.today);
    EXPECT_EQ(s.state().errorCount, 0);
    // Checked today already: the next tick only reschedules.
    EXPECT_EQ(s.run(true, true), NextCheck::Tomorrow);
    EXPECT_EQ(s.checks, 1);
    // The next day it is due again.
    s.today = s.today.addDays(1);
    s.results.push_back(crNoNewer);
    EXPECT_EQ(s.run(false, true), NextCheck::Tomorrow);
    EXPECT_EQ(s.checks, 2);
    EXPECT_TRUE(s.errors.isEmpty());
}

TEST(UpdateSchedule, OfflineAndNotAlwaysConnectedChangesNothing) {
    Schedule s;
    s.set(s.today.addDays(-3), 4);
    EXPECT_EQ(s.run(false, false), NextCheck::WhenOnline);
    EXPECT_EQ(s.checks, 0);
    EXPECT_EQ(s.state().lastChecked, s.today.addDays(-3));
    EXPECT_EQ(s.state().errorCount, 4);
}

TEST(UpdateSchedule, FailuresInARowAreCountedAndTheUserAskedFromTheTenth) {
    Schedule s;
    s.set(s.today.addDays(-1), 8);
    s.results = {crFailed, crFailed, crFailed, crFailed};
    s.run(true, false);
    EXPECT_EQ(s.state().errorCount, 9);
    EXPECT_TRUE(s.resetQuestions.isEmpty());
    // Counter at 9 and a failure: asked with 10; No keeps 10.
    s.today = s.today.addDays(1);
    s.run(true, false);
    EXPECT_EQ(s.resetQuestions, QList<int>{10});
    EXPECT_EQ(s.state().errorCount, 10);
    // The next failure asks with 11; Yes resets.
    s.today = s.today.addDays(1);
    s.resetAnswer = true;
    s.run(true, false);
    EXPECT_EQ(s.resetQuestions, QList<int>({10, 11}));
    EXPECT_EQ(s.state().errorCount, 0);
}

TEST(UpdateSchedule, ANewerVersionLeavesTheCounterAndIsOfferedEachDay) {
    Schedule s;
    s.set(s.today.addDays(-1), 5);
    s.results = {crNewer, crNewer, crNoNewer};
    s.run(true, false);
    EXPECT_EQ(s.newerQuestions, 1);
    EXPECT_EQ(s.windowsShown, 0); // No: reminded on the next day's check
    EXPECT_EQ(s.state().errorCount, 5);
    s.today = s.today.addDays(1);
    s.newerAnswer = true;
    s.run(true, false);
    EXPECT_EQ(s.newerQuestions, 2);
    EXPECT_EQ(s.windowsShown, 1);
    EXPECT_EQ(s.state().errorCount, 5);
    // Anything but a failure or a newer version resets the counter.
    s.today = s.today.addDays(1);
    s.run(true, false);
    EXPECT_EQ(s.state().errorCount, 0);
}

TEST(UpdateSchedule, ADateThatIsNoDateCountsAsYesterday) {
    Schedule s;
    QFile file(s.path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Update]\nLast checked=soon\nError type 1 count=2\n");
    file.close();
    s.results = {crFailed};
    EXPECT_EQ(s.run(true, false), NextCheck::Tomorrow);
    EXPECT_EQ(s.checks, 1);
    EXPECT_EQ(s.state().errorCount, 3);
}

// The clock ran a year ahead one day, and the check wrote that day; then the clock was put
// right. The check runs again today, once, rather than not until that day comes.
TEST(UpdateSchedule, ADayStillToComeWrittenByAClockAheadCountsAsYesterday) {
    Schedule s;
    s.set(s.today.addYears(1), 2);
    s.results = {crNoNewer};
    EXPECT_EQ(s.run(false, true), NextCheck::Tomorrow);
    EXPECT_EQ(s.checks, 1);
    EXPECT_EQ(s.state().lastChecked, s.today);
    EXPECT_EQ(s.run(false, true), NextCheck::Tomorrow);
    EXPECT_EQ(s.checks, 1) << "one check a day still";
    // A clock behind (a flat battery) checks on its own wrong day, and again when put right.
    s.today = s.today.addYears(-20);
    s.results.push_back(crNoNewer);
    s.run(true, false);
    EXPECT_EQ(s.checks, 2);
    s.today = s.today.addYears(20);
    s.results.push_back(crNoNewer);
    s.run(true, false);
    EXPECT_EQ(s.checks, 3);
}

// --- The check itself, against a server on loopback -----------------------------------------

namespace {

class UpdateCheckRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new kalvento::test::ScriptedHttpServer;
        ASSERT_TRUE(server->start());
    }
    static void TearDownTestSuite() { delete server; }

    void SetUp() override {
        settings = kalvento::settings::Settings::defaults(dir.path());
        settings.saveUpdateDirectory = dir.path() + QStringLiteral("/updates/");
    }
    // The server hands out this description.
    void offer(const QByteArray& description) {
        QFile file(dir.filePath(QStringLiteral("offer.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(description);
        file.close();
        settings.updateAddress =
            server->url(QStringLiteral("/file?path=") +
                        QString::fromLatin1(QUrl::toPercentEncoding(file.fileName())));
    }
    // A description left by a check long ago, which must be neither read nor left.
    void leaveStaleDescription() {
        QDir().mkpath(settings.saveUpdateDirectory);
        QFile stale(settings.saveUpdateDirectory + QStringLiteral("Tolmirant.upd"));
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
        stale.write("[UpdateInfo]\nVersion=99.0.0\n");
    }
    QStringList filesInSaveDirectory() const {
        return QDir(settings.saveUpdateDirectory).entryList(QDir::Files | QDir::Hidden);
    }

    static inline kalvento::test::ScriptedHttpServer* server = nullptr;
    QTemporaryDir dir;
    kalvento::settings::Settings settings;
};

} // namespace

TEST_F(UpdateCheckRun, SaysWhatTheServerOffersAndLeavesNoFile) {
    const struct {
        const char* name;
        QByteArray description; // empty: nobody answers
        TCheckResult result;
        const char* version;
        const char* status;
    } rows[] = {
        {"newer", "[UpdateInfo]\nVersion=99.0.0\nUpdateURL=http://x/k.deb\nDetails=<b>d</b>\n",
         crNewer, "99.0.0", "A newer program version is available!"},
        {"older", "[UpdateInfo]\nVersion=1.0.0\n", crNoNewer, "1.0.0", "No updates found!"},
        {"no version", "[UpdateInfo]\nDetails=none\n", crNoNewer, "N/A", "No updates found!"},
        {"refused", "", crFailed, "N/A", "Error occured! (Connection refused (Error #10061))"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.description.isEmpty())
            settings.updateAddress = QStringLiteral("http://127.0.0.1:%1/Kalvento.ini")
                                         .arg(kalvento::test::unusedLoopbackPort());
        else
            offer(row.description);
        leaveStaleDescription();
        UpdateCheck check;
        QStringList statuses;
        QObject::connect(&check, &UpdateCheck::statusChanged,
                         [&](const QString& text) { statuses << text; });
        EXPECT_EQ(check.run(settings), row.result);
        EXPECT_EQ(check.result(), row.result);
        EXPECT_EQ(check.offered().Version, QString::fromLatin1(row.version));
        EXPECT_EQ(statuses, QStringList({QStringLiteral("Checking for update!"),
                                         QString::fromLatin1(row.status)}));
        EXPECT_EQ(check.status(), QString::fromLatin1(row.status));
        EXPECT_FALSE(check.running());
        EXPECT_EQ(filesInSaveDirectory(), QStringList());
        // A description is small and comes at once.
        EXPECT_GT(check.http().Deadline(), 0);
        EXPECT_LE(check.http().Deadline(), 30);
    }
}

TEST_F(UpdateCheckRun, ASecondRunOrAnAbortDuringACheckStartsNothingNew) {
    settings.updateAddress = server->url(QStringLiteral("/slow?delay=5"));
    UpdateCheck check;
    const int requests = server->requestCount();
    TCheckResult second = crNewer;
    QTimer::singleShot(300, &check, [&] {
        EXPECT_TRUE(check.running());
        second = check.run(settings);
        check.abort();
    });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(check.run(settings), crFailed);
    EXPECT_LT(clock.elapsed(), 4000) << "the abort did not end the check";
    EXPECT_EQ(second, crNotSet);
    EXPECT_EQ(server->requestCount(), requests + 1);
    EXPECT_TRUE(check.status().startsWith(QLatin1String("Error occured!")))
        << check.status().toStdString();
    // Nothing runs: an abort now is nothing.
    check.abort();
    EXPECT_FALSE(check.running());
}

TEST_F(UpdateCheckRun, TheProxyOfTheSettingsCarriesTheRequest) {
    offer("[UpdateInfo]\nVersion=1.0.0\n");
    settings.useProxy = true;
    settings.proxyServer = QStringLiteral("127.0.0.1");
    settings.proxyPort = kalvento::test::unusedLoopbackPort();
    UpdateCheck check;
    // Nobody listens on the proxy's port: the check fails there, not at the server.
    EXPECT_EQ(check.run(settings), crFailed);
    EXPECT_EQ(check.http().Proxy(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(check.http().ProxyPort(), QString::number(settings.proxyPort));
    settings.useProxy = false;
    EXPECT_EQ(check.run(settings), crNoNewer);
    EXPECT_EQ(check.http().Proxy(), QString());
}
