// A copy of the chat without a window, built on the core: it opens the terminal, walks
// the network, greets, answers, keeps its list of peers, and sends and prints chat lines.
// The network tests drive it through its standard input, one command a line:
//
//   greet                 walk the network and greet every group found
//   walk                  walk only; prints "GROUPS <name>|<name>..."
//   say <text>            a public line
//   private <c1,c2> <text>  a private line to the listed computers (ticked for the send)
//   multi <comma text>    a public multi-line message
//   identity <name>       take a new identity and announce it
//   peers                 prints "PEERS <computer>/<group>/<display>|..."
//   bye                   say goodbye and quit
//   quit                  quit without a goodbye
//
// It prints one line per event: "READY <computer> <group> <terminal id>", "LINE <kind>
// <own|other> <sender>: <text>" (kind public, private or more for a continuation line),
// "PEER+ <computer>", "PEER- <computer>", "PEER~ <computer> <display>", "ERROR <text>".

#include "messaging/chat_session.h"
#include "messaging/mailslot_terminal.h"
#include "network/net_users.h"
#include "network/peer_list.h"
#include "platform/datagram_network.h"

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

void print(const QString& line) {
    out() << line << Qt::endl;
}

void printErrors(const messaging::SendResult& result) {
    for (const QString& error : result.errors)
        print(QStringLiteral("ERROR ") + error);
}

class Peer : public QObject {
public:
    Peer(platform::DatagramNetwork& network, const QString& identity, int deliveries)
        : m_terminal(network), m_users(network), m_session(m_terminal, m_peers, m_users) {
        m_session.setOwnNames(network.computerName(), network::GetGroupName(network));
        m_session.setOwnIdentity(identity);
        m_session.setDeliveries(deliveries);
        connect(&m_session, &messaging::ChatSession::lineReceived, this,
                [](const messaging::ReceivedLine& line) {
                    print(QStringLiteral("LINE %1 %2 %3: %4")
                              .arg(messaging::lineKindName(line), line.own ? "own" : "other",
                                   line.senderName, line.text));
                });
        connect(&m_session, &messaging::ChatSession::sendFailed, this,
                [](const QString& error) { print(QStringLiteral("ERROR ") + error); });
        connect(&m_terminal, &messaging::TMailslotTerminal::receptionError, this,
                [](const QString& error) { print(QStringLiteral("ERROR ") + error); });
        connect(&m_peers, &network::PeerList::entryAdded, this,
                [this](int i) { print(QStringLiteral("PEER+ ") + m_peers.at(i).computerName); });
        connect(&m_peers, &network::PeerList::entryChanged, this, [this](int i) {
            print(QStringLiteral("PEER~ %1 %2").arg(m_peers.at(i).computerName,
                                                    m_peers.at(i).displayText));
        });
        // The list has already dropped the entry when it says so; keep names to report it.
        connect(&m_peers, &network::PeerList::entryRemoved, this, [this](int i) {
            print(QStringLiteral("PEER- ") + m_names.value(i));
            m_names.removeAt(i);
        });
        connect(&m_peers, &network::PeerList::entryAdded, this,
                [this](int i) { m_names.insert(i, m_peers.at(i).computerName); });
        print(QStringLiteral("READY %1 %2 %3")
                  .arg(m_session.OwnComputerName(), m_session.OwnGroupName())
                  .arg(m_terminal.TerminalId()));
    }

    void command(const QString& line) {
        const QString verb = line.section(QLatin1Char(' '), 0, 0);
        const QString rest = line.section(QLatin1Char(' '), 1);
        if (verb == "greet") {
            walk();
            printErrors(m_session.SendGreeting());
        } else if (verb == "walk") {
            walk();
        } else if (verb == "say") {
            printErrors(m_session.sendPublic(rest, false));
        } else if (verb == "multi") {
            printErrors(m_session.sendPublic(rest, true));
        } else if (verb == "private") {
            const QStringList targets = rest.section(QLatin1Char(' '), 0, 0).split(',');
            for (int i = 0; i < m_peers.count(); ++i)
                m_peers.setTicked(i, targets.contains(m_peers.at(i).computerName,
                                                      Qt::CaseInsensitive));
            QStringList names;
            printErrors(m_session.sendPrivate(rest.section(QLatin1Char(' '), 1), false, &names));
            print(QStringLiteral("SENT private to ") + names.join(QStringLiteral(", ")));
        } else if (verb == "identity") {
            m_session.setOwnIdentity(rest);
            printErrors(m_session.SendIdentity());
        } else if (verb == "peers") {
            QStringList entries;
            for (int i = 0; i < m_peers.count(); ++i)
                entries.append(m_peers.at(i).computerName + '/' + m_peers.at(i).groupName + '/' +
                               m_peers.at(i).displayText);
            print(QStringLiteral("PEERS ") + entries.join('|'));
        } else if (verb == "bye") {
            printErrors(m_session.SendGoodbye());
            QCoreApplication::quit();
        } else if (verb == "quit") {
            QCoreApplication::quit();
        } else if (!verb.isEmpty()) {
            print(QStringLiteral("ERROR unknown command ") + verb);
        }
    }

private:
    void walk() {
        try {
            m_users.Enumerate();
        } catch (const std::exception& e) {
            print(QStringLiteral("ERROR walk: ") + QString::fromUtf8(e.what()));
        }
        print(QStringLiteral("GROUPS ") + m_users.Names().join('|'));
    }

    messaging::TMailslotTerminal m_terminal;
    network::PeerList m_peers;
    network::TNetUsers m_users;
    messaging::ChatSession m_session;
    QStringList m_names;
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
        peer = std::make_unique<Peer>(platform::systemNetwork(), parser.value("identity"),
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
            QCoreApplication::quit();
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
