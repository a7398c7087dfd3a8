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
    // Silent for 5/4 of an interval (a sign of life late or lost): asked whether it is
    // there (a greeting, which an answer follows); silent for 3/2: Absent, and asked
    // again; silent for 19/10: Gone. So a copy that vanished is gone within two intervals,
    // and one lost sign of life does not grey a computer that answers.
    static constexpr int kAskAfterQuarters = 5;
    static constexpr int kAbsentAfterTenths = 15;
    static constexpr int kGoneAfterTenths = 19;
    // Computers remembered as gone, so that one that comes back is told at once.
    static constexpr int kMaxGone = 4096;

    explicit PresenceKeeper(std::chrono::milliseconds interval = kDefaultInterval,
                            std::function<Clock::time_point()> now = Clock::now,
                            std::function<QDateTime()> wallNow = &QDateTime::currentDateTime);

    // KALVENTO_PRESENCE_MS (100 to 3,600,000 ms) when set and valid, else a minute.
    static std::chrono::milliseconds intervalFromEnvironment();

    std::chrono::milliseconds interval() const { return m_interval; }

    // When the first round of signs of life goes out after a timer starts: at a moment
    // of the interval chosen at random, so that copies started together do not send
    // together. Then each interval, all at once: one wake-up an interval.
    std::chrono::milliseconds firstRound() const;

    struct Change {
        QString computer;
        network::PeerPresence presence = network::PeerPresence::Available;
        QDateTime lastSeen;
        QString statusText;
    };
    // An authenticated datagram from a listed computer with a pinned key; signOfLife: it
    // was one, saying status and statusText. The change of its presence, if any.
    // silentSince, when given, receives the moment it was last heard before when the two
    // lost each other for long enough to grey it: it was greyed or gone, or this
    // computer's clock moved on that far meanwhile (it slept); else it is left alone.
    std::optional<Change> heard(const QString& computer, bool signOfLife,
                                network::PeerPresence status = network::PeerPresence::Available,
                                const QString& statusText = {}, QDateTime* silentSince = nullptr);
    // What became Absent or Gone by now, in no particular order. keep(computer): a gone
    // computer that stays listed (greyed), as a friend does; it is followed on. ask
    // receives the computers to ask whether they are there.
    QList<Change> expire(const std::function<bool(const QString&)>& keep,
                         QStringList* ask = nullptr);
    // When expire next has something to do; nothing while nobody is followed.
    std::optional<Clock::time_point> nextDeadline() const;
    // The computer left the list (a goodbye, or it was gone): not followed any more.
    void forget(const QString& computer);
    // Whether a sign of life from computer, which is not listed, may draw a greeting to
    // it now (once an interval per computer): two copies that lost each other, one of
    // which removed the other, find each other again.
    bool mayGreetBack(const QString& computer);

    int followed() const { return int(m_followed.size()); }
    // Whether every computer this copy followed went silent (greyed, or gone but for a
    // goodbye) and none is heard now: its network may be what is gone.
    bool lostEveryone() const;
    // Whether computer sends signs of life (a current copy, which also gives receipts).
    bool isFollowed(const QString& computer) const {
        return m_followed.contains(computer.toCaseFolded());
    }
    Clock::time_point now() const { return m_now(); }

private:
    struct Followed {
        QString computer;
        Clock::time_point seenAt;
        QDateTime lastSeen;
        network::PeerPresence presence = network::PeerPresence::Available;
        QString statusText;
        int asked = 0;     // times asked since it was last heard
        bool kept = false; // gone, but kept listed (greyed): nothing more to expire
    };

    Clock::duration after(int numerator, int denominator) const {
        return std::chrono::duration_cast<Clock::duration>(m_interval) * numerator / denominator;
    }
    Clock::time_point nextDue(const Followed& followed) const;

    std::chrono::milliseconds m_interval;
    std::function<Clock::time_point()> m_now;
    std::function<QDateTime()> m_wallNow;
    struct Gone {
        QString computer;
        QDateTime lastSeen;
    };
    QHash<QString, Followed> m_followed; // case-folded name
    QHash<QString, Gone> m_gone;         // case-folded name
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
