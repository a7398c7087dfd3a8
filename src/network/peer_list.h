#pragma once
// The copies of the program that have made themselves known to this one, this computer's
// own copy included. Entries stand in order of arrival; a computer name occurs at most
// once (compared without regard to letter case). It is the item model the main window's
// list of computers shows: one row per entry, its display text (with a warning sign for a
// changed key, a tick for a verified one, and a suffix while another entry shows the same
// name), its tick as the check state, its friend mark as FriendRole, and its own entry not
// enabled.

#include <QAbstractListModel>
#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <vector>

namespace kalvento::network {

// What this copy knows of a listed computer's identity key: none (a copy that speaks only
// the plain form), pinned when first seen, verified by the user, or changed since pinned.
enum class PeerTrust { Plain, Pinned, Verified, Changed };
// "plain", "pinned", "verified", "changed".
const char* peerTrustName(PeerTrust trust);

// Whether a listed computer is there. Copies with a key send a sign of life now and then;
// one not heard from for a while is Absent (the list greys it, "not seen since" its last
// sign), then Gone (removed, or kept greyed for a friend). Away and Busy are the words its
// user may choose. A computer that sends no sign of life stays Available while listed.
enum class PeerPresence { Available, Away, Busy, Absent, Gone };
// "available", "away", "busy", "absent", "gone".
const char* peerPresenceName(PeerPresence presence);

struct PeerEntry {
    QString computerName; // the receiver of everything sent to this peer
    QString senderId;     // sender identifier of the datagram that added it, as decimal text
    QString identity;     // the name the peer's user chose; empty until announced
    QString groupName;
    QString displayText; // what the list shows
    bool ticked = false; // chosen as a recipient of private messages
    bool enabled = true; // false for this computer's own entry, which cannot be ticked
    PeerTrust trust = PeerTrust::Plain;
    // The first group of its key's fingerprint, which tells apart two computers that show
    // the same name; empty for a plain copy.
    QString keyFingerprint;
    PeerPresence presence = PeerPresence::Available;
    // The short text its user gave with an away or busy status; empty for none.
    QString statusText;
    // When it was last heard from, for a computer whose presence is followed; invalid
    // for the others.
    QDateTime lastSeen;
    bool present() const { return presence != PeerPresence::Absent; }
};

class PeerList : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        FriendRole = Qt::UserRole + 1, // bool: the entry's identity is one of the friends
        ComputerNameRole,              // QString
        TrustRole,                     // int: the entry's PeerTrust
        KeyRole,                       // QString: the first group of its key's fingerprint
        PresenceRole,                  // int: the entry's PeerPresence (Absent: shown greyed)
        LastSeenRole,                  // QDateTime: when it was last heard from
        StatusTextRole,                // QString: the text given with away or busy
    };

    // A flood of forged greetings must not grow the list without end; no LAN chat has
    // anywhere near this many copies.
    static constexpr int kMaxEntries = 4096;

    explicit PeerList(QObject* parent = nullptr);

    void setOwnComputerName(const QString& name) { m_ownComputerName = name; }
    const QString& ownComputerName() const { return m_ownComputerName; }

    int count() const { return int(m_entries.size()); }
    const PeerEntry& at(int i) const { return m_entries.at(size_t(i)); }
    int indexOfComputer(QStringView computerName) const;
    int indexOfSender(qint32 senderId) const;

    // Reception's actions. Each returns whether the list changed.
    bool GreetingReceived(const QString& computerName, const QString& groupName, qint32 senderId);
    bool AnswerReceived(const QString& computerName, const QString& groupName, qint32 senderId);
    bool IdentityReceived(const QString& identity, qint32 senderId);
    bool GoodbyeReceived(const QString& computerName);

    // What is known of computerName's key, kept also while it is not listed so that its
    // entry has it from the start. Each change of a listed entry is an entryChanged.
    void setTrust(const QString& computerName, PeerTrust trust, const QString& keyFingerprint);

    // The presence of computerName's entry and when it was last heard from; an entryChanged
    // when the presence changed (not for lastSeen alone: it moves with every datagram).
    void setPresence(const QString& computerName, PeerPresence presence, const QDateTime& lastSeen,
                     const QString& statusText = {});
    // Removes computerName's entry as a goodbye does; false when it is not listed.
    bool remove(const QString& computerName) { return GoodbyeReceived(computerName); }

    // The chat line's sender: the entry's ShortName, else the identifier as a number.
    QString SenderName(qint32 senderId) const;
    // The identity when there is one, else the computer name.
    QString ShortName(int i) const;
    // ShortName, told apart from every other entry that shows the same: while two
    // entries share it, each carries " [<the first group of its key's fingerprint>]", or
    // " [<its computer name>]" without a key. What the list and the chat show.
    QString distinctName(int i) const;

    // The user ticks or unticks an entry; a disabled entry stays unticked.
    void setTicked(int i, bool ticked);
    int CheckedCount() const { return m_checkedCount; }
    // `Privaatti` is enabled exactly while at least one entry is ticked.
    bool privateEnabled() const { return m_checkedCount > 0; }

    QStringList computerNames() const;
    QList<int> tickedIndices() const;

    void clear();

    // The identities of the user's friends (compared without regard to letter case). An
    // entry is a friend when the list holds its identity.
    void setFriends(const QStringList& identities);
    bool isFriend(int i) const;

    // The item model.
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // Only the check state can be set: it ticks or unticks the entry.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    // Each after the list has changed. A removed entry is gone by then; its computer name
    // comes with the signal.
    void entryAdded(int index);
    void entryChanged(int index);
    void entryRemoved(int index, const QString& computerName);
    void checkedCountChanged(int checkedCount);

private:
    bool add(const QString& computerName, const QString& groupName, qint32 senderId,
             bool fromGreeting);
    void removeAt(int i);
    void changed(int i);
    void recount();
    // Counts of ShortName (case-folded) as entries come, go and are renamed. When a name
    // becomes shared or stops being so, every entry showing it is redrawn.
    void countName(const QString& shortName, int delta);
    // The suffix that tells entry i apart, empty while its name is its own.
    QString nameSuffix(const PeerEntry& entry) const;
    // The first entry with this sender id, after the entry that had it changed or went.
    void reindexSender(const QString& senderId);

    std::vector<PeerEntry> m_entries;
    // Lookups for a list of thousands: case-folded computer name -> index, and sender id
    // (as in the entry) -> the first index that has it.
    QHash<QString, int> m_nameIndex;
    QHash<QString, int> m_senderIndex;
    QHash<QString, int> m_nameCounts; // case-folded ShortName -> entries showing it
    QStringList m_friends;
    QSet<QString> m_foldedFriends; // m_friends, case-folded, for the lookups
    QString m_ownComputerName;
    int m_checkedCount = 0;
    struct KeyState {
        PeerTrust trust = PeerTrust::Plain;
        QString fingerprint;
    };
    QHash<QString, KeyState> m_keyStates; // case-folded computer name -> its key's state
};

// The greeting form of the display text: "PC7 (@ WORKGROUP)".
QString greetingDisplayText(const QString& computerName, const QString& groupName);

} // namespace kalvento::network
