// A copy of the chat without a window, the same ChatNode the main window owns, used through
// its public side alone: it walks the network, greets, answers, keeps its list of peers,
// and sends chat lines and prints what the node reports.
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
//   accept <computer>     take the new key of a computer whose key changed
//   peers                 prints "PEERS <computer>/<group>/<display>|..."
//   count                 prints "COUNT <listed> <confirmed> <heard> <unknown> <waiting>": the
//                         entries of the list, by what the network knows of their address,
//                         and the greetings that wait for the budget
//   again                 send again what of the last private line failed ("AGAIN <n>")
//   read                  the lines received so far are read (read receipts go out)
//   waiting               prints "WAITING <line-id> <computer>" for each line of the outbox
//   cancel <line-id>      takes a line out of the outbox, for every computer it waits for
//   offer-altered <c>     offers computer c the newest line of the history with its text
//                         and id changed, its signature kept (a relay that alters a line)
//   send-files <c1,c2> <path>...  offers files and folders to the listed computers; prints
//                         "FILES-OFFERED <id> <computer>" or "FILES-REFUSED <computer>: <why>"
//   files-accept <id> [folder]   takes an offer ("FILES-ACCEPT <id> ok" or the reason)
//   files-decline <id>, files-pause <id>, files-resume <id>, files-cancel <id>
//   transfers             prints "TRANSFER <id> <state> <done bytes>/<bytes>" for each
//   bye                   say goodbye and quit
//   quit                  quit without a goodbye
//
// It prints one line per event: "READY <computer> <group> <terminal id>", "LINE <kind>
// <own|other> <sender>: <text>" (kind public, private or more for a continuation line),
// "PEER+ <computer>", "PEER- <computer>", "PEER~ <computer> <display>", "ERROR <text>", and
// after a line or the goodbye that some listed computers were not sent, "WITHHELD <n>",
// "NOTSENT <computer>" for a private line kept from a computer it could not reach
// encrypted, and the program's trace lines of trust and presence: "TRACE presence
// <computer> <available|away|busy|absent|gone>", "TRACE peer-trust <computer> <plain|
// pinned|verified|changed>", "TRACE line-trust <public|private> <computer>
// <encrypted|plain>" right after each LINE, "TRACE refused <reason> <computer>".
// After READY it prints "KEY <short fingerprint>", or "KEY plain". A copy with a key takes
// part in file transfers: "FILE-OFFER <id> <computer> <files> <bytes> <name>" for an offer
// (taken at once with --accept-files), "TRANSFER <id> <state> [<reason>]" at each change of
// state, and the trace's "TRACE transfer ..." lines on standard error with KALVENTO_TRACE.
// --save names the folder files go to, --transfer-port the TCP port (the chat's port by
// default), and the transfers are kept in <key file>.transfers/ (with --key).
//
// Its identity key is the file given with --key, made there at the first start, with the
// keys it has seen kept beside it (<key file>.known); without --key a key made for this run
// alone and a book in memory, so that peers of tests that run side by side never share a
// file. --plain runs it without a key: it speaks only the older plain form.

#include "crypto/identity_key.h"
#include "messaging/chat_node.h"
#include "messaging/chat_protocol.h"
#include "messaging/chat_session.h"
#include "network/datagram_network.h"
#include "network/udp_network.h"
#include "platform/trace.h"
#include "support/chat_node_probe.h"
#include "transfer/transfer_service.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <variant>

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

struct KeyOptions {
    bool plain = false;
    QString keyFile; // empty: the default in the settings folder
    bool plainPrivate = true;
    QString saveFolder;
    quint16 transferPort = 0;
    bool acceptFiles = false;
};

