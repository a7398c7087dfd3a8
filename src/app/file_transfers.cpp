#include "app/file_transfers.h"

#include "app/chat_text.h"
#include "app/chat_view.h"
#include "app/send_to_dialog.h"
#include "app/transfer_offer_dialog.h"
#include "app/transfer_text.h"
#include "app/transfers_panel.h"
#include "dialogs/user_dialogs.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/chat_node.h"
#include "platform/trace.h"
#include "settings/settings_store.h"
#include "transfer/manifest_builder.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QUrl>

#include <algorithm>
#include <chrono>

namespace kalvento::app {

using lang::MessageId;
using transfer::TransferInfo;
using transfer::TransferState;

namespace {

QString text(MessageId id) {
    return lang::GetMessageText(id);
}

// For the command line, before the transfers have started.
QString notStartedText() {
    return QStringLiteral("Kalvento has not started its transfers yet.");
}

QByteArray idKey(const transfer::TransferId& id) {
    return QByteArray(reinterpret_cast<const char*>(id.data()), qsizetype(id.size()));
}

} // namespace

FileTransfers::FileTransfers(Parts parts, QObject* parent)
    : QObject(parent), m_parts(std::move(parts)) {
    m_readyCheck = new QTimer(this);
    m_readyCheck->setSingleShot(true);
    m_readyCheck->setInterval(1000);
    connect(m_readyCheck, &QTimer::timeout, this, &FileTransfers::checkWaitingRequests);
    TransferHooks& hooks = m_parts.hooks;
    if (!hooks.choosePaths)
        hooks.choosePaths = [](QWidget* over, bool folder) {
            if (!folder)
                return QFileDialog::getOpenFileNames(over, text(MessageId::M171));
            const QString chosen = QFileDialog::getExistingDirectory(over, text(MessageId::M172));
            return chosen.isEmpty() ? QStringList() : QStringList{chosen};
        };
    if (!hooks.openUrl)
        hooks.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };

    m_panel = new TransfersPanel(&m_parts.window);
    connect(m_panel, &TransfersPanel::actionRequested, this,
            [this](TransfersPanel::Action action, const TransferInfo& info) {
                panelAction(int(action), info);
            });

    // The chat's popup: to the ticked computers. The list's: to the computer clicked.
    QWidget& window = m_parts.window;
    m_sendFiles = new QAction(QStringLiteral("Send files..."), &window);
    m_sendFiles->setObjectName(QStringLiteral("Sendfiles1"));
    m_sendFolder = new QAction(QStringLiteral("Send a folder..."), &window);
    m_sendFolder->setObjectName(QStringLiteral("Sendfolder1"));
    QMenu* chatPopup = m_parts.chat.ChatPopup();
    chatPopup->addSeparator();
    chatPopup->addAction(m_sendFiles);
    chatPopup->addAction(m_sendFolder);
    connect(m_sendFiles, &QAction::triggered, this, [this] { sendToTicked(false); });
    connect(m_sendFolder, &QAction::triggered, this, [this] { sendToTicked(true); });
    m_sendToComputer = new QAction(QStringLiteral("Send files..."), &window);
    m_sendToComputer->setObjectName(QStringLiteral("Sendfilesto1"));
    m_parts.computerPopup.addSeparator();
    m_parts.computerPopup.addAction(m_sendToComputer);
    connect(m_sendToComputer, &QAction::triggered, this,
            [this] { sendToEntry(m_parts.currentComputer()); });
    connect(&m_parts.computerPopup, &QMenu::aboutToShow, this, [this] {
        const int entry = m_parts.currentComputer();
        m_sendToComputer->setEnabled(entry >= 0 && entry < m_parts.node.peers().count() &&
                                     m_parts.node.peers().at(entry).enabled);
    });
    // The computers a starting copy waits for are looked at again as the list changes, and
    // the questions whom to send files to follow it: a key or a first sign of life (a
    // presence) tells that a computer just listed can take files.
    connect(&m_parts.node, &messaging::ChatNode::chatEvent, this,
            [this](const messaging::ChatEvent& event) {
                if (!std::holds_alternative<messaging::PeerAdded>(event) &&
                    !std::holds_alternative<messaging::PeerChanged>(event) &&
                    !std::holds_alternative<messaging::PeerRemoved>(event) &&
                    !std::holds_alternative<messaging::PeerTrustChanged>(event) &&
                    !std::holds_alternative<messaging::PresenceChanged>(event))
                    return;
                if (!m_waiting.isEmpty())
                    checkWaitingRequests();
                for (SendToDialog* dialog : openSendTo())
                    dialog->refresh();
            });
}

