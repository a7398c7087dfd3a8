// The connection of a transfer between two threads over a socket pair: the handshake and
// its refusals, records changed or cut on the way, and the jobs of both ends moving files,
// resuming, and refusing what a hostile sender streams.

#include "transfer/save_folder.h"
#include "transfer/transfer_job.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include "support/test_files.h"
#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace kalvento;
using namespace kalvento::transfer;
using test::contentOf;
using test::filesBelow;
using test::readFile;
using test::writeFile;

namespace {

const crypto::IdentityKey senderKey = crypto::IdentityKey::fromSeed(QByteArray(32, '\x11'));
const crypto::IdentityKey receiverKey = crypto::IdentityKey::fromSeed(QByteArray(32, '\x22'));
const crypto::IdentityKey strangerKey = crypto::IdentityKey::fromSeed(QByteArray(32, '\x33'));
const TransferId kId{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

std::pair<Socket, Socket> socketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    return {Socket(fds[0]), Socket(fds[1])};
}

// Passes bytes from one socket to the other, changing the byte at flipAt (counted from the
// first byte after skip) or closing both after cutAfter bytes.
void relay(int from, int to, qint64 flipAt, qint64 cutAfter) {
    char buffer[65536];
    qint64 passed = 0;
    for (;;) {
        pollfd p{from, POLLIN, 0};
        ::poll(&p, 1, 5000);
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EAGAIN)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            if (passed + i == flipAt)
                buffer[i] = char(buffer[i] ^ 0x40);
        ssize_t length = n;
        if (cutAfter >= 0 && passed + n > cutAfter)
            length = ssize_t(cutAfter - passed);
        for (ssize_t at = 0; at < length;) {
            const ssize_t w = ::write(to, buffer + at, size_t(length - at));
            if (w < 0 && errno == EAGAIN) {
                pollfd q{to, POLLOUT, 0};
                ::poll(&q, 1, 5000);
                continue;
            }
            if (w <= 0)
                return;
            at += w;
        }
        passed += n;
        if (cutAfter >= 0 && passed >= cutAfter)
            break;
    }
    ::shutdown(to, SHUT_RDWR);
    ::shutdown(from, SHUT_RDWR);
}

struct Pair {
    std::optional<Channel> connector; // the receiver, which connects
    std::optional<Channel> listener;  // the sender
    QString connectError;
    QString listenError;
    WelcomeStatus refused = WelcomeStatus::Ok;
};

// The receiver (with its key) connects to the sender, which expects expected's key and
// answers with status.
Pair handshake(Socket a, Socket b, const crypto::IdentityKey& connectorKey,
               const crypto::PublicKey& listenerKeyExpected,
               const crypto::PublicKey& connectorExpected, const crypto::IdentityKey& listenerKey,
               WelcomeStatus status = WelcomeStatus::Ok) {
    Pair pair;
    std::thread listen([&, b = std::move(b)]() mutable {
        try {
            const Hello hello = Channel::readHello(b, {});
            if (hello.identity != connectorExpected || !verifyHello(hello, listenerKey.publicKey()))
                Channel::refuse(b, WelcomeStatus::WrongKey, {});
            else if (status != WelcomeStatus::Ok)
                Channel::refuse(b, status, {});
            else
                pair.listener.emplace(Channel::acceptSide(std::move(b), hello, listenerKey, {}));
        } catch (const ChannelError& e) {
            pair.listenError = e.text;
        }
    });
    try {
        pair.connector.emplace(Channel::connectSide(std::move(a), Role::Receiver, kId, connectorKey,
                                                    listenerKeyExpected, {}, &pair.refused));
    } catch (const ChannelError& e) {
        pair.connectError = e.text;
    }
    listen.join();
    return pair;
}

LocalManifest hashed(const QStringList& paths) {
    QString error;
    std::optional<LocalManifest> listed = listFiles(paths, &error);
    EXPECT_TRUE(listed) << error.toStdString();
    std::optional<LocalManifest> done = hashFiles(
        std::move(*listed), {}, [](quint64) {}, &error);
    EXPECT_TRUE(done) << error.toStdString();
    return std::move(*done);
}

struct Moved {
    JobOutcome sent;
    JobOutcome received;
    quint64 sentBytes = 0;
};

