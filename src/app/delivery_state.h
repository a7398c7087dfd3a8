#pragma once
// What the window knows of its own lines' delivery: for each send that expects receipts
// (LineOutcome::item), where each recipient stands, and the mark and tooltip that say it.
// No widget here: the window puts the mark beside the line (DeliveryMarks).

#include "messaging/chat_events.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>

namespace kalvento::app {

class DeliveryTable {
public:
    // Where one recipient of a line stands.
    enum class Recipient { Pending, Delivered, Read, Failed, Waiting, Cancelled, Expired };
    // What the mark beside a line says of it as a whole.
    enum class Summary {
        Pending,   // nothing acknowledged yet
        Partly,    // delivered to some ("✓ 3/4")
        Delivered, // delivered to all ("✓")
        Read,      // read by all ("✓✓")
        Failed,    // not delivered to one or more: failed or dropped from the outbox
        Waiting,   // one or more in the outbox
        Cancelled, // taken out of the outbox, and nobody else acknowledged it
    };
    struct Mark {
        Summary summary = Summary::Pending;
        QString text;
        QString toolTip;
        bool operator==(const Mark&) const = default;
    };

    // The last this many sends are kept; older ones lose their mark's updates.
    static constexpr int kDefaultCapacity = 1000;
    explicit DeliveryTable(int capacity = kDefaultCapacity);

    // A send whose item is not 0. The computers of tracked start pending, those of waiting
    // waiting; noReceipt only shows in the tooltip. Events for item that came before it are
    // applied now. False for item 0.
    bool track(const messaging::LineOutcome& outcome);
    bool contains(quint64 item) const { return m_items.contains(item); }
    // The item a line of this copy was sent in (LineOutcome::lineIds), 0 for none.
    quint64 itemOfLine(quint64 lineId) const { return m_byLine.value(lineId); }
    // Applies what became of the line for one recipient. Returns the item whose mark
    // changed; 0 when none did (item 0, or an item no longer kept). An event for an item
    // not tracked yet waits for it (a few of them).
    quint64 apply(const messaging::DeliveryChanged& change);
    // The failed recipients go back to pending (the line was sent again to them).
    void sentAgain(quint64 item);
    bool hasFailed(quint64 item) const;
    // The recipients and what became of the line for each, in the order first named.
    QList<std::pair<QString, Recipient>> recipients(quint64 item) const;

    // The mark of item; names turns computers into the names the user knows them by.
    Mark mark(quint64 item, const std::function<QString(const QString&)>& names) const;

    int size() const { return int(m_items.size()); }

private:
    struct Item {
        QList<std::pair<QString, Recipient>> recipients;
        QStringList noReceipt;
        QList<quint64> lineIds;
    };
    static void set(Item& item, const QString& computer, Recipient state);
    void forgetOldest();

    int m_capacity;
    QHash<quint64, Item> m_items;
    std::deque<quint64> m_order; // oldest first
    QHash<quint64, quint64> m_byLine;
    // Events that came before their send was tracked.
    std::deque<messaging::DeliveryChanged> m_early;
};

// The start of a line's text for a notice: on one line, at most maxChars characters and an
// ellipsis when it was longer, never cut inside a character.
QString textStart(const QString& text, qsizetype maxChars = 40);

} // namespace kalvento::app