FileTransfers::~FileTransfers() = default;

transfer::TransferOptions FileTransfers::transferOptions() const {
    const settings::Settings& s = m_parts.settings;
    transfer::TransferOptions options;
    options.saveFolder = s.transferSaveFolder;
    // 0 in the file: the same number as the chat's port.
    const int port = s.transferPort != 0 ? s.transferPort : m_parts.chatPort;
    options.port = m_parts.hooks.port ? *m_parts.hooks.port : quint16(port);
    options.acceptFromFriends = s.acceptFromFriends;
    options.friends = s.friends;
    options.stateFolder = m_parts.stateFolder;
    return options;
}

void FileTransfers::start() {
    if (m_service)
        return;
    m_service = std::make_unique<transfer::TransferService>(m_parts.node, transferOptions());
    connect(m_service.get(), &transfer::TransferService::offerReceived, this,
            [this](const TransferInfo& info) {
                const QString who = shownName(info.computer);
                emit offerArrived(lang::FormatMessage(text(MessageId::M139), {who}),
                                  lang::FormatMessage(text(MessageId::M140), {who}) + u' ' +
                                      isolateDirection(oneLine(info.name)) + countAndSize(info));
                offerReceived(info);
            });
    connect(m_service.get(), &transfer::TransferService::transferChanged, this,
            &FileTransfers::transferChanged);
    connect(m_service.get(), &transfer::TransferService::transferFinished, this,
            &FileTransfers::transferFinished);
    if (const QString error = m_service->listenError(); !error.isEmpty())
        platform::trace(QStringLiteral("transfers cannot listen: %1").arg(error));
    // Transfers of an earlier run that have not ended go on, and show.
    for (const TransferInfo& info : m_service->transfers()) {
        if (transfer::isFinished(info.state))
            continue;
        if (info.state == TransferState::Asking)
            offerReceived(info);
        else
            m_panel->showTransfer(info, shownName(info.computer));
    }
}

void FileTransfers::applySettings() {
    if (m_service)
        m_service->setOptions(transferOptions());
}

QStringList FileTransfers::tickedComputers() const {
    QStringList computers;
    const network::PeerList& peers = m_parts.node.peers();
    for (int i = 0; i < peers.count(); ++i)
        if (peers.at(i).ticked && peers.at(i).enabled)
            computers.append(peers.at(i).computerName);
    return computers;
}

// A name from the command line: a computer's name, else a user's name, in any letter case.
QString FileTransfers::resolveComputer(const QString& name) const {
    const network::PeerList& peers = m_parts.node.peers();
    if (const int entry = peers.indexOfComputer(name); entry >= 0)
        return peers.at(entry).computerName;
    for (int i = 0; i < peers.count(); ++i)
        if (peers.at(i).identity.compare(name, Qt::CaseInsensitive) == 0)
            return peers.at(i).computerName;
    return {};
}

QString FileTransfers::shownName(const QString& computer) const {
    const int entry = m_parts.node.peers().indexOfComputer(computer);
    return entry < 0 ? computer : m_parts.node.peers().distinctName(entry);
}