// Sender and receiver jobs on the two ends of a connection.
Moved moveFiles(const LocalManifest& local, const QString& folder,
                const QByteArray& manifestHashBefore = {}, int receiverRequest = JobState::None) {
    auto [a, b] = socketPair();
    Pair pair = handshake(std::move(a), std::move(b), receiverKey, senderKey.publicKey(),
                          receiverKey.publicKey(), senderKey);
    EXPECT_TRUE(pair.connector && pair.listener) << pair.connectError.toStdString();
    SenderSetup sender{&local, encodeManifest(local.manifest)};
    ReceiverSetup receiver;
    receiver.folder = folder;
    receiver.id = kId;
    receiver.offeredFiles = quint32(local.manifest.files.size());
    receiver.offeredBytes = local.manifest.totalBytes();
    receiver.manifestHash = manifestHashBefore;
    JobState senderState;
    JobState receiverState;
    receiverState.request = receiverRequest;
    Moved run;
    std::thread send([&] {
        run.sent = runSender(*pair.listener, sender, senderState, {});
        pair.listener->socket().shutdownBoth(); // as the service closes a job's connection
    });
    run.received = runReceiver(*pair.connector, receiver, receiverState, {});
    pair.connector->socket().shutdownBoth();
    send.join();
    run.sentBytes = senderState.sentBytes;
    return run;
}

// A sender that offers one file (content, as manifestBytes lists it) and goes after its
// first chunks chunks (its computer switched off); the receiver's outcome.
JobOutcome cutAfterChunks(const QByteArray& content, const QByteArray& manifestBytes,
                          quint32 chunks, const QString& folder, JobState& state) {
    auto [a, b] = socketPair();
    Pair pair = handshake(std::move(a), std::move(b), receiverKey, senderKey.publicKey(),
                          receiverKey.publicKey(), senderKey);
    EXPECT_TRUE(pair.connector && pair.listener);
    if (!pair.connector || !pair.listener)
        return {};
    std::thread send([&] {
        QByteArray length(4, '\0');
        qToBigEndian(quint32(manifestBytes.size()), length.data());
        pair.listener->send('H', length, {});
        pair.listener->send('M', manifestBytes, {});
        QByteArray payload;
        pair.listener->receive(payload, {});
        for (quint32 c = 0; c < chunks; ++c) {
            QByteArray record(8, '\0');
            qToBigEndian(c, record.data() + 4);
            pair.listener->send('C', record + content.mid(qsizetype(c) * kChunkSize, kChunkSize),
                                {});
        }
        pair.listener->socket().shutdownBoth();
    });
    ReceiverSetup receiver;
    receiver.folder = folder;
    receiver.id = kId;
    receiver.offeredFiles = 1;
    receiver.offeredBytes = quint64(content.size());
    JobOutcome cut = runReceiver(*pair.connector, receiver, state, {});
    send.join();
    return cut;
}

class TransferChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(crypto::initialise());
        ASSERT_TRUE(dir.isValid());
        source = dir.filePath(QStringLiteral("source"));
        save = dir.filePath(QStringLiteral("save"));
        outside = dir.filePath(QStringLiteral("outside"));
        QDir().mkpath(save);
        QDir().mkpath(outside);
    }
    QTemporaryDir dir;
    QString source, save, outside;
};

} // namespace

