#include "app/delivery_state.h"

#include "app/chat_text.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"

namespace kalvento::app {
namespace {

using messaging::DeliveryChanged;
using Recipient = DeliveryTable::Recipient;

// Events kept for sends not tracked yet: those of one send, at most, come before it.
constexpr std::size_t kMaxEarly = 64;

QString text(lang::MessageId id) {
    return lang::GetMessageText(id);
}

std::optional<Recipient> recipientState(DeliveryChanged::State state) {
    switch (state) {
    case DeliveryChanged::State::Delivered:
        return Recipient::Delivered;
    case DeliveryChanged::State::Read:
        return Recipient::Read;
    case DeliveryChanged::State::Failed:
        return Recipient::Failed;
    case DeliveryChanged::State::Waiting:
        return Recipient::Waiting;
    case DeliveryChanged::State::Sent:
        return Recipient::Pending; // out of the outbox: its receipt is awaited
    case DeliveryChanged::State::Cancelled:
        return Recipient::Cancelled;
    case DeliveryChanged::State::Expired:
        return Recipient::Expired;
    }
    return std::nullopt;
}

} // namespace

DeliveryTable::DeliveryTable(int capacity) : m_capacity(qMax(1, capacity)) {}

bool DeliveryTable::track(const messaging::LineOutcome& outcome) {
    if (outcome.item == 0)
        return false;
    Item item;
    for (const QString& computer : outcome.tracked)
        set(item, computer, Recipient::Pending);
    for (const QString& computer : outcome.waiting)
        set(item, computer, Recipient::Waiting);
    item.noReceipt = outcome.noReceipt;
    item.lineIds = outcome.lineIds;
    if (!m_items.contains(outcome.item))
        m_order.push_back(outcome.item);
    for (const quint64 lineId : outcome.lineIds)
        m_byLine.insert(lineId, outcome.item);
    m_items.insert(outcome.item, item);
    while (m_items.size() > m_capacity)
        forgetOldest();
    // What the node said of it before the window learnt of it.
    std::deque<DeliveryChanged> early;
    early.swap(m_early);
    for (const DeliveryChanged& change : early) {
        if (change.item == outcome.item)
            apply(change);
        else
            m_early.push_back(change);
    }
    return true;
}

void DeliveryTable::forgetOldest() {
    const quint64 oldest = m_order.front();
    m_order.pop_front();
    const auto found = m_items.constFind(oldest);
    if (found == m_items.constEnd())
        return;
    for (const quint64 lineId : found->lineIds) {
        if (m_byLine.value(lineId) == oldest)
            m_byLine.remove(lineId);
    }
    m_items.erase(found);
}

void DeliveryTable::set(Item& item, const QString& computer, Recipient state) {
    for (auto& [name, now] : item.recipients) {
        if (name.compare(computer, Qt::CaseInsensitive) != 0)
            continue;
        // A receipt does not go back: a late failure or a repeated delivery after the line
        // was read changes nothing.
        if (now == Recipient::Read && state != Recipient::Read)
            return;
        if (now == Recipient::Delivered && state != Recipient::Read &&
            state != Recipient::Delivered)
            return;
        now = state;
        return;
    }
    item.recipients.append({computer, state});
}

quint64 DeliveryTable::apply(const DeliveryChanged& change) {
    if (change.item == 0)
        return 0;
    const auto found = m_items.find(change.item);
    if (found == m_items.end()) {
        // Its send is on its way to the window (or too old to be kept: it goes from here
        // in its turn).
        m_early.push_back(change);
        if (m_early.size() > kMaxEarly)
            m_early.pop_front();
        return 0;
    }
    const std::optional<Recipient> state = recipientState(change.state);
    if (!state)
        return 0;
    const QList<std::pair<QString, Recipient>> before = found->recipients;
    set(*found, change.computer, *state);
    return found->recipients == before ? 0 : change.item;
}

void DeliveryTable::sentAgain(quint64 item) {
    const auto found = m_items.find(item);
    if (found == m_items.end())
        return;
    for (auto& [name, state] : found->recipients) {
        if (state == Recipient::Failed)
            state = Recipient::Pending;
    }
}

bool DeliveryTable::hasFailed(quint64 item) const {
    for (const auto& [name, state] : recipients(item)) {
        if (state == Recipient::Failed)
            return true;
    }
    return false;
}

QList<std::pair<QString, Recipient>> DeliveryTable::recipients(quint64 item) const {
    const auto found = m_items.constFind(item);
    return found == m_items.constEnd() ? QList<std::pair<QString, Recipient>>{} : found->recipients;
}

DeliveryTable::Mark DeliveryTable::mark(quint64 item,
                                        const std::function<QString(const QString&)>& names) const {
    Mark mark;
    const auto found = m_items.constFind(item);
    if (found == m_items.constEnd())
        return mark;
    QStringList failed, read, waiting, cancelled, expired;
    int delivered = 0;
    int counted = 0; // the recipients still meant to get it
    for (const auto& [computer, state] : found->recipients) {
        const QString name = headingName(names ? names(computer) : computer);
        switch (state) {
        case Recipient::Pending:
            break;
        case Recipient::Read:
            read.append(name);
            ++delivered;
            break;
        case Recipient::Delivered:
            ++delivered;
            break;
        case Recipient::Failed:
            failed.append(name);
            break;
        case Recipient::Waiting:
            waiting.append(name);
            break;
        case Recipient::Cancelled:
            cancelled.append(name);
            continue; // the user took it back from this one
        case Recipient::Expired:
            expired.append(name);
            break;
        }
        ++counted;
    }

    if (!failed.isEmpty() || !expired.isEmpty()) {
        mark.summary = Summary::Failed;
        mark.text = text(lang::MessageId::M100);
    } else if (!waiting.isEmpty()) {
        mark.summary = Summary::Waiting;
        mark.text = text(lang::MessageId::M101);
    } else if (counted == 0) {
        mark.summary = Summary::Cancelled;
        mark.text = text(lang::MessageId::M102);
    } else if (delivered == 0) {
        mark.summary = Summary::Pending;
        mark.text = QStringLiteral("\u2026");
    } else if (read.size() == counted) {
        mark.summary = Summary::Read;
        mark.text = QStringLiteral("\u2713\u2713");
    } else if (delivered == counted) {
        mark.summary = Summary::Delivered;
        mark.text = QStringLiteral("\u2713");
    } else {
        mark.summary = Summary::Partly;
        mark.text = QStringLiteral("\u2713 %1/%2").arg(delivered).arg(counted);
    }

    const QString list = QStringLiteral(", ");
    QStringList tip;
    if (counted > 0)
        tip.append(lang::FormatMessage(text(lang::MessageId::M103),
                                       {QString::number(delivered), QString::number(counted)}));
    if (!failed.isEmpty())
        tip.append(lang::FormatMessage(text(lang::MessageId::M104), {failed.join(list)}));
    if (!read.isEmpty())
        tip.append(lang::FormatMessage(text(lang::MessageId::M105), {read.join(list)}));
    if (!found->noReceipt.isEmpty()) {
        QStringList older;
        for (const QString& computer : found->noReceipt)
            older.append(headingName(names ? names(computer) : computer));
        tip.append(lang::FormatMessage(text(lang::MessageId::M106), {older.join(list)}));
    }
    if (!waiting.isEmpty())
        tip.append(lang::FormatMessage(text(lang::MessageId::M107), {waiting.join(list)}));
    if (!expired.isEmpty())
        tip.append(lang::FormatMessage(text(lang::MessageId::M109), {expired.join(list)}));
    if (!cancelled.isEmpty())
        tip.append(lang::FormatMessage(text(lang::MessageId::M108), {cancelled.join(list)}));
    mark.toolTip = tip.join(QStringLiteral("; "));
    return mark;
}

QString textStart(const QString& text, qsizetype maxChars) {
    QString line = splitAtLineBreaks(text).join(u' ').simplified();
    if (line.size() <= maxChars)
        return line;
    qsizetype cut = maxChars;
    // Not between the halves of a character outside the basic plane.
    if (cut > 0 && line.at(cut - 1).isHighSurrogate())
        --cut;
    return line.left(cut) + u'\u2026';
}

} // namespace kalvento::app
