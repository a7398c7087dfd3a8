#include "messaging/chat_guard.h"

#include "messaging/chat_protocol.h"
#include "platform/text_codec.h"

namespace kalvento::messaging {

namespace {

// Keys the book does not pin are few on a real LAN; a flood of made-up keys cannot grow
// the table past this (it starts again, and a replay then meets the terminal's filter).
constexpr qsizetype kMaxLooseWindows = 4096;
constexpr qsizetype kMaxPairs = 8192;

QByteArray keyBytes(const crypto::PublicKey& key) {
    return crypto::toBytes(key);
}

bool sameComputer(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool isControl(MessageKind kind) {
    return kind == MessageKind::Greeting || kind == MessageKind::Answer ||
           kind == MessageKind::Identity || kind == MessageKind::Goodbye ||
           kind == MessageKind::SignOfLife || kind == MessageKind::Receipt ||
           kind == MessageKind::CatchUpAsk;
}

network::PeerTrust fromBook(crypto::Trust trust) {
    switch (trust) {
    case crypto::Trust::Pinned:
        break;
    case crypto::Trust::Verified:
        return network::PeerTrust::Verified;
    case crypto::Trust::Changed:
        return network::PeerTrust::Changed;
    }
    return network::PeerTrust::Pinned;
}

} // namespace

const char* refusalName(RefusalReason reason) {
    switch (reason) {
    case RefusalReason::Auth:
        break;
    case RefusalReason::Replay:
        return "replay";
    case RefusalReason::Downgrade:
        return "downgrade";
    case RefusalReason::Key:
        return "key";
    }
    return "auth";
}

void ChatGuard::setIdentityKey(const crypto::IdentityKey& key) {
    m_key = key;
    m_pairs.clear();
}

void ChatGuard::setBook(crypto::TrustBook book) {
    m_book = std::move(book);
    m_told.clear();
}

bool ChatGuard::isOwn(const QString& computer) const {
    return !m_ownComputer.isEmpty() && sameComputer(computer, m_ownComputer);
}

const crypto::PairKeys* ChatGuard::pairKeys(const crypto::PublicKey& peer) {
    const QByteArray id = keyBytes(peer);
    if (const auto found = m_pairs.constFind(id); found != m_pairs.cend())
        return &found.value();
    std::optional<crypto::PairKeys> keys = crypto::PairKeys::derive(*m_key, peer);
    if (!keys)
        return nullptr;
    if (m_pairs.size() >= kMaxPairs)
        m_pairs.clear();
    return &m_pairs.insert(id, *keys).value();
}

QByteArray ChatGuard::controlPayload(QByteArrayView plain, const EnvelopeContext& context) {
    if (!m_key)
        return payloadFromPlainText(plain);
    return signedPayload(*m_key, m_clock.next(), context, plain);
}

ChatGuard::LineForm ChatGuard::lineForm(const QString& receiver, bool isPrivate) const {
    if (!m_key)
        return LineForm::Plain;
    if (isOwn(receiver))
        return LineForm::Sealed;
    const crypto::KnownKey* known = m_book.find(receiver);
    if (!known)
        return isPrivate && !m_plainPrivateAllowed ? LineForm::Withheld : LineForm::Plain;
    // A private line waits until the user has taken the new key; a public one goes sealed
    // for the key the computer now shows.
    if (known->trust == crypto::Trust::Changed && isPrivate)
        return LineForm::Withheld;
    return LineForm::Sealed;
}

bool ChatGuard::sealsForBothKeys(const QString& receiver) const {
    if (!m_key || isOwn(receiver))
        return false;
    const crypto::KnownKey* known = m_book.find(receiver);
    return known && known->trust == crypto::Trust::Changed && known->offered;
}

QByteArray ChatGuard::linePayload(const QString& receiver, LineForm form, QByteArrayView plain,
                                  const EnvelopeContext& context, bool pinnedKey) {
    if (form != LineForm::Sealed || !m_key)
        return payloadFromPlainText(plain);
    crypto::PublicKey peer = m_key->publicKey();
    if (!isOwn(receiver)) {
        const crypto::KnownKey* known = m_book.find(receiver);
        if (known)
            peer = known->offered && !pinnedKey ? *known->offered : known->key;
    }
    const crypto::PairKeys* keys = pairKeys(peer);
    if (!keys) // a pinned key is a valid point: not reached
        return payloadFromPlainText(plain);
    return sealedPayload(*m_key, *keys, m_clock.next(), context, plain);
}

Verdict ChatGuard::refuse(RefusalReason reason, const QString& computer) {
    ++m_refusals;
    Verdict verdict;
    verdict.refused = reason;
    verdict.computer = computer;
    return verdict;
}

Verdict ChatGuard::check(QByteArrayView payload, const Arrival& arrival) {
    Verdict verdict;
    verdict.computer = arrival.frameComputer;
    if (!m_key) {
        verdict.plain = plainTextFromPayload(payload);
        return verdict;
    }
    SplitPayload split = splitPayload(payload);
    if (split.damagedEnvelope)
        return refuse(RefusalReason::Auth, arrival.frameComputer);

    // The computers the datagram speaks for: its frame's sender, the listed computer whose
    // sender id it carries, and the one a control message names.
    QStringList claimed = arrival.claimed;
    const auto addNamed = [&claimed](const QByteArray& plain) {
        const ClassifiedMessage message = classifyMessage(plain);
        if (message.kind == MessageKind::Greeting || message.kind == MessageKind::Answer)
            claimed.append(platform::fromWire(splitComputerAndGroup(message.body).first));
        else if (message.kind == MessageKind::Goodbye)
            claimed.append(platform::fromWire(message.body));
        return message.kind;
    };

    if (!split.envelope) {
        addNamed(split.visible);
        claimed.prepend(arrival.frameComputer);
        for (const QString& computer : std::as_const(claimed)) {
            if (computer.isEmpty())
                continue;
            // Once a key is known for a computer, nothing plain is taken in its name.
            if (isOwn(computer) || m_book.find(computer)) {
                Verdict refused = refuse(RefusalReason::Downgrade, computer);
                refused.ownName = refused.ownNamePlain = isOwn(arrival.frameComputer);
                return refused;
            }
        }
        verdict.plain = split.visible;
        return verdict;
    }

    const Envelope& envelope = *split.envelope;
    const QString& computer = arrival.frameComputer;
    if (envelope.kind == EnvelopeKind::Signed) {
        if (!verifySigned(envelope, arrival.context, split.visible))
            return refuse(RefusalReason::Auth, computer);
        verdict.plain = split.visible;
    } else {
        const crypto::PairKeys* keys = pairKeys(envelope.senderKey);
        std::optional<QByteArray> opened =
            keys ? openSealed(envelope, *keys, arrival.context) : std::nullopt;
        if (!opened)
            return refuse(RefusalReason::Auth, computer);
        // What follows a zero byte in the opened text is the line's trailer (its id, and
        // for a public line its author's signature), or a line offered for catch-up.
        if (const qsizetype zero = opened->indexOf('\0'); zero >= 0) {
            verdict.trailer = opened->sliced(zero + 1);
            opened->truncate(zero);
        }
        verdict.plain = std::move(*opened);
    }
    const MessageKind kind = addNamed(verdict.plain);
    // Control messages are signed, never sealed: their plain text is what older copies read.
    if (envelope.kind == EnvelopeKind::Sealed && isControl(kind))
        return refuse(RefusalReason::Auth, computer);
    const bool greetingOrAnswer = kind == MessageKind::Greeting || kind == MessageKind::Answer;

    // The key must be the one each claimed computer is known by. The frame's sender is bound
    // by the signature; a greeting under another key changes that computer's key, which the
    // user then sees; anything else under another key is refused.
    claimed.prepend(computer);
    for (const QString& claim : std::as_const(claimed)) {
        if (claim.isEmpty())
            continue;
        if (!sameComputer(claim, computer))
            return refuse(RefusalReason::Key, claim); // speaks for a computer it is not
        if (isOwn(claim)) {
            if (envelope.senderKey != m_key->publicKey()) {
                // Its frame names this computer too (checked above): another copy that
                // goes by the same name, or one that pretends to.
                Verdict refused = refuse(RefusalReason::Key, claim);
                refused.ownName = true;
                refused.senderKey = envelope.senderKey;
                return refused;
            }
            continue;
        }
        const crypto::KnownKey* known = m_book.find(claim);
        if (!known || known->key == envelope.senderKey || greetingOrAnswer)
            continue;
        if (known->trust == crypto::Trust::Changed && known->offered == envelope.senderKey)
            continue; // the new key of a changed computer: its lines show as changed
        return refuse(RefusalReason::Key, claim);
    }

    const crypto::KnownKey* known = isOwn(computer) ? nullptr : m_book.find(computer);
    crypto::ReplayWindow* window = nullptr;
    if (known && known->key == envelope.senderKey) {
        window = m_book.window(computer);
    } else {
        const QByteArray id = keyBytes(envelope.senderKey);
        auto found = m_windows.find(id);
        if (found == m_windows.end()) {
            if (m_windows.size() >= kMaxLooseWindows)
                m_windows.clear();
            found = m_windows.insert(id, crypto::ReplayWindow());
        }
        window = &found.value();
    }
    if (!window->fresh(envelope.counter))
        return refuse(RefusalReason::Replay, computer);

    // Every check passed: the counter is spent and the key learnt.
    const bool newest = envelope.counter > window->highMark();
    window->accept(envelope.counter);
    verdict.encrypted = envelope.kind == EnvelopeKind::Sealed;
    verdict.authenticated = true;
    verdict.senderKey = envelope.senderKey;
    if (greetingOrAnswer && !isOwn(computer)) {
        // The pair keys now, one computer at a time, rather than for every computer at
        // once with the first line after the start.
        pairKeys(envelope.senderKey);
        const crypto::KnownKey* before = m_book.find(computer);
        const std::optional<crypto::PublicKey> oldKey =
            before ? std::optional(before->key) : std::nullopt;
        const bool wasChangedToThis = before && before->trust == crypto::Trust::Changed &&
                                      before->offered == envelope.senderKey;
        switch (m_book.see(computer, envelope.senderKey)) {
        case crypto::TrustBook::Seen::First:
            // The counters taken under the key before it was pinned stay taken: the datagram
            // that pinned it, sent again, is a replay.
            if (crypto::ReplayWindow* kept = m_book.window(computer))
                *kept = *window;
            announce(computer, network::PeerTrust::Pinned, {},
                     crypto::shortFingerprint(envelope.senderKey));
            break;
        case crypto::TrustBook::Seen::Same:
            announce(computer, fromBook(m_book.find(computer)->trust), {},
                     crypto::shortFingerprint(envelope.senderKey));
            break;
        case crypto::TrustBook::Seen::Changed:
            if (!wasChangedToThis)
                m_told.remove(computer.toCaseFolded()); // told again, with both keys
            announce(computer, network::PeerTrust::Changed, crypto::fingerprint(*oldKey),
                     crypto::fingerprint(envelope.senderKey));
            break;
        }
    }
    if (!isOwn(computer)) {
        const crypto::KnownKey* pinned = m_book.find(computer);
        verdict.vouches = newest && pinned && pinned->key == envelope.senderKey;
    }
    return verdict;
}

bool ChatGuard::acceptKeyChange(const QString& computer) {
    const crypto::KnownKey* known = m_book.find(computer);
    if (!known || !known->offered)
        return false;
    const QByteArray offered = keyBytes(*known->offered);
    if (!m_book.acceptChange(computer))
        return false;
    // What the new key sent before the user took it was counted apart; it stays taken.
    if (const auto loose = m_windows.constFind(offered); loose != m_windows.cend())
        *m_book.window(computer) = loose.value();
    return true;
}

QStringList ChatGuard::knownComputers() const {
    return m_book.computers();
}

void ChatGuard::noteTold(const QString& computer, network::PeerTrust trust) {
    m_told.insert(computer.toCaseFolded(), trust);
}

void ChatGuard::notePlain(const QString& computer) {
    announce(computer, network::PeerTrust::Plain, {}, {});
}

void ChatGuard::announce(const QString& computer, network::PeerTrust trust, const QString& oldPrint,
                         const QString& newPrint) {
    const QString folded = computer.toCaseFolded();
    if (const auto told = m_told.constFind(folded); told != m_told.cend() && *told == trust)
        return;
    if (m_told.size() >= qsizetype{2} * network::PeerList::kMaxEntries)
        m_told.clear();
    m_told.insert(folded, trust);
    m_changes.append({computer, trust, oldPrint, newPrint});
}

QList<TrustChange> ChatGuard::takeTrustChanges() {
    return std::exchange(m_changes, {});
}

network::PeerTrust ChatGuard::trustOf(const QString& computer) const {
    if (!m_key)
        return network::PeerTrust::Plain;
    if (isOwn(computer))
        return network::PeerTrust::Verified;
    const crypto::KnownKey* known = m_book.find(computer);
    return known ? fromBook(known->trust) : network::PeerTrust::Plain;
}

QString ChatGuard::shortFingerprintOf(const QString& computer) const {
    if (!m_key)
        return {};
    if (isOwn(computer))
        return crypto::shortFingerprint(m_key->publicKey());
    const crypto::KnownKey* known = m_book.find(computer);
    if (!known)
        return {};
    return crypto::shortFingerprint(known->offered ? *known->offered : known->key);
}

} // namespace kalvento::messaging