TEST_F(TransferChannelTest, OnlyTheExpectedKeysOpenAConnection) {
    struct Case {
        const char* what;
        const crypto::IdentityKey& connector;
        crypto::PublicKey listenerExpected;  // what the connector expects to reach
        crypto::PublicKey connectorExpected; // what the listener pinned for the transfer
        const crypto::IdentityKey& listener;
        WelcomeStatus status;
        bool opens;
        WelcomeStatus refusedAs;
    };
    const Case cases[] = {
        {"both keys as pinned", receiverKey, senderKey.publicKey(), receiverKey.publicKey(),
         senderKey, WelcomeStatus::Ok, true, WelcomeStatus::Ok},
        {"a stranger in the receiver's place", strangerKey, senderKey.publicKey(),
         receiverKey.publicKey(), senderKey, WelcomeStatus::Ok, false, WelcomeStatus::WrongKey},
        // The hello binds the listener it was meant for: relayed to another, it is refused.
        {"a hello meant for another listener", receiverKey, strangerKey.publicKey(),
         receiverKey.publicKey(), senderKey, WelcomeStatus::Ok, false, WelcomeStatus::WrongKey},
        {"a paused transfer", receiverKey, senderKey.publicKey(), receiverKey.publicKey(),
         senderKey, WelcomeStatus::Paused, false, WelcomeStatus::Paused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto [a, b] = socketPair();
        Pair pair = handshake(std::move(a), std::move(b), c.connector, c.listenerExpected,
                              c.connectorExpected, c.listener, c.status);
        EXPECT_EQ(pair.connector.has_value(), c.opens) << pair.connectError.toStdString();
        EXPECT_EQ(pair.refused, c.refusedAs);
        if (!c.opens)
            continue;
        QByteArray payload;
        pair.connector->send('W', "want", {});
        EXPECT_EQ(pair.listener->receive(payload, {}), 'W');
        EXPECT_EQ(payload, "want");
        pair.listener->send('E', {}, {}, true);
        EXPECT_EQ(pair.connector->receive(payload, {}), 'E');
        EXPECT_TRUE(pair.connector->finalSeen());
    }
}

TEST_F(TransferChannelTest, AnImpostorListenerCannotProveTheKeyItClaims) {
    // The receiver expects the sender's key, a stranger answers: its welcome's signature
    // does not verify under the pinned key.
    auto [a, b] = socketPair();
    Pair pair = handshake(std::move(a), std::move(b), receiverKey, senderKey.publicKey(),
                          receiverKey.publicKey(), strangerKey);
    EXPECT_FALSE(pair.connector);
}

TEST_F(TransferChannelTest, ARecordChangedOrCutOnTheWayIsNeverTaken) {
    // Bytes after the handshake: hello, welcome and the two stream headers.
    for (const bool cut : {false, true}) {
        SCOPED_TRACE(cut ? "cut" : "changed");
        auto [a, m1] = socketPair();
        auto [m2, b] = socketPair();
        // The receiver's bytes pass unchanged; the sender's are changed or cut in its
        // second record.
        const qint64 welcomeAndHeader = kWelcomeSize + 24;
        std::thread up(relay, m1.fd(), m2.fd(), -1, -1);
        std::thread down(relay, m2.fd(), m1.fd(), cut ? -1 : welcomeAndHeader + 5 + 4 + 16 + 9,
                         cut ? welcomeAndHeader + 5 + 4 + 16 + 7 : -1);
        Pair pair = handshake(std::move(a), std::move(b), receiverKey, senderKey.publicKey(),
                              receiverKey.publicKey(), senderKey);
        EXPECT_TRUE(pair.connector && pair.listener);
        if (!pair.connector || !pair.listener) {
            m1.shutdownBoth();
            m2.shutdownBoth();
            up.join();
            down.join();
            continue;
        }
        pair.listener->send('H', "abcd", {});
        pair.listener->send('M', "manifest", {});
        QByteArray payload;
        EXPECT_EQ(pair.connector->receive(payload, {}), 'H');
        try {
            pair.connector->receive(payload, {});
            ADD_FAILURE() << "a changed or cut record was taken";
        } catch (const ChannelError& e) {
            EXPECT_FALSE(e.text.isEmpty());
        }
        pair.connector->socket().shutdownBoth();
        pair.listener->socket().shutdownBoth();
        up.join();
        down.join();
    }
}

// Small records are queued and go out many to a write call; the reader takes them from
// what one read brought ahead. Neither may reorder, lose or hold back a record: a side that
// queued records and then waits for an answer has sent them first.
TEST_F(TransferChannelTest, QueuedRecordsArriveInOrderAndGoOutBeforeTheSenderWaits) {
    auto [a, b] = socketPair();
    Pair pair = handshake(std::move(a), std::move(b), receiverKey, senderKey.publicKey(),
                          receiverKey.publicKey(), senderKey);
    ASSERT_TRUE(pair.connector && pair.listener) << pair.connectError.toStdString();
    pair.connector->socket().idle = std::chrono::seconds(5);
    pair.listener->socket().idle = std::chrono::seconds(5);

    // Small records around one as large as a record may be, whose bytes partly come in
    // the same read as the small ones before it.
    QList<QByteArray> records;
    for (int i = 0; i < 300; ++i)
        records.append(QByteArray(1 + i * 7 % 5000, char('a' + i % 26)));
    records.insert(150, QByteArray(kMaxRecordPayload, 'L'));
    records.append(QByteArray(3, 'z'));

    Channel& sender = *pair.listener;
    sender.queue('C', records.first(), {});
    EXPECT_TRUE(sender.hasQueued());
    EXPECT_EQ(sender.bytesSent(), 0u); // nothing written yet
    char answer = 0;
    QString senderError;
    std::thread send([&] {
        try {
            for (qsizetype i = 1; i < records.size(); ++i)
                sender.queue('C', records[i], {});
            QByteArray payload;
            answer = sender.receive(payload, {}); // sends what is still queued first
        } catch (const ChannelError& e) {
            senderError = e.text;
        }
    });
    QByteArray payload;
    qsizetype got = 0;
    try {
        for (; got < records.size(); ++got) {
            ASSERT_EQ(pair.connector->receive(payload, {}), 'C') << got;
            ASSERT_EQ(payload, records[got]) << got;
        }
        pair.connector->send('A', QByteArray(8, '\0'), {});
    } catch (const ChannelError& e) {
        ADD_FAILURE() << "record " << got << ": " << e.text.toStdString();
        pair.connector->socket().shutdownBoth();
    }
    send.join();
    EXPECT_TRUE(senderError.isEmpty()) << senderError.toStdString();
    EXPECT_EQ(answer, 'A');
    EXPECT_FALSE(sender.hasQueued());
    quint64 total = 0;
    for (const QByteArray& record : records)
        total += quint64(record.size());
    EXPECT_EQ(sender.bytesSent(), total);
}

TEST_F(TransferChannelTest, FilesArriveWholeAndAreNotSentAgainWhenThere) {
    const QByteArray big = contentOf(qsizetype(kChunkSize) * 2 + 517, 1);
    const QByteArray small = contentOf(100, 2);
    writeFile(source + QStringLiteral("/photos/big.bin"), big);
    writeFile(source + QStringLiteral("/photos/deep/small.txt"), small);
    writeFile(source + QStringLiteral("/photos/deep/empty"), {});
    const LocalManifest local = hashed({source + QStringLiteral("/photos")});

    const Moved first = moveFiles(local, save);
    EXPECT_EQ(first.received.kind, JobOutcome::Kind::Done) << first.received.reason.toStdString();
    EXPECT_EQ(first.sent.kind, JobOutcome::Kind::Done) << first.sent.reason.toStdString();
    EXPECT_EQ(readFile(save + QStringLiteral("/photos/big.bin")), big);
    EXPECT_EQ(readFile(save + QStringLiteral("/photos/deep/small.txt")), small);
    EXPECT_EQ(readFile(save + QStringLiteral("/photos/deep/empty")), QByteArray());
    EXPECT_EQ(first.sentBytes, quint64(big.size() + small.size()));

    // The same again: everything is there already, nothing is sent nor duplicated.
    const Moved second = moveFiles(local, save);
    EXPECT_EQ(second.received.kind, JobOutcome::Kind::Done);
    EXPECT_EQ(second.sentBytes, 0u);
    EXPECT_EQ(filesBelow(save),
              (QStringList{"photos/big.bin", "photos/deep/empty", "photos/deep/small.txt"}));
}

TEST_F(TransferChannelTest, AnInterruptedFileResumesAfterItsVerifiedChunks) {
    const QByteArray content = contentOf(qsizetype(kChunkSize) * 6 + 9, 3);
    writeFile(source + QStringLiteral("/video.bin"), content);
    const LocalManifest local = hashed({source + QStringLiteral("/video.bin")});
    const QByteArray manifestBytes = encodeManifest(local.manifest);

    // A sender that goes after three chunks.
    JobState state;
    const JobOutcome cut = cutAfterChunks(content, manifestBytes, 3, save, state);
    EXPECT_EQ(cut.kind, JobOutcome::Kind::Interrupted);
    EXPECT_EQ(state.doneBytes.load(), 3 * quint64(kChunkSize));
    EXPECT_EQ(filesBelow(save), (QStringList{"video.bin.part", "video.bin.part.kvs"}));
    // The next connection asks only for what is missing.
    const Moved rest = moveFiles(local, save, manifestHash(manifestBytes));
    EXPECT_EQ(rest.received.kind, JobOutcome::Kind::Done) << rest.received.reason.toStdString();
    EXPECT_EQ(rest.sentBytes, quint64(content.size()) - 3 * quint64(kChunkSize));
    EXPECT_EQ(readFile(save + QStringLiteral("/video.bin")), content);
    EXPECT_EQ(filesBelow(save), QStringList{"video.bin"});

    // A manifest other than the one the transfer began with is refused.
    writeFile(source + QStringLiteral("/video.bin"), contentOf(50, 4));
    const Moved changed = moveFiles(hashed({source + QStringLiteral("/video.bin")}), save,
                                    manifestHash(manifestBytes));
    EXPECT_EQ(changed.received.kind, JobOutcome::Kind::Failed);
    EXPECT_TRUE(changed.received.reason.contains(QStringLiteral("changed")));
}

// The part a cut leaves is named in the outcome, so that the transfer can remove it should
// it end while no connection runs; removing it takes only that transfer's own part.
TEST_F(TransferChannelTest, APartLeftForAResumeIsNamedAndGoesOnlyWithItsTransfer) {
    const QByteArray content = contentOf(qsizetype(kChunkSize) * 5, 6);
    writeFile(source + QStringLiteral("/album/video.bin"), content);
    const LocalManifest local = hashed({source + QStringLiteral("/album")});
    const QByteArray manifestBytes = encodeManifest(local.manifest);
    const QStringList leftBehind{"album/video.bin.part", "album/video.bin.part.kvs"};
    JobState state;
    const JobOutcome cut = cutAfterChunks(content, manifestBytes, 2, save, state);
    EXPECT_EQ(cut.kind, JobOutcome::Kind::Interrupted);
    EXPECT_EQ(cut.keptPart, "album/video.bin.part");
    ASSERT_EQ(filesBelow(save), leftBehind);

    QString error;
    const std::optional<SaveFolder> folder = SaveFolder::open(save, &error);
    ASSERT_TRUE(folder) << error.toStdString();
    TransferId other = kId;
    other[0] = 99;
    for (const QByteArray& path : {QByteArray("album/video.bin"), QByteArray("../video.bin.part"),
                                   QByteArray("/album/video.bin.part")})
        EXPECT_FALSE(folder->discardPart(path, kId)) << path.constData();
    EXPECT_FALSE(folder->discardPart("album/video.bin.part", other));
    EXPECT_EQ(filesBelow(save), leftBehind);

    // A connection paused before its first chunk still names the part it found; one
    // cancelled then removes it.
    const QByteArray hash = manifestHash(manifestBytes);
    const Moved paused = moveFiles(local, save, hash, JobState::Pause);
    EXPECT_EQ(paused.received.kind, JobOutcome::Kind::Paused);
    EXPECT_EQ(paused.received.keptPart, "album/video.bin.part");
    EXPECT_EQ(filesBelow(save), leftBehind);
    const Moved cancelled = moveFiles(local, save, hash, JobState::Cancel);
    EXPECT_EQ(cancelled.received.kind, JobOutcome::Kind::Cancelled);
    EXPECT_TRUE(cancelled.received.keptPart.isEmpty());
    EXPECT_EQ(filesBelow(save), QStringList{});

    // And a part left again goes by discardPart, as the service does it.
    writeFile(save + QStringLiteral("/album/video.bin.part"), "x");
    EXPECT_FALSE(folder->discardPart("album/video.bin.part", kId)); // no sidecar: not ours
}

TEST_F(TransferChannelTest, PauseAndCancelFromTheReceiverReachTheSender) {
    writeFile(source + QStringLiteral("/a.bin"), contentOf(qsizetype(kChunkSize) * 3, 5));
    const LocalManifest local = hashed({source + QStringLiteral("/a.bin")});
    const Moved paused = moveFiles(local, save, {}, JobState::Pause);
    EXPECT_EQ(paused.received.kind, JobOutcome::Kind::Paused);
    EXPECT_EQ(paused.sent.kind, JobOutcome::Kind::Paused);
    EXPECT_TRUE(paused.sent.byOtherSide);
    const Moved cancelled = moveFiles(local, save, {}, JobState::Cancel);
    EXPECT_EQ(cancelled.received.kind, JobOutcome::Kind::Cancelled);
    EXPECT_EQ(cancelled.sent.kind, JobOutcome::Kind::Cancelled);
    EXPECT_TRUE(filesBelow(save).isEmpty()) << filesBelow(save).join(' ').toStdString();
}

namespace {

// What a hostile sender streams after the handshake.
struct Hostile {
    const char* what;
    QByteArray manifest;         // the manifest's bytes, built by hand
    quint32 announcedLength = 0; // 'H' (0: the manifest's length)
    quint32 offeredFiles = 1;    // what the offer said
    quint64 offeredBytes = 0;
    QList<QByteArray> chunks; // 'C' records, whole
    const char* reasonHas;    // a word of the receiver's reason
};

QByteArray be32(quint32 v) {
    QByteArray out(4, '\0');
    qToBigEndian(v, out.data());
    return out;
}

QByteArray be64(quint64 v) {
    QByteArray out(8, '\0');
    qToBigEndian(v, out.data());
    return out;
}

// A manifest of one file at path claiming size bytes with the hashes of content.
QByteArray manifestOf(const QByteArray& path, quint64 size, const QByteArray& content,
                      quint32 files = 1) {
    std::vector<Hash> chunks;
    for (qsizetype at = 0; at < content.size(); at += kChunkSize)
        chunks.push_back(chunkHash(QByteArrayView(content).sliced(at).first(
            std::min<qsizetype>(kChunkSize, content.size() - at))));
    const Hash hash = fileHash(size, chunks);
    QByteArray out = "KVM1" + be32(files) + be64(size);
    out += char(path.size() >> 8);
    out += char(path.size());
    out += path + be64(size) + be64(1600000000);
    out.append(reinterpret_cast<const char*>(hash.data()), kHashSize);
    for (const Hash& h : chunks)
        out.append(reinterpret_cast<const char*>(h.data()), kHashSize);
    return out;
}

QByteArray chunkRecord(quint32 file, quint32 chunk, const QByteArray& bytes) {
    return be32(file) + be32(chunk) + bytes;
}

} // namespace

TEST_F(TransferChannelTest, AHostileSenderWritesNothingOutsideAndNothingBadUnderARealName) {
    const QByteArray good = contentOf(2000, 6);
    QByteArray bad = good;
    bad[10] = char(bad[10] ^ 1);
    const Hostile cases[] = {
        {"a name leading out",
         manifestOf("../outside/x", 2000, good),
         0,
         1,
         2000,
         {chunkRecord(0, 0, good)},
         "folder"},
        {"an absolute name",
         manifestOf("/tmp/x", 2000, good),
         0,
         1,
         2000,
         {chunkRecord(0, 0, good)},
         ""},
        {"a size that lies",
         manifestOf("a.bin", 10, good.left(10)),
         0,
         1,
         10,
         {chunkRecord(0, 0, good)},
         "length"},
        {"other files than offered",
         manifestOf("a.bin", 2000, good),
         0,
         2,
         4000,
         {chunkRecord(0, 0, good)},
         "offered"},
        {"a chunk failing its check",
         manifestOf("a.bin", 2000, good),
         0,
         1,
         2000,
         {chunkRecord(0, 0, bad)},
         ""},
        {"a billion files", "KVM1" + be32(1000000000) + be64(0), 0, 1000000000, 0, {}, ""},
        {"a manifest too long", manifestOf("a.bin", 2000, good), 0xFFFFFFF0, 1, 2000, {}, "large"},
        {"a chunk of no file",
         manifestOf("a.bin", 2000, good),
         0,
         1,
         2000,
         {chunkRecord(7, 0, good)},
         "no file"},
        {"a link planted in the folder",
         manifestOf("evil/x", 2000, good),
         0,
         1,
         2000,
         {chunkRecord(0, 0, good)},
         ""},
    };
    ASSERT_EQ(::symlink(outside.toLocal8Bit().constData(),
                        (save + QStringLiteral("/evil")).toLocal8Bit().constData()),
              0);
    for (const Hostile& c : cases) {
        SCOPED_TRACE(c.what);
        auto [a, b] = socketPair();
        Pair pair = handshake(std::move(a), std::move(b), receiverKey, senderKey.publicKey(),
                              receiverKey.publicKey(), senderKey);
        ASSERT_TRUE(pair.connector && pair.listener);
        std::thread send([&] {
            try {
                pair.listener->send(
                    'H', be32(c.announcedLength ? c.announcedLength : quint32(c.manifest.size())),
                    {});
                pair.listener->send('M', c.manifest, {});
                QByteArray payload;
                pair.listener->receive(payload, {});
                for (const QByteArray& chunk : c.chunks)
                    pair.listener->send('C', chunk, {});
                pair.listener->send('E', {}, {}, true);
            } catch (const ChannelError&) {
            }
            pair.listener->socket().shutdownBoth();
        });
        ReceiverSetup receiver;
        receiver.folder = save;
        receiver.id = kId;
        receiver.offeredFiles = c.offeredFiles;
        receiver.offeredBytes = c.offeredBytes;
        JobState state;
        const JobOutcome outcome = runReceiver(*pair.connector, receiver, state, {});
        pair.connector->socket().shutdownBoth();
        send.join();
        EXPECT_EQ(outcome.kind, JobOutcome::Kind::Failed);
        EXPECT_TRUE(outcome.reason.contains(QLatin1String(c.reasonHas)))
            << outcome.reason.toStdString();
        EXPECT_TRUE(filesBelow(outside).isEmpty());
        // A failure ends the transfer for good: not even a partial file stays.
        EXPECT_TRUE(filesBelow(save).isEmpty()) << filesBelow(save).join(' ').toStdString();
        EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("x"))));
    }
}

