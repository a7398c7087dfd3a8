#pragma once
// What a copy that has an identity key does with the envelope (envelope.h): it signs every
// control message it sends, seals each line for its one recipient when that computer's key
// is known, and checks every payload it receives before the chat acts on it. A copy
// without a key sends and takes the plain form exactly as before.
//
// The checks, in order (docs/protocol.md, "How a receiver decides"):
//   - an envelope that is damaged, a signature that does not hold, a sealed line that
//     does not open: refused "auth";
//   - a plain payload in the name of a computer whose key is pinned (this one included):
//     refused "downgrade";
//   - an envelope in the name of a computer pinned to another key, except a greeting or an
//     answer, which makes the key "changed": refused "key";
//   - a counter the sender key has used already: refused "replay".
// A counter is marked only once every check passed, so a refused datagram spends nothing.

#include "crypto/identity_key.h"
#include "crypto/replay_window.h"
#include "crypto/sealing.h"
#include "crypto/trust_book.h"
#include "messaging/chat_events.h"
#include "messaging/envelope.h"
#include "network/peer_list.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

namespace kalvento::messaging {

// Where a datagram came from and what it claims, as reception sees it before the checks.
struct Arrival {
    EnvelopeContext context; // sender id, the frame's sender computer and target
    QString frameComputer;   // the frame's sender computer, decoded
    // Other computers the datagram speaks for: the one a greeting, answer or goodbye names,
    // the listed computer whose sender id it carries. Empty entries are ignored.
    QStringList claimed;
};

// What the checks made of a payload.
struct Verdict {
    std::optional<RefusalReason> refused;
    QString computer; // in whose name it came (for a refusal: the one it wronged)
    QByteArray plain; // the plain text to act on: visible, or the sealed text opened
    // A sealed text's bytes after its first zero byte (cut off plain): a line's trailer.
    QByteArray trailer;
    bool encrypted = false;     // it came sealed
    bool authenticated = false; // signed or sealed under senderKey, which passed the checks
    crypto::PublicKey senderKey{};
    // It passed under the key pinned for its computer (not a changed key the user has not
    // taken) with a counter above every one taken under that key before: where it came
    // from is where that computer is. A datagram sent again cannot be newer than the
    // original that came first.
    bool vouches = false;
    // Refused because another copy came in this copy's own name: under another key
    // (senderKey), or plain (ownNamePlain). Two computers that go by the same name.
    bool ownName = false;
    bool ownNamePlain = false;
};

using TrustChange = PeerTrustChanged;

class ChatGuard {
public:
    // Whether this copy has a key: otherwise every payload is plain and nothing is checked.
    bool active() const { return m_key.has_value(); }
    void setIdentityKey(const crypto::IdentityKey& key);
    const std::optional<crypto::IdentityKey>& identityKey() const { return m_key; }
    // Keeps the floor of this copy's counters in path (see crypto::CounterClock::keepIn).
    QString keepCountersIn(const QString& path) { return m_clock.keepIn(path); }
    // For tests: counters from another clock (its floor is no longer kept).
    void setCounterClock(std::uint64_t (*now)()) { m_clock = crypto::CounterClock(now); }
    void setOwnComputerName(const QString& name) { m_ownComputer = name; }

    crypto::TrustBook& book() { return m_book; }
    const crypto::TrustBook& book() const { return m_book; }
    void setBook(crypto::TrustBook book);

    // "Send private lines unencrypted to older copies" (on by default).
    void setPlainPrivateAllowed(bool allowed) { m_plainPrivateAllowed = allowed; }
    bool plainPrivateAllowed() const { return m_plainPrivateAllowed; }

    // ---- Sending
    // Bytes the envelope may add to a control message's encoded payload.
    static constexpr int kSignedOverhead = 45 + crypto::kSignatureSize;
    // A control message's payload: signed when this copy has a key.
    QByteArray controlPayload(QByteArrayView plain, const EnvelopeContext& context);
    enum class LineForm { Sealed, Plain, Withheld };
    // How a line goes to receiver: sealed for its key (this computer's own copy for itself),
    // plain to a computer whose key is not known, or not at all (Withheld): a private line
    // that would go plain while that is not allowed, or to a computer whose key changed and
    // waits for the user.
    LineForm lineForm(const QString& receiver, bool isPrivate) const;
    // The payload of a line to receiver in the form lineForm gave (not Withheld), sealed for
    // the key the computer now shows, or with pinnedKey for the key pinned before it changed.
    QByteArray linePayload(const QString& receiver, LineForm form, QByteArrayView plain,
                           const EnvelopeContext& context, bool pinnedKey = false);
    // A public line to a computer whose key changed goes twice, sealed for each key: for
    // the new one (the computer was installed again) and for the pinned one (another copy
    // took its name while the computer is still there). Each opens only its own.
    bool sealsForBothKeys(const QString& receiver) const;

    // ---- Reception
    // Checks payload as the header above says; marks its counter when it passes, pins or
    // changes the key of an authentic greeting or answer (isGreetingOrAnswer is asked of
    // the plain text once known).
    Verdict check(QByteArrayView payload, const Arrival& arrival);
    // What is known of computer's key now.
    network::PeerTrust trustOf(const QString& computer) const;
    QString shortFingerprintOf(const QString& computer) const;
    // The trust changes since last taken, in order: a computer first heard from (plain or
    // pinned) and a key that changed.
    QList<TrustChange> takeTrustChanges();
    // Notes that computer spoke in the plain form (its first greeting or answer is a
    // change to "plain").
    void notePlain(const QString& computer);
    // The user takes the new key of a changed computer: it is pinned, with the counters
    // already taken under it. False when there is no such key.
    bool acceptKeyChange(const QString& computer);
    // The computers whose key is known (pinned, verified or changed), as first seen.
    QStringList knownComputers() const;
    // The user changed computer's trust (took its new key, verified it); the caller tells it.
    void noteTold(const QString& computer, network::PeerTrust trust);

    int refusals() const { return m_refusals; }

    // The keys between this copy and peer (derived once); nothing without a key of its own
    // or for an unusable peer key.
    const crypto::PairKeys* pairKeys(const crypto::PublicKey& peer);

private:
    bool isOwn(const QString& computer) const;
    void announce(const QString& computer, network::PeerTrust trust, const QString& oldPrint,
                  const QString& newPrint);
    Verdict refuse(RefusalReason reason, const QString& computer);

    std::optional<crypto::IdentityKey> m_key;
    QString m_ownComputer;
    crypto::TrustBook m_book;
    bool m_plainPrivateAllowed = true;
    crypto::CounterClock m_clock;
    // Pair keys per peer key (deriving them costs a scalar multiplication).
    QHash<QByteArray, crypto::PairKeys> m_pairs;
    // Replay windows of keys the book does not pin (this copy's own, a changed computer's
    // new one, a key that only sent lines); bounded.
    QHash<QByteArray, crypto::ReplayWindow> m_windows;
    // What was last told of each computer (case-folded name), so that each change is told once.
    QHash<QString, network::PeerTrust> m_told;
    QList<TrustChange> m_changes;
    int m_refusals = 0;
};

} // namespace kalvento::messaging
