// What a sender streams, as any records, taken by a receiver over a real connection into a
// scratch save folder. The input: the files (4) and bytes (8) the offer said, then records,
// each a type (1), a length (2) and its payload. Whatever comes, the receiver ends (done,
// failed or cut), writes nothing outside its folder, and makes no link.

#include "fuzz_support.h"

#include "transfer/transfer_job.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>

#include <sys/socket.h>
#include <thread>

using namespace kalvento;
using namespace kalvento::transfer;

namespace {

const crypto::IdentityKey& senderKey() {
    static const crypto::IdentityKey key = crypto::IdentityKey::fromSeed(QByteArray(32, 'S'));
    return key;
}
const crypto::IdentityKey& receiverKey() {
    static const crypto::IdentityKey key = crypto::IdentityKey::fromSeed(QByteArray(32, 'R'));
    return key;
}

// Everything below root, relative.
QStringList everything(const QString& root) {
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out.append(QDir(root).relativeFilePath(it.next()));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = crypto::initialise();
    static QTemporaryDir root;
    if (!ready || !root.isValid())
        return 0;
    const QByteArrayView input = fuzz::bytes(data, size);
    if (input.size() < 12)
        return 0;
    const QString save = root.filePath(QStringLiteral("save"));
    QDir(save).removeRecursively();
    QDir().mkpath(save);

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    Socket connecting(fds[0]);
    Socket listening(fds[1]);
    const TransferId id{};
    std::optional<Channel> sender;
    std::thread sending([&] {
        try {
            const Hello hello = Channel::readHello(listening, {});
            sender.emplace(Channel::acceptSide(std::move(listening), hello, senderKey(), {}));
            for (qsizetype at = 12; at + 3 <= input.size();) {
                const char type = input[at];
                const qsizetype length = std::min<qsizetype>(
                    qFromBigEndian<quint16>(input.data() + at + 1), input.size() - at - 3);
                sender->send(type, input.sliced(at + 3, length), {}, type == 'E');
                at += 3 + length;
            }
            ::shutdown(sender->socket().fd(), SHUT_WR);
        } catch (const ChannelError&) {
        }
    });
    JobOutcome outcome;
    try {
        Channel receiver = Channel::connectSide(std::move(connecting), Role::Receiver, id,
                                                receiverKey(), senderKey().publicKey(), {});
        receiver.socket().idle = std::chrono::milliseconds(2000);
        ReceiverSetup setup;
        setup.folder = save;
        setup.id = id;
        setup.offeredFiles = qFromBigEndian<quint32>(input.data());
        setup.offeredBytes = qFromBigEndian<quint64>(input.data() + 4);
        JobState state;
        outcome = runReceiver(receiver, setup, state, {});
        receiver.socket().shutdownBoth();
    } catch (const ChannelError&) {
    }
    if (sender)
        sender->socket().shutdownBoth();
    sending.join();

    for (const QString& entry : everything(root.path())) {
        KALVENTO_FUZZ_CHECK(entry == QStringLiteral("save") ||
                            entry.startsWith(QStringLiteral("save/")));
        KALVENTO_FUZZ_CHECK(!QFileInfo(root.filePath(entry)).isSymLink());
    }
    if (outcome.kind == JobOutcome::Kind::Failed)
        KALVENTO_FUZZ_CHECK(!outcome.reason.isEmpty());
    return 0;
}
