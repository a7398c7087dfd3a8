// Transfers between two copies on loopback: real datagrams for the offer and its answer,
// a real TCP connection for the files, and the state each side keeps across a restart.

#include "transfer/transfer_service.h"

#include "crypto/identity_key.h"
#include "messaging/chat_node.h"
#include "support/loopback_lan.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "support/test_files.h"

#include <chrono>
#include <memory>
#include <optional>
#include <unistd.h>

using namespace kalvento;
using namespace kalvento::transfer;
using test::contentOf;
using test::filesBelow;
using test::readFile;
using test::writeFile;
using namespace std::chrono_literals;

namespace {

const QString kGroup = QStringLiteral("WG");

// A copy of the chat with a key, on its own loopback address.
struct Copy {
    Copy(const test::LoopbackLan& lan, int number, const QString& name, char seed)
        : net(lan.computer(number, name, kGroup, 100ms)), node(*net),
          address(0x7F000000u + quint32(number)) {
        node.setIdentityKey(crypto::IdentityKey::fromSeed(QByteArray(32, seed)));
    }
    TransferOptions options(const QTemporaryDir& dir) const {
        TransferOptions o;
        o.saveFolder = dir.filePath(node.computerName() + QStringLiteral("-save"));
        o.stateFolder = dir.filePath(node.computerName() + QStringLiteral("-state"));
        o.bindAddress = address;
        return o;
    }
    std::unique_ptr<network::UdpNetwork> net;
    messaging::ChatNode node;
    quint32 address;
};

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

// A small ext4 of its own, loop-mounted, whose writes can be made to wait for a while (a
// frozen file system), as on a disk that takes seconds for each: root only.
class FreezableDisk {
public:
    explicit FreezableDisk(const QString& where) : m_image(where + ".img"), m_mount(where) {
        if (kThreadSanitizer) {
            // The thread sanitizer ends a process that starts another once it has threads.
            m_why = QStringLiteral("no child processes under the thread sanitizer");
            return;
        }
        if (::geteuid() != 0) {
            m_why = QStringLiteral("not root");
            return;
        }
        QFile image(m_image);
        if (!image.open(QIODevice::WriteOnly) || !image.resize(qint64(64) << 20)) {
            m_why = QStringLiteral("no room for the image");
            return;
        }
        image.close();
        QDir().mkpath(m_mount);
        if (!run("mkfs.ext4", {"-q", "-F", m_image}) ||
            !run("mount", {"-o", "loop", m_image, m_mount})) {
            m_why = QStringLiteral("no loop-mounted ext4 here: ") + m_output;
            return;
        }
        m_mounted = true;
    }
    ~FreezableDisk() {
        if (!m_mounted)
            return;
        run("fsfreeze", {"-u", m_mount}); // when the helper has not yet
        if (!run("umount", {m_mount}))
            run("umount", {"-l", m_mount});
    }
    FreezableDisk(const FreezableDisk&) = delete;
    FreezableDisk& operator=(const FreezableDisk&) = delete;

    bool mounted() const { return m_mounted; }
    QString why() const { return m_why; }
    QString path(const QString& name) const { return m_mount + u'/' + name; }

    // Freezes the file system now, and a process of its own thaws it after seconds, also
    // should this one be stuck or gone by then.
    bool freezeFor(std::chrono::seconds seconds) {
        m_flag = m_image + ".frozen";
        const QString script = QStringLiteral(
            R"(fsfreeze -f "$0" && : > "$1"; sleep "$2"; fsfreeze -u "$0"; rm -f "$1")");
        const bool started = QProcess::startDetached(
            "setsid", {"sh", "-c", script, m_mount, m_flag, QString::number(seconds.count())});
        return started && QTest::qWaitFor([&] { return frozen(); }, 15000);
    }
    bool frozen() const { return !m_flag.isEmpty() && QFile::exists(m_flag); }

private:
    bool run(const QString& program, const QStringList& arguments) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        const bool ok = process.waitForFinished(30000) &&
                        process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        m_output = QString::fromLocal8Bit(process.readAll()).trimmed();
        return ok;
    }

    QString m_image, m_mount, m_flag, m_why, m_output;
    bool m_mounted = false;
};

