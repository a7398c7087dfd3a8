#pragma once
// The keys this copy has seen, one per computer name (compared without regard to letter
// case): trust on first use, then pinned. The first signed greeting or answer from a
// computer pins its key; the same computer with another key later is a changed key, which
// stays marked until the user accepts the new one; comparing the safety number with the
// other person makes a key verified. Beside each key, the highest counter accepted from
// it, so that a datagram recorded before a restart is still refused after it.
//
// The book is kept in a file of the settings folder, one computer a line, written
// atomically.

#include "crypto/identity_key.h"
#include "crypto/replay_window.h"
#include "platform/result.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace kalvento::crypto {

enum class Trust { Pinned, Verified, Changed };

// "pinned", "verified", "changed"; "plain" names a computer without a key.
const char* trustName(Trust trust);

struct KnownKey {
    QString computer; // as first seen
    PublicKey key{};
    Trust trust = Trust::Pinned;
    std::optional<PublicKey> offered; // a changed key: the new one, until accepted
    ReplayWindow window;              // for key (and offered's counters are not kept)
    quint64 lastSeen = 0;             // when this run last saw it, in the book's own count
};

class TrustBook {
public:
    enum class Seen { First, Same, Changed };
    // Forged greetings under keys made up for the purpose must not grow the book without
    // end; no LAN has anywhere near this many computers. A new key beyond it takes the place
    // of the key seen longest ago that the user has not verified.
    static constexpr int kMaxKeys = 8192;

    const KnownKey* find(const QString& computer) const;
    // An authentic greeting or answer from computer under key.
    Seen see(const QString& computer, const PublicKey& key);
    // The computers whose keys made room for new ones since the last call.
    QStringList takeEvicted();
    // The user takes the offered key of a changed computer: it is pinned.
    bool acceptChange(const QString& computer);
    // The user compared the safety number: the computer's key is verified.
    bool markVerified(const QString& computer);

    // The replay window of a computer's pinned key; nothing for one without a key.
    ReplayWindow* window(const QString& computer);

    int size() const { return int(m_keys.size()); }
    // Every computer the book holds a key of, as first seen.
    QStringList computers() const;
    // Anything to write: keys and trust, or only the counters taken under them.
    bool changedSinceSave() const { return m_dirty || m_marksDirty; }
    bool keysChangedSinceSave() const { return m_dirty; }

    // Missing file: an empty book. A line that cannot be read is skipped and counted.
    struct Loaded;
    static Loaded load(const QString& path);
    platform::Result save(const QString& path);

private:
    void makeRoom();

    QHash<QString, KnownKey> m_keys; // case-folded computer name -> key
    quint64 m_seenCount = 0;
    QStringList m_evicted;
    bool m_dirty = false;
    bool m_marksDirty = false;
};

struct TrustBook::Loaded {
    TrustBook book;
    int skippedLines = 0;
    QString error; // the file could not be read (the book is then empty)
};

} // namespace kalvento::crypto
