#include "app/chat_controller.h"

#include "app/chat_area.h"
#include "app/chat_view.h"
#include "app/delivery_marks.h"
#include "app/sent_line_recall.h"
#include "app/tray_presence.h"
#include "dialogs/user_dialogs.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/chat_node.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QListView>
#include <QMenu>

#include <utility>
#include <variant>

namespace kalvento::app {

ChatController::ChatController(Parts parts, QWidget& window)
    : QObject(&window), m_parts(std::move(parts)) {
    createComputerPopup(window);
    QLineEdit* message = m_parts.area.message();
    m_recall = new SentLineRecall(*message);
    connect(m_parts.area.computers(), &QListView::doubleClicked, this,
            &ChatController::ComputersDblClick);
    // Enter goes the way of the send button, which sends nothing for an empty or blank line.
    connect(message, &QLineEdit::returnPressed, this, &ChatController::btnSendClick);
    // What the chat reports: lines, ticks and failures. The list shows itself as the model.
    connect(&m_parts.node, &messaging::ChatNode::chatEvent, this, &ChatController::chatEvent);
    m_marks = new DeliveryMarks(DeliveryMarks::Parts{
        window, *m_parts.area.chat(), m_parts.node, m_parts.dialogs, *m_computerPopup,
        [this](const QString& computer) { return shownNames({computer}).value(0); }});
}

void ChatController::ComputersDblClick(const QModelIndex& entry) {
    if (!entry.isValid() || !m_parts.node.tickAlone(entry.row()))
        return;
    m_parts.area.privaatti()->setChecked(true);
    m_parts.area.message()->setFocus();
}

bool ChatController::LahetaViesti(const QStringList& lines, bool multiLine) {
    // The chat decides who gets it; failures come as events and are reported there.
    const messaging::LineOutcome outcome =
        m_parts.node.send(lines, multiLine, m_parts.area.privaatti()->isChecked());
    switch (outcome.status) {
    case messaging::LineOutcome::Status::Refused:
        m_parts.reportError(lang::GetMessageText(lang::MessageId::M060));
        break;
    case messaging::LineOutcome::Status::Offline: {
        // Nothing can leave: the line is shown as not sent, never as said.
        const QString mark = lang::FormatMessage(lang::GetMessageText(lang::MessageId::M062),
                                                 {QString::number(m_parts.networkPort)});
        for (const messaging::OutgoingMessage& message : outcome.messages)
            m_parts.area.chat()->appendUnsent(m_parts.node.ownName(), message.lines, mark);
        break;
    }
    case messaging::LineOutcome::Status::Sent:
        showSent(outcome);
        break;
    }
    return outcome.accepted();
}

void ChatController::showSent(const messaging::LineOutcome& outcome) {
    // Its receipts are followed from now on; a public line gets its mark when it comes back.
    m_marks->sent(outcome);
    // A private line is shown here: it does not come back. A failed send to one of the
    // recipients does not hide what went to the others; one that reached nobody is not
    // shown as said. Each message shows as it went out.
    if (outcome.showsEcho()) {
        const QStringList plain = shownNames(outcome.result.sentPlain);
        for (const messaging::OutgoingMessage& message : outcome.messages) {
            m_parts.area.chat()->appendPrivateEcho(outcome.recipients, message.lines.value(0),
                                                   message.multiLine, message.lines, plain);
            m_marks->markLastLine(outcome.item);
        }
    }
    // Computers it could not go to encrypted are named under it, not in a box: those whose
    // key changed, with what the user can do about it, apart from those the user chose not
    // to send plain to.
    QStringList changed;
    QStringList plain;
    for (const QString& computer : outcome.result.notEncrypted)
        (m_parts.node.peerKey(computer).trust == network::PeerTrust::Changed ? changed : plain)
            .append(computer);
    if (!changed.isEmpty())
        m_parts.area.chat()->appendWarning(lang::GetMessageText(lang::MessageId::M182),
                                           {shownNames(changed).join(QStringLiteral(", "))});
    if (!plain.isEmpty())
        m_parts.area.chat()->appendWarning(lang::GetMessageText(lang::MessageId::M076),
                                           {shownNames(plain).join(QStringLiteral(", "))});
}

void ChatController::chatEvent(const messaging::ChatEvent& event) {
    if (const auto* received = std::get_if<messaging::LineReceived>(&event)) {
        TerminaaliNewMessage(received->line);
    } else if (const auto* ticks = std::get_if<messaging::TicksChanged>(&event)) {
        // `Privaatti` is enabled exactly while an entry is ticked.
        m_parts.area.privaatti()->setEnabled(ticks->ticked > 0);
    } else if (const auto* failed = std::get_if<messaging::SendFailed>(&event)) {
        // The goodbye's failures are the shutdown's to report, with what else went wrong. A
        // line kept from a computer because it would not have gone encrypted is marked
        // under the line (LahetaViesti).
        if (failed->what != messaging::Sending::Goodbye &&
            failed->reason == messaging::SendFailed::Reason::System)
            m_parts.reportError(failed->error);
    } else if (const auto* walk = std::get_if<messaging::WalkFailed>(&event)) {
        // Whatever the walk found is still greeted.
        m_parts.reportError(walk->error);
    } else if (const auto* trust = std::get_if<messaging::PeerTrustChanged>(&event)) {
        if (trust->trust == network::PeerTrust::Changed)
            m_parts.area.chat()->appendWarning(
                lang::GetMessageText(lang::MessageId::M077),
                {trust->computer, trust->oldFingerprint, trust->newFingerprint});
    } else if (const auto* delivery = std::get_if<messaging::DeliveryChanged>(&event)) {
        m_marks->deliveryChanged(*delivery);
    } else if (const auto* caught = std::get_if<messaging::CaughtUp>(&event)) {
        m_marks->caughtUp(*caught);
    } else if (const auto* clash = std::get_if<messaging::NameClash>(&event)) {
        // Nobody can reach both: the user is the one who can rename one of them.
        if (clash->fingerprint.isEmpty())
            m_parts.area.chat()->appendWarning(lang::GetMessageText(lang::MessageId::M184),
                                               {clash->address, m_parts.node.computerName()});
        else
            m_parts.area.chat()->appendWarning(
                lang::GetMessageText(lang::MessageId::M183),
                {clash->address, m_parts.node.computerName(), clash->fingerprint});
    } else if (const auto* reception = std::get_if<messaging::ReceptionFailed>(&event)) {
        qWarning("kalvento: reception: %s", qPrintable(reception->error));
    }
}

void ChatController::btnSendClick() {
    const QString text = m_parts.area.message()->text();
    m_parts.area.message()->setFocus();
    if (text.trimmed().isEmpty())
        return; // nothing to say, as the greyed button shows
    // A line that reached nobody stays in the box to be sent again.
    if (!LahetaViesti({text}, false))
        return;
    m_recall->remember(text);
    m_parts.area.message()->clear();
}

void ChatController::btnCommentClick() {
    m_parts.area.chat()->appendComment(m_parts.area.message()->text());
    m_parts.area.message()->clear();
    m_parts.area.message()->setFocus();
}

void ChatController::TerminaaliNewMessage(const messaging::ReceivedLine& line) {
    // A line caught up after an absence was said long ago: the block of them gets one quiet
    // sign at its end (CaughtUp), not an alert each.
    if (m_parts.area.chat()->appendReceived(line) && !line.caughtUp)
        m_parts.tray.alertNewLine(line, m_parts.settings);
    m_marks->lineShown(line);
}
QStringList ChatController::shownNames(const QStringList& computers) const {
    QStringList names;
    for (const QString& computer : computers) {
        const int i = m_parts.node.peers().indexOfComputer(computer);
        names.append(i < 0 ? computer : m_parts.node.peers().distinctName(i));
    }
    return names;
}

QString ChatController::currentComputerName() const {
    const int row = m_parts.area.currentComputer();
    if (row < 0 || row >= m_parts.node.peers().count())
        return {};
    return m_parts.node.peers().at(row).computerName;
}

namespace {

// Twelve groups of digits as a person reads them: four to a line.
QString readableGroups(const QString& digits) {
    const QStringList groups = digits.split(u' ', Qt::SkipEmptyParts);
    QStringList lines;
    for (qsizetype i = 0; i < groups.size(); i += 4)
        lines.append(groups.mid(i, 4).join(u' '));
    return lines.join(u'\n');
}

} // namespace

void ChatController::Verify1Click() {
    const QString computer = currentComputerName();
    const messaging::PeerKey key = m_parts.node.peerKey(computer);
    if (computer.isEmpty() || key.safetyNumber.isEmpty())
        return;
    const QString text =
        lang::FormatMessage(lang::GetMessageText(lang::MessageId::M082), {computer}) +
        QStringLiteral("\n\n") + readableGroups(key.safetyNumber);
    if (!m_parts.dialogs.showNotice(m_parts.area.computers()->window(),
                                    dialogs::Severity::Information, text,
                                    lang::GetMessageText(lang::MessageId::M084)))
        return;
    // Datagrams kept coming while the box was up: only the key the user compared is marked.
    if (m_parts.node.peerKey(computer).safetyNumber == key.safetyNumber)
        m_parts.node.markVerified(computer);
}

void ChatController::Acceptnewkey1Click() {
    const QString computer = currentComputerName();
    const messaging::PeerKey key = m_parts.node.peerKey(computer);
    if (computer.isEmpty() || key.trust != network::PeerTrust::Changed)
        return;
    const QString text = lang::FormatMessage(lang::GetMessageText(lang::MessageId::M083),
                                             {computer, key.fingerprint, key.offeredFingerprint});
    if (!m_parts.dialogs.showNotice(m_parts.area.computers()->window(), dialogs::Severity::Warning,
                                    text, lang::GetMessageText(lang::MessageId::M085)))
        return;
    // A key offered while the box was up is not the one the user was shown.
    const messaging::PeerKey now = m_parts.node.peerKey(computer);
    if (now.trust == network::PeerTrust::Changed &&
        now.offeredFingerprint == key.offeredFingerprint)
        m_parts.node.acceptKeyChange(computer);
}

void ChatController::createComputerPopup(QWidget& window) {
    m_computerPopup = new QMenu(&window);
    m_computerPopup->setObjectName(QStringLiteral("ComputerPopup"));
    m_add = new QAction(QStringLiteral("Add to friends"), &window);
    m_add->setObjectName(QStringLiteral("Addtofriends1"));
    m_remove = new QAction(QStringLiteral("Remove from friends"), &window);
    m_remove->setObjectName(QStringLiteral("Removefromfriends1"));
    m_verify = new QAction(QStringLiteral("Verify..."), &window);
    m_verify->setObjectName(QStringLiteral("Verify1"));
    m_acceptKey = new QAction(QStringLiteral("Accept the new key..."), &window);
    m_acceptKey->setObjectName(QStringLiteral("Acceptnewkey1"));
    m_computerPopup->addAction(m_add);
    m_computerPopup->addAction(m_remove);
    m_computerPopup->addSeparator();
    m_computerPopup->addAction(m_verify);
    m_computerPopup->addAction(m_acceptKey);
    connect(m_verify, &QAction::triggered, this, &ChatController::Verify1Click);
    connect(m_acceptKey, &QAction::triggered, this, &ChatController::Acceptnewkey1Click);
    connect(m_computerPopup, &QMenu::aboutToShow, this, &ChatController::ComputerPopupPopup);
    connect(m_parts.area.computers(), &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) {
                m_computerPopup->popup(m_parts.area.computers()->mapToGlobal(at));
            });
}

void ChatController::ComputerPopupPopup() {
    const int row = m_parts.area.currentComputer();
    const bool selected = row >= 0 && row < m_parts.node.peers().count();
    m_add->setEnabled(selected && !m_parts.node.peers().isFriend(row));
    m_remove->setEnabled(selected && m_parts.node.peers().isFriend(row));
    const network::PeerTrust trust =
        selected ? m_parts.node.peers().at(row).trust : network::PeerTrust::Plain;
    m_verify->setEnabled(
        selected && m_parts.node.peers().at(row).enabled && m_parts.node.hasIdentityKey() &&
        (trust == network::PeerTrust::Pinned || trust == network::PeerTrust::Verified));
    m_acceptKey->setEnabled(selected && trust == network::PeerTrust::Changed);
}

} // namespace kalvento::app
