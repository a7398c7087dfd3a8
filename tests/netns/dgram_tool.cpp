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
//   dgram_tool flood MODE ADDRESS:PORT COUNT [--rate N] [--group G] [--sources FIRST:K]
//                    [--names M]
//       Sends COUNT datagrams to one address from a socket of its own, written from the
//       documented layout, N a second (0, the default: as fast as the socket takes them).
//       MODE lines: public chat lines "flood <n>" of one sender to the group G (default
//       the environment's workgroup); malformed: a mix of broken frames, headers and
//       payloads; greetings: greetings from computers "FAKE<n>", each its own sender id
//       (with --names, n counts to M and starts again: M computers greet in turn).
//       With --sources each datagram carries a forged source address, in turn the K
//       addresses from FIRST on, sent through a raw socket (root): what a forger does
//       with addresses that it does not hold and where nobody receives.
//       Prints "FLOODED <count> <milliseconds>".
//   dgram_tool copies COUNT FIRST [--group G] [--prefix P] [--timeout-ms N]
//                     [--greet ADDRESS:PORT]
//       Plays COUNT running copies, "P<n>" (default "SIM<n>") of group G, at the COUNT
//       addresses from FIRST on (local to this host, e.g. a prefix on lo), all from one
//       socket on the port. As real copies do, each copy a walk query or a greeting reaches
//       answers it at once from its own address: a broadcast reaches them all, a datagram
//       to one address that copy. Counts the other datagrams each copy receives. Prints
//       "READY <count>", "ANSWERED <computer> <copies> <ms>" for each greeting answered,
//       "ALL <ms> <text>" when every copy has received a text (ms since the first copy
//       got it; a goodbye is the text "goodbye <computer>", an answer "answer <computer>"),
//       and at the end "GOT <copies> <text>" for each text and "COUNT <datagrams>". With
//       --greet every copy first greets the endpoint at ADDRESS, all at once, as copies
//       that start together after a power cut do, and "GREETED <copies> <ms>" is printed.
//   dgram_tool capture FILE [--timeout-ms N]
//       Keeps every Ethernet frame of every interface of its namespace (run it where the
//       bridge is) in FILE, each as a 4-byte length (little-endian) and the frame, until
//       SIGTERM or the timeout (default 60000). Prints "CAPTURING", at the end
//       "CAPTURED <frames>".
//   dgram_tool forge KIND VICTIM ADDRESS[:PORT] [--sender-id N] [--sequence N]
//                    [--target NAME] [--group G] [--text T] [--own-key]
//       Sends one chat datagram in the name of the computer VICTIM (its frame's sender
//       computer, and in a greeting or goodbye the computer the message names) to the copy
//       at ADDRESS whose computer name is NAME (--target, required). KIND: line, identity,
//       goodbye or greeting. The terminal header carries sender id N (default 1) and the
//       sequence number (default 4294967040). Plain, or with --own-key signed with a key
//       of the tool's own (a forger's key, not the victim's). Prints "FORGED".
//   dgram_tool replay FILE VICTIM NAME ADDRESS[:PORT] [--sequence N]
//       Sends again the last datagram of a sealed line that FILE (a capture) holds from
//       the computer VICTIM to the computer NAME, to ADDRESS; with --sequence, its terminal
//       header's sequence number replaced. Prints "REPLAYED <bytes>", or "ERROR nothing to
//       replay" and exits with 2.
//   dgram_tool divert VICTIM[,VICTIM...] ADDRESS[:PORT] --target NAME [--group G]
//                     [--timeout-ms N]
//       Tries to take the address of each VICTIM at the copy at ADDRESS (computer NAME):
//       from an endpoint of its own on the chat's port it sends there, in each victim's
//       name, a walk answer, then a walk query every 200 ms, and answers every walk query
//       that reaches it (the copy's question that confirms an address) in the name of
//       each victim in turn. Prints "DIVERTING", then at the end (SIGTERM or the timeout,
//       default 10000) "STOLEN <victim> <n>" with the data frames it received for it.
//   dgram_tool find FILE TEXT
//       Counts where TEXT stands in FILE (a capture) as the chat puts a plain text on the
//       wire (encoded) and as it is. Prints "FOUND <n>".
// Any failure prints "ERROR <system text>" and exits with 2.

#include "crypto/identity_key.h"
#include "messaging/chat_protocol.h"
#include "messaging/envelope.h"
#include "network/udp_network.h"
#include "platform/text_codec.h"

