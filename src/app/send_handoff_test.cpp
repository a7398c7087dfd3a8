// "kalvento --send" handing its paths to the running copy: the request and answer on the
// wire, and a real socket between a client (in a thread of its own, as the second process
// would be) and the server on this thread's event loop.

#include "app/send_handoff.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kalvento;
using app::HandoffAnswer;
using app::HandoffResult;
using app::SendRequest;

namespace {

TEST(SendHandoff, RequestsAndAnswersReadBackAndNothingElseIsTaken) {
    const SendRequest requests[] = {
        {{"/home/u/a b.txt", "/home/u/\u00e4\u05D0/\nodd"}, {"Anna", "PC2"}},
        {{"/x"}, {}},
    };
    for (const SendRequest& request : requests) {
        const QByteArray line = app::encodeRequest(request);
        EXPECT_TRUE(line.endsWith('\n'));
        EXPECT_EQ(line.count('\n'), 1); // one line, whatever the names hold
        EXPECT_EQ(app::decodeRequest(line), request);
    }
    const char* refused[] = {
        "",
        "not json\n",
        "[]\n",
        "{\"paths\": []}\n",          // nothing to send
        "{\"to\": [\"Anna\"]}\n",     // no paths
        "{\"paths\": \"/x\"}\n",      // not a list
        "{\"paths\": [\"/x\", 3]}\n", // not a text
        "{\"paths\": [\"/x\"], \"to\": \"Anna\"}\n",
    };
    for (const char* line : refused)
        EXPECT_FALSE(app::decodeRequest(line)) << line;

    for (const HandoffAnswer& answer :
         {HandoffAnswer{true, "Offered to 2 computers."}, HandoffAnswer{false, "a\nb"}})
        EXPECT_EQ(app::decodeAnswer(app::encodeAnswer(answer)), answer);
    EXPECT_FALSE(app::decodeAnswer("{\"text\": \"x\"}\n"));
    EXPECT_FALSE(app::decodeAnswer("{\"ok\": 1}\n"));
}

// Runs the client on a thread while this one serves, until it has its result.
HandoffResult handOffServed(const QString& path, const SendRequest& request, int timeoutMs = 5000) {
    std::future<HandoffResult> result =
        std::async(std::launch::async, [&] { return app::handOff(path, request, timeoutMs); });
    while (result.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return result.get();
}

TEST(SendHandoff, TheRunningCopyGetsThePathsAndTheSecondProcessItsAnswer) {
    QTemporaryDir dir;
    const QString path = dir.filePath("send.socket");
    QList<SendRequest> received;
    HandoffAnswer reply{true, "Offered to 1 computer."};
    app::SendHandoffServer server([&](const SendRequest& request) {
        received.append(request);
        return reply;
    });
    ASSERT_EQ(server.listen(path), "");
    // The user's alone.
    struct stat status {};
    ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 077, 0u);

    const SendRequest request{{"/home/u/report.pdf"}, {"Anna"}};
    HandoffResult result = handOffServed(path, request);
    EXPECT_EQ(result.outcome, HandoffResult::Outcome::Answered) << result.error.toStdString();
    EXPECT_EQ(result.answer, reply);
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received[0], request);

    reply = {false, "Files not sent to Anna: not a current copy"};
    result = handOffServed(path, SendRequest{{"/a", "/b"}, {}});
    EXPECT_EQ(result.answer, reply);
    EXPECT_EQ(received.size(), 2);

    // The program started again: the running copy is asked to show its window.
    reply = {true, ""};
    result = handOffServed(path, SendRequest{{}, {}, true});
    EXPECT_EQ(result.answer, reply);
    ASSERT_EQ(received.size(), 3);
    EXPECT_TRUE(received[2].show);
    EXPECT_TRUE(received[2].paths.isEmpty());
    // A request with paths is never taken for one to show the window, nor "show" false.
    EXPECT_FALSE(app::decodeRequest("{\"show\": true, \"paths\": [\"/a\"]}\n")->show);
    EXPECT_FALSE(app::decodeRequest("{\"show\": false}\n"));

    // Bytes that are no request get an answer that says so, and reach nobody.
    QLocalSocket raw;
    raw.connectToServer(path);
    ASSERT_TRUE(raw.waitForConnected(2000));
    raw.write("{\"paths\": 5}\n");
    QTRY_VERIFY_WITH_TIMEOUT(raw.canReadLine(), 5000);
    const std::optional<HandoffAnswer> answer = app::decodeAnswer(raw.readLine());
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->ok);
    EXPECT_EQ(received.size(), 3);
}

// A socket's file as a killed process leaves it: bound, never unlinked.
void leaveSocket(const QString& path) {
    const QByteArray file = QFile::encodeName(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, file.constData(), size_t(file.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(path));
}

TEST(SendHandoff, WithoutARunningCopyTheProgramStartsItselfAndAStrangeFileIsNoCopy) {
    QTemporaryDir dir;
    const SendRequest request{{"/x"}, {}};
    // Nothing there: no copy runs.
    EXPECT_EQ(app::handOff(dir.filePath("none.socket"), request).outcome,
              HandoffResult::Outcome::NoCopy);
    // A socket a copy that ended left behind: nobody listens.
    leaveSocket(dir.filePath("left.socket"));
    EXPECT_EQ(app::handOff(dir.filePath("left.socket"), request).outcome,
              HandoffResult::Outcome::NoCopy);
    // A file that is no socket is not talked to; the user hears why.
    QFile plain(dir.filePath("plain.socket"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    const HandoffResult strange = app::handOff(plain.fileName(), request);
    EXPECT_EQ(strange.outcome, HandoffResult::Outcome::Failed);
    EXPECT_TRUE(strange.error.contains("not this user's socket")) << strange.error.toStdString();
    // A new server takes the place of the one left behind.
    app::SendHandoffServer again([](const SendRequest&) { return HandoffAnswer{true, "ok"}; });
    ASSERT_EQ(again.listen(dir.filePath("left.socket")), "");
    EXPECT_EQ(handOffServed(dir.filePath("left.socket"), request).answer.text, "ok");
}

TEST(SendHandoff, ACopyThatNeverAnswersIsGivenUpOn) {
    QTemporaryDir dir;
    const QString path = dir.filePath("mute.socket");
    QLocalServer mute; // listens, reads nothing, answers nothing
    ASSERT_TRUE(mute.listen(path));
    const HandoffResult result = handOffServed(path, SendRequest{{"/x"}, {}}, 300);
    EXPECT_EQ(result.outcome, HandoffResult::Outcome::Failed);
    EXPECT_TRUE(result.error.contains("did not answer")) << result.error.toStdString();
}

TEST(SendHandoff, TheSocketLivesBesideTheInstanceLock) {
    const QString path = app::handoffSocketPath();
    EXPECT_TRUE(path.endsWith("kalvento-send.socket") || path.contains("kalvento-send-"))
        << path.toStdString();
    EXPECT_FALSE(path.endsWith(".lock"));
}

} // namespace