void FileTransfers::sendToTicked(bool folder) {
    const QStringList computers = tickedComputers();
    if (computers.isEmpty()) {
        m_parts.dialogs.reportError(&m_parts.window, text(MessageId::M136));
        return;
    }
    chooseAndSend(folder, computers);
}

void FileTransfers::sendToEntry(int entry) {
    const network::PeerList& peers = m_parts.node.peers();
    if (entry < 0 || entry >= peers.count() || !peers.at(entry).enabled)
        return;
    chooseAndSend(false, {peers.at(entry).computerName});
}

void FileTransfers::chooseAndSend(bool folder, const QStringList& computers) {
    const QStringList paths = m_parts.hooks.choosePaths(&m_parts.window, folder);
    if (!paths.isEmpty())
        offer(paths, computers);
}

void FileTransfers::sendPaths(const QStringList& paths, const QStringList& computers) {
    if (paths.isEmpty())
        return;
    const QStringList to = computers.isEmpty() ? tickedComputers() : computers;
    if (to.isEmpty()) {
        m_parts.dialogs.reportError(&m_parts.window, text(MessageId::M136));
        return;
    }
    offer(paths, to);
}

FileTransfers::Outcome FileTransfers::offer(const QStringList& paths,
                                            const QStringList& computers) {
    Outcome outcome;
    if (!m_service) {
        outcome.lines.append(notStartedText());
        return outcome;
    }
    const transfer::TransferService::OfferResult result = m_service->sendFiles(paths, computers);
    if (!result.error.isEmpty()) {
        // Nothing was offered: the paths themselves cannot go.
        m_parts.chat.appendNotice(text(MessageId::M137), {result.error});
        outcome.lines.append(QStringLiteral("Not sent: %1").arg(result.error));
        outcome.nothingToSend = true;
        return outcome;
    }
    for (const auto& [computer, reason] : result.refused) {
        m_parts.chat.appendNotice(text(MessageId::M135), {shownName(computer), reason});
        outcome.lines.append(QStringLiteral("Not sent to %1: %2").arg(computer, reason));
    }
    outcome.offered = int(result.offered.size());
    if (outcome.offered > 0)
        outcome.lines.prepend(
            outcome.offered == 1 ? QStringLiteral("Offered to 1 computer.")
                                 : QStringLiteral("Offered to %1 computers.").arg(outcome.offered));
    return outcome;
}

HandoffAnswer FileTransfers::sendFromCommandLine(const SendRequest& request) {
    QStringList computers;
    QStringList lines;
    for (const QString& name : request.computers) {
        const QString computer = resolveComputer(name);
        if (computer.isEmpty()) {
            lines.append(QStringLiteral("Not sent to %1: it is not listed.").arg(name));
            m_parts.chat.appendNotice(text(MessageId::M135), {name, QStringLiteral("not listed")});
        } else if (!computers.contains(computer)) {
            computers.append(computer);
        }
    }
    if (request.computers.isEmpty()) {
        computers = tickedComputers();
        if (computers.isEmpty()) {
            // Paths that cannot go are said at once, not after the user has chosen.
            if (!m_service)
                return {false, notStartedText()};
            QString error;
            if (!transfer::listFiles(request.paths, &error)) {
                m_parts.chat.appendNotice(text(MessageId::M137), {error});
                return {false, QStringLiteral("Not sent: %1").arg(error)};
            }
            askWhomToSend(request.paths);
            return {true, QStringLiteral("Kalvento asks whom to send them to.")};
        }
    }
    if (computers.isEmpty())
        return {false, lines.join(u'\n')};
    const Outcome outcome = offer(request.paths, computers);
    lines = outcome.lines + lines;
    return {outcome.offered > 0, lines.join(u'\n')};
}

