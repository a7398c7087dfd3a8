// A hostile sender of files, for the whole-network tests: a chat copy with an identity key
// of its own that greets, waits until the victim can take part in a transfer, and then
// offers it files, one transfer per mode, through the program's own chat messages. The
// offer names a TCP listener of this tool; when the victim connects, the tool checks its
// hello, answers it with the program's own handshake and then writes the records by hand:
// a manifest built here without any of the checks an honest sender makes, and chunks that
// lie about their file.
//
//   transfer_attacker VICTIM MODE[,MODE...] [--wait-ms N] [--victim-address A.B.C.D]
//
// Modes:
//   traversal-up       a file "../outside.txt"
//   traversal-nested   a file "a/../../x"
//   traversal-abs      a file "/abs/x"
//   symlink            a file "evil/file" (the test plants save/evil as a link to a folder
//                      outside the save folder)
//   size-lies          the manifest says 10 bytes, the chunk carries 2000 (its hash in the
//                      manifest is that of the 2000 bytes)
//   offer-lies         the offer says 1 file of 10 bytes, the manifest 2 files of 20
//   bad-chunk          a chunk whose bytes do not match their hash
//   billion            a manifest header announcing 1,000,000,000 files
//   huge-manifest      a manifest length of 4 GiB - 1
//   part-name          a file "report.part", the name the victim gives its own partial files
//   case-twin          "Notes.txt" and "notes.txt", one file on a system that ignores case
//   stray-chunk        a chunk of file 7 of a manifest that lists one file
//   unasked            no offer: connects to the victim's transfer port (the chat's port, at
//                      --victim-address) as the sender of a transfer it never offered
//
// Prints "READY <computer>", then for each mode "ATTACK <mode> <transfer id>" once the
// offer went and "VICTIM <mode> <what the victim did>": "failed <its reason>" for an 'X'
// record, "record <type>" for any other final record, "closed <error>" when it closed
// without one, "no-connection" when it never connected; for unasked "refused <the
// victim's welcome>" or "let-in". Exit 0 when every mode ran to its
// end (whatever the victim did), 2 when the tool could not start or the victim never
// became reachable.

#include "crypto/identity_key.h"
#include "messaging/chat_node.h"
#include "network/datagram_network.h"
#include "network/udp_network.h"
#include "platform/trace.h"
#include "transfer/transfer_channel.h"
#include "transfer/transfer_wire.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <stop_token>
#include <thread>

using namespace kalvento;
using namespace kalvento::transfer;

