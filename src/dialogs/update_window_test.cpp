#include "dialogs/update_window.h"

#include "http/http_client.h"
#include "lang/language_file.h"
#include "support/http_servers.h"
#include "support/qt_print.h"
#include "support/recording_dialogs.h"
#include "update/version.h"
#include "widgets/glyph_button.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

using namespace kalvento;
using dialogs::TUpdateIkkuna;

namespace {

QList<QImage> pictures() {
    QList<QImage> kuvat;
    for (int i = 0; i < 30; ++i) {
        QImage image(32, 32, QImage::Format_ARGB32);
        image.fill(QColor(i * 8, 100, 200));
        kuvat.append(image);
    }
    return kuvat;
}

// download, abort, check, ok: enabled or not.
std::array<bool, 4> buttonStates(const TUpdateIkkuna& w) {
    return {w.button("btnDownload")->isEnabled(), w.button("btnAbort")->isEnabled(),
            w.button("btnCheck")->isEnabled(), w.button("btnOk")->isEnabled()};
}
using States = std::array<bool, 4>;
const States kCreated{false, false, true, true};
const States kFoundNewer{true, false, true, true};
const States kDownloading{false, true, false, false};
const States kDownloadFailed{true, false, true, true};
const States kDownloadFinished{false, false, true, true};

class UpdateWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new test::ScriptedHttpServer;
        ASSERT_TRUE(server->start());
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    static void TearDownTestSuite() { delete server; }

    void SetUp() override {
        lang::SetCurrentLanguageFile(nullptr); // the built-in English, whatever ran before
        settings = settings::Settings::defaults(dir.path());
        settings.saveUpdateDirectory = dir.path() + QStringLiteral("/updates/new/");
    }

    // The server hands out this description (through its /file command).
    void offer(const QByteArray& description) {
        QFile file(dir.path() + QStringLiteral("/offer.ini"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(description);
        file.close();
        settings.updateAddress = fileUrl(file.fileName());
    }
    static QString fileUrl(const QString& path) {
        return server->url(QStringLiteral("/file?path=") +
                           QString::fromLatin1(QUrl::toPercentEncoding(path)));
    }
    QString status(const TUpdateIkkuna& w) const { return w.label("Status")->text(); }
    QStringList filesInSaveDirectory() const {
        return QDir(settings.saveUpdateDirectory).entryList(QDir::Files | QDir::Hidden);
    }

    // Shows each chunk's progress as the window's own binding does, and records it.
    void recordProgress(TUpdateIkkuna& w) {
        w.Http()->SetOnDocData([this, &w](http::THttpCli*, const char*, int) {
            w.HttpDocData();
            statuses << status(w);
            states.push_back(buttonStates(w));
        });
    }

    static inline test::ScriptedHttpServer* server = nullptr;
    QTemporaryDir dir;
    settings::Settings settings;
    test::RecordingDialogs user;
    QStringList statuses;
    std::vector<States> states;
};

// Resident memory of this process in KiB (/proc/self/statm).
qint64 residentKilobytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * ::sysconf(_SC_PAGESIZE) / 1024;
}

// Watches the event loop while a check or a download runs: the longest gap between the
// ticks of a 20 ms timer, and the most resident memory grew above where it started.
class LoopWatch {
public:
    LoopWatch() {
        m_start = residentKilobytes();
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_clock.start();
        m_timer.start();
    }
    void stop() {
        tick();
        m_timer.stop();
    }
    qint64 worstGapMs() const { return m_worstGap; }
    qint64 growthKb() const { return m_peak - m_start; }
    qint64 elapsedMs() const { return m_clock.elapsed(); }

private:
    void tick() {
        m_worstGap = qMax(m_worstGap, m_clock.elapsed() - m_last);
        m_last = m_clock.elapsed();
        m_peak = qMax(m_peak, residentKilobytes());
    }
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_worstGap = 0;
    qint64 m_start = 0;
    qint64 m_peak = 0;
};

} // namespace