void FileTransfers::sendWhenListed(const SendRequest& request) {
    if (request.computers.isEmpty()) {
        const HandoffAnswer answer = sendFromCommandLine(request);
        if (!answer.ok)
            m_parts.chat.appendNotice(QStringLiteral("%s"), {answer.text});
        return;
    }
    Waiting waiting;
    waiting.paths = request.paths;
    waiting.computers = request.computers;
    waiting.deadline = new QTimer(this);
    waiting.deadline->setSingleShot(true);
    QTimer* deadline = waiting.deadline;
    connect(deadline, &QTimer::timeout, this, [this, deadline] {
        for (qsizetype i = 0; i < m_waiting.size(); ++i) {
            if (m_waiting[i].deadline != deadline)
                continue;
            const Waiting gone = m_waiting.takeAt(i);
            for (const QString& name : gone.computers)
                m_parts.chat.appendNotice(text(MessageId::M138), {name});
            // Listed all along but still unable: the refusal says why.
            QStringList listed;
            for (const auto& [computer, since] : gone.listed)
                listed.append(computer);
            if (!listed.isEmpty())
                offer(gone.paths, listed);
            break;
        }
        deadline->deleteLater();
    });
    deadline->start(m_parts.hooks.listingWait.value_or(std::chrono::milliseconds(kListingWait)));
    m_waiting.append(waiting);
    checkWaitingRequests();
}

void FileTransfers::checkWaitingRequests() {
    // The steady clock: the waits must not grow by what the wall clock is set back.
    const qint64 now = QDeadlineTimer::current().deadline();
    const qint64 readyWait =
        std::min<qint64>(std::chrono::milliseconds(kReadyWait).count(),
                         m_parts.hooks.listingWait.value_or(kListingWait).count());
    bool unready = false;
    for (qsizetype i = 0; i < m_waiting.size();) {
        Waiting& waiting = m_waiting[i];
        for (qsizetype k = 0; k < waiting.computers.size();) {
            const QString computer = resolveComputer(waiting.computers[k]);
            if (computer.isEmpty()) {
                ++k;
                continue;
            }
            const bool known = std::any_of(waiting.listed.cbegin(), waiting.listed.cend(),
                                           [&](const auto& l) { return l.first == computer; });
            if (!known)
                waiting.listed.append({computer, now});
            waiting.computers.removeAt(k);
        }
        // Those that can take the files now, or were given their time, get them.
        QStringList ready;
        for (qsizetype k = 0; k < waiting.listed.size();) {
            const auto& [computer, since] = waiting.listed[k];
            if ((m_service && m_service->cannotSendTo(computer).isEmpty()) ||
                now - since >= readyWait) {
                ready.append(computer);
                waiting.listed.removeAt(k);
            } else {
                ++k;
            }
        }
        unready = unready || !waiting.listed.isEmpty();
        const QStringList paths = waiting.paths;
        if (waiting.computers.isEmpty() && waiting.listed.isEmpty()) {
            waiting.deadline->deleteLater();
            m_waiting.removeAt(i);
        } else {
            ++i;
        }
        if (!ready.isEmpty())
            offer(paths, ready); // may change m_waiting only through events to come
    }
    if (unready)
        m_readyCheck->start();
}