namespace {

// The victim's reasons are its text: escaped as the program's trace does, one event a line.
void print(const QString& line) {
    static QTextStream stream(stdout);
    stream << platform::escapeControls(line) << Qt::endl;
}

void put16(QByteArray& out, quint16 v) {
    out.append(char(v >> 8));
    out.append(char(v));
}
void put32(QByteArray& out, quint32 v) {
    put16(out, quint16(v >> 16));
    put16(out, quint16(v));
}
void put64(QByteArray& out, quint64 v) {
    put32(out, quint32(v >> 32));
    put32(out, quint32(v));
}
void putHash(QByteArray& out, const Hash& h) {
    out.append(reinterpret_cast<const char*>(h.data()), kHashSize);
}

// One file of a hand-made manifest: its path and size as written, and the chunk hashes
// given (the file hash follows from them, so only what the mode means to break is broken).
struct RawFile {
    QByteArray path;
    quint64 size = 0;
    std::vector<Hash> chunks;
};

// The manifest's bytes in the documented layout, with no check at all; total and count as
// given.
QByteArray rawManifest(quint32 count, quint64 total, const std::vector<RawFile>& files) {
    QByteArray out("KVM1");
    put32(out, count);
    put64(out, total);
    for (const RawFile& f : files) {
        put16(out, quint16(f.path.size()));
        out.append(f.path);
        put64(out, f.size);
        put64(out, 1700000000);
        putHash(out, fileHash(f.size, f.chunks));
        for (const Hash& h : f.chunks)
            putHash(out, h);
    }
    return out;
}

QByteArray chunkRecord(quint32 file, quint32 chunk, const QByteArray& bytes) {
    QByteArray out;
    put32(out, file);
    put32(out, chunk);
    out.append(bytes);
    return out;
}

// What one mode offers and then sends.
struct Attack {
    quint32 offeredFiles = 1;
    quint64 offeredBytes = 0;
    QByteArray name;
    quint32 announcedLength = 0; // 'H'; 0: the manifest's own length
    QByteArray manifest;         // sent as 'M' records
    QList<QByteArray> chunks;    // 'C' payloads, sent once the victim answers with 'W'
    bool unasked = false;        // no offer: this side connects as the sender
};

std::optional<Attack> makeAttack(const QString& mode) {
    Attack a;
    const QByteArray ten("0123456789");
    const auto simpleFile = [&](const QByteArray& path) {
        a.name = "file.txt";
        a.offeredBytes = quint64(ten.size());
        a.manifest = rawManifest(1, a.offeredBytes, {{path, a.offeredBytes, {chunkHash(ten)}}});
        a.chunks = {chunkRecord(0, 0, ten)};
    };
    if (mode == "traversal-up") {
        simpleFile("../outside.txt");
    } else if (mode == "traversal-nested") {
        simpleFile("a/../../x");
    } else if (mode == "traversal-abs") {
        simpleFile("/abs/x");
    } else if (mode == "symlink") {
        simpleFile("evil/file");
        a.name = "evil";
    } else if (mode == "size-lies") {
        const QByteArray big(2000, 'B');
        a.name = "small.txt";
        a.offeredBytes = 10;
        a.manifest = rawManifest(1, 10, {{"small.txt", 10, {chunkHash(big)}}});
        a.chunks = {chunkRecord(0, 0, big)};
    } else if (mode == "offer-lies") {
        a.name = "one.txt";
        a.offeredBytes = 10;
        a.manifest = rawManifest(
            2, 20, {{"one.txt", 10, {chunkHash(ten)}}, {"two.txt", 10, {chunkHash(ten)}}});
        a.chunks = {chunkRecord(0, 0, ten), chunkRecord(1, 0, ten)};
    } else if (mode == "bad-chunk") {
        const QByteArray honest(4096, 'h');
        const QByteArray forged(4096, 'f');
        a.name = "data.bin";
        a.offeredBytes = quint64(honest.size());
        a.manifest =
            rawManifest(1, a.offeredBytes, {{"data.bin", a.offeredBytes, {chunkHash(honest)}}});
        a.chunks = {chunkRecord(0, 0, forged)};
    } else if (mode == "billion") {
        a.name = "many";
        a.offeredBytes = 10;
        a.manifest = rawManifest(1000000000u, 10, {});
        a.announcedLength = 1u << 20;
    } else if (mode == "huge-manifest") {
        simpleFile("file.txt");
        a.announcedLength = 0xffffffffu;
    } else if (mode == "part-name") {
        simpleFile("report.part");
        a.name = "report";
    } else if (mode == "case-twin") {
        a.name = "Notes.txt";
        a.offeredFiles = 2;
        a.offeredBytes = 20;
        a.manifest = rawManifest(
            2, 20, {{"Notes.txt", 10, {chunkHash(ten)}}, {"notes.txt", 10, {chunkHash(ten)}}});
        a.chunks = {chunkRecord(0, 0, ten), chunkRecord(1, 0, ten)};
    } else if (mode == "stray-chunk") {
        simpleFile("stray.txt");
        a.chunks = {chunkRecord(7, 0, ten)};
    } else if (mode == "unasked") {
        a.unasked = true;
        return a;
    } else {
        return std::nullopt;
    }
    if (a.announcedLength == 0)
        a.announcedLength = quint32(a.manifest.size());
    return a;
}

// A TCP listener on every address of the namespace, on a port the system chooses.
struct Listener {
    int fd = -1;
    quint16 port = 0;
    ~Listener() {
        if (fd >= 0)
            ::close(fd);
    }
    bool open() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 4) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        port = ntohs(address.sin_port);
        return true;
    }
    // The next connection within timeout, or -1.
    int accept(std::chrono::milliseconds timeout) const {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(timeout.count())) <= 0)
            return -1;
        // Non-blocking, as the channel expects: its reads give up after the socket's idle time.
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    }
};

