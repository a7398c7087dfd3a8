#pragma once
// Whether a line arrived. Between copies with keys every line datagram carries, sealed with
// it, a trailer: the line's id (its author's clock in microseconds since 1970) and, for a
// public line, its author's signature, which lets other copies offer it to one that missed
// it. The receiver answers each line with a receipt naming the id ("delivered", and "read"
// once its window showed it while active). The sender keeps each datagram until its receipt
// comes, sends it again after 2, 4 and 8 seconds, and then calls it failed; "Send again"
// starts over. A line sent again keeps its id, so the receiver shows it once.
//
// This file keeps the sender's and the receiver's books; the session sends and receives.

#include "crypto/identity_key.h"
#include "messaging/chat_events.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <utility>

namespace kalvento::messaging {

// What follows the zero byte in a sealed line's plain text:
//   "KVL", version 1, flags (bit 0: a name and a signature follow), the line id (8 bytes,
//   big-endian), then with bit 0: the author's name (a length byte, its UTF-8) and the
//   64-byte Ed25519 signature of the line (catch_up.h, signLine).
struct LineTrailer {
    quint64 lineId = 0;
    std::optional<QByteArray> name;             // signed lines only
    std::optional<crypto::Signature> signature; // signed lines only
};
QByteArray encodeTrailer(const LineTrailer& trailer);
// Nothing for bytes that are not a well-formed trailer (an older copy's line has none).
std::optional<LineTrailer> decodeTrailer(QByteArrayView bytes);

// Receipt bodies: "d" (delivered) or "r" (read), then the ids, each a blank and 16
// lowercase hex digits. At most kMaxReceiptIds ids to a receipt.
constexpr int kMaxReceiptIds = 64;
QByteArray receiptBody(bool read, const QList<quint64>& ids);
struct Receipt {
    bool read = false;
    QList<quint64> ids;
};
std::optional<Receipt> parseReceipt(QByteArrayView body);
// Line ids gathered per computer (compared without regard to letter case), in order.
QList<std::pair<QString, QList<quint64>>>
groupByComputer(const QList<std::pair<QString, quint64>>& lines);
// A line id as the traces and receipts write it: 16 lowercase hex digits.
QString lineIdText(quint64 id);

class DeliveryTracker {
public:
    using Clock = std::chrono::steady_clock;
    // The waits before each sending again; the last is how long the last try waits for
    // its receipt before the line is called failed.
    static constexpr std::chrono::milliseconds kBackoff[] = {
        std::chrono::milliseconds(2000), std::chrono::milliseconds(4000),
        std::chrono::milliseconds(8000), std::chrono::milliseconds(8000)};
    static constexpr int kRetries = 3;
    // Sends remembered (the oldest is forgotten first), and datagrams waiting for receipts.
    static constexpr int kMaxItems = 1000;
    static constexpr int kMaxWaiting = 20000;

    // maxWaiting: tests take fewer than kMaxWaiting.
    explicit DeliveryTracker(std::function<Clock::time_point()> now = Clock::now,
                             int maxWaiting = kMaxWaiting);

    quint64 newItem();
    // A datagram of item went to computer (a current copy) carrying lineId; plain is what
    // to send again (the plain text with its trailer). False when the book is full of the
    // datagrams of this send: its receipt is not waited for.
    bool expect(quint64 item, const QString& computer, quint64 lineId, const QByteArray& plain,
                bool isPrivate);
    // Forgets what went to computer in item: nothing is waited for or told of it.
    void forget(quint64 item, const QString& computer);
    // A receipt from computer: the changes of what computer has of the items concerned.
    QList<DeliveryChanged> receipt(const QString& computer, const Receipt& receipt);
    struct Resend {
        QString computer;
        quint64 lineId = 0;
        QByteArray plain;
        bool isPrivate = false;
    };
    // What is due by now: datagrams to send again, and failures (into failed).
    QList<Resend> due(QList<DeliveryChanged>* failed);
    std::optional<Clock::time_point> nextDue() const;
    // The failed datagrams of item start over: what to send now. Empty when none failed.
    QList<Resend> sendAgain(quint64 item);

    int waiting() const { return int(m_byDue.size()); }

    // What the user wrote for item, for a private line that goes to the outbox once its
    // recipient is seen to be away.
    void describe(quint64 item, const QString& text);
    // The private lines to computer that failed, by item in the order they were sent, each
    // with its datagrams in order (line id and what was sent: plain text, zero, trailer).
    struct FailedLine {
        quint64 item = 0;
        QString text;
        QList<std::pair<quint64, QByteArray>> datagrams;
    };
    QList<FailedLine> failedPrivate(const QString& computer) const;
    // Forgets item's failed datagrams to computer (they wait in the outbox now); what comes
    // of them later is told under item again.
    void dropFailed(quint64 item, const QString& computer);

private:
    enum class State { Waiting, Delivered, Read, Failed };
    struct Datagram {
        quint64 item = 0;
        QString computer;
        quint64 lineId = 0;
        QByteArray plain; // dropped once delivered
        bool isPrivate = false;
        int tries = 0;
        Clock::time_point due;
        State state = State::Waiting;
    };
    struct Item;
    static QString key(const QString& computer, quint64 lineId);
    // What computer has of item as a whole: failed when any datagram failed, else read
    // when all were read, delivered when all arrived; nothing while any waits.
    std::optional<DeliveryChanged::State> summary(const Item& item, const QString& who) const;
    // The id of the last datagram of item to who that is still kept: it names the line.
    quint64 lastLineId(const Item& item, const QString& who) const;
    void forgetOldest();
    // Datagram k waits until due; unwait forgets its wait.
    void wait(const QString& k, Datagram& datagram, Clock::time_point due);
    void unwait(const QString& k);

    std::function<Clock::time_point()> m_now;
    int m_maxWaiting = kMaxWaiting;
    quint64 m_nextItem = 1;
    QHash<QString, Datagram> m_datagrams; // case-folded computer + id
    // The datagrams that wait, by due time (and key), so that what is due is found without
    // looking at all: a long message to many computers waits for thousands of receipts.
    std::set<std::pair<Clock::time_point, QString>> m_byDue;
    struct Item {
        // The keys of its datagrams by case-folded computer, each in the order they were
        // sent, so that a receipt looks at its own.
        QHash<QString, QList<QString>> byComputer;
        QString text; // private lines only (describe)
        // What was told of each computer (case-folded), so each change is told once.
        QHash<QString, DeliveryChanged::State> told;
    };
    QHash<quint64, Item> m_items;
    std::deque<quint64> m_itemOrder;
};

// The receiver's side: which lines of a sender it took already (a line sent again must not
// show twice), and which it has not told as read yet.
class LineLedger {
public:
    static constexpr int kRemembered = 4096; // per copy, the oldest forgotten first
    static constexpr int kUnread = 4096;

    // False when the line was taken before (it is acknowledged again, not shown).
    bool take(const QString& computer, quint64 lineId);
    // The window showed the line; it is read when the window is active.
    void noteUnread(const QString& computer, quint64 lineId);
    // The unread lines by computer (case-folded key -> computer and ids), and forgets them.
    QList<std::pair<QString, QList<quint64>>> takeUnread();

private:
    QHash<QString, bool> m_taken; // case-folded computer + id
    std::deque<QString> m_order;
    QList<std::pair<QString, quint64>> m_unread;
};

} // namespace kalvento::messaging