#include <QDateTime>
#include <QHash>
#include <QRandomGenerator>
#include <QStringList>
#include <QtEndian>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>
#include <vector>

using namespace kalvento::platform;
using namespace kalvento::network;
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
    std::fprintf(stderr,
                 "usage: dgram_tool recv|send|walk|flood|copies|capture|forge|replay|divert ...\n");
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
    QString value = args[at + 1];
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

// A UDP datagram with a source address of our choosing, through a raw socket.
class ForgedSender {
public:
    ForgedSender() : m_fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW)) {
        if (m_fd < 0)
            throw SystemError(errno);
    }
    ~ForgedSender() { ::close(m_fd); }
    ForgedSender(const ForgedSender&) = delete;
    ForgedSender& operator=(const ForgedSender&) = delete;

    // Addresses and ports in host order. False when the socket buffer is full.
    bool send(quint32 from, quint16 fromPort, const sockaddr_in& to, const QByteArray& payload) {
        QByteArray packet(int(sizeof(iphdr) + sizeof(udphdr)), '\0');
        iphdr ip{};
        ip.version = 4;
        ip.ihl = 5;
        ip.ttl = 64;
        ip.protocol = IPPROTO_UDP;
        ip.tot_len = htons(quint16(packet.size() + payload.size()));
        ip.saddr = htonl(from);
        ip.daddr = to.sin_addr.s_addr;
        udphdr udp{};
        udp.source = htons(fromPort);
        udp.dest = to.sin_port;
        udp.len = htons(quint16(sizeof(udphdr) + size_t(payload.size())));
        udp.check = 0; // none: allowed over IPv4
        std::memcpy(packet.data(), &ip, sizeof ip);
        std::memcpy(packet.data() + sizeof ip, &udp, sizeof udp);
        packet += payload;
        return ::sendto(m_fd, packet.constData(), size_t(packet.size()), 0,
                        reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0;
    }

private:
    int m_fd;
};

