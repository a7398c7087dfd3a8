// The update check as the main window runs it: the update button, the timers and their three
// situations, and the daily check with a clock, a connection detector and the user's answers
// set by the test, against a real HTTP server on loopback.

#include "app/main_window.h"
#include "desktop/tray_icon.h"
#include "dialogs/options_window.h"
#include "dialogs/update_window.h"
#include "http/http_client.h"
#include "update/inet_detect.h"
#include "widgets/glyph_button.h"

#include "support/http_servers.h"
#include "support/main_window_host.h"
#include "support/qt_print.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

using namespace kalvento;
using test::Host;
using test::Key;

namespace {

const QDate kToday(2026, 12, 8);

// A detector whose computer is online (its name resolves to an address no interface has)
// or not, as the test says.
update::AddressSources detector(bool online) {
    update::AddressSources sources;
    sources.interfaceAddresses = [] { return QStringList{QStringLiteral("127.0.0.1")}; };
    sources.hostName = [] { return QStringLiteral("workstation"); };
    sources.resolve = [online](const QString&) -> std::optional<QStringList> {
        if (!online)
            return std::nullopt;
        return QStringList{QStringLiteral("198.51.100.9")};
    };
    return sources;
}

class MainWindowUpdateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new test::ScriptedHttpServer;
        ASSERT_TRUE(server->start());
    }
    static void TearDownTestSuite() { delete server; }

    // A copy with automatic updates on, its update address and save folder of its own.
    std::unique_ptr<Host> start(std::vector<Key> keys, bool online = false,
                                const std::function<void(app::MainFormOptions&)>& more = {}) {
        keys.push_back({"General", "Automatic update", QStringLiteral("1")});
        keys.push_back({"Update", "Save update directory", saveDir.path() + u'/'});
        auto host = std::make_unique<Host>(hub, QStringLiteral("PCA"), keys, QStringList{},
                                           [this, online, more](app::MainFormOptions& o) {
                                               o.today = [this] { return today; };
                                               o.internetSources = detector(online);
                                               test::RecordingDialogs& user = test::recording(o);
                                               user.answer = [this](const QString& text) {
                                                   questions << text;
                                                   return answer;
                                               };
                                               user.onModal<dialogs::TUpdateIkkuna>(
                                                   QStringLiteral("UpdateIkkuna"),
                                                   [this](dialogs::TUpdateIkkuna& w) {
                                                       shownStatuses << w.label("Status")->text();
                                                   });
                                               if (more)
                                                   more(o);
                                           });
        // The detector's first look at the network runs off the GUI thread.
        QTest::qWait(50);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !(*host)->Internetti()->pollRunning(); }, 5000));
        return host;
    }
    static Key address(const QString& url) { return {"Update", "Update address", url}; }
    static Key lastChecked(QDate day) {
        return {"Update", "Last checked", day.toString(Qt::ISODate)};
    }
    static QString offer(QTemporaryDir& dir, const QByteArray& description) {
        QFile file(dir.filePath(QStringLiteral("offer.ini")));
        file.open(QIODevice::WriteOnly);
        file.write(description);
        file.close();
        return server->url(QStringLiteral("/file?path=") +
                           QString::fromLatin1(QUrl::toPercentEncoding(file.fileName())));
    }
    static QString refused() {
        return QStringLiteral("http://127.0.0.1:%1/Kalvento.ini").arg(test::unusedLoopbackPort());
    }
    static QString key(Host& host, const char* name) {
        return host.ini().value(QStringLiteral("Update"), QString::fromLatin1(name), QString());
    }
    static void hide(Host& host) {
        host->show();
        host->HideToTray();
        ASSERT_TRUE(host->TrayIcon()->Active() || host->isMinimized());
    }

    static inline test::ScriptedHttpServer* server = nullptr;
    network::InMemoryHub hub;
    QTemporaryDir saveDir;
    QDate today = kToday;
    QStringList questions;
    bool answer = false;
    QStringList shownStatuses;
};

} // namespace

