// Drives the datagram service directly from the command line, one copy per network
// namespace, for the whole-network tests.
//
//   dgram_tool recv [--name NAME] [--timeout-ms N] [--send KIND:TARGET:TEXT]...
//       Opens the receiving name (default "Terminal"), prints "READY <computer> <group>",
//       does the sends, then prints "RECV <text>" for every datagram until SIGTERM or
//       the timeout (default 10000), and "COUNT <n>" at the end.
//   dgram_tool send KIND TARGET TEXT [--name NAME]
//       KIND is local, group or named; TARGET is used with named. Prints "SENT".
//   dgram_tool walk [--wait-ms N]
//       Prints "GROUP <name>" per answer and "WALK_MS <elapsed>".
//   dgram_tool flood MODE ADDRESS:PORT COUNT [--rate N] [--group G]
//       Sends COUNT datagrams to one address from a socket of its own, written from the
//       documented layout, N a second (0, the default: as fast as the socket takes them).
//       MODE lines: public chat lines "flood <n>" of one sender to the group G (default
//       the environment's workgroup); malformed: a mix of broken frames, headers and
//       payloads; greetings: greetings from computers "FAKE<n>", each its own sender id.
//       Prints "FLOODED <count> <milliseconds>".
// Any failure prints "ERROR <system text>" and exits with 2.

#include "messaging/chat_protocol.h"
#include "platform/text_codec.h"
#include "platform/udp_network.h"

#include <QRandomGenerator>
#include <QStringList>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

using namespace kalvento::platform;
using namespace std::chrono;

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onTerminate(int) {
    g_stop = 1;
}

void say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: dgram_tool recv|send|walk ... (see the source)\n");
    std::exit(64);
}

struct Send {
    AddressKind kind;
    QString target;
    QByteArray text;
};

AddressKind parseKind(const QString& kind) {
    if (kind == QLatin1String("local"))
        return AddressKind::LocalComputer;
    if (kind == QLatin1String("group"))
        return AddressKind::PrimaryGroup;
    if (kind == QLatin1String("named"))
        return AddressKind::Named;
    usage();
}

QString option(QStringList& args, const QString& name, const QString& fallback) {
    const qsizetype at = args.indexOf(name);
    if (at < 0)
        return fallback;
    if (at + 1 >= args.size())
        usage();
    const QString value = args[at + 1];
    args.remove(at, 2);
    return value;
}

int receive(UdpNetwork& network, QStringList args) {
    QList<Send> sends;
    for (qsizetype at; (at = args.indexOf(QStringLiteral("--send"))) >= 0;) {
        if (at + 1 >= args.size())
            usage();
        const QStringList parts = args[at + 1].split(QLatin1Char(':'));
        if (parts.size() < 3)
            usage();
        sends.append({parseKind(parts[0]), parts[1], toWire(parts.mid(2).join(QLatin1Char(':')))});
        args.remove(at, 2);
    }
    const QString name = option(args, QStringLiteral("--name"), QStringLiteral("Terminal"));
    const int timeout =
        option(args, QStringLiteral("--timeout-ms"), QStringLiteral("10000")).toInt();

    std::signal(SIGTERM, onTerminate);
    std::signal(SIGINT, onTerminate);
    const auto receiver = network.openReceiver(name);
    say(QStringLiteral("READY %1 %2").arg(network.computerName(), network.groupName()));
    for (const Send& s : sends)
        network.send(s.kind, s.target, name, s.text);

    int count = 0;
    QByteArray buffer(int(kMaxDatagramSize), Qt::Uninitialized);
    const auto deadline = steady_clock::now() + milliseconds(timeout);
    // Read what waits, then look at the stop request, so nothing queued before it is lost.
    for (bool last = false; !last;) {
        last = g_stop || steady_clock::now() >= deadline;
        if (last)
            std::this_thread::sleep_for(milliseconds(20));
        while (receiver->pendingCount() > 0) {
            const quint32 size = receiver->read(buffer.data(), quint32(buffer.size()));
            QString text = fromWire(QByteArrayView(buffer.constData(), size));
            text.replace(QLatin1Char('\n'), QLatin1Char(' '));
            say(QStringLiteral("RECV ") + text);
            ++count;
        }
        if (!last)
            std::this_thread::sleep_for(milliseconds(5));
    }
    say(QStringLiteral("COUNT %1").arg(count));
    return 0;
}

int sendOne(UdpNetwork& network, QStringList args) {
    const QString name = option(args, QStringLiteral("--name"), QStringLiteral("Terminal"));
    if (args.size() != 3)
        usage();
    network.send(parseKind(args[0]), args[1], name, toWire(args[2]));
    say(QStringLiteral("SENT"));
    return 0;
}

int walk(UdpNetwork& network, QStringList args) {
    const QString wait = option(args, QStringLiteral("--wait-ms"), QString());
    const milliseconds w = wait.isEmpty() ? network.defaultWalkWait() : milliseconds(wait.toInt());
    const auto start = steady_clock::now();
    const QStringList groups = network.queryGroups(w);
    const auto took = duration_cast<milliseconds>(steady_clock::now() - start);
    for (const QString& group : groups)
        say(QStringLiteral("GROUP ") + group);
    say(QStringLiteral("WALK_MS %1").arg(took.count()));
    return 0;
}

QByteArray nameField(QByteArrayView name) {
    return char(name.size()) + name.toByteArray();
}