int flood(QStringList args) {
    const QString sourcesText = option(args, QStringLiteral("--sources"), QString());
    const long names = option(args, QStringLiteral("--names"), QStringLiteral("0")).toLong();
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
    const quint16 ownPort = to->port;    // where answers would go
    std::optional<Ipv4Endpoint> sources; // first forged address, port: how many
    std::unique_ptr<ForgedSender> forged;
    if (!sourcesText.isEmpty()) {
        sources = Ipv4Endpoint::parse(sourcesText, 0);
        if (!sources || sources->port == 0)
            usage();
        forged = std::make_unique<ForgedSender>();
    }
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
            const long n = names > 0 ? i % names : i;
            const QByteArray name = "FAKE" + QByteArray::number(n);
            datagram =
                dataFrame(ownPort, group, name, group,
                          terminalDatagram(0xF0000000 + quint32(n), quint32(i + 1),
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
        const auto sendOne = [&] {
            if (forged)
                return forged->send(sources->address + quint32(i % sources->port),
                                    kDefaultDatagramPort, address, datagram);
            return ::sendto(fd, datagram.constData(), size_t(datagram.size()), 0,
                            reinterpret_cast<const sockaddr*>(&address), sizeof address) >= 0;
        };
        while (!sendOne()) {
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

// A frame as docs/protocol.md lays it out; nullopt for anything else.
struct WireFrame {
    quint8 type = 0;
    quint16 port = 0;
    QByteArray target, receivingName, computer, group, body;
};

std::optional<WireFrame> parseFrame(QByteArrayView bytes) {
    if (bytes.size() < 11 || !bytes.startsWith("KVD") || bytes[3] != 1)
        return std::nullopt;
    WireFrame frame;
    frame.type = quint8(bytes[4]);
    frame.port = quint16((quint8(bytes[5]) << 8) | quint8(bytes[6]));
    qsizetype at = 7;
    for (QByteArray* name : {&frame.target, &frame.receivingName, &frame.computer, &frame.group}) {
        if (at >= bytes.size())
            return std::nullopt;
        const qsizetype length = quint8(bytes[at++]);
        if (length > 63 || at + length > bytes.size())
            return std::nullopt;
        *name = bytes.sliced(at, length).toByteArray();
        at += length;
    }
    frame.body = bytes.sliced(at).toByteArray();
    return frame;
}

QByteArray walkAnswerFrame(quint16 port, QByteArrayView target, QByteArrayView computer,
                           QByteArrayView group, QByteArrayView number) {
    QByteArray frame("KVD\x01\x03", 5);
    frame += char(port >> 8);
    frame += char(port & 0xFF);
    frame += nameField(target) + nameField("") + nameField(computer) + nameField(group);
    return frame + number.toByteArray();
}

// Sends from one of this host's addresses (host order) to an endpoint.
void sendFrom(int fd, quint32 source, const Ipv4Endpoint& to, const QByteArray& bytes) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(to.address);
    address.sin_port = htons(to.port);
    iovec io{const_cast<char*>(bytes.constData()), size_t(bytes.size())};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &address;
    message.msg_namelen = sizeof address;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(source);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    while (::sendmsg(fd, &message, MSG_NOSIGNAL) < 0) {
        if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR)
            throw SystemError(errno);
        std::this_thread::sleep_for(microseconds(50));
    }
}

int copies(QStringList args) {
    const QByteArray group = toWire(
        option(args, QStringLiteral("--group"), UdpNetworkConfig::fromEnvironment().groupName));
    const QByteArray prefix = toWire(option(args, QStringLiteral("--prefix"), "SIM"));
    const int timeout =
        option(args, QStringLiteral("--timeout-ms"), QStringLiteral("60000")).toInt();
    const QString greetText = option(args, QStringLiteral("--greet"), QString());
    if (args.size() != 2)
        usage();
    const int count = args[0].toInt();
    const auto first = Ipv4Endpoint::parse(args[1], 0);
    if (count <= 0 || !first)
        usage();
    const quint16 port = UdpNetworkConfig::fromEnvironment().port;

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw SystemError(errno);
    const int on = 1;
    const int buffer = 64 << 20; // thousands of copies' worth of datagrams may arrive at once
    ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        throw SystemError(errno);

    std::vector<QByteArray> names;
    names.reserve(size_t(count));
    std::vector<quint32> sequence(size_t(count), 0);
    for (int i = 0; i < count; ++i)
        names.push_back(prefix + QByteArray::number(i));
    struct Seen {
        std::vector<bool> copies;
        int count = 0;
        steady_clock::time_point first;
    };
    QHash<QByteArray, Seen> texts;
    QList<QByteArray> order;
    long datagrams = 0;
    std::signal(SIGTERM, onTerminate);
    std::signal(SIGINT, onTerminate);
    say(QStringLiteral("READY %1").arg(count));
    if (!greetText.isEmpty()) {
        const auto to = Ipv4Endpoint::parse(greetText, port);
        if (!to)
            usage();
        const auto began = steady_clock::now();
        for (int i = 0; i < count; ++i) {
            const QByteArray payload = kalvento::messaging::payloadFromPlainText(
                kalvento::messaging::greetingText(names[size_t(i)], group));
            sendFrom(fd, first->address + quint32(i), *to,
                     dataFrame(port, group, names[size_t(i)], group,
                               terminalDatagram(0xA0000000u + quint32(i), ++sequence[size_t(i)],
                                                payload)));
        }
        say(QStringLiteral("GREETED %1 %2")
                .arg(count)
                .arg(duration_cast<milliseconds>(steady_clock::now() - began).count()));
    }

    const auto deadline = steady_clock::now() + milliseconds(timeout);
    std::vector<char> packet(65536);
    while (!g_stop && steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        for (;;) {
            sockaddr_in from{};
            iovec io{packet.data(), packet.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
            msghdr header{};
            header.msg_name = &from;
            header.msg_namelen = sizeof from;
            header.msg_iov = &io;
            header.msg_iovlen = 1;
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            const ssize_t size = ::recvmsg(fd, &header, MSG_DONTWAIT);
            if (size < 0)
                break;
            quint32 destination = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info;
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    destination = ntohl(info.ipi_addr.s_addr);
                }
            }
            const auto frame = parseFrame(QByteArrayView(packet.data(), size));
            if (!frame)
                continue;
            ++datagrams;
            // The copies it reaches: the one at its address, or every one.
            int from0 = 0;
            int to0 = count;
            if (destination >= first->address && destination < first->address + quint32(count)) {
                from0 = int(destination - first->address);
                to0 = from0 + 1;
            }
            const Ipv4Endpoint sender{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
            if (frame->type == 2) { // a walk query: answered to where it came from
                for (int i = from0; i < to0; ++i)
                    sendFrom(fd, first->address + quint32(i), sender,
                             walkAnswerFrame(port, frame->computer, names[size_t(i)], group,
                                             frame->body));
                continue;
            }
            if (frame->type != 1 || frame->body.size() < 8)
                continue;
            const QByteArray plain =
                kalvento::messaging::plainTextFromPayload(QByteArrayView(frame->body).sliced(8));
            const auto message = kalvento::messaging::classifyMessage(plain);
            const auto isFor = [&](int i) {
                return frame->target.compare(names[size_t(i)], Qt::CaseInsensitive) == 0 ||
                       frame->target.compare(group, Qt::CaseInsensitive) == 0;
            };
            using kalvento::messaging::MessageKind;
            if (message.kind == MessageKind::Greeting) {
                const auto began = steady_clock::now();
                const QByteArray computer =
                    kalvento::messaging::splitComputerAndGroup(message.body).first;
                const Ipv4Endpoint endpoint{sender.address, frame->port};
                int answered = 0;
                for (int i = from0; i < to0; ++i) {
                    if (!isFor(i) || computer.startsWith(prefix))
                        continue;
                    const QByteArray payload = kalvento::messaging::payloadFromPlainText(
                        kalvento::messaging::answerText(names[size_t(i)], group));
                    sendFrom(fd, first->address + quint32(i), endpoint,
                             dataFrame(port, computer, names[size_t(i)], group,
                                       terminalDatagram(0xA0000000u + quint32(i),
                                                        ++sequence[size_t(i)], payload)));
                    ++answered;
                }
                say(QStringLiteral("ANSWERED %1 %2 %3")
                        .arg(fromWire(computer))
                        .arg(answered)
                        .arg(duration_cast<milliseconds>(steady_clock::now() - began).count()));
                continue;
            }
            if (message.kind == MessageKind::Identity)
                continue;
            const QByteArray text =
                message.kind == MessageKind::Goodbye ? "goodbye " + message.body
                : message.kind == MessageKind::Answer
                    ? "answer " + kalvento::messaging::splitComputerAndGroup(message.body).first
                    : plain;
            Seen& seen = texts[text];
            if (seen.copies.empty()) {
                seen.copies.assign(size_t(count), false);
                seen.first = steady_clock::now();
                order.append(text);
            }
            for (int i = from0; i < to0; ++i) {
                if (!isFor(i) || seen.copies[size_t(i)])
                    continue;
                seen.copies[size_t(i)] = true;
                if (++seen.count == count)
                    say(QStringLiteral("ALL %1 %2")
                            .arg(duration_cast<milliseconds>(steady_clock::now() - seen.first)
                                     .count())
                            .arg(fromWire(text)));
            }
        }
    }
    ::close(fd);
    for (const QByteArray& text : order)
        say(QStringLiteral("GOT %1 %2").arg(texts[text].count).arg(fromWire(text)));
    say(QStringLiteral("COUNT %1").arg(datagrams));
    return 0;
}

// ---- Attacks on the envelope -------------------------------------------------------------

int capture(QStringList args) {
    const int timeout =
        option(args, QStringLiteral("--timeout-ms"), QStringLiteral("60000")).toInt();
    if (args.size() != 1)
        usage();
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0)
        throw SystemError(errno);
    std::ofstream out(args[0].toStdString(), std::ios::binary | std::ios::trunc);
    if (!out)
        throw SystemError(errno);
    std::signal(SIGTERM, onTerminate);
    std::signal(SIGINT, onTerminate);
    say(QStringLiteral("CAPTURING"));
    std::vector<char> buffer(70000);
    long frames = 0;
    const auto deadline = steady_clock::now() + milliseconds(timeout);
    while (!g_stop && steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0)
            continue;
        char length[4];
        qToLittleEndian(quint32(n), length);
        out.write(length, 4);
        out.write(buffer.data(), n);
        out.flush();
        ++frames;
    }
    ::close(fd);
    say(QStringLiteral("CAPTURED %1").arg(frames));
    return 0;
}