// Runs one attack on the victim's connection: what the victim did, as printed.
QString runAttack(const Listener& listener, const Attack& attack, const TransferId& id,
                  const crypto::IdentityKey& own, const crypto::PublicKey& victim) {
    std::stop_source source;
    const std::stop_token stop = source.get_token();
    const int fd = listener.accept(std::chrono::seconds(20));
    if (fd < 0)
        return QStringLiteral("no-connection");
    Socket socket(fd);
    socket.idle = std::chrono::milliseconds(10000);
    try {
        const Hello hello = Channel::readHello(socket, stop);
        if (hello.role != Role::Receiver || hello.id != id || hello.identity != victim ||
            !verifyHello(hello, own.publicKey()))
            return QStringLiteral("bad-hello");
        Channel channel = Channel::acceptSide(std::move(socket), hello, own, stop);
        QByteArray length;
        put32(length, attack.announcedLength);
        channel.send('H', length, stop);
        for (qsizetype at = 0; at < attack.manifest.size(); at += kChunkSize)
            channel.send('M',
                         QByteArrayView(attack.manifest)
                             .sliced(at)
                             .first(std::min<qsizetype>(kChunkSize, attack.manifest.size() - at)),
                         stop);
        QByteArray payload;
        char type = channel.receive(payload, stop);
        if (type == 'W') {
            for (const QByteArray& chunk : attack.chunks)
                channel.send('C', chunk, stop);
            channel.send('E', {}, stop, true);
            do
                type = channel.receive(payload, stop);
            while (!channel.finalSeen());
        }
        if (type == 'X')
            return QStringLiteral("failed ") + QString::fromUtf8(payload);
        return QStringLiteral("record ") + QLatin1Char(type);
    } catch (const ChannelError& error) {
        return QStringLiteral("closed ") + error.text;
    }
}

// Connects to the victim's transfer port as the sender of a transfer it never heard of.
QString connectUnasked(quint32 address, quint16 port, const crypto::IdentityKey& own,
                       const crypto::PublicKey& victim) {
    std::stop_source source;
    WelcomeStatus refused = WelcomeStatus::Ok;
    try {
        Socket socket =
            Socket::connectTo(address, port, std::chrono::seconds(5), source.get_token());
        Channel channel = Channel::connectSide(std::move(socket), Role::Sender, newTransferId(),
                                               own, victim, source.get_token(), &refused);
        return QStringLiteral("let-in");
    } catch (const ChannelError& error) {
        if (refused != WelcomeStatus::Ok)
            return QStringLiteral("refused ") + welcomeStatusText(refused);
        return QStringLiteral("closed ") + error.text;
    }
}

// "a.b.c.d" in host order, or 0.
quint32 ipv4(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return 0;
    quint32 address = 0;
    for (const QString& part : parts) {
        bool ok = false;
        const uint value = part.toUInt(&ok);
        if (!ok || value > 255)
            return 0;
        address = (address << 8) | value;
    }
    return address;
}