class TransferServiceTest : public ::testing::Test {
protected:
    // Signs of life every second: a copy that comes back is known as a current copy soon.
    static void SetUpTestSuite() { qputenv("KALVENTO_PRESENCE_MS", "1000"); }
    static void TearDownTestSuite() { qunsetenv("KALVENTO_PRESENCE_MS"); }

    void SetUp() override {
        ASSERT_TRUE(crypto::initialise());
        ASSERT_TRUE(dir.isValid());
        sender.node.greet();
        receiver.node.greet();
        // Files go once each knows the other as a current copy with a key.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return sender.node.fileTransferBlocker(QStringLiteral("RECV")).isEmpty() &&
                       receiver.node.fileTransferBlocker(QStringLiteral("SEND")).isEmpty();
            },
            10000))
            << sender.node.fileTransferBlocker(QStringLiteral("RECV")).toStdString();
        source = dir.filePath(QStringLiteral("source"));
    }

    static bool waitForState(TransferService& service, const TransferId& id, TransferState state,
                             int ms = 20000) {
        return QTest::qWaitFor(
            [&] {
                const auto info = service.transfer(id);
                return info && info->state == state;
            },
            ms);
    }

    // The longest this thread went without handling its events, over ms.
    static qint64 longestStall(int ms) {
        QElapsedTimer all;
        all.start();
        qint64 longest = 0;
        while (all.elapsed() < ms) {
            QElapsedTimer one;
            one.start();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            longest = std::max(longest, one.elapsed());
            QTest::qSleep(5);
        }
        return longest;
    }

    static QString stateOf(TransferService& service, const TransferId& id) {
        const auto info = service.transfer(id);
        return info ? QString::fromLatin1(stateName(info->state)) + QLatin1Char(' ') + info->error
                    : QStringLiteral("(none)");
    }

    QTemporaryDir dir;
    test::LoopbackLan lan;
    Copy sender{lan, 2, QStringLiteral("SEND"), '\x41'};
    Copy receiver{lan, 3, QStringLiteral("RECV"), '\x42'};
    QString source;
};

} // namespace

TEST_F(TransferServiceTest, AnAcceptedOfferBringsTheFilesAndBothSidesSayDone) {
    const QByteArray big = contentOf(qsizetype(3.5 * (1 << 20)), 1);
    writeFile(source + QStringLiteral("/report/big.bin"), big);
    writeFile(source + QStringLiteral("/report/notes/a.txt"), "first");
    TransferService out(sender.node, sender.options(dir));
    TransferService in(receiver.node, receiver.options(dir));
    QSignalSpy offers(&in, &TransferService::offerReceived);
    QSignalSpy finishedOut(&out, &TransferService::transferFinished);
    QSignalSpy finishedIn(&in, &TransferService::transferFinished);

    const auto result = out.sendFiles({source + QStringLiteral("/report")}, {"RECV"});
    ASSERT_EQ(result.offered.size(), 1) << result.error.toStdString();
    const TransferId id = result.offered.first();
    ASSERT_TRUE(offers.wait(5000));
    const auto offer = offers.first().first().value<TransferInfo>();
    EXPECT_EQ(offer.id, id);
    EXPECT_EQ(offer.computer, "SEND");
    EXPECT_EQ(offer.name, "report");
    EXPECT_EQ(offer.files, 2);
    EXPECT_EQ(offer.totalBytes, quint64(big.size() + 5));
    EXPECT_EQ(offer.state, TransferState::Asking);

    EXPECT_EQ(in.accept(id), QString());
    ASSERT_TRUE(waitForState(in, id, TransferState::Done)) << stateOf(in, id).toStdString();
    ASSERT_TRUE(waitForState(out, id, TransferState::Done)) << stateOf(out, id).toStdString();
    const QString save = receiver.options(dir).saveFolder;
    EXPECT_EQ(readFile(save + QStringLiteral("/report/big.bin")), big);
    EXPECT_EQ(readFile(save + QStringLiteral("/report/notes/a.txt")), "first");
    EXPECT_EQ(in.transfer(id)->firstPath, save + QStringLiteral("/report/big.bin"));
    EXPECT_EQ(out.transfer(id)->doneBytes, offer.totalBytes);
    EXPECT_EQ(finishedOut.size(), 1);
    EXPECT_EQ(finishedIn.size(), 1);
    // Nothing is left to resume: the state files hold no transfer.
    EXPECT_EQ(
        readFile(sender.options(dir).stateFolder + QStringLiteral("/transfers.json")).simplified(),
        "[ ]");
}

