#pragma once
// Which listed computers are still there. A copy with a key sends each computer it lists
// under a pinned key a signed sign of life once an interval (a minute), the whole round
// spread over the interval; every authenticated datagram from such a computer marks it
// seen. A computer is followed from its first sign of life on, so that a copy with a key
// that sends none (an earlier version) is never taken for gone: kAbsentAfter intervals
// without a word make it Absent (greyed, "not seen since"), kGoneAfter make it Gone
// (removed, as a goodbye would, or kept greyed for a friend). Heard again, it is Available
// at once. Plain computers are never followed.
//
// It keeps no timer: the session asks it what to send when, and what expired by now,
// and arms one timer for each. Its clocks are replaceable for tests.

#include "network/peer_list.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace kalvento::messaging {

class PresenceKeeper {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kDefaultInterval{60000};
    // The shortest gap between two sends of one round: a round of a thousand receivers is
    // sent a few at a time each second rather than all at once or one wake-up each.
    static constexpr std::chrono::milliseconds kShortestStep{1000};
    static constexpr int kAbsentAfter = 2; // intervals without a word
    static constexpr int kGoneAfter = 4;
    // Computers remembered as gone, so that one that comes back is told at once.
    static constexpr int kMaxGone = 4096;

    explicit PresenceKeeper(std::chrono::milliseconds interval = kDefaultInterval,
                            std::function<Clock::time_point()> now = Clock::now,
                            std::function<QDateTime()> wallNow = &QDateTime::currentDateTime);

    // KALVENTO_PRESENCE_MS (100 to 3,600,000 ms) when set and valid, else a minute.
    static std::chrono::milliseconds intervalFromEnvironment();

    std::chrono::milliseconds interval() const { return m_interval; }

    // One step of a round: every period, the next `receivers` of the list at most (the
    // steps of one interval share the n receivers out exactly).
    struct Step {
        std::chrono::milliseconds period{0};
        int receivers = 0;
        bool operator==(const Step&) const = default;
    };
    // How a round to n receivers is spread over the interval: n steps of one receiver when
    // they are at least kShortestStep apart, else one step per kShortestStep (and never
    // fewer than one per interval), each taking its share. Nothing for n = 0.
    Step step(int receivers) const;

    struct Change {
        QString computer;
        network::PeerPresence presence = network::PeerPresence::Available;
        QDateTime lastSeen;
        QString statusText;
    };
    // An authenticated datagram from a listed computer with a pinned key; signOfLife: it
    // was one, saying status and statusText. The change of its presence, if any.
    std::optional<Change> heard(const QString& computer, bool signOfLife,
                                network::PeerPresence status = network::PeerPresence::Available,
                                const QString& statusText = {});
    // What became Absent or Gone by now, in no particular order. keep(computer): a gone
    // computer that stays listed (greyed), as a friend does; it is followed on.
    QList<Change> expire(const std::function<bool(const QString&)>& keep);
    // When expire next has something to do; nothing while nobody is followed.
    std::optional<Clock::time_point> nextDeadline() const;
    // The computer left the list (a goodbye, or it was gone): not followed any more.
    void forget(const QString& computer);
    // Whether a sign of life from computer, which is not listed, may draw a greeting to
    // it now (once an interval per computer): two copies that lost each other, one of
    // which removed the other, find each other again.
    bool mayGreetBack(const QString& computer);

    int followed() const { return int(m_followed.size()); }
    Clock::time_point now() const { return m_now(); }

private:
    struct Followed {
        QString computer;
        Clock::time_point seenAt;
        QDateTime lastSeen;
        network::PeerPresence presence = network::PeerPresence::Available;
        QString statusText;
        bool kept = false; // gone, but kept listed (greyed): nothing more to expire
    };

    std::chrono::milliseconds m_interval;
    std::function<Clock::time_point()> m_now;
    std::function<QDateTime()> m_wallNow;
    QHash<QString, Followed> m_followed; // case-folded name
    QHash<QString, QString> m_gone;      // case-folded name -> name
    QHash<QString, Clock::time_point> m_greetedBack;
};

// What a sign of life says after its tag: a status word ("away", "busy", else available),
// then, after a blank, the text its user gave (at most 64 bytes are read; line breaks and
// other controls become blanks).
constexpr qsizetype kMaxStatusTextBytes = 64;
struct Status {
    network::PeerPresence presence = network::PeerPresence::Available;
    QString text;
};
Status statusFromSignOfLife(QByteArrayView body);
// The body of a sign of life saying status: the word, and the text after a blank when there
// is one (cut to 64 bytes on a character boundary).
QByteArray signOfLifeBody(network::PeerPresence status, const QString& text);

} // namespace kalvento::messaging
