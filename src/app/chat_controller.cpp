#include "app/chat_controller.h"

#include "app/chat_area.h"
#include "app/chat_view.h"
#include "app/sent_line_recall.h"
#include "app/tray_presence.h"
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
        // A private line is shown here: it does not come back. A failed send to one of the
        // recipients does not hide what went to the others; one that reached nobody is not
        // shown as said. Each message shows as it went out.
        if (outcome.showsEcho()) {
            for (const messaging::OutgoingMessage& message : outcome.messages)
                m_parts.area.chat()->appendPrivateEcho(outcome.recipients, message.lines.value(0),
                                                       message.multiLine, message.lines);
        }
        break;
    }
    return outcome.accepted();
}

void ChatController::chatEvent(const messaging::ChatEvent& event) {
    if (const auto* received = std::get_if<messaging::LineReceived>(&event)) {
        TerminaaliNewMessage(received->line);
    } else if (const auto* ticks = std::get_if<messaging::TicksChanged>(&event)) {
        // `Privaatti` is enabled exactly while an entry is ticked.
        m_parts.area.privaatti()->setEnabled(ticks->ticked > 0);
    } else if (const auto* failed = std::get_if<messaging::SendFailed>(&event)) {
        // The goodbye's failures are the shutdown's to report, with what else went wrong.
        if (failed->what != messaging::Sending::Goodbye)
            m_parts.reportError(failed->error);
    } else if (const auto* walk = std::get_if<messaging::WalkFailed>(&event)) {
        // Whatever the walk found is still greeted.
        m_parts.reportError(walk->error);
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
    if (m_parts.area.chat()->appendReceived(line))
        m_parts.tray.alertNewLine(line, m_parts.settings);
}
void ChatController::createComputerPopup(QWidget& window) {
    m_computerPopup = new QMenu(&window);
    m_computerPopup->setObjectName(QStringLiteral("ComputerPopup"));
    m_add = new QAction(QStringLiteral("Add to friends"), &window);
    m_add->setObjectName(QStringLiteral("Addtofriends1"));
    m_remove = new QAction(QStringLiteral("Remove from friends"), &window);
    m_remove->setObjectName(QStringLiteral("Removefromfriends1"));
    m_computerPopup->addAction(m_add);
    m_computerPopup->addAction(m_remove);
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
}

} // namespace kalvento::app