class Attacker : public QObject {
public:
    Attacker(const QString& victim, QStringList modes, int waitMs, quint32 victimAddress)
        : m_node(network::systemNetwork()), m_victim(victim), m_modes(std::move(modes)),
          m_key(crypto::IdentityKey::generate()), m_victimAddress(victimAddress) {
        m_node.setIdentityKey(m_key);
        print(QStringLiteral("READY ") + m_node.computerName());
        m_node.greet();
        m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        connect(&m_timer, &QTimer::timeout, this, &Attacker::step);
        m_timer.start(50);
    }

private:
    void step() {
        if (m_running.valid()) {
            if (m_running.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                return;
            print(QStringLiteral("VICTIM %1 %2").arg(m_modes.first(), m_running.get()));
            m_modes.removeFirst();
            m_listener.reset();
        }
        if (m_modes.isEmpty()) {
            QCoreApplication::exit(0);
            return;
        }
        if (m_node.greetingPending() || !m_node.fileTransferBlocker(m_victim).isEmpty() ||
            !m_node.pinnedKey(m_victim)) {
            if (std::chrono::steady_clock::now() > m_deadline) {
                print(QStringLiteral("ERROR the victim cannot take files: ") +
                      m_node.fileTransferBlocker(m_victim));
                QCoreApplication::exit(2);
            }
            return;
        }
        const QString mode = m_modes.first();
        const std::optional<Attack> attack = makeAttack(mode);
        if (!attack) {
            print(QStringLiteral("ERROR unknown mode ") + mode);
            QCoreApplication::exit(2);
            return;
        }
        const crypto::PublicKey victimKey = *m_node.pinnedKey(m_victim);
        if (attack->unasked) {
            if (m_victimAddress == 0) {
                print(QStringLiteral("ERROR unasked needs --victim-address"));
                QCoreApplication::exit(2);
                return;
            }
            print(QStringLiteral("ATTACK %1 -").arg(mode));
            const quint16 port = network::UdpNetworkConfig::fromEnvironment().port;
            m_running = std::async(std::launch::async,
                                   [address = m_victimAddress, port, key = m_key, victimKey] {
                                       return connectUnasked(address, port, key, victimKey);
                                   });
            return;
        }
        m_listener = std::make_shared<Listener>();
        if (!m_listener->open()) {
            print(QStringLiteral("ERROR no listener"));
            QCoreApplication::exit(2);
            return;
        }
        FileMessage offer;
        offer.kind = FileMessage::Kind::Offer;
        offer.id = newTransferId();
        offer.port = m_listener->port;
        offer.files = attack->offeredFiles;
        offer.bytes = attack->offeredBytes;
        offer.name = attack->name;
        const QString error = m_node.sendFileMessage(m_victim, encodeFileMessage(offer));
        if (!error.isEmpty()) {
            print(QStringLiteral("ERROR offer: ") + error);
            QCoreApplication::exit(2);
            return;
        }
        print(QStringLiteral("ATTACK %1 %2").arg(mode, transferIdText(offer.id)));
        m_running = std::async(std::launch::async, [listener = m_listener, attack = *attack,
                                                    id = offer.id, key = m_key, victimKey] {
            return runAttack(*listener, attack, id, key, victimKey);
        });
    }

    messaging::ChatNode m_node;
    QString m_victim;
    QStringList m_modes;
    crypto::IdentityKey m_key;
    quint32 m_victimAddress = 0;
    QTimer m_timer;
    std::chrono::steady_clock::time_point m_deadline;
    std::shared_ptr<Listener> m_listener;
    std::future<QString> m_running;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        print(QStringLiteral("usage: transfer_attacker VICTIM MODE[,MODE...] [--wait-ms N]"));
        return 2;
    }
    int waitMs = 20000;
    if (const qsizetype at = args.indexOf(QStringLiteral("--wait-ms"));
        at > 0 && at + 1 < args.size())
        waitMs = args[at + 1].toInt();
    quint32 victimAddress = 0;
    if (const qsizetype at = args.indexOf(QStringLiteral("--victim-address"));
        at > 0 && at + 1 < args.size())
        victimAddress = ipv4(args[at + 1]);
    if (!crypto::initialise()) {
        print(QStringLiteral("ERROR the cryptography library cannot start"));
        return 2;
    }
    Attacker attacker(args[1], args[2].split(QLatin1Char(','), Qt::SkipEmptyParts), waitMs,
                      victimAddress);
    return app.exec();
}
