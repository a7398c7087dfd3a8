#include "app/delivery_marks.h"

#include "app/chat_view.h"
#include "app/waiting_lines_dialog.h"
#include "dialogs/user_dialogs.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/chat_node.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QLocale>
#include <QMenu>
#include <QWidget>

#include <utility>

namespace kalvento::app {
namespace {

QString text(lang::MessageId id) {
    return lang::GetMessageText(id);
}

} // namespace

ReadReporter::ReadReporter(QWidget& window, std::function<void()> linesRead)
    : QObject(&window), m_window(window), m_linesRead(std::move(linesRead)) {
    m_window.installEventFilter(this);
}

bool ReadReporter::looking() const {
    return m_window.isVisible() && m_window.isActiveWindow() && !m_window.isMinimized();
}

void ReadReporter::lineShown() {
    if (looking()) {
        m_unread = false;
        m_linesRead();
    } else {
        m_unread = true;
    }
}

bool ReadReporter::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &m_window && m_unread &&
        (event->type() == QEvent::ActivationChange || event->type() == QEvent::WindowStateChange) &&
        looking()) {
        m_unread = false;
        m_linesRead();
    }
    return false;
}

DeliveryMarks::DeliveryMarks(Parts parts) : QObject(&parts.window), m_parts(std::move(parts)) {
    m_read = new ReadReporter(m_parts.window, [this] { m_parts.node.linesRead(); });

    // "Send again" in the chat's popup, for a line that was not delivered to somebody.
    // Named in the window's section of a language file, as the window's other items are.
    m_sendAgain = new QAction(QStringLiteral("Send again"), &m_parts.window);
    m_sendAgain->setObjectName(QStringLiteral("Sendagain1"));
    m_sendAgain->setVisible(false);
    QMenu* chatPopup = m_parts.view.ChatPopup();
    chatPopup->addAction(m_sendAgain);
    connect(&m_parts.view, &TChatView::popupRequested, this, &DeliveryMarks::chatPopupRequested);
    connect(m_sendAgain, &QAction::triggered, this, [this] { sendAgain(m_popupItem); });

    m_waitingLines = new QAction(QStringLiteral("Waiting lines..."), &m_parts.window);
    m_waitingLines->setObjectName(QStringLiteral("Waitinglines1"));
    m_parts.computerPopup.addSeparator();
    m_parts.computerPopup.addAction(m_waitingLines);
    connect(&m_parts.computerPopup, &QMenu::aboutToShow, this,
            [this] { m_waitingLines->setEnabled(!m_parts.node.waitingLines().isEmpty()); });
    connect(m_waitingLines, &QAction::triggered, this, &DeliveryMarks::showWaitingLines);
}

void DeliveryMarks::sent(const messaging::LineOutcome& outcome) {
    if (!m_table.track(outcome))
        return;
    // The cursors of sends the table no longer keeps go with them.
    if (m_marks.size() > m_table.size()) {
        for (auto it = m_marks.begin(); it != m_marks.end();) {
            if (m_table.contains(it.key()))
                ++it;
            else
                it = m_marks.erase(it);
        }
    }
}

void DeliveryMarks::markLastLine(quint64 item) {
    if (!m_table.contains(item))
        return;
    const DeliveryTable::Mark mark = m_table.mark(item, m_parts.shownName);
    m_marks[item].append(m_parts.view.appendLineMark(
        item, mark.text, mark.toolTip, mark.summary == DeliveryTable::Summary::Failed));
}

void DeliveryMarks::lineShown(const messaging::ReceivedLine& line) {
    if (line.own) {
        if (line.lineId != 0 && !line.continuation) {
            if (const quint64 item = m_table.itemOfLine(line.lineId))
                markLastLine(item);
        }
        return;
    }
    m_read->lineShown();
}