TEST_F(TransferServiceTest, DeclinedAndCancelledOffersEndOnBothSides) {
    writeFile(source + QStringLiteral("/a.txt"), "text");
    TransferService out(sender.node, sender.options(dir));
    TransferService in(receiver.node, receiver.options(dir));
    QSignalSpy offers(&in, &TransferService::offerReceived);

    const TransferId declined =
        out.sendFiles({source + QStringLiteral("/a.txt")}, {"RECV"}).offered.value(0);
    ASSERT_TRUE(offers.wait(5000));
    in.decline(declined);
    EXPECT_TRUE(waitForState(out, declined, TransferState::Declined))
        << stateOf(out, declined).toStdString();

    // The sender takes its offer back before any answer: the question goes away.
    const TransferId cancelled =
        out.sendFiles({source + QStringLiteral("/a.txt")}, {"RECV"}).offered.value(0);
    ASSERT_TRUE(offers.wait(5000));
    out.cancel(cancelled);
    EXPECT_TRUE(waitForState(in, cancelled, TransferState::Cancelled))
        << stateOf(in, cancelled).toStdString();
    EXPECT_TRUE(filesBelow(receiver.options(dir).saveFolder).isEmpty());
}

TEST_F(TransferServiceTest, FilesGoOnlyToCurrentCopiesWithKnownKeys) {
    // A copy without a key, as earlier versions run.
    auto net = lan.computer(4, QStringLiteral("OLD"), kGroup, 100ms);
    messaging::ChatNode plain(*net);
    plain.greet();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return sender.node.peers().indexOfComputer(QStringLiteral("OLD")) >= 0; }, 10000));
    writeFile(source + QStringLiteral("/a.txt"), "text");
    TransferService out(sender.node, sender.options(dir));
    const struct {
        const char* computer;
        const char* reasonHas;
    } cases[] = {
        {"OLD", "older copy without a key"},
        {"SEND", "this computer itself"},
        {"NOBODY", "not in the list"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.computer);
        const auto result = out.sendFiles({source + QStringLiteral("/a.txt")}, {c.computer});
        EXPECT_TRUE(result.offered.isEmpty());
        ASSERT_EQ(result.refused.size(), 1);
        EXPECT_TRUE(result.refused.first().second.contains(QLatin1String(c.reasonHas)))
            << result.refused.first().second.toStdString();
    }
    // Paths that cannot be sent are refused before anything is offered.
    const auto missing = out.sendFiles({source + QStringLiteral("/nothing")}, {"RECV"});
    EXPECT_TRUE(missing.offered.isEmpty());
    EXPECT_FALSE(missing.error.isEmpty());
}

TEST_F(TransferServiceTest, APausedTransferSurvivesARestartOfBothSidesAndGoesOn) {
    const QByteArray content = contentOf(qsizetype(2.2 * (1 << 20)), 3);
    writeFile(source + QStringLiteral("/movie.bin"), content);
    TransferId id{};
    {
        TransferService out(sender.node, sender.options(dir));
        TransferService in(receiver.node, receiver.options(dir));
        QSignalSpy offers(&in, &TransferService::offerReceived);
        id = out.sendFiles({source + QStringLiteral("/movie.bin")}, {"RECV"}).offered.value(0);
        ASSERT_TRUE(offers.wait(5000));
        ASSERT_EQ(in.accept(id), QString());
        in.pause(id);
        EXPECT_EQ(in.transfer(id)->state, TransferState::Paused);
        QTest::qWait(300);
    }
    // Both copies start again: each finds the transfer it kept.
    TransferService out(sender.node, sender.options(dir));
    TransferService in(receiver.node, receiver.options(dir));
    ASSERT_TRUE(in.transfer(id));
    EXPECT_EQ(in.transfer(id)->state, TransferState::Paused);
    ASSERT_TRUE(out.transfer(id));
    // The sender's Open and "Show in folder" still find what the user sent.
    EXPECT_EQ(out.transfer(id)->firstPath, source + QStringLiteral("/movie.bin"));
    // The sender reads its files again before it takes a connection.
    ASSERT_TRUE(QTest::qWaitFor([&] { return out.transfer(id)->state != TransferState::Preparing; },
                                10000));
    in.resume(id);
    ASSERT_TRUE(waitForState(in, id, TransferState::Done)) << stateOf(in, id).toStdString();
    EXPECT_TRUE(waitForState(out, id, TransferState::Done)) << stateOf(out, id).toStdString();
    EXPECT_EQ(readFile(receiver.options(dir).saveFolder + QStringLiteral("/movie.bin")), content);
}

