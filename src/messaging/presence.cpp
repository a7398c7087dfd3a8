#include "messaging/presence.h"

#include "platform/text_codec.h"

#include <QByteArrayView>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdlib>

namespace kalvento::messaging {

using network::PeerPresence;
using std::chrono::milliseconds;

PresenceKeeper::PresenceKeeper(milliseconds interval, std::function<Clock::time_point()> now,
                               std::function<QDateTime()> wallNow)
    : m_interval(std::max(interval, milliseconds(1))), m_now(std::move(now)),
      m_wallNow(std::move(wallNow)) {}

milliseconds PresenceKeeper::intervalFromEnvironment() {
    const QByteArray value = qgetenv("KALVENTO_PRESENCE_MS");
    bool ok = false;
    const qlonglong ms = value.toLongLong(&ok);
    if (!ok || ms < 100 || ms > 3'600'000)
        return kDefaultInterval;
    return milliseconds(ms);
}

milliseconds PresenceKeeper::firstRound() const {
    return milliseconds(QRandomGenerator::global()->bounded(qint64(m_interval.count())) + 1);
}

std::optional<PresenceKeeper::Change> PresenceKeeper::heard(const QString& computer,
                                                            bool signOfLife, PeerPresence status,
                                                            const QString& statusText,
                                                            QDateTime* silentSince) {
    const QString key = computer.toCaseFolded();
    auto found = m_followed.find(key);
    if (found == m_followed.end()) {
        // Followed from its first sign of life, or again at once when it was gone.
        const std::optional<Gone> gone =
            m_gone.contains(key) ? std::optional<Gone>(m_gone.take(key)) : std::nullopt;
        if (!signOfLife && !gone)
            return std::nullopt;
        if (gone && silentSince)
            *silentSince = gone->lastSeen;
        const QString text = signOfLife ? statusText : QString();
        if (!signOfLife)
            status = PeerPresence::Available;
        found = m_followed.insert(key, {computer, m_now(), m_wallNow(), status, text, false});
        return Change{computer, status, found->lastSeen, text};
    }
    Followed& followed = found.value();
    const QDateTime wallNow = m_wallNow();
    // Greyed, or silent that long by the wall clock, which runs on while this computer
    // sleeps (the other clock does not).
    const bool lost =
        followed.presence == PeerPresence::Absent || followed.kept ||
        followed.lastSeen.msecsTo(wallNow) >=
            std::chrono::duration_cast<milliseconds>(after(kAbsentAfterTenths, 10)).count();
    if (lost && silentSince)
        *silentSince = followed.lastSeen;
    followed.seenAt = m_now();
    followed.lastSeen = wallNow;
    followed.kept = false;
    followed.asked = 0;
    // Any datagram shows it is there; only a sign of life tells its status.
    const PeerPresence presence = signOfLife ? status
                                  : followed.presence == PeerPresence::Absent
                                      ? PeerPresence::Available
                                      : followed.presence;
    const QString text = signOfLife ? statusText : followed.statusText;
    if (presence == followed.presence && text == followed.statusText)
        return std::nullopt;
    followed.presence = presence;
    followed.statusText = text;
    return Change{followed.computer, presence, followed.lastSeen, text};
}

PresenceKeeper::Clock::time_point PresenceKeeper::nextDue(const Followed& followed) const {
    if (followed.asked == 0)
        return followed.seenAt + after(kAskAfterQuarters, 4);
    if (followed.presence != PeerPresence::Absent)
        return followed.seenAt + after(kAbsentAfterTenths, 10);
    return followed.seenAt + after(kGoneAfterTenths, 10);
}

QList<PresenceKeeper::Change>
PresenceKeeper::expire(const std::function<bool(const QString&)>& keep, QStringList* ask) {
    QList<Change> changes;
    const Clock::time_point now = m_now();
    for (auto it = m_followed.begin(); it != m_followed.end();) {
        Followed& followed = it.value();
        const auto silent = now - followed.seenAt;
        if (followed.kept || silent < after(kAskAfterQuarters, 4)) {
            ++it;
            continue;
        }
        if (followed.asked == 0) {
            followed.asked = 1;
            if (ask)
                ask->append(followed.computer);
        }
        if (silent < after(kAbsentAfterTenths, 10)) {
            ++it;
            continue;
        }
        const bool gone = silent >= after(kGoneAfterTenths, 10);
        if (!gone || keep(followed.computer)) {
            followed.kept = gone;
            if (followed.presence != PeerPresence::Absent) {
                followed.presence = PeerPresence::Absent;
                followed.asked = 2;
                if (ask)
                    ask->append(followed.computer);
                changes.append({followed.computer, PeerPresence::Absent, followed.lastSeen,
                                followed.statusText});
            }
            ++it;
            continue;
        }
        changes.append({followed.computer, PeerPresence::Gone, followed.lastSeen, {}});
        if (m_gone.size() >= kMaxGone)
            m_gone.clear();
        m_gone.insert(it.key(), {followed.computer, followed.lastSeen});
        it = m_followed.erase(it);
    }
    return changes;
}

std::optional<PresenceKeeper::Clock::time_point> PresenceKeeper::nextDeadline() const {
    std::optional<Clock::time_point> next;
    for (const Followed& followed : m_followed) {
        if (followed.kept)
            continue;
        const Clock::time_point due = nextDue(followed);
        if (!next || due < *next)
            next = due;
    }
    return next;
}

bool PresenceKeeper::lostEveryone() const {
    bool lost = !m_gone.isEmpty();
    for (const Followed& followed : m_followed) {
        if (followed.presence != PeerPresence::Absent)
            return false;
        lost = true;
    }
    return lost;
}

void PresenceKeeper::forget(const QString& computer) {
    const QString key = computer.toCaseFolded();
    m_followed.remove(key);
    m_gone.remove(key);
}

bool PresenceKeeper::mayGreetBack(const QString& computer) {
    const QString key = computer.toCaseFolded();
    const Clock::time_point now = m_now();
    const auto found = m_greetedBack.constFind(key);
    if (found != m_greetedBack.cend() && now - *found < m_interval)
        return false;
    if (m_greetedBack.size() >= kMaxGone)
        m_greetedBack.clear();
    m_greetedBack.insert(key, now);
    return true;
}

Status statusFromSignOfLife(QByteArrayView body) {
    const qsizetype blank = body.indexOf(' ');
    const QByteArrayView word = blank < 0 ? body : body.first(blank);
    Status status;
    if (word == "away")
        status.presence = PeerPresence::Away;
    else if (word == "busy")
        status.presence = PeerPresence::Busy;
    if (blank < 0)
        return status;
    const QByteArray text = platform::cutAtCharacter(body.sliced(blank + 1), kMaxStatusTextBytes);
    status.text = platform::fromWire(text);
    for (QChar& c : status.text)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    status.text = status.text.trimmed();
    return status;
}

QByteArray signOfLifeBody(PeerPresence status, const QString& text) {
    QByteArray body = status == PeerPresence::Away   ? QByteArrayLiteral("away")
                      : status == PeerPresence::Busy ? QByteArrayLiteral("busy")
                                                     : QByteArrayLiteral("available");
    const QString trimmed = text.simplified();
    if (!trimmed.isEmpty())
        body += ' ' + platform::toWire(trimmed, kMaxStatusTextBytes);
    return body;
}

} // namespace kalvento::messaging
