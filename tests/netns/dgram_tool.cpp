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
// Any failure prints "ERROR <system text>" and exits with 2.

#include "platform/text_codec.h"
#include "platform/udp_network.h"

#include <QStringList>

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

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        usage();
    QStringList args;
    for (int i = 2; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    const QString command = QString::fromLocal8Bit(argv[1]);
    try {
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