// The side that pauses is the one that goes on: the other sees who paused, and its own
// resume does nothing.
TEST_F(TransferServiceTest, APauseShowsOnTheOtherSideWhichCannotResumeIt) {
    const QByteArray content = contentOf(qsizetype(96) << 20, 6);
    writeFile(source + QStringLiteral("/big.bin"), content);
    TransferService out(sender.node, sender.options(dir));
    TransferService in(receiver.node, receiver.options(dir));
    QSignalSpy offers(&in, &TransferService::offerReceived);
    const TransferId id =
        out.sendFiles({source + QStringLiteral("/big.bin")}, {"RECV"}).offered.value(0);
    ASSERT_TRUE(offers.wait(5000));
    ASSERT_EQ(in.accept(id), QString());
    // Paused as soon as the first chunk is written: far from the end.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return filesBelow(receiver.options(dir).saveFolder)
                .contains(QStringLiteral("big.bin.part"));
        },
        20000))
        << stateOf(in, id).toStdString();
    in.pause(id);
    EXPECT_FALSE(in.transfer(id)->pausedByOther);
    ASSERT_TRUE(waitForState(out, id, TransferState::Paused)) << stateOf(out, id).toStdString();
    EXPECT_TRUE(out.transfer(id)->pausedByOther);
    out.resume(id);
    QTest::qWait(500);
    EXPECT_EQ(out.transfer(id)->state, TransferState::Paused);
    EXPECT_EQ(in.transfer(id)->state, TransferState::Paused);

    in.resume(id);
    ASSERT_TRUE(waitForState(in, id, TransferState::Done)) << stateOf(in, id).toStdString();
    EXPECT_TRUE(waitForState(out, id, TransferState::Done)) << stateOf(out, id).toStdString();
    EXPECT_FALSE(out.transfer(id)->pausedByOther);
    EXPECT_EQ(readFile(receiver.options(dir).saveFolder + QStringLiteral("/big.bin")), content);
}

// A receiver whose program ends before its user answers loses the question; once its copy
// is heard again, the sender asks again, and the transfer can still be accepted.
TEST_F(TransferServiceTest, AnOfferLeftUnansweredByARestartIsMadeAgain) {
    writeFile(source + QStringLiteral("/a.txt"), "asked twice");
    TransferService out(sender.node, sender.options(dir));
    TransferId id{};
    {
        TransferService in(receiver.node, receiver.options(dir));
        QSignalSpy offers(&in, &TransferService::offerReceived);
        id = out.sendFiles({source + QStringLiteral("/a.txt")}, {"RECV"}).offered.value(0);
        ASSERT_TRUE(offers.wait(5000));
    } // no answer: the program ends
    TransferService in(receiver.node, receiver.options(dir));
    EXPECT_FALSE(in.transfer(id));
    QSignalSpy offers(&in, &TransferService::offerReceived);
    receiver.node.SendGoodbye(); // and the copy starts again
    receiver.node.greet();
    ASSERT_TRUE(offers.wait(10000));
    EXPECT_EQ(offers.first().first().value<TransferInfo>().id, id);
    EXPECT_EQ(offers.first().first().value<TransferInfo>().name, QStringLiteral("a.txt"));
    ASSERT_EQ(in.accept(id), QString());
    EXPECT_TRUE(waitForState(out, id, TransferState::Done)) << stateOf(out, id).toStdString();
    EXPECT_EQ(readFile(receiver.options(dir).saveFolder + QStringLiteral("/a.txt")), "asked twice");
    EXPECT_EQ(offers.size(), 1); // asked once more, not once per sign of life
}