// A data frame to the receiving name Terminal, as docs/protocol.md lays it out.
QByteArray dataFrame(quint16 port, QByteArrayView target, QByteArrayView computer,
                     QByteArrayView group, QByteArrayView body) {
    QByteArray frame("KVD\x01\x01", 5);
    frame += char(port >> 8);
    frame += char(port & 0xFF);
    frame += nameField(target) + nameField("Terminal") + nameField(computer) + nameField(group);
    return frame + body.toByteArray();
}

QByteArray terminalDatagram(quint32 senderId, quint32 sequence, QByteArrayView payload) {
    QByteArray header(8, Qt::Uninitialized);
    qToLittleEndian(senderId, header.data());
    qToLittleEndian(sequence, header.data() + 4);
    return header + payload.toByteArray();
}

// Broken in one of many ways, each of which the service or the terminal drops.
QByteArray malformed(quint32 i, quint16 port, const QByteArray& group) {
    QRandomGenerator& random = *QRandomGenerator::global();
    QByteArray noise(int(random.bounded(1, 200)), Qt::Uninitialized);
    for (char& c : noise)
        c = char(random.bounded(256));
    const QByteArray valid = dataFrame(port, group, "BROKEN", group,
                                       terminalDatagram(0xB0000000 + i, 1,
                                                        kalvento::messaging::payloadFromPlainText(
                                                            "broken " + QByteArray::number(i))));
    switch (i % 8) {
    case 0:
        return noise;
    case 1:
        return "KVX" + valid.mid(3);
    case 2:
        return valid.left(int(random.bounded(1, 30)));
    case 3:
        return valid.left(7) + char(200) + noise; // a name longer than the datagram
    case 4:
        return dataFrame(port, group, "BROKEN", group, noise.left(7)); // short header
    case 5: // a terminal header cut short
        return dataFrame(port, group, "BROKEN", group, valid.right(5));
    case 6: { // a frame for another receiving name
        QByteArray other = valid;
        other.replace("Terminal", "Termonal");
        return other;
    }
    default: { // a magic, version or type that is not this protocol's
        QByteArray changed = valid;
        const int at = int(random.bounded(5));
        changed[at] =
            char(at == 4 ? random.bounded(4, 256) : (changed[at] ^ random.bounded(1, 256)));
        return changed;
    }
    }
}

int flood(QStringList args) {
    const QString rateText = option(args, QStringLiteral("--rate"), QStringLiteral("0"));
    const QByteArray group = toWire(option(args, QStringLiteral("--group"),
                                           UdpNetworkConfig::fromEnvironment().groupName.isEmpty()
                                               ? QStringLiteral("WORKGROUP")
                                               : UdpNetworkConfig::fromEnvironment().groupName));
    if (args.size() != 3)
        usage();
    const QString mode = args[0];
    const auto to = Ipv4Endpoint::parse(args[1], kDefaultDatagramPort);
    const long count = args[2].toLong();
    const double rate = rateText.toDouble();
    if (!to || count <= 0 || rate < 0)
        usage();

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw SystemError(errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(to->address);
    address.sin_port = htons(to->port);
    const quint16 ownPort = to->port; // where answers would go
    const quint32 lineSender = QRandomGenerator::global()->generate() | 1u;
    const auto start = steady_clock::now();
    long sent = 0;
    for (long i = 0; i < count; ++i) {
        QByteArray datagram;
        if (mode == QLatin1String("lines")) {
            datagram = dataFrame(ownPort, group, "FLOOD", group,
                                 terminalDatagram(lineSender, quint32(i + 1),
                                                  kalvento::messaging::payloadFromPlainText(
                                                      "flood " + QByteArray::number(i))));
        } else if (mode == QLatin1String("malformed")) {
            datagram = malformed(quint32(i), ownPort, group);
        } else if (mode == QLatin1String("greetings")) {
            const QByteArray name = "FAKE" + QByteArray::number(i);
            datagram =
                dataFrame(ownPort, group, name, group,
                          terminalDatagram(0xF0000000 + quint32(i), 1,
                                           kalvento::messaging::payloadFromPlainText(
                                               kalvento::messaging::greetingText(name, group))));
        } else {
            usage();
        }
        if (rate > 0) {
            const auto due =
                start + duration_cast<steady_clock::duration>(duration<double>(double(i) / rate));
            std::this_thread::sleep_until(due);
        }
        // A full socket buffer waits: the flood is what the network carries.
        while (::sendto(fd, datagram.constData(), size_t(datagram.size()), 0,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
            if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR)
                throw SystemError(errno);
            std::this_thread::sleep_for(microseconds(50));
        }
        ++sent;
    }
    ::close(fd);
    say(QStringLiteral("FLOODED %1 %2")
            .arg(sent)
            .arg(duration_cast<milliseconds>(steady_clock::now() - start).count()));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        usage();
    QStringList args;
    for (int i = 2; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    const QString command = QString::fromLocal8Bit(argv[1]);
    try {
        if (command == QLatin1String("flood"))
            return flood(args);
        UdpNetwork network(UdpNetworkConfig::fromEnvironment());
        if (command == QLatin1String("recv"))
            return receive(network, args);
        if (command == QLatin1String("send"))
            return sendOne(network, args);
        if (command == QLatin1String("walk"))
            return walk(network, args);
        usage();
    } catch (const SystemError& e) {
        say(QStringLiteral("ERROR ") + e.text());
        return 2;
    }
}