TEST_F(UpdateWindowTest, AHostileServerEndsTheCheckWithItsErrorAndLeavesNothing) {
    const struct {
        const char* path;
        const char* status;
        bool realLimits; // the window's own limits rather than a two-second deadline
    } rows[] = {
        {"/cutredirect", "Error occured! (Connection closed in the middle of the header)", false},
        {"/loop",
         "Error occured! (Too many relocations: the server moved the document more than 20 "
         "times)",
         false},
        {"/endless", "Error occured! (HTTP header too large: more than 65536 bytes)", false},
        {"/huge/268435456",
         "Error occured! (Document too large: 268435456 bytes announced, at most 65536 taken)",
         true},
        {"/huge/268435456?length=0", "Error occured! (Document too large: more than 65536 bytes)",
         false},
        // A byte now and then keeps the idle timer (a minute) from ever running out.
        {"/trickle?interval=300&count=100",
         "Error occured! (Connection timed out: no whole answer within 2 s (Error #10060))", false},
        {"/chunked?how=cut", "Error occured! (Connection closed in the middle of a chunked body)",
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        settings.updateAddress = server->url(QString::fromLatin1(row.path));
        QDir().mkpath(settings.saveUpdateDirectory);
        QFile stale(settings.saveUpdateDirectory + QStringLiteral("Tolmirant.upd"));
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
        stale.write("[UpdateInfo]\nVersion=99.0.0\n");
        stale.close();
        TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
        update::TUpdateLimits limits;
        if (!row.realLimits) {
            limits.checkDeadline = 2;
            w.setLimits(limits);
        }
        LoopWatch watch;
        w.btnCheckClick();
        watch.stop();
        EXPECT_EQ(w.CheckResult(), update::crFailed);
        EXPECT_EQ(status(w), QString::fromLatin1(row.status));
        EXPECT_LT(watch.elapsedMs(), limits.checkDeadline * 1000 + 1000);
        EXPECT_LT(watch.worstGapMs(), 200);
        EXPECT_LT(watch.growthKb(), 8 * 1024);
        EXPECT_EQ(filesInSaveDirectory(), QStringList());
        // The check runs under a deadline well under a minute.
        EXPECT_GT(w.Http()->Deadline(), 0);
        EXPECT_LE(w.Http()->Deadline(), 30);
    }
}

TEST_F(UpdateWindowTest, AChunkedDescriptionIsReadWithoutItsFraming) {
    const QByteArray description = "[UpdateInfo]\nVersion=99.0.0\n"
                                   "UpdateURL=http://example.org/files/kalvento-99.deb\n"
                                   "Details=sent in pieces\n";
    settings.updateAddress =
        server->url(QStringLiteral("/chunked?size=10&body=") +
                    QString::fromLatin1(QUrl::toPercentEncoding(QString::fromLatin1(description))));
    TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
    w.btnCheckClick();
    EXPECT_EQ(w.CheckResult(), update::crNewer);
    EXPECT_EQ(w.label("VersionAvailable")->text(), QStringLiteral("99.0.0"));
    EXPECT_EQ(w.label("DownloadURL")->text(),
              QStringLiteral("http://example.org/files/kalvento-99.deb"));
    EXPECT_EQ(w.label("VersionDetails")->text(), QStringLiteral("sent in pieces"));
    EXPECT_EQ(filesInSaveDirectory(), QStringList());
}

TEST_F(UpdateWindowTest, ADownloadMustKeepMovingAndOneThatStallsSaysSo) {
    update::TUpdateLimits limits;
    limits.downloadMinimumRate = 1000;
    limits.downloadRateWindow = 1;
    const struct {
        const char* path;
        const char* status; // its beginning: the count of bytes depends on the window's start
        bool completes;
    } rows[] = {
        // 10,000 bytes a second: slow, but moving.
        {"/drip/30/1000/100/moving.bin", "Succesfully downloaded the program update!", true},
        // Ten bytes a second, each in time for the idle timer.
        {"/stalls/trickle?interval=100&count=100", "Error occured! (Transfer too slow: ", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        const QString url = server->url(QString::fromLatin1(row.path));
        offer("[UpdateInfo]\nVersion=99.0.0\nUpdateURL=" + url.toUtf8() + "\n");
        const QString name = dialogs::downloadFileName(url);
        QDir().mkpath(settings.saveUpdateDirectory);
        QFile old(settings.saveUpdateDirectory + name);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("the copy downloaded last week");
        old.close();
        TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
        w.setLimits(limits);
        w.btnCheckClick();
        ASSERT_EQ(w.CheckResult(), update::crNewer);
        LoopWatch watch;
        w.btnDownloadClick();
        watch.stop();
        EXPECT_TRUE(status(w).startsWith(QString::fromLatin1(row.status)))
            << status(w).toStdString();
        if (row.completes) {
            EXPECT_EQ(QFileInfo(old.fileName()).size(), 30000);
        } else {
            EXPECT_LT(watch.elapsedMs(), 2500);
            ASSERT_TRUE(old.open(QIODevice::ReadOnly));
            EXPECT_EQ(old.readAll(), QByteArray("the copy downloaded last week"));
            old.close();
        }
        EXPECT_LT(watch.worstGapMs(), 200);
        EXPECT_EQ(filesInSaveDirectory(), QStringList{name}); // no partial file beside it
        QFile::remove(old.fileName());
    }
}

// Run by tests/update_full_disk_test.sh with the save folder on a small tmpfs of its own.
TEST_F(UpdateWindowTest, AFullDiskFailsWithTheSystemsReasonAndLeavesNoFile) {
    const QString full = qEnvironmentVariable("KALVENTO_FULL_DISK_DIR");
    if (full.isEmpty())
        GTEST_SKIP() << "needs KALVENTO_FULL_DISK_DIR, a small file system of its own";
    settings.saveUpdateDirectory = full + QStringLiteral("/");
    const QString url = server->url(QStringLiteral("/len/4000000"));
    offer("[UpdateInfo]\nVersion=99.0.0\nUpdateURL=" + url.toUtf8() + "\n");
    QFile old(settings.saveUpdateDirectory + QStringLiteral("4000000"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("the copy downloaded last week");
    old.close();

    // The download fills the disk part of the way through a block.
    TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
    w.btnCheckClick();
    ASSERT_EQ(w.CheckResult(), update::crNewer);
    w.btnDownloadClick();
    EXPECT_EQ(
        status(w),
        QStringLiteral("Error occured! (Cannot write the document: No space left on device)"));
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), QByteArray("the copy downloaded last week"));
    old.close();
    EXPECT_EQ(filesInSaveDirectory(), QStringList{QStringLiteral("4000000")});

    // The check, with the disk full to the last byte.
    QFile filler(settings.saveUpdateDirectory + QStringLiteral("filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray block(4096, 'f');
    while (filler.write(block) > 0) {
    }
    filler.close();
    TUpdateIkkuna check(settings, QImage(), pictures(), dir.path() + u'/', user);
    check.btnCheckClick();
    EXPECT_EQ(check.CheckResult(), update::crFailed);
    EXPECT_EQ(
        status(check),
        QStringLiteral("Error occured! (Cannot write the document: No space left on device)"));
    EXPECT_FALSE(QFile::exists(settings.saveUpdateDirectory + QStringLiteral("Tolmirant.upd")));
    filler.remove();
    QFile::remove(old.fileName());
}

TEST_F(UpdateWindowTest, ACheckThatFindsANewerVersionShowsWhatIsOffered) {
    offer("[Other]\nVersion=0.1\n[UpdateInfo]\nVersion=99.0.0\n"
          "UpdateURL=http://example.org/files/kalvento-99.deb\n"
          "ReadmeURL=http://example.org/readme.html\nDetails=Faster <b>and</b> better\n");
    TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
    EXPECT_EQ(buttonStates(w), kCreated);
    EXPECT_EQ(status(w), QStringLiteral("Idle!"));
    EXPECT_EQ(w.label("CurrentVersion")->text(), update::GetVersion());
    EXPECT_EQ(w.label("RemoteAddress")->text(), settings.updateAddress);
    recordProgress(w);
    w.btnCheckClick();
    EXPECT_EQ(w.CheckResult(), update::crNewer);
    EXPECT_EQ(status(w), QStringLiteral("A newer program version is available!"));
    EXPECT_EQ(w.label("VersionAvailable")->text(), QStringLiteral("99.0.0"));
    EXPECT_EQ(w.label("VersionDetails")->text(), QStringLiteral("Faster <b>and</b> better"));
    EXPECT_EQ(w.label("VersionDetails")->textFormat(), Qt::PlainText);
    // Its tip holds the whole, as written too.
    const QString tip = w.label("VersionDetails")->toolTip();
    QTextDocument shown;
    shown.setHtml(tip);
    EXPECT_EQ(Qt::mightBeRichText(tip) ? shown.toPlainText() : tip,
              QStringLiteral("Faster <b>and</b> better"));
    EXPECT_EQ(w.label("MoreInfo")->text(), QStringLiteral("http://example.org/readme.html"));
    EXPECT_EQ(w.label("DownloadURL")->text(),
              QStringLiteral("http://example.org/files/kalvento-99.deb"));
    EXPECT_EQ(buttonStates(w), kFoundNewer);
    EXPECT_FALSE(statuses.isEmpty());
    for (const QString& text : statuses)
        EXPECT_FALSE(text.startsWith(QLatin1String("Downloading"))) << "progress during a check";
    // The description was written to the save directory (made for it) and deleted again.
    EXPECT_TRUE(QDir(settings.saveUpdateDirectory).exists());
    EXPECT_EQ(filesInSaveDirectory(), QStringList());
}

TEST_F(UpdateWindowTest, ADescriptionWithoutANewerVersionIsNoUpdate) {
    const struct {
        QByteArray description;
        const char* version;
    } rows[] = {
        {"[UpdateInfo]\nVersion=1.0.0\nUpdateURL=http://x/y\n", "1.0.0"},
        {"[UpdateInfo]\nDetails=no version here\n", "N/A"},
        {"not an ini file at all", "N/A"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.version);
        offer(row.description);
        TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
        w.btnCheckClick();
        EXPECT_EQ(w.CheckResult(), update::crNoNewer);
        EXPECT_EQ(status(w), QStringLiteral("No updates found!"));
        EXPECT_EQ(w.label("VersionAvailable")->text(), QString::fromLatin1(row.version));
        EXPECT_EQ(buttonStates(w), kCreated);
        EXPECT_EQ(filesInSaveDirectory(), QStringList());
    }
}

TEST_F(UpdateWindowTest, AnUnreachableServerIsAFailedCheckThatLeavesNoFile) {
    settings.updateAddress =
        QStringLiteral("http://127.0.0.1:%1/Kalvento.ini").arg(test::unusedLoopbackPort());
    QDir().mkpath(settings.saveUpdateDirectory);
    QFile stale(settings.saveUpdateDirectory + QStringLiteral("Tolmirant.upd"));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("[UpdateInfo]\nVersion=99.0.0\n"); // from a check long ago: not read
    stale.close();
    TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
    w.btnCheckClick();
    EXPECT_EQ(w.CheckResult(), update::crFailed);
    EXPECT_EQ(status(w), QStringLiteral("Error occured! (Connection refused (Error #10061))"));
    EXPECT_EQ(filesInSaveDirectory(), QStringList());
    EXPECT_EQ(buttonStates(w), kCreated);

    settings.updateAddress = server->url(QStringLiteral("/notfound"));
    TUpdateIkkuna notFound(settings, QImage(), pictures(), dir.path() + u'/', user);
    notFound.btnCheckClick();
    EXPECT_EQ(notFound.CheckResult(), update::crFailed);
    EXPECT_EQ(status(notFound), QStringLiteral("Error occured! (Not Found)"));
}

TEST_F(UpdateWindowTest, ADownloadShowsItsProgressAndEndsInTheSaveDirectory) {
    offer("[UpdateInfo]\nVersion=99.0.0\nUpdateURL=" +
          server->url(QStringLiteral("/len/300000")).toUtf8() + "\n");
    TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
    const QStringList& shown = user.notices;
    QList<QUrl> opened;
    w.setLinkOpener([&](const QUrl& url) { opened << url; });
    user.chooseAction = true; // the user's "Open the folder"
    w.btnCheckClick();
    ASSERT_EQ(w.CheckResult(), update::crNewer);
    recordProgress(w);
    w.btnDownloadClick();
    EXPECT_EQ(status(w), QStringLiteral("Succesfully downloaded the program update!"));
    // Where the file is, and no word of uninstalling or running it.
    const QString path = QDir(settings.saveUpdateDirectory).absoluteFilePath("300000");
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].contains(path)) << shown[0].toStdString();
    EXPECT_TRUE(shown[0].contains(QStringLiteral("package manager")));
    EXPECT_FALSE(shown[0].contains(QStringLiteral("uninstall")));
    EXPECT_EQ(opened,
              QList<QUrl>{QUrl::fromLocalFile(QDir(settings.saveUpdateDirectory).absolutePath())});
    ASSERT_FALSE(statuses.isEmpty());
    EXPECT_EQ(statuses.last(), QStringLiteral("Downloading 300,000 of 300,000!"));
    for (const QString& text : statuses)
        EXPECT_TRUE(text.startsWith(QLatin1String("Downloading ")) &&
                    text.endsWith(QLatin1String(" of 300,000!")))
            << text.toStdString();
    for (const States& during : states)
        EXPECT_EQ(during, kDownloading);
    EXPECT_EQ(w.Edistys()->maximum(), 300000);
    EXPECT_EQ(w.Edistys()->value(), 300000);
    EXPECT_EQ(buttonStates(w), kDownloadFinished);
    EXPECT_FALSE(w.NewerAvailable());
    QFile file(settings.saveUpdateDirectory + QStringLiteral("300000"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.size(), 300000);
    EXPECT_EQ(filesInSaveDirectory(), QStringList{QStringLiteral("300000")});
}

// A language file written before the message named the file still gets the file named.
TEST_F(UpdateWindowTest, AnOlderTranslationOfTheEndOfADownloadStillNamesTheFile) {
    lang::SetCurrentLanguageFile(std::make_shared<const lang::LanguageFile>(
        lang::LanguageFile::fromBytes("[Misc]\nM033=Asenna ladattu tiedosto!\n")));
    offer("[UpdateInfo]\nVersion=99.0.0\nUpdateURL=" +
          server->url(QStringLiteral("/len/10")).toUtf8() + "\n");
    TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
    w.btnCheckClick();
    w.btnDownloadClick();
    ASSERT_EQ(user.notices.size(), 1);
    EXPECT_EQ(user.notices[0], QStringLiteral("Asenna ladattu tiedosto!\r\n") +
                                   QDir(settings.saveUpdateDirectory).absoluteFilePath("10"));
    lang::SetCurrentLanguageFile(nullptr);
}

TEST_F(UpdateWindowTest, AnAbortedDownloadLeavesTheOlderFileAsItWas) {
    const QString url =
        server->url(QStringLiteral("/updates/drip?chunks=60&size=1000&interval=50"));
    offer("[UpdateInfo]\nVersion=99.0.0\nUpdateURL=" + url.toUtf8() + "\n");
    QDir().mkpath(settings.saveUpdateDirectory);
    const QString name = dialogs::downloadFileName(url);
    QFile old(settings.saveUpdateDirectory + name);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("the copy downloaded last week");
    old.close();

    TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
    w.btnCheckClick();
    ASSERT_EQ(w.CheckResult(), update::crNewer);
    w.Http()->SetOnDocData([&](http::THttpCli* http, const char*, int) {
        w.HttpDocData();
        statuses << status(w);
        if (http->ReceivedBytes() >= 3000 && statuses.size() < 100)
            QTimer::singleShot(0, &w, [&] {
                w.btnAbortClick();
                statuses << status(w);
            });
    });
    w.btnDownloadClick();
    ASSERT_TRUE(statuses.contains(QStringLiteral("Aborted!")));
    EXPECT_EQ(status(w), QStringLiteral("Error occured!"));
    EXPECT_EQ(buttonStates(w), kDownloadFailed);
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), QByteArray("the copy downloaded last week"));
    EXPECT_EQ(filesInSaveDirectory(), QStringList{name}); // no partial file left beside it
}

TEST_F(UpdateWindowTest, ANameThatIsNoFilesNameFailsTheDownload) {
    for (const char* url :
         {"http://example.org/files/", "http://example.org/..", "http://example.org/.", "N/A:"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(dialogs::downloadFileName(QString::fromLatin1(url)), QString());
        offer("[UpdateInfo]\nVersion=99.0.0\nUpdateURL=" + QByteArray(url) + "\n");
        TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
        w.btnCheckClick();
        ASSERT_EQ(w.CheckResult(), update::crNewer);
        const int requests = server->requestCount();
        w.btnDownloadClick();
        EXPECT_EQ(status(w), QStringLiteral("Error occured!"));
        EXPECT_EQ(buttonStates(w), kDownloadFailed);
        EXPECT_EQ(server->requestCount(), requests);
        EXPECT_EQ(filesInSaveDirectory(), QStringList());
    }
    EXPECT_EQ(dialogs::downloadFileName(QStringLiteral("http://host/a\\b:c/setup.exe")),
              QStringLiteral("setup.exe"));
    EXPECT_EQ(dialogs::downloadFileName(QStringLiteral("C:\\temp\\..x")), QStringLiteral("..x"));
}

TEST_F(UpdateWindowTest, ASecondClickDuringACheckStartsNothing) {
    offer("[UpdateInfo]\nVersion=99.0.0\n");
    settings.updateAddress = server->url(QStringLiteral("/slow?delay=1"));
    TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
    const int requests = server->requestCount();
    QTimer::singleShot(200, &w, [&] {
        w.btnCheckClick();
        w.btnDownloadClick();
    });
    w.btnCheckClick();
    // One request; its answer (no UpdateInfo) is no update, not a busy component's failure.
    EXPECT_EQ(server->requestCount(), requests + 1);
    EXPECT_EQ(w.CheckResult(), update::crNoNewer);
    EXPECT_EQ(status(w), QStringLiteral("No updates found!"));
}

TEST_F(UpdateWindowTest, LinksOpenInTheBrowserWhenTheyAreWebAddresses) {
    const struct {
        const char* readme;
        bool opens;
    } rows[] = {
        {"http://example.org/readme", true}, {"https://example.org/", true}, {"N/A", false},
        {"file:///etc/passwd", false},       {"javascript:alert(1)", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.readme);
        offer("[UpdateInfo]\nVersion=1.0.0\nReadmeURL=" + QByteArray(row.readme) +
              "\nUpdateURL=" + QByteArray(row.readme) + "\n");
        TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
        QList<QUrl> opened;
        w.setLinkOpener([&](const QUrl& url) { opened << url; });
        w.btnCheckClick();
        w.show();
        QTest::mouseClick(w.label("MoreInfo"), Qt::LeftButton);
        w.DownloadURLClick();
        EXPECT_EQ(opened.size(), row.opens ? 2 : 0);
        if (row.opens) {
            EXPECT_EQ(opened.value(0), QUrl(QString::fromLatin1(row.readme)));
        }
        EXPECT_EQ(w.label("MoreInfo")->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_TRUE(w.label("DownloadURL")->font().underline());
    }
}

TEST_F(UpdateWindowTest, ValuesStandBesideTheirCaptionsInTheChosenLanguage) {
    settings.languageIndex = 1;
    settings.language = QStringLiteral("Suomi");
    TUpdateIkkuna w(settings, QImage(), pictures(), QStringLiteral(KALVENTO_SOURCE_DIR), user);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Päivitysten tarkistus"));
    EXPECT_EQ(w.label("Label9")->text(), QStringLiteral("Saatavilla oleva versio:"));
    EXPECT_EQ(w.button("btnAbort")->hint(), QStringLiteral("Keskeytä lataus"));
    EXPECT_EQ(w.label("Status")->text(), QStringLiteral("Odottaa!"));
    EXPECT_EQ(w.label("CurrentVersion")->text(), update::GetVersion());
    EXPECT_GE(w.width(), TUpdateIkkuna::kClientWidth);
    EXPECT_GE(w.height(), TUpdateIkkuna::kClientHeight);
    // The values in one column right of the longest caption, each on its caption's line,
    // every caption whole.
    const std::pair<const char*, const char*> rows[] = {
        {"Label8", "CurrentVersion"},  {"Label5", "RemoteAddress"}, {"Label9", "VersionAvailable"},
        {"Label10", "VersionDetails"}, {"Label11", "MoreInfo"},     {"Label12", "DownloadURL"},
        {"Label6", "Status"}};
    const int column = w.label("CurrentVersion")->x();
    for (const auto& [caption, value] : rows) {
        const QLabel* c = w.label(caption);
        EXPECT_GE(c->width(), c->fontMetrics().horizontalAdvance(c->text())) << caption;
        EXPECT_GT(w.label(value)->x(), c->geometry().right()) << value;
        EXPECT_EQ(w.label(value)->x(), column) << value;
        EXPECT_EQ(w.label(value)->geometry().center().y(), c->geometry().center().y()) << value;
    }
    // The buttons in one row below the progress bar.
    for (const char* name : {"btnDownload", "btnAbort", "btnCheck", "btnOk"}) {
        EXPECT_EQ(w.button(name)->y(), w.button("btnOk")->y());
        EXPECT_GT(w.button(name)->y(), w.Edistys()->geometry().bottom());
    }
    EXPECT_EQ(w.button("btnDownload")->imageIndex(), 1);
    EXPECT_EQ(w.button("btnAbort")->imageIndex(), 29);
    EXPECT_EQ(w.button("btnCheck")->imageIndex(), 13);
    EXPECT_EQ(w.button("btnOk")->imageIndex(), 11);
}

TEST_F(UpdateWindowTest, AWindowShownAfterItsCheckKeepsWhatItFoundInAnyLanguage) {
    offer("[UpdateInfo]\nVersion=99.0.0\n");
    settings.languageIndex = 1;
    settings.language = QStringLiteral("Suomi");
    TUpdateIkkuna w(settings, QImage(), pictures(), QStringLiteral(KALVENTO_SOURCE_DIR), user);
    // The daily check runs without a window, then the user asks to see what it found.
    update::UpdateCheck check;
    ASSERT_EQ(check.run(settings), update::crNewer);
    const QString found = check.status();
    w.showCheck(check);
    w.show();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Päivitysten tarkistus"));
    EXPECT_EQ(status(w), found);
    EXPECT_EQ(w.label("VersionAvailable")->text(), QStringLiteral("99.0.0"));
}

// A long address or error text widens the window to be read; beyond what a screen holds,
// the value is cut with its whole text in its tip.
TEST_F(UpdateWindowTest, TheWindowGrowsToItsTextsAndCutsOnlyWhatNoScreenHolds) {
    const QString longer = QStringLiteral("http://updates.example.org/kalvento_1.3.0_amd64.deb");
    const QString endless = QStringLiteral("http://example.org/") + QString(600, u'x') +
                            QStringLiteral("/kalvento.deb");
    offer("[UpdateInfo]\nVersion=99.0.0\nUpdateURL=" + longer.toUtf8() +
          "\nReadmeURL=" + endless.toUtf8() + "\n");
    TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.btnCheckClick();
    QApplication::processEvents();
    const auto* download = w.label("DownloadURL");
    EXPECT_GT(w.width(), TUpdateIkkuna::kClientWidth);
    EXPECT_GE(download->width(), download->fontMetrics().horizontalAdvance(longer));
    EXPECT_EQ(download->toolTip(), longer);
    const auto* readme = w.label("MoreInfo");
    EXPECT_LT(readme->width(), readme->fontMetrics().horizontalAdvance(endless));
    EXPECT_EQ(readme->text(), endless); // what a click opens
    EXPECT_EQ(readme->toolTip(), endless);
    EXPECT_LE(w.width(), w.screen()->availableGeometry().width());
    // A shorter status later leaves the window as wide as it grew.
    const int grown = w.width();
    w.btnCheckClick();
    EXPECT_EQ(w.width(), grown);
}

TEST_F(UpdateWindowTest, TheMainWindowsPictureIsTiledOverTheWindow) {
    QImage tile(40, 30, QImage::Format_RGB32);
    tile.fill(Qt::white);
    tile.setPixel(0, 0, qRgb(255, 0, 0));
    TUpdateIkkuna w(settings, tile, pictures(), dir.path() + u'/', user);
    const QImage shot = w.grab().toImage();
    for (const QPoint at : {QPoint(0, 0), QPoint(40, 0), QPoint(80, 30), QPoint(320, 270)})
        EXPECT_EQ(shot.pixel(at), qRgb(255, 0, 0)) << at.x() << "," << at.y();
    EXPECT_EQ(shot.pixel(1, 1), qRgb(255, 255, 255));
}

TEST_F(UpdateWindowTest, EscapeClosesTheWindowUnlessADownloadRuns) {
    TUpdateIkkuna idle(settings, QImage(), pictures(), dir.path() + u'/', user);
    idle.show();
    QTest::keyClick(&idle, Qt::Key_Escape);
    EXPECT_FALSE(idle.isVisible());
    EXPECT_EQ(idle.result(), QDialog::Accepted);

    offer("[UpdateInfo]\nVersion=99.0.0\nUpdateURL=" +
          server->url(QStringLiteral("/drip?chunks=40&size=1000&interval=50")).toUtf8() + "\n");
    TUpdateIkkuna w(settings, QImage(), pictures(), dir.path() + u'/', user);
    w.btnCheckClick();
    w.show();
    bool visibleAfterEscape = false;
    QTimer::singleShot(300, &w, [&] {
        QTest::keyClick(&w, Qt::Key_Escape);
        visibleAfterEscape = w.isVisible();
    });
    w.btnDownloadClick();
    EXPECT_TRUE(visibleAfterEscape);
    EXPECT_EQ(status(w), QStringLiteral("Error occured!"));
    EXPECT_TRUE(w.isVisible());
}
