// The daily check's schedule on its own: how the two settings and the connection arm the
// timer and the detector, when a tick makes a check due, and where a check leaves them.

#include "update/update_schedule.h"

#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace kalvento::update;

namespace {

const QDate kToday(2026, 12, 8);

// A detector whose computer is online (its name resolves to an address no interface has)
// or not.
AddressSources detector(bool online) {
    AddressSources sources;
    sources.interfaceAddresses = [] { return QStringList{QStringLiteral("127.0.0.1")}; };
    sources.hostName = [] { return QStringLiteral("workstation"); };
    sources.resolve = [online](const QString&) -> std::optional<QStringList> {
        if (!online)
            return std::nullopt;
        return QStringList{QStringLiteral("198.51.100.9")};
    };
    return sources;
}

struct Scheduled {
    QTemporaryDir dir;
    std::unique_ptr<UpdateSchedule> schedule;

    explicit Scheduled(bool online, bool built = true) {
        UpdateSchedule::Config config;
        config.settingsPath = dir.filePath(QStringLiteral("Options.ini"));
        config.automaticCheckBuilt = built;
        config.today = [] { return kToday; };
        config.internetSources = detector(online);
        schedule = std::make_unique<UpdateSchedule>(std::move(config));
        // The detector's first look runs off this thread.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !schedule->Internetti()->pollRunning(); }, 5000));
    }
    UpdateSchedule* operator->() { return schedule.get(); }
    // A check hook set that only counts the checks and finds nothing new.
    UpdateCheckHooks hooks(int& checks) {
        UpdateCheckHooks h;
        h.runCheck = [&checks] {
            ++checks;
            return int(crNoNewer);
        };
        h.askResetCounter = [](int) { return false; };
        h.askShowNewer = [] { return false; };
        h.showNewer = [] {};
        h.reportError = [](const QString& error) { ADD_FAILURE() << error.toStdString(); };
        return h;
    }
};

} // namespace

TEST(UpdateScheduleTimers, TheSettingsAndTheConnectionArmThemAtEachShow) {
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
        Scheduled s(row.online, row.built);
        EXPECT_FALSE(s->Paivitys().isActive()); // nothing runs before the window shows
        EXPECT_FALSE(s->Internetti()->Enabled());
        s->follow(row.automatic, row.alwaysConnected);
        s->windowShown();
        EXPECT_EQ(s->Paivitys().isActive(), row.paivitys);
        EXPECT_EQ(s->Paivitys().interval(), 1000);
        EXPECT_EQ(s->Internetti()->Enabled(), row.internetti);
        // Turned off again (the options), both stop, and a look of the detector that ends
        // afterwards starts nothing.
        s->follow(false, row.alwaysConnected);
        EXPECT_FALSE(s->Paivitys().isActive());
        EXPECT_FALSE(s->Internetti()->Enabled());
        s->InternettiChanged();
        EXPECT_FALSE(s->Paivitys().isActive());
    }
}

TEST(UpdateScheduleTimers, ConfirmingTheOptionsDoesNotPutOffARunningTimer) {
    Scheduled s(false);
    s->follow(true, true);
    s->windowShown();
    ASSERT_TRUE(s->Paivitys().isActive());
    QTest::qWait(300);
    const int left = s->Paivitys().remainingTime();
    s->follow(true, true);
    EXPECT_LE(s->Paivitys().remainingTime(), left);
}

TEST(UpdateScheduleTicks, ACheckIsDueOnlyWhileTheWindowIsAwayAndNoneRuns) {
    Scheduled s(false);
    s->follow(true, true);
    s->windowShown();
    QSignalSpy due(s.schedule.get(), &UpdateSchedule::checkDue);
    s->PaivitysTimer(); // the window is in sight
    EXPECT_EQ(due.count(), 0);
    EXPECT_TRUE(s->Paivitys().isActive());

    s->setWindowAway(true);
    int checks = 0;
    // While the check runs (it waits for a server), a tick starts nothing.
    QObject::connect(s.schedule.get(), &UpdateSchedule::checkDue, s.schedule.get(), [&] {
        UpdateCheckHooks hooks = s.hooks(checks);
        hooks.runCheck = [&] {
            ++checks;
            EXPECT_TRUE(s->checkRunning());
            s->PaivitysTimer();
            return int(crNoNewer);
        };
        s->TarkistaPaivitykset(hooks);
    });
    s->PaivitysTimer();
    EXPECT_EQ(due.count(), 1);
    EXPECT_EQ(checks, 1);
    EXPECT_FALSE(s->checkRunning());
    // Always connected: the next check is a day away on the timer.
    EXPECT_TRUE(s->Paivitys().isActive());
    EXPECT_EQ(s->Paivitys().interval(), kDayMilliseconds);
    EXPECT_FALSE(s->Internetti()->Enabled());
    // The next show ticks every second again.
    s->setWindowAway(false);
    s->windowShown();
    EXPECT_EQ(s->Paivitys().interval(), kDayMilliseconds);
    EXPECT_TRUE(s->Paivitys().isActive());
}

TEST(UpdateScheduleTicks, AfterACheckTheNextWaitsADayOrForAConnection) {
    const struct {
        const char* name;
        bool alwaysConnected, online;
        int checks;
        bool paivitys, internetti;
        quint32 detectorInterval;
    } rows[] = {
        {"always connected", true, false, 1, true, false, 10000},
        {"connected", false, true, 1, false, true, quint32(kDayMilliseconds)},
        // No connection known: nothing is rescheduled until the detector finds one.
        {"offline", false, false, 0, false, true, 10000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Scheduled s(row.online);
        s->follow(true, row.alwaysConnected);
        s->windowShown();
        s->Paivitys().stop();
        int checks = 0;
        const NextCheck next = s->TarkistaPaivitykset(s.hooks(checks));
        EXPECT_EQ(checks, row.checks);
        EXPECT_EQ(next, row.checks > 0 ? NextCheck::Tomorrow : NextCheck::WhenOnline);
        EXPECT_EQ(s->Paivitys().isActive(), row.paivitys);
        EXPECT_EQ(s->Internetti()->Enabled(), row.internetti);
        EXPECT_EQ(s->Internetti()->DispatchInterval(), row.detectorInterval);
        EXPECT_EQ(kalvento::settings::readUpdateState(s.dir.filePath(QStringLiteral("Options.ini")),
                                                      kToday)
                          .lastChecked == kToday,
                  row.checks > 0);
    }
}