void DeliveryMarks::updateMarks(quint64 item) {
    const auto found = m_marks.find(item);
    if (found == m_marks.end())
        return;
    const DeliveryTable::Mark mark = m_table.mark(item, m_parts.shownName);
    QList<QTextCursor>& cursors = *found;
    for (qsizetype i = cursors.size() - 1; i >= 0; --i) {
        // A mark the user cleared from the view is gone for good.
        if (!m_parts.view.replaceLineMark(cursors[i], item, mark.text, mark.toolTip,
                                          mark.summary == DeliveryTable::Summary::Failed))
            cursors.removeAt(i);
    }
    if (cursors.isEmpty())
        m_marks.erase(found);
}

QString DeliveryMarks::momentText(const QDateTime& moment) const {
    const QDateTime local = moment.toLocalTime();
    const QLocale locale = QLocale::system();
    QString time = locale.toString(local.time(), QLocale::ShortFormat);
    if (local.date() == QDate::currentDate())
        return time;
    return locale.toString(local.date(), QLocale::ShortFormat) + u' ' + time;
}

void DeliveryMarks::deliveryChanged(const messaging::DeliveryChanged& change) {
    if (change.item != 0) {
        if (const quint64 item = m_table.apply(change))
            updateMarks(item);
        return;
    }
    // A line of the outbox from an earlier run: the window has no line to mark, so it says
    // what became of it once it is settled.
    lang::MessageId notice;
    switch (change.state) {
    case messaging::DeliveryChanged::State::Delivered:
        notice = lang::MessageId::M110;
        break;
    case messaging::DeliveryChanged::State::Failed:
        notice = lang::MessageId::M111;
        break;
    case messaging::DeliveryChanged::State::Expired:
        notice = lang::MessageId::M112;
        break;
    default:
        return;
    }
    m_parts.view.appendNotice(text(notice), {m_parts.shownName(change.computer),
                                             momentText(change.queuedAt), textStart(change.text)});
}

void DeliveryMarks::caughtUp(const messaging::CaughtUp& caught) {
    if (caught.count <= 0)
        return;
    if (caught.count == 1)
        m_parts.view.appendNotice(text(lang::MessageId::M115), {});
    else
        m_parts.view.appendNotice(
            lang::FormatMessage(text(lang::MessageId::M116), {QString::number(caught.count)}), {});
    // One quiet sign for the whole block, where the window manager shows one: no sound, no
    // flashing icon, no notification for lines said long ago.
    if (m_parts.window.isVisible() && !m_parts.window.isActiveWindow())
        QApplication::alert(&m_parts.window);
}

void DeliveryMarks::chatPopupRequested(const QPoint& viewportPoint) {
    m_popupItem = m_parts.view.lineMarkAt(viewportPoint);
    m_sendAgain->setVisible(m_popupItem != 0 && m_table.hasFailed(m_popupItem));
}

void DeliveryMarks::sendAgain(quint64 item) {
    if (item == 0 || !m_table.hasFailed(item))
        return;
    if (!m_parts.node.sendAgain(item))
        return;
    m_table.sentAgain(item);
    updateMarks(item);
}

bool DeliveryMarks::cancelWaiting(const messaging::WaitingLine& line) {
    if (!m_parts.node.cancelWaiting(line.lineId, line.computer))
        return false;
    // The mark says so at once, whether or not the chat reports it too.
    messaging::DeliveryChanged cancelled;
    cancelled.item = m_table.itemOfLine(line.lineId);
    cancelled.computer = line.computer;
    cancelled.state = messaging::DeliveryChanged::State::Cancelled;
    cancelled.lineId = line.lineId;
    if (const quint64 item = m_table.apply(cancelled))
        updateMarks(item);
    return true;
}

void DeliveryMarks::showWaitingLines() {
    const QList<messaging::WaitingLine> lines = m_parts.node.waitingLines();
    if (lines.isEmpty())
        return;
    WaitingLinesDialog dialog(
        lines, [this](const messaging::WaitingLine& line) { return cancelWaiting(line); },
        m_parts.shownName, &m_parts.window);
    m_parts.dialogs.runModal(dialog);
}

} // namespace kalvento::app