TEST_F(MainWindowUpdateTest, TheUpdateButtonShowsTheWindowAndLeavesTheSchedule) {
    auto host = start({address(refused()), {"General", "Always connected to the Internet", "1"}});
    Host& a = *host;
    a->show();
    ASSERT_TRUE(a->Paivitys().isActive());
    EXPECT_TRUE(a->button("btnUpdate")->isEnabled());
    a->button("btnUpdate")->click();
    EXPECT_EQ(shownStatuses, QStringList{QStringLiteral("Idle!")});
    EXPECT_EQ(key(a, "Last checked"), QString());
    EXPECT_EQ(key(a, "Error type 1 count"), QString());
    EXPECT_TRUE(a->Paivitys().isActive());
    EXPECT_EQ(a->Paivitys().interval(), 1000);
}

TEST_F(MainWindowUpdateTest, ShowingArmsTheTimersForEachSituation) {
    const struct {
        const char* name;
        bool automatic, alwaysConnected, online, built;
        bool paivitys, internetti;
    } rows[] = {
        {"automatic update off", false, false, true, true, false, false},
        {"always connected", true, true, false, true, true, false},
        {"waiting for a connection", true, false, false, true, false, true},
        {"connected", true, false, true, true, true, true},
        {"built without the check", true, true, true, false, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto host = start(
            {{"General", "Always connected to the Internet", row.alwaysConnected ? "1" : "0"}},
            row.online, [&](app::MainFormOptions& o) { o.automaticUpdateCheck = row.built; });
        Host& a = *host;
        a.setKey("General", "Automatic update", row.automatic ? "1" : "0");
        a.start(); // read the file as a new run of the program
        ASSERT_TRUE(QTest::qWaitFor([&] { return !a->Internetti()->pollRunning(); }, 5000));
        a->show();
        EXPECT_EQ(a->Paivitys().isActive(), row.paivitys);
        EXPECT_EQ(a->Internetti()->Enabled(), row.internetti);
        EXPECT_EQ(a->Internetti()->DispatchInterval(), 10000u);
    }
}

TEST_F(MainWindowUpdateTest, ATickChecksOnlyWhileTheWindowIsHiddenOrMinimized) {
    auto host = start({address(refused()),
                       lastChecked(kToday.addDays(-1)),
                       {"General", "Always connected to the Internet", "1"}});
    Host& a = *host;
    a->show();
    a->PaivitysTimer(); // visible: nothing
    EXPECT_EQ(key(a, "Last checked"), kToday.addDays(-1).toString(Qt::ISODate));
    EXPECT_TRUE(a->Paivitys().isActive());

    hide(a);
    a->PaivitysTimer();
    EXPECT_EQ(key(a, "Last checked"), kToday.toString(Qt::ISODate));
    EXPECT_EQ(key(a, "Error type 1 count"), QStringLiteral("1"));
    EXPECT_TRUE(questions.isEmpty()); // a single failure goes unsaid
    // The next check is a day away.
    EXPECT_TRUE(a->Paivitys().isActive());
    EXPECT_EQ(a->Paivitys().interval(), 86400000);
    EXPECT_FALSE(a->Internetti()->Enabled());
    EXPECT_TRUE(a->button("btnUpdate")->isEnabled());
}

TEST_F(MainWindowUpdateTest, CheckedTodayAlreadyOnlyReschedules) {
    auto host = start({address(server->url(QStringLiteral("/len/3"))), lastChecked(kToday)});
    Host& a = *host;
    hide(a);
    const int requests = server->requestCount();
    a->PaivitysTimer();
    EXPECT_EQ(server->requestCount(), requests);
    // Not always connected: the detector waits a day.
    EXPECT_FALSE(a->Paivitys().isActive());
    EXPECT_TRUE(a->Internetti()->Enabled());
    EXPECT_EQ(a->Internetti()->DispatchInterval(), 86400000u);
}

TEST_F(MainWindowUpdateTest, OfflineATickStopsPaivitysAndNothingElse) {
    auto host = start({address(server->url(QStringLiteral("/len/3"))),
                       lastChecked(kToday.addDays(-2)),
                       {"Update", "Error type 1 count", "3"}});
    Host& a = *host;
    hide(a);
    a->Paivitys().start();
    const int requests = server->requestCount();
    a->PaivitysTimer();
    EXPECT_FALSE(a->Paivitys().isActive());
    EXPECT_TRUE(a->Internetti()->Enabled());
    EXPECT_EQ(a->Internetti()->DispatchInterval(), 10000u);
    EXPECT_EQ(key(a, "Last checked"), kToday.addDays(-2).toString(Qt::ISODate));
    EXPECT_EQ(key(a, "Error type 1 count"), QStringLiteral("3"));
    EXPECT_EQ(server->requestCount(), requests);
}

TEST_F(MainWindowUpdateTest, ANewerVersionIsOfferedAndShownAsTheCheckLeftIt) {
    QTemporaryDir dir;
    auto host =
        start({address(offer(dir, "[UpdateInfo]\nVersion=99.0.0\nUpdateURL=http://x/k.deb\n")),
               {"Update", "Error type 1 count", "4"}},
              true);
    Host& a = *host;
    hide(a);
    answer = true;
    a->PaivitysTimer();
    ASSERT_EQ(questions.size(), 1);
    EXPECT_TRUE(questions[0].startsWith(QLatin1String("A newer version of Kalvento detected!")));
    EXPECT_EQ(shownStatuses, QStringList{QStringLiteral("A newer program version is available!")});
    EXPECT_EQ(key(a, "Error type 1 count"), QStringLiteral("4"));
    EXPECT_EQ(key(a, "Last checked"), kToday.toString(Qt::ISODate));
}

TEST_F(MainWindowUpdateTest, TheTenthFailureInARowAsksWhetherToResetTheCounter) {
    auto host = start({address(refused()),
                       {"General", "Always connected to the Internet", "1"},
                       {"Update", "Error type 1 count", "9"}});
    Host& a = *host;
    hide(a);
    a->PaivitysTimer();
    ASSERT_EQ(questions.size(), 1);
    EXPECT_TRUE(questions[0].contains(QLatin1String("run to an error for 10 times in a row")))
        << questions[0].toStdString();
    EXPECT_EQ(key(a, "Error type 1 count"), QStringLiteral("10"));
    // The next day's failure asks with 11.
    today = kToday.addDays(1);
    a->PaivitysTimer();
    ASSERT_EQ(questions.size(), 2);
    EXPECT_TRUE(questions[1].contains(QLatin1String("for 11 times")));
}

TEST_F(MainWindowUpdateTest, WhileTheHiddenCheckWaitsNothingStartsASecondOne) {
    auto host = start({address(server->url(QStringLiteral("/slow?delay=1"))),
                       {"General", "Always connected to the Internet", "1"}});
    Host& a = *host;
    hide(a);
    const int requests = server->requestCount();
    bool buttonDuringCheck = true;
    QTimer::singleShot(300, a.form.get(), [&] {
        buttonDuringCheck = a->button("btnUpdate")->isEnabled();
        a->PaivitysTimer();
        a->Paivitys().start();
    });
    a->PaivitysTimer();
    EXPECT_FALSE(buttonDuringCheck);
    EXPECT_TRUE(a->button("btnUpdate")->isEnabled());
    EXPECT_EQ(server->requestCount(), requests + 1);
    // The slow answer has no UpdateInfo: no newer version, not a failed check.
    EXPECT_EQ(key(a, "Error type 1 count"), QStringLiteral("0"));
}

TEST_F(MainWindowUpdateTest, WithoutTheAutomaticCheckTheOptionsSaySo) {
    auto host = start({}, false, [](app::MainFormOptions& o) { o.automaticUpdateCheck = false; });
    Host& a = *host;
    bool autoUpdateEnabled = true;
    bool connectedEnabled = true;
    QString hint;
    a.options([&](dialogs::TOptionsIkkuna& options) {
        auto* box = options.findChild<QCheckBox*>(QStringLiteral("AutoUpdate"));
        autoUpdateEnabled = box->isEnabled();
        connectedEnabled = options.findChild<QCheckBox*>(QStringLiteral("Connected"))->isEnabled();
        hint = box->toolTip();
        return true;
    });
    EXPECT_FALSE(autoUpdateEnabled);
    EXPECT_FALSE(connectedEnabled);
    EXPECT_EQ(hint, QString::fromLatin1(dialogs::NoAutomaticCheckHint));
    // The stored choice is kept for a build that has the check.
    EXPECT_EQ(
        a.ini().value(QStringLiteral("General"), QStringLiteral("Automatic update"), QString()),
        QStringLiteral("1"));
}