// A transfer cut in the middle of a file keeps the part for a resume; ended for good while
// it waits (no connection runs to remove it), even after a restart, it leaves nothing in
// the save folder.
TEST_F(TransferServiceTest, ATransferEndedWhileItWaitsLeavesNoPartialFile) {
    const QByteArray content = contentOf(qsizetype(96) << 20, 5); // long enough to cut
    writeFile(source + QStringLiteral("/big.bin"), content);
    const QString save = receiver.options(dir).saveFolder;
    const auto partThere = [&] {
        return filesBelow(save).contains(QStringLiteral("big.bin.part"));
    };
    std::optional<TransferService> in(std::in_place, receiver.node, receiver.options(dir));
    TransferId id{};
    {
        TransferService out(sender.node, sender.options(dir));
        QSignalSpy offers(&*in, &TransferService::offerReceived);
        id = out.sendFiles({source + QStringLiteral("/big.bin")}, {"RECV"}).offered.value(0);
        ASSERT_TRUE(offers.wait(5000));
        ASSERT_EQ(in->accept(id), QString());
        ASSERT_TRUE(QTest::qWaitFor(partThere, 20000)) << stateOf(*in, id).toStdString();
    } // the sender ends, and its connection with it
    ASSERT_TRUE(waitForState(*in, id, TransferState::Waiting)) << stateOf(*in, id).toStdString();
    ASSERT_TRUE(partThere());
    // The receiver tries again and fails while nobody listens: what had arrived still shows,
    // also once it starts again.
    const quint64 arrived = in->transfer(id)->doneBytes;
    EXPECT_GT(arrived, 0u);
    QSignalSpy changes(&*in, &TransferService::transferChanged);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return changes.size() >= 2 && in->transfer(id)->state == TransferState::Waiting; },
        10000));
    EXPECT_EQ(in->transfer(id)->doneBytes, arrived);
    in.reset(); // the receiver starts again: the part is remembered with the transfer
    in.emplace(receiver.node, receiver.options(dir));
    ASSERT_TRUE(in->transfer(id));
    EXPECT_EQ(in->transfer(id)->doneBytes, arrived);
    in->cancel(id);
    EXPECT_EQ(in->transfer(id)->state, TransferState::Cancelled);
    EXPECT_TRUE(QTest::qWaitFor([&] { return filesBelow(save).isEmpty(); }, 5000))
        << filesBelow(save).join(u' ').toStdString();
}

TEST_F(TransferServiceTest, AFriendsFilesAreTakenWithoutAQuestionOnlyWhenChosen) {
    writeFile(source + QStringLiteral("/a.txt"), "from a friend");
    sender.node.announceIdentity(QStringLiteral("Sanna"));
    receiver.node.setFriends({QStringLiteral("Sanna")});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const int i = receiver.node.peers().indexOfComputer(QStringLiteral("SEND"));
            return i >= 0 && receiver.node.peers().isFriend(i);
        },
        5000));
    for (const bool acceptFromFriends : {false, true}) {
        SCOPED_TRACE(acceptFromFriends);
        TransferOptions options = receiver.options(dir);
        options.acceptFromFriends = acceptFromFriends;
        TransferService out(sender.node, sender.options(dir));
        TransferService in(receiver.node, options);
        QSignalSpy offers(&in, &TransferService::offerReceived);
        const TransferId id =
            out.sendFiles({source + QStringLiteral("/a.txt")}, {"RECV"}).offered.value(0);
        if (acceptFromFriends) {
            EXPECT_TRUE(waitForState(out, id, TransferState::Done))
                << stateOf(out, id).toStdString();
            EXPECT_TRUE(offers.isEmpty());
        } else {
            EXPECT_TRUE(offers.wait(5000));
            EXPECT_EQ(in.transfer(id)->state, TransferState::Asking);
        }
    }
}

// A transfer whose receiver's disk stops taking writes for seconds in its middle (a frozen
// file system; a slow disk's sync does the same): accepted, and its connection stuck at its
// first write, when each test begins.
class StuckDiskTest : public TransferServiceTest {
protected:
    void SetUp() override {
        TransferServiceTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (!disk.mounted())
            GTEST_SKIP() << disk.why().toStdString();
        writeFile(source + QStringLiteral("/big.bin"), content);
        inOptions = receiver.options(dir);
        inOptions.saveFolder = disk.path(QStringLiteral("save"));
        ASSERT_TRUE(QDir().mkpath(inOptions.saveFolder));
        out.emplace(sender.node, sender.options(dir));
        in.emplace(receiver.node, inOptions);
        QSignalSpy offers(&*in, &TransferService::offerReceived);
        id = out->sendFiles({source + QStringLiteral("/big.bin")}, {"RECV"}).offered.value(0);
        ASSERT_TRUE(offers.wait(5000));
        if (!disk.freezeFor(std::chrono::seconds(7)))
            GTEST_SKIP() << "the file system here cannot be frozen";
        ASSERT_EQ(in->accept(id), QString());
        ASSERT_TRUE(waitForState(*in, id, TransferState::Running))
            << stateOf(*in, id).toStdString();
        QTest::qWait(300); // the connection reaches its first write, and stays there
    }