namespace {

QByteArray bytesOf(const auto& array) {
    return QByteArray(reinterpret_cast<const char*>(array.data()), qsizetype(array.size()));
}

QByteArray sequence(int from, int count) {
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out.append(char(from + i));
    return out;
}

constexpr char kHelloVectorHex[] =
    "4b56543152000102030405060708090a0b0c0d0e0fd75a980182b10ab7d54bfed3c964073a0ee172f3daa62325"
    "af021a68f707511a0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20e1f93fc211"
    "2016fafbf60d76bf2f4785c7e655a1e0c5dcad9e97329701bb3ddc79067e1fc98861f4bfae65469362fb1c9ecf"
    "3ba3d7915581e2654fe8be387309";

const crypto::IdentityKey& docKeyA() {
    static const crypto::IdentityKey key = crypto::IdentityKey::fromSeed(
        QByteArray::fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"));
    return key;
}
const crypto::IdentityKey& docKeyB() {
    static const crypto::IdentityKey key = crypto::IdentityKey::fromSeed(
        QByteArray::fromHex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb"));
    return key;
}

} // namespace

// The bytes of docs/protocol.md's "File transfers", written here from the text alone.
TEST_F(TransferChannelTest, TheDocumentedFormsAreTheOnesOnTheWire) {
    FileMessage offer;
    offer.kind = FileMessage::Kind::Offer;
    for (int i = 0; i < kTransferIdSize; ++i)
        offer.id[size_t(i)] = std::uint8_t(i);
    offer.port = 5737;
    offer.files = 3;
    offer.bytes = 1000000;
    offer.name = "report.pdf";
    EXPECT_EQ(encodeFileMessage(offer).toHex(),
              "4b56463101000102030405060708090a0b0c0d0e0f16690000000300000000000f42400a7265706f"
              "72742e706466");
    FileMessage accept{FileMessage::Kind::Accept, offer.id, 5737, 0, 0, {}, {}};
    EXPECT_EQ(encodeFileMessage(accept).toHex(), "4b56463102000102030405060708090a0b0c0d0e0f1669");
    FileMessage decline{FileMessage::Kind::Decline, offer.id, 0, 0, 0, {}, "declined"};
    EXPECT_EQ(encodeFileMessage(decline).toHex(),
              "4b56463103000102030405060708090a0b0c0d0e0f086465636c696e6564");

    // The hello of A (receiver) to B for transfer 00..0f, its fresh key the bytes 01..20.
    Hello hello;
    hello.role = Role::Receiver;
    hello.id = offer.id;
    hello.identity = docKeyA().publicKey();
    std::memcpy(hello.ephemeral.data(), sequence(1, 32).constData(), 32);
    const QByteArray signedPart = QByteArray("KVT1 hello", 11) + 'R' + bytesOf(hello.id) +
                                  bytesOf(hello.identity) + bytesOf(hello.ephemeral) +
                                  bytesOf(docKeyB().publicKey());
    hello.signature = docKeyA().sign(signedPart);
    EXPECT_TRUE(verifyHello(hello, docKeyB().publicKey()));
    EXPECT_EQ(encodeHello(hello).toHex().toStdString(), std::string(kHelloVectorHex));
}

// The listening side written from the text: the welcome's signature, the roles of the key
// exchange and the framing of a record, against the program's connecting side.
TEST_F(TransferChannelTest, AListenerWrittenFromTheDocumentTalksToTheProgram) {
    auto [a, b] = socketPair();
    std::optional<Channel> connector;
    QString error;
    std::thread connect([&, a = std::move(a)]() mutable {
        try {
            connector.emplace(Channel::connectSide(std::move(a), Role::Receiver, kId, docKeyA(),
                                                   docKeyB().publicKey(), {}));
        } catch (const ChannelError& e) {
            error = e.text;
        }
    });
    QByteArray hello(kHelloSize, '\0');
    b.readExact(hello.data(), hello.size(), {});
    const QByteArray theirEphemeral = hello.mid(4 + 1 + 16 + 32, 32);
    unsigned char pk[crypto_kx_PUBLICKEYBYTES], sk[crypto_kx_SECRETKEYBYTES];
    crypto_kx_keypair(pk, sk);
    const QByteArray ours(reinterpret_cast<const char*>(pk), sizeof pk);
    const QByteArray welcomeSigned = QByteArray("KVT1 welcome", 13) + bytesOf(kId) +
                                     bytesOf(docKeyB().publicKey()) + ours +
                                     bytesOf(docKeyA().publicKey()) + theirEphemeral;
    const QByteArray welcome =
        QByteArray("KVT1") + '\0' + ours + bytesOf(docKeyB().sign(welcomeSigned));
    b.writeAll(welcome.constData(), welcome.size(), {});
    // The listener is the key exchange's server.
    unsigned char rx[32], tx[32];
    ASSERT_EQ(crypto_kx_server_session_keys(
                  rx, tx, pk, sk, reinterpret_cast<const unsigned char*>(theirEphemeral.data())),
              0);
    crypto_secretstream_xchacha20poly1305_state push;
    unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
    crypto_secretstream_xchacha20poly1305_init_push(&push, header, tx);
    b.writeAll(reinterpret_cast<const char*>(header), sizeof header, {});
    QByteArray theirHeader(crypto_secretstream_xchacha20poly1305_HEADERBYTES, '\0');
    b.readExact(theirHeader.data(), theirHeader.size(), {});
    connect.join();
    ASSERT_TRUE(connector) << error.toStdString();

    // A record: the sealed length, the type in the clear, the sealed payload with the type
    // as associated data.
    const QByteArray payload = "payload";
    QByteArray sealed(payload.size() + crypto_secretstream_xchacha20poly1305_ABYTES, '\0');
    const unsigned char type = 'E';
    crypto_secretstream_xchacha20poly1305_push(
        &push, reinterpret_cast<unsigned char*>(sealed.data()), nullptr,
        reinterpret_cast<const unsigned char*>(payload.data()), quint64(payload.size()), &type, 1,
        crypto_secretstream_xchacha20poly1305_TAG_FINAL);
    const QByteArray frame = be32(quint32(sealed.size())) + char(type) + sealed;
    b.writeAll(frame.constData(), frame.size(), {});
    QByteArray received;
    EXPECT_EQ(connector->receive(received, {}), 'E');
    EXPECT_EQ(received, payload);
    EXPECT_TRUE(connector->finalSeen());

    // And the other way: the program's record opens under the documented receiving key.
    crypto_secretstream_xchacha20poly1305_state pull;
    ASSERT_EQ(crypto_secretstream_xchacha20poly1305_init_pull(
                  &pull, reinterpret_cast<const unsigned char*>(theirHeader.constData()), rx),
              0);
    connector->send('W', "want", {});
    char head[5];
    b.readExact(head, 5, {});
    QByteArray body(qsizetype(qFromBigEndian<quint32>(head)), '\0');
    b.readExact(body.data(), body.size(), {});
    QByteArray plain(body.size() - crypto_secretstream_xchacha20poly1305_ABYTES, '\0');
    unsigned char tag = 0;
    EXPECT_EQ(crypto_secretstream_xchacha20poly1305_pull(
                  &pull, reinterpret_cast<unsigned char*>(plain.data()), nullptr, &tag,
                  reinterpret_cast<const unsigned char*>(body.constData()), quint64(body.size()),
                  reinterpret_cast<const unsigned char*>(head + 4), 1),
              0);
    EXPECT_EQ(head[4], 'W');
    EXPECT_EQ(plain, "want");
}