class Peer : public QObject {
public:
    Peer(network::DatagramNetwork& network, const QString& identity, int deliveries,
         const KeyOptions& keys)
        : m_node(network) {
        m_node.setIdentity(identity);
        m_node.setDeliveries(deliveries);
        QString fingerprint = QStringLiteral("plain");
        if (!keys.plain) {
            std::optional<crypto::IdentityKey> key;
            if (keys.keyFile.isEmpty()) {
                key = crypto::IdentityKey::generate();
            } else {
                crypto::IdentityKey::Loaded loaded =
                    crypto::IdentityKey::loadOrCreate(keys.keyFile);
                if (!loaded.key)
                    throw std::runtime_error(loaded.error.toStdString());
                key = std::move(loaded.key);
                const QString error = m_node.setTrustBook(keys.keyFile + QStringLiteral(".known"));
                if (!error.isEmpty())
                    throw std::runtime_error(error.toStdString());
            }
            m_node.setIdentityKey(*key);
            m_node.setPlainPrivateAllowed(keys.plainPrivate);
            // The outbox is sealed with keys derived from the identity key.
            if (!keys.keyFile.isEmpty())
                for (const QString& failed :
                     {m_node.setOutbox(keys.keyFile + QStringLiteral(".outbox")),
                      m_node.setCatchUpMark(keys.keyFile + QStringLiteral(".here")),
                      m_node.setCounterFloor(keys.keyFile + QStringLiteral(".counter"))})
                    if (!failed.isEmpty())
                        throw std::runtime_error(failed.toStdString());
            fingerprint = crypto::shortFingerprint(key->publicKey());
        }
        connect(&m_node, &messaging::ChatNode::chatEvent, this,
                [this](const messaging::ChatEvent& event) { std::visit(*this, event); });
        if (!keys.plain)
            startFiles(keys);
        print(QStringLiteral("READY %1 %2 %3")
                  .arg(m_node.computerName(), m_node.groupName())
                  .arg(m_node.senderId()));
        print(QStringLiteral("KEY ") + fingerprint);
    }

    // The events, printed as they come.
    void operator()(const messaging::LineReceived& e) const {
        if (e.line.caughtUp) {
            print(QStringLiteral("CAUGHT %1 %2: %3")
                      .arg(messaging::lineKindName(e.line), e.line.senderName, e.line.text));
            return;
        }
        print(QStringLiteral("LINE %1 %2 %3: %4")
                  .arg(messaging::lineKindName(e.line), e.line.own ? "own" : "other",
                       e.line.senderName, e.line.text));
        print(QStringLiteral("TRACE line-trust %1 %2 %3")
                  .arg(e.line.kind == messaging::ReceivedLine::Kind::Private ? "private" : "public",
                       e.line.senderComputer, e.line.encrypted ? "encrypted" : "plain"));
    }
    void operator()(const messaging::PeerTrustChanged& e) const {
        print(QStringLiteral("TRACE peer-trust %1 %2")
                  .arg(e.computer, QLatin1String(network::peerTrustName(e.trust))));
    }
    void operator()(const messaging::Refused& e) const {
        print(QStringLiteral("TRACE refused %1 %2")
                  .arg(QLatin1String(messaging::refusalName(e.reason)), e.computer));
    }
    void operator()(const messaging::NameClash& e) const {
        print(QStringLiteral("TRACE name-clash %1 %2")
                  .arg(e.address, messaging::nameClashKeyText(e)));
    }
    void operator()(const messaging::PresenceChanged& e) const {
        print(QStringLiteral("TRACE presence %1 %2")
                  .arg(e.computer, QLatin1String(network::peerPresenceName(e.state))));
    }
    void operator()(const messaging::DeliveryChanged& e) const {
        const QString id = QString::number(e.lineId, 16).rightJustified(16, QLatin1Char('0'));
        switch (e.state) {
        case messaging::DeliveryChanged::State::Delivered:
        case messaging::DeliveryChanged::State::Read:
        case messaging::DeliveryChanged::State::Failed:
            print(QStringLiteral("TRACE receipt %1 %2 %3")
                      .arg(e.computer, QLatin1String(messaging::deliveryStateName(e.state)), id));
            break;
        case messaging::DeliveryChanged::State::Waiting:
        case messaging::DeliveryChanged::State::Sent:
        case messaging::DeliveryChanged::State::Expired:
        case messaging::DeliveryChanged::State::Cancelled:
            print(QStringLiteral("TRACE outbox %1 %2 %3")
                      .arg(e.computer, QLatin1String(messaging::deliveryStateName(e.state)), id));
            break;
        }
    }
    void operator()(const messaging::CaughtUp& e) const {
        print(QStringLiteral("TRACE caught-up %1").arg(e.count));
    }
    void operator()(const messaging::PeerAdded& e) const {
        print(QStringLiteral("PEER+ ") + e.entry.computerName);
    }
    void operator()(const messaging::PeerChanged& e) const {
        print(QStringLiteral("PEER~ %1 %2").arg(e.entry.computerName, e.entry.displayText));
    }
    void operator()(const messaging::PeerRemoved& e) const {
        print(QStringLiteral("PEER- ") + e.computerName);
    }
    void operator()(const messaging::TicksChanged&) const {}
    // The transfer service reads these itself.
    void operator()(const messaging::FileMessageReceived&) const {}
    void operator()(const messaging::SendFailed& e) const {
        if (e.reason == messaging::SendFailed::Reason::NotEncrypted)
            print(QStringLiteral("NOTSENT ") + e.computer);
        else
            print(QStringLiteral("ERROR ") + e.error);
    }
    void operator()(const messaging::Withheld& e) const {
        print(QStringLiteral("WITHHELD %1").arg(e.count));
    }
    void operator()(const messaging::ReceptionFailed& e) const {
        print(QStringLiteral("ERROR ") + e.error);
    }
    void operator()(const messaging::WalkFailed& e) const {
        print(QStringLiteral("ERROR walk: ") + e.error);
    }
    void operator()(const messaging::NetworkBack& e) const {
        print(QStringLiteral("TRACE network-back ") + e.links.join(QStringLiteral(", ")));
    }
    void operator()(const messaging::Greeted&) {
        printGroups();
        runWaitingCommands();
    }

