// A copy of the chat without a window, the same ChatNode the main window owns: it opens
// the terminal, walks the network, greets, answers, keeps its list of peers, and sends and
// prints chat lines.
// The network tests drive it through its standard input, one command a line:
//
//   greet                 walk the network and greet every group found; prints "GROUPS"
//                         once the walk has ended, and the commands after it wait till then
//   walk                  walk only; prints "GROUPS <name>|<name>..."
//   say <text>            a public line
//   sayx <text>           a public line whose text may hold the escapes \n, \r, \t, \\ and
//                         \uXXXX (line breaks and direction controls a keyboard cannot type)
//   private <c1,c2> <text>  a private line to the listed computers (ticked for the send)
//   multi <comma text>    a public multi-line message
//   identity <name>       take a new identity and announce it
//   peers                 prints "PEERS <computer>/<group>/<display>|..."
//   count                 prints "COUNT <listed> <confirmed> <heard> <unknown> <waiting>": the
//                         entries of the list, by what the network knows of their address,
//                         and the greetings that wait for the budget
//   bye                   say goodbye and quit
//   quit                  quit without a goodbye
//
// It prints one line per event: "READY <computer> <group> <terminal id>", "LINE <kind>
// <own|other> <sender>: <text>" (kind public, private or more for a continuation line),
// "PEER+ <computer>", "PEER- <computer>", "PEER~ <computer> <display>", "ERROR <text>", and
// after a line or the goodbye that some listed computers were not sent, "WITHHELD <n>".

#include "messaging/chat_node.h"
#include "network/datagram_network.h"
#include "platform/trace.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <memory>

using namespace kalvento;

namespace {

QTextStream& out() {
    static QTextStream stream(stdout);
    return stream;
}

// Peer text is escaped as in the program's trace: one event is one line.
void print(const QString& line) {
    out() << platform::escapeControls(line) << Qt::endl;
}

void printErrors(const messaging::SendResult& result) {
    for (const QString& error : result.errors)
        print(QStringLiteral("ERROR ") + error);
    if (result.withheld > 0)
        print(QStringLiteral("WITHHELD %1").arg(result.withheld));
}

// The text of "sayx": C-like escapes turned into the characters they stand for.
QString unescape(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const QChar next = text[++i];
        if (next == u'n') {
            out += u'\n';
        } else if (next == u'r') {
            out += u'\r';
        } else if (next == u't') {
            out += u'\t';
        } else if (next == u'u' && i + 4 < text.size()) {
            bool ok = false;
            const ushort code = text.mid(i + 1, 4).toUShort(&ok, 16);
            out += ok ? QChar(code) : QChar(u'?');
            i += 4;
        } else {
            out += next;
        }
    }
    return out;
}

class Peer : public QObject {
public:
    Peer(network::DatagramNetwork& network, const QString& identity, int deliveries)
        : m_node(network) {
        messaging::ChatSession& session = m_node.session();
        network::PeerList& peers = m_node.peers();
        session.setOwnIdentity(identity);
        session.setDeliveries(deliveries);
        connect(&session, &messaging::ChatSession::lineReceived, this,
                [](const messaging::ReceivedLine& line) {
                    print(QStringLiteral("LINE %1 %2 %3: %4")
                              .arg(messaging::lineKindName(line), line.own ? "own" : "other",
                                   line.senderName, line.text));
                });
        connect(&session, &messaging::ChatSession::sendFailed, this,
                [](const QString& error) { print(QStringLiteral("ERROR ") + error); });
        connect(&m_node.terminal(), &messaging::TMailslotTerminal::receptionError, this,
                [](const QString& error) { print(QStringLiteral("ERROR ") + error); });
        connect(&peers, &network::PeerList::entryAdded, this,
                [&peers](int i) { print(QStringLiteral("PEER+ ") + peers.at(i).computerName); });
        connect(&peers, &network::PeerList::entryChanged, this, [&peers](int i) {
            print(QStringLiteral("PEER~ %1 %2")
                      .arg(peers.at(i).computerName, peers.at(i).displayText));
        });
        connect(&peers, &network::PeerList::entryRemoved, this,
                [](int, const QString& computer) { print(QStringLiteral("PEER- ") + computer); });
        connect(&m_node, &messaging::ChatNode::walkFailed, this,
                [](const QString& error) { print(QStringLiteral("ERROR walk: ") + error); });
        connect(&m_node, &messaging::ChatNode::greeted, this,
                [this](const messaging::SendResult& result) {
                    printGroups();
                    printErrors(result);
                    runWaitingCommands();
                });
        print(QStringLiteral("READY %1 %2 %3")
                  .arg(session.OwnComputerName(), session.OwnGroupName())
                  .arg(m_node.terminal().TerminalId()));
    }