// Sends bytes to an address from a socket of its own (the forger's own address).
void sendTo(const Ipv4Endpoint& to, const QByteArray& bytes) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw SystemError(errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(to.address);
    address.sin_port = htons(to.port);
    const ssize_t sent = ::sendto(fd, bytes.constData(), size_t(bytes.size()), 0,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::close(fd);
    if (sent < 0)
        throw SystemError(error);
}

int forge(QStringList args) {
    const quint32 senderId = option(args, QStringLiteral("--sender-id"), "1").toUInt();
    const quint32 sequence = option(args, QStringLiteral("--sequence"), "4294967040").toUInt();
    const QString target = option(args, QStringLiteral("--target"), QString());
    const QByteArray group = toWire(option(args, QStringLiteral("--group"), "WORKGROUP"));
    const QByteArray text = toWire(option(args, QStringLiteral("--text"), "forged"));
    const bool ownKey = args.removeAll(QStringLiteral("--own-key")) > 0;
    if (args.size() != 3 || target.isEmpty())
        usage();
    const QString kind = args[0];
    const QByteArray victim = toWire(args[1]);
    const auto to = Ipv4Endpoint::parse(args[2], kDefaultDatagramPort);
    if (!to)
        usage();
    namespace m = kalvento::messaging;
    QByteArray plain;
    if (kind == QLatin1String("line"))
        plain = text;
    else if (kind == QLatin1String("identity"))
        plain = m::identityText(text);
    else if (kind == QLatin1String("goodbye"))
        plain = m::goodbyeText(victim);
    else if (kind == QLatin1String("greeting"))
        plain = m::greetingText(victim, group);
    else
        usage();
    const QByteArray wireVictim = wireName(QString::fromUtf8(victim));
    const QByteArray wireTarget = wireName(target);
    QByteArray payload;
    if (ownKey) {
        if (!kalvento::crypto::initialise())
            throw SystemError(EIO);
        const auto key = kalvento::crypto::IdentityKey::generate();
        payload = m::signedPayload(key, quint64(QDateTime::currentMSecsSinceEpoch()) * 1000,
                                   {senderId, wireVictim, wireTarget}, plain);
    } else {
        payload = m::payloadFromPlainText(plain);
    }
    // The victim's port, so that what answers goes to it and not to the forger.
    sendTo(*to, dataFrame(kDefaultDatagramPort, wireTarget, wireVictim, group,
                          terminalDatagram(senderId, sequence, payload)));
    say(QStringLiteral("FORGED"));
    return 0;
}

// The UDP payloads of the IPv4 frames in a capture file, in order.
std::vector<QByteArray> capturedDatagrams(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::vector<QByteArray> out;
    char length[4];
    while (in.read(length, 4)) {
        QByteArray frame(qsizetype(qFromLittleEndian<quint32>(length)), Qt::Uninitialized);
        if (!in.read(frame.data(), frame.size()))
            break;
        // Ethernet (14 bytes), IPv4 without options taken as they come, UDP (8 bytes).
        if (frame.size() < 14 + 20 + 8 || quint8(frame[12]) != 0x08 || frame[13] != 0)
            continue;
        const qsizetype ip = 14;
        const qsizetype ipLength = qsizetype(quint8(frame[ip]) & 0x0F) * 4;
        if (quint8(frame[ip + 9]) != IPPROTO_UDP || frame.size() < ip + ipLength + 8)
            continue;
        out.push_back(frame.sliced(ip + ipLength + 8));
    }
    return out;
}

int replay(QStringList args) {
    const QString sequenceText = option(args, QStringLiteral("--sequence"), QString());
    if (args.size() != 4)
        usage();
    const QByteArray victim = wireName(args[1]);
    const QByteArray receiver = wireName(args[2]);
    const auto to = Ipv4Endpoint::parse(args[3], kDefaultDatagramPort);
    if (!to)
        usage();
    QByteArray chosen;
    for (const QByteArray& datagram : capturedDatagrams(args[0])) {
        const std::optional<WireFrame> frame = parseFrame(datagram);
        if (!frame || frame->type != 1 || frame->body.size() < 8 ||
            !sameWireName(frame->computer, victim) || !sameWireName(frame->target, receiver))
            continue;
        const auto split = kalvento::messaging::splitPayload(frame->body.sliced(8));
        if (split.envelope && split.envelope->kind == kalvento::messaging::EnvelopeKind::Sealed)
            chosen = datagram;
    }
    if (chosen.isEmpty()) {
        say(QStringLiteral("ERROR nothing to replay"));
        return 2;
    }
    if (!sequenceText.isEmpty()) {
        // The header stands at the start of the body, the body at the end of the frame.
        const std::optional<WireFrame> frame = parseFrame(chosen);
        const qsizetype header = chosen.size() - frame->body.size();
        qToLittleEndian(sequenceText.toUInt(), chosen.data() + header + 4);
    }
    sendTo(*to, chosen);
    say(QStringLiteral("REPLAYED %1").arg(chosen.size()));
    return 0;
}

int divert(QStringList args) {
    const QString target = option(args, QStringLiteral("--target"), QString());
    const QByteArray group = toWire(option(args, QStringLiteral("--group"), "WORKGROUP"));
    const int timeout =
        option(args, QStringLiteral("--timeout-ms"), QStringLiteral("10000")).toInt();
    if (args.size() != 2 || target.isEmpty())
        usage();
    QList<QByteArray> victims;
    for (const QString& victim : args[0].split(QLatin1Char(','), Qt::SkipEmptyParts))
        victims.append(wireName(victim));
    const auto to = Ipv4Endpoint::parse(args[1], kDefaultDatagramPort);
    if (victims.isEmpty() || !to)
        usage();
    const quint16 port = kDefaultDatagramPort;

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw SystemError(errno);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        throw SystemError(errno);
    sockaddr_in copy{};
    copy.sin_family = AF_INET;
    copy.sin_addr.s_addr = htonl(to->address);
    copy.sin_port = htons(to->port);
    const auto sendTo = [fd](const QByteArray& bytes, const sockaddr_in& address) {
        ::sendto(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
    };
    const QByteArray wireTarget = wireName(target);
    QHash<QByteArray, long> stolen;
    std::signal(SIGTERM, onTerminate);
    std::signal(SIGINT, onTerminate);
    say(QStringLiteral("DIVERTING"));
    const auto deadline = steady_clock::now() + milliseconds(timeout);
    // Once: the copy looks at only as many walk answers as it asked questions, so more
    // would spend the answers its questions wait for.
    for (const QByteArray& victim : victims)
        sendTo(walkAnswerFrame(port, wireTarget, victim, group, QByteArray("\x01\x02\x03\x04", 4)),
               copy);
    auto nextClaim = steady_clock::now();
    qsizetype turn = 0;
    std::vector<char> packet(65536);
    while (!g_stop && steady_clock::now() < deadline) {
        if (steady_clock::now() >= nextClaim) {
            for (const QByteArray& victim : victims) {
                QByteArray query("KVD\x01\x02", 5);
                query += char(port >> 8);
                query += char(port & 0xFF);
                query += nameField("") + nameField("") + nameField(victim) + nameField(group);
                query += QByteArray("\x5A\x5A\x5A\x5A", 4);
                sendTo(query, copy);
            }
            nextClaim = steady_clock::now() + milliseconds(200);
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t size = ::recvfrom(fd, packet.data(), packet.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &length);
        if (size < 0)
            continue;
        const auto frame = parseFrame(QByteArrayView(packet.data(), size));
        if (!frame)
            continue;
        if (frame->type == 2) { // a question: answered in a victim's name
            const QByteArray& victim = victims[turn++ % victims.size()];
            sendTo(walkAnswerFrame(port, frame->computer, victim, group, frame->body), from);
            continue;
        }
        for (const QByteArray& victim : victims)
            if (frame->type == 1 && sameWireName(frame->target, victim))
                ++stolen[victim];
    }
    ::close(fd);
    for (const QByteArray& victim : victims)
        say(QStringLiteral("STOLEN %1 %2").arg(fromWire(victim)).arg(stolen.value(victim)));
    return 0;
}

int find(QStringList args) {
    if (args.size() != 2)
        usage();
    std::ifstream in(args[0].toStdString(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const QByteArrayView file(bytes.data(), qsizetype(bytes.size()));
    const QByteArray plain = toWire(args[1]);
    const QByteArray encoded = kalvento::messaging::EncodeText(plain);
    long found = 0;
    for (const QByteArray& needle :
         {plain, encoded.first(std::max<qsizetype>(8, encoded.size() - 8))}) {
        for (qsizetype at = file.indexOf(needle); at >= 0; at = file.indexOf(needle, at + 1))
            ++found;
    }
    say(QStringLiteral("FOUND %1").arg(found));
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
        if (command == QLatin1String("copies"))
            return copies(args);
        if (command == QLatin1String("capture"))
            return capture(args);
        if (command == QLatin1String("forge"))
            return forge(args);
        if (command == QLatin1String("replay"))
            return replay(args);
        if (command == QLatin1String("find"))
            return find(args);
        if (command == QLatin1String("divert"))
            return divert(args);
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