    FreezableDisk disk{dir.filePath(QStringLiteral("disk"))};
    const QByteArray content = contentOf(qsizetype(12) << 20, 9);
    TransferOptions inOptions;
    std::optional<TransferService> out;
    std::optional<TransferService> in;
    TransferId id{};
};

// The user pauses and goes on meanwhile: neither waits on this thread for the stuck
// connection, and once the disk takes writes again the file arrives whole, written by one
// connection at a time.
TEST_F(StuckDiskTest, AStuckDiskNeverHoldsUpThePauseOrTheResume) {
    in->pause(id);
    EXPECT_EQ(in->transfer(id)->state, TransferState::Paused);
    EXPECT_LT(longestStall(2500), 1000) << "the pause waited for the stuck connection";
    in->resume(id);
    EXPECT_LT(longestStall(1000), 1000) << "the resume waited for the stuck connection";
    EXPECT_TRUE(disk.frozen()) << "the disk took writes again too soon to tell";

    ASSERT_TRUE(waitForState(*in, id, TransferState::Done, 30000))
        << stateOf(*in, id).toStdString();
    EXPECT_TRUE(waitForState(*out, id, TransferState::Done)) << stateOf(*out, id).toStdString();
    EXPECT_EQ(readFile(inOptions.saveFolder + QStringLiteral("/big.bin")), content);
    EXPECT_EQ(filesBelow(inOptions.saveFolder), QStringList{QStringLiteral("big.bin")});
}

// Cancelled and cleared from the panel while the disk is stuck: gone from the list at once,
// and the partial file is removed once the stuck connection has ended.
TEST_F(StuckDiskTest, ATransferClearedWhileItsDiskIsStuckLeavesNothingBehind) {
    in->cancel(id);
    EXPECT_LT(longestStall(2000), 1000) << "the cancel waited for the stuck connection";
    in->forget(id);
    EXPECT_FALSE(in->transfer(id));
    EXPECT_TRUE(in->transfers().isEmpty());
    EXPECT_TRUE(disk.frozen()) << "the disk took writes again too soon to tell";
    EXPECT_TRUE(waitForState(*out, id, TransferState::Cancelled))
        << stateOf(*out, id).toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return filesBelow(inOptions.saveFolder).isEmpty(); }, 20000))
        << filesBelow(inOptions.saveFolder).join(u' ').toStdString();
}

// Paused with part of the file written, then cancelled while the disk is stuck: no
// connection runs to remove the part, and its removal does not wait on this thread.
TEST_F(StuckDiskTest, ACancelWhileNothingRunsNeverWaitsForAStuckDisk) {
    in->pause(id);
    const QString part = inOptions.saveFolder + QStringLiteral("/big.bin.part");
    // Once the disk takes writes again, the connection writes what it holds and ends.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !disk.frozen(); }, 20000));
    QTest::qWait(2000);
    ASSERT_TRUE(QFile::exists(part)) << filesBelow(inOptions.saveFolder).join(u' ').toStdString();
    ASSERT_EQ(in->transfer(id)->state, TransferState::Paused);

    if (!disk.freezeFor(std::chrono::seconds(5)))
        GTEST_SKIP() << "the file system here cannot be frozen again";
    QElapsedTimer cancelling;
    cancelling.start();
    in->cancel(id);
    EXPECT_LT(cancelling.elapsed(), 1000) << "the cancel waited for the stuck disk";
    EXPECT_EQ(in->transfer(id)->state, TransferState::Cancelled);
    EXPECT_TRUE(disk.frozen()) << "the disk took writes again too soon to tell";
    EXPECT_TRUE(QTest::qWaitFor([&] { return filesBelow(inOptions.saveFolder).isEmpty(); }, 20000))
        << filesBelow(inOptions.saveFolder).join(u' ').toStdString();
}