    void command(const QString& line) {
        // A greeting's walk runs in the background; what was typed after it waits for it.
        if (m_node.greetingPending()) {
            m_waiting.append(line);
            return;
        }
        messaging::ChatSession& session = m_node.session();
        network::PeerList& peers = m_node.peers();
        const QString verb = line.section(QLatin1Char(' '), 0, 0);
        const QString rest = line.section(QLatin1Char(' '), 1);
        if (verb == "greet") {
            m_node.greet();
        } else if (verb == "walk") {
            try {
                m_node.netUsers().Enumerate();
            } catch (const std::exception& e) {
                print(QStringLiteral("ERROR walk: ") + QString::fromUtf8(e.what()));
            }
            printGroups();
        } else if (verb == "say") {
            printErrors(session.sendPublic(rest, false));
        } else if (verb == "sayx") {
            printErrors(session.sendPublic(unescape(rest), false));
        } else if (verb == "multi") {
            printErrors(session.sendPublic(rest, true));
        } else if (verb == "private") {
            const QStringList targets = rest.section(QLatin1Char(' '), 0, 0).split(',');
            for (int i = 0; i < peers.count(); ++i)
                peers.setTicked(i, targets.contains(peers.at(i).computerName, Qt::CaseInsensitive));
            QStringList names;
            printErrors(session.sendPrivate(rest.section(QLatin1Char(' '), 1), false, &names));
            print(QStringLiteral("SENT private to ") + names.join(QStringLiteral(", ")));
        } else if (verb == "identity") {
            session.setOwnIdentity(rest);
            printErrors(session.SendIdentity());
        } else if (verb == "peers") {
            QStringList entries;
            for (int i = 0; i < peers.count(); ++i)
                entries.append(peers.at(i).computerName + '/' + peers.at(i).groupName + '/' +
                               peers.at(i).displayText);
            print(QStringLiteral("PEERS ") + entries.join('|'));
        } else if (verb == "count") {
            int reach[3] = {0, 0, 0};
            for (int i = 0; i < peers.count(); ++i)
                ++reach[int(m_node.network().reach(peers.at(i).computerName))];
            print(QStringLiteral("COUNT %1 %2 %3 %4 %5")
                      .arg(peers.count())
                      .arg(reach[int(network::Reach::Confirmed)])
                      .arg(reach[int(network::Reach::Heard)])
                      .arg(reach[int(network::Reach::Unknown)])
                      .arg(session.waitingGreetings()));
        } else if (verb == "bye") {
            printErrors(m_node.SendGoodbye());
            QCoreApplication::quit();
        } else if (verb == "quit") {
            QCoreApplication::quit();
        } else if (!verb.isEmpty()) {
            print(QStringLiteral("ERROR unknown command ") + verb);
        }
    }

    // The end of the input: quits once what waits for a greeting has run.
    void endOfInput() {
        m_endOfInput = true;
        if (!m_node.greetingPending())
            QCoreApplication::quit();
    }

private:
    void printGroups() { print(QStringLiteral("GROUPS ") + m_node.netUsers().Names().join('|')); }

    void runWaitingCommands() {
        while (!m_waiting.isEmpty() && !m_node.greetingPending())
            command(m_waiting.takeFirst());
        if (m_endOfInput && !m_node.greetingPending())
            QCoreApplication::quit();
    }

    messaging::ChatNode m_node;
    QStringList m_waiting;
    bool m_endOfInput = false;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Headless chat peer for tests");
    parser.addHelpOption();
    parser.addOption({"identity", "Identity announced to the others.", "name"});
    parser.addOption({"deliveries", "Copies of each control message.", "n", "1"});
    parser.addOption({"greet", "Walk and greet at start."});
    parser.process(app);

    std::unique_ptr<Peer> peer;
    try {
        peer = std::make_unique<Peer>(network::systemNetwork(), parser.value("identity"),
                                      parser.value("deliveries").toInt());
    } catch (const std::exception& e) {
        print(QStringLiteral("ERROR ") + QString::fromUtf8(e.what()));
        return 2;
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            peer->endOfInput();
            return;
        }
        pending.append(buffer, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.first(end)).trimmed();
            pending.remove(0, end + 1);
            peer->command(line);
        }
    });
    if (parser.isSet("greet"))
        QTimer::singleShot(0, [&] { peer->command("greet"); });
    return app.exec();
}