void FileTransfers::askWhomToSend(const QStringList& paths) {
    const auto computers = [this] {
        QList<SendToDialog::Computer> can;
        const network::PeerList& peers = m_parts.node.peers();
        for (int i = 0; i < peers.count(); ++i) {
            const QString computer = peers.at(i).computerName;
            if (peers.at(i).enabled && m_service && m_service->cannotSendTo(computer).isEmpty())
                can.append({computer, peers.distinctName(i)});
        }
        return can;
    };
    auto* dialog = new SendToDialog(
        paths, computers,
        [this](const QStringList& chosen, const QStringList& to) { offer(chosen, to); },
        &m_parts.window);
    m_sendTo.removeIf([](const QPointer<SendToDialog>& open) { return open.isNull(); });
    m_sendTo.append(dialog);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

QList<SendToDialog*> FileTransfers::openSendTo() const {
    QList<SendToDialog*> open;
    for (const QPointer<SendToDialog>& dialog : m_sendTo)
        if (dialog && dialog->isVisible())
            open.append(dialog);
    return open;
}

QList<TransferOfferDialog*> FileTransfers::openOffers() const {
    QList<TransferOfferDialog*> open;
    for (const QPointer<TransferOfferDialog>& dialog : m_offers)
        if (dialog && dialog->isVisible())
            open.append(dialog);
    return open;
}

void FileTransfers::offerReceived(const TransferInfo& info) {
    const QByteArray key = idKey(info.id);
    if (m_offers.value(key))
        return; // asked already
    m_panel->showTransfer(info, shownName(info.computer));
    const transfer::TransferId id = info.id;
    TransferOfferDialog::Answers answers;
    answers.accept = [this, id](const QString& folder) {
        return m_service ? m_service->accept(id, folder) : QString();
    };
    answers.decline = [this, id] {
        if (m_service)
            m_service->decline(id);
    };
    answers.chooseFolder = m_parts.hooks.chooseFolder;
    auto* dialog =
        new TransferOfferDialog(info, shownName(info.computer), m_parts.settings.transferSaveFolder,
                                answers, &m_parts.window);
    // Its own window, beside the chat, that does not hold the chat up.
    dialog->setWindowFlag(Qt::Window);
    m_offers.insert(key, dialog);
    connect(dialog, &QObject::destroyed, this, [this, key] {
        m_offers.remove(key);
        if (openOffers().isEmpty())
            emit offersAnswered();
    });
    dialog->show();
    dialog->raise();
}

void FileTransfers::transferChanged(const TransferInfo& info) {
    m_panel->showTransfer(info, shownName(info.computer));
    // Answered elsewhere (accepted without asking, cancelled by the sender): no question.
    if (info.state != TransferState::Asking)
        if (const QPointer<TransferOfferDialog> dialog = m_offers.value(idKey(info.id)))
            dialog->offerEnded();
}

void FileTransfers::transferFinished(const TransferInfo& info) {
    transferChanged(info);
    if (const std::optional<ChatNotice> notice = finishedNotice(info, shownName(info.computer)))
        m_parts.chat.appendNotice(notice->textTemplate, notice->args);
}

void FileTransfers::panelAction(int action, const TransferInfo& info) {
    switch (TransfersPanel::Action(action)) {
    case TransfersPanel::Action::Pause:
        if (m_service)
            m_service->pause(info.id);
        break;
    case TransfersPanel::Action::Resume:
        if (m_service)
            m_service->resume(info.id);
        break;
    case TransfersPanel::Action::Cancel:
        if (m_service)
            m_service->cancel(info.id);
        break;
    case TransfersPanel::Action::Open:
        if (!info.firstPath.isEmpty())
            m_parts.hooks.openUrl(QUrl::fromLocalFile(info.firstPath));
        break;
    case TransfersPanel::Action::ShowInFolder:
        if (!info.firstPath.isEmpty())
            showInFolder(info.firstPath);
        break;
    case TransfersPanel::Action::Clear:
        if (m_service)
            m_service->forget(info.id);
        m_panel->removeTransfer(info.id);
        break;
    }
}

// The file selected in the file manager where the desktop has one that takes the request;
// its folder opened where not.
void FileTransfers::showInFolder(const QString& file) {
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(file).absolutePath());
    if (m_parts.hooks.showInFileManager) {
        if (!m_parts.hooks.showInFileManager(file))
            m_parts.hooks.openUrl(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(file).toString()} << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        m_parts.hooks.openUrl(folder);
        return;
    }
    // Not waited for on this thread: the answer, or its failure, comes later.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, folder](QDBusPendingCallWatcher* finished) {
                if (finished->isError())
                    m_parts.hooks.openUrl(folder);
                finished->deleteLater();
            });
}

} // namespace kalvento::app