    void command(const QString& line) {
        // A greeting's walk runs in the background; what was typed after it waits for it.
        if (m_node.greetingPending()) {
            m_waiting.append(line);
            return;
        }
        const network::PeerList& peers = m_node.peers();
        const QString verb = line.section(QLatin1Char(' '), 0, 0);
        const QString rest = line.section(QLatin1Char(' '), 1);
        // Failures and withheld recipients of a send are printed as their events come.
        if (verb == "greet") {
            m_node.greet();
        } else if (verb == "walk") {
            try {
                m_node.walk();
            } catch (const std::exception& e) {
                print(QStringLiteral("ERROR walk: ") + QString::fromUtf8(e.what()));
            }
            printGroups();
        } else if (verb == "say") {
            m_node.send({rest}, false, false);
        } else if (verb == "sayx") {
            m_node.send({unescape(rest)}, false, false);
        } else if (verb == "multi") {
            m_node.send(messaging::splitCommaText(rest), true, false);
        } else if (verb == "private") {
            const QStringList targets = rest.section(QLatin1Char(' '), 0, 0).split(',');
            for (int i = 0; i < peers.count(); ++i)
                m_node.setTicked(i,
                                 targets.contains(peers.at(i).computerName, Qt::CaseInsensitive));
            const messaging::LineOutcome outcome =
                m_node.send({rest.section(QLatin1Char(' '), 1)}, false, true);
            print(QStringLiteral("SENT private to ") +
                  outcome.recipients.join(QStringLiteral(", ")));
            m_lastItem = outcome.item;
            for (quint64 id : outcome.lineIds)
                print(QStringLiteral("TRACE line-id ") + messaging::lineIdText(id));
            if (!outcome.noReceipt.isEmpty())
                print(QStringLiteral("NORECEIPT ") + outcome.noReceipt.join(','));
            if (!outcome.waiting.isEmpty())
                print(QStringLiteral("WAITING-FOR ") + outcome.waiting.join(','));
        } else if (verb == "again") {
            print(QStringLiteral("AGAIN %1").arg(m_node.sendAgain(m_lastItem) ? 1 : 0));
        } else if (verb == "read") {
            m_node.linesRead();
        } else if (verb == "waiting") {
            for (const messaging::WaitingLine& waiting : m_node.waitingLines())
                print(QStringLiteral("WAITING %1 %2")
                          .arg(messaging::lineIdText(waiting.lineId), waiting.computer));
        } else if (verb == "cancel") {
            bool ok = false;
            const quint64 id = rest.toULongLong(&ok, 16);
            // The line, for every computer it waits for.
            bool cancelled = false;
            for (const messaging::WaitingLine& waiting : m_node.waitingLines())
                if (ok && waiting.lineId == id)
                    cancelled = m_node.cancelWaiting(id, waiting.computer) || cancelled;
            print(QStringLiteral("CANCEL %1").arg(cancelled ? 1 : 0));
        } else if (verb == "offer-altered") {
            messaging::ChatSession& session = test::ChatNodeProbe(m_node).session();
            const auto lines =
                session.history().since(0, quint64(QDateTime::currentMSecsSinceEpoch()) * 1000);
            if (lines.isEmpty()) {
                print(QStringLiteral("ERROR nothing to offer"));
            } else {
                messaging::SignedLine altered = lines.last();
                altered.text = "altered by a relay";
                ++altered.lineId;
                session.offerLine(rest, altered);
                print(QStringLiteral("OFFERED ") + rest);
            }
        } else if (verb == "accept") {
            if (!m_node.acceptKeyChange(rest))
                print(QStringLiteral("ERROR no changed key for ") + rest);
        } else if (verb == "identity") {
            m_node.announceIdentity(rest);
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
                      .arg(m_node.waitingGreetings()));
        } else if (verb == "send-files" || verb == "transfers" || verb.startsWith("files-")) {
            fileCommand(verb, rest);
        } else if (verb == "bye") {
            m_node.SendGoodbye();
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
    void startFiles(const KeyOptions& keys) {
        transfer::TransferOptions options;
        options.saveFolder = keys.saveFolder.isEmpty() ? QDir::currentPath() : keys.saveFolder;
        options.port = keys.transferPort != 0 ? keys.transferPort
                                              : network::UdpNetworkConfig::fromEnvironment().port;
        if (!keys.keyFile.isEmpty())
            options.stateFolder = keys.keyFile + QStringLiteral(".transfers");
        m_files = std::make_unique<transfer::TransferService>(m_node, options);
        if (!m_files->listenError().isEmpty())
            print(QStringLiteral("ERROR files: ") + m_files->listenError());
        const bool acceptAll = keys.acceptFiles;
        connect(m_files.get(), &transfer::TransferService::offerReceived, this,
                [this, acceptAll](const transfer::TransferInfo& info) {
                    print(QStringLiteral("FILE-OFFER %1 %2 %3 %4 %5")
                              .arg(transfer::transferIdText(info.id), info.computer)
                              .arg(info.files)
                              .arg(info.totalBytes)
                              .arg(info.name));
                    if (acceptAll) {
                        const QString error = m_files->accept(info.id);
                        if (!error.isEmpty())
                            print(QStringLiteral("ERROR accept: ") + error);
                    }
                });
        connect(m_files.get(), &transfer::TransferService::transferChanged, this,
                [this](const transfer::TransferInfo& info) {
                    const QString key = transfer::transferIdText(info.id);
                    if (m_states.value(key) == info.state)
                        return;
                    m_states.insert(key, info.state);
                    print(QStringLiteral("TRANSFER %1 %2 %3")
                              .arg(key, QString::fromLatin1(transfer::stateName(info.state)),
                                   info.error)
                              .trimmed());
                });
    }

    void fileCommand(const QString& verb, const QString& rest) {
        if (!m_files) {
            print(QStringLiteral("ERROR files need a key"));
            return;
        }
        if (verb == "send-files") {
            const QStringList words = rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            if (words.size() < 2) {
                print(QStringLiteral("ERROR send-files <computers> <path>..."));
                return;
            }
            const transfer::TransferService::OfferResult result =
                m_files->sendFiles(words.mid(1), words.first().split(QLatin1Char(',')));
            if (!result.error.isEmpty())
                print(QStringLiteral("ERROR files: ") + result.error);
            for (const transfer::TransferId& id : result.offered)
                print(QStringLiteral("FILES-OFFERED %1 %2")
                          .arg(transfer::transferIdText(id), m_files->transfer(id)->computer));
            for (const auto& [computer, why] : result.refused)
                print(QStringLiteral("FILES-REFUSED %1: %2").arg(computer, why));
            return;
        }
        if (verb == "transfers") {
            for (const transfer::TransferInfo& info : m_files->transfers())
                print(QStringLiteral("TRANSFER %1 %2 %3/%4")
                          .arg(transfer::transferIdText(info.id),
                               QString::fromLatin1(transfer::stateName(info.state)))
                          .arg(info.doneBytes)
                          .arg(info.totalBytes));
            return;
        }
        const std::optional<transfer::TransferId> id =
            transfer::transferIdFromText(rest.section(QLatin1Char(' '), 0, 0));
        if (!id) {
            print(QStringLiteral("ERROR no such transfer"));
            return;
        }
        if (verb == "files-accept") {
            const QString error = m_files->accept(*id, rest.section(QLatin1Char(' '), 1));
            print(QStringLiteral("FILES-ACCEPT %1 %2")
                      .arg(transfer::transferIdText(*id),
                           error.isEmpty() ? QStringLiteral("ok") : error));
        } else if (verb == "files-decline") {
            m_files->decline(*id);
        } else if (verb == "files-pause") {
            m_files->pause(*id);
        } else if (verb == "files-resume") {
            m_files->resume(*id);
        } else if (verb == "files-cancel") {
            m_files->cancel(*id);
        }
    }

    void printGroups() { print(QStringLiteral("GROUPS ") + m_node.groups().join('|')); }

    void runWaitingCommands() {
        while (!m_waiting.isEmpty() && !m_node.greetingPending())
            command(m_waiting.takeFirst());
        if (m_endOfInput && !m_node.greetingPending())
            QCoreApplication::quit();
    }

    messaging::ChatNode m_node;
    std::unique_ptr<transfer::TransferService> m_files;
    QHash<QString, transfer::TransferState> m_states;
    quint64 m_lastItem = 0;
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
    parser.addOption({"key", "The identity key file (made when missing).", "file"});
    parser.addOption({"plain", "No identity key: the older plain form only."});
    parser.addOption({"no-plain-private", "Never send a private line unencrypted."});
    parser.addOption({"save", "The folder received files go to.", "folder"});
    parser.addOption({"transfer-port", "The TCP port for files.", "port"});
    parser.addOption({"accept-files", "Take every offer of files at once."});
    parser.process(app);
    KeyOptions keys;
    keys.plain = parser.isSet("plain");
    keys.keyFile = parser.value("key");
    keys.plainPrivate = !parser.isSet("no-plain-private");
    keys.saveFolder = parser.value("save");
    keys.transferPort = quint16(parser.value("transfer-port").toUInt());
    keys.acceptFiles = parser.isSet("accept-files");
    if (!keys.plain && !crypto::initialise()) {
        print(QStringLiteral("ERROR the cryptography library cannot start"));
        return 2;
    }

    std::unique_ptr<Peer> peer;
    try {
        peer = std::make_unique<Peer>(network::systemNetwork(), parser.value("identity"),
                                      parser.value("deliveries").toInt(), keys);
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
