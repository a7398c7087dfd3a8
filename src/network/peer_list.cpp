#include "network/peer_list.h"

namespace kalvento::network {

QString greetingDisplayText(const QString& computerName, const QString& groupName) {
    return computerName + QStringLiteral(" (@ ") + groupName + QLatin1Char(')');
}

PeerList::PeerList(QObject* parent) : QAbstractListModel(parent) {}

int PeerList::indexOfComputer(QStringView computerName) const {
    // Simple case folding, as the comparison without regard to letter case does.
    return m_nameIndex.value(computerName.toString().toCaseFolded(), -1);
}

int PeerList::indexOfSender(qint32 senderId) const {
    return m_senderIndex.value(QString::number(senderId), -1);
}

void PeerList::reindexSender(const QString& senderId) {
    m_senderIndex.remove(senderId);
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].senderId == senderId) {
            m_senderIndex.insert(senderId, int(i));
            return;
        }
    }
}

const char* peerTrustName(PeerTrust trust) {
    switch (trust) {
    case PeerTrust::Plain:
        break;
    case PeerTrust::Pinned:
        return "pinned";
    case PeerTrust::Verified:
        return "verified";
    case PeerTrust::Changed:
        return "changed";
    }
    return "plain";
}

const char* peerPresenceName(PeerPresence presence) {
    switch (presence) {
    case PeerPresence::Available:
        break;
    case PeerPresence::Away:
        return "away";
    case PeerPresence::Busy:
        return "busy";
    case PeerPresence::Absent:
        return "absent";
    case PeerPresence::Gone:
        return "gone";
    }
    return "available";
}

void PeerList::setPresence(const QString& computerName, PeerPresence presence,
                           const QDateTime& lastSeen, const QString& statusText) {
    const int i = indexOfComputer(computerName);
    if (i < 0)
        return;
    PeerEntry& entry = m_entries[size_t(i)];
    entry.lastSeen = lastSeen;
    // An absent computer keeps the text it gave last.
    const QString text = presence == PeerPresence::Absent ? entry.statusText : statusText;
    if (entry.presence == presence && entry.statusText == text)
        return;
    entry.presence = presence;
    entry.statusText = text;
    changed(i);
}

void PeerList::setTrust(const QString& computerName, PeerTrust trust,
                        const QString& keyFingerprint) {
    if (m_keyStates.size() >= qsizetype{2} * kMaxEntries &&
        !m_keyStates.contains(computerName.toCaseFolded()))
        m_keyStates.clear(); // only what is listed needs it; the rest is told again
    m_keyStates.insert(computerName.toCaseFolded(), {trust, keyFingerprint});
    const int i = indexOfComputer(computerName);
    if (i < 0)
        return;
    PeerEntry& entry = m_entries[size_t(i)];
    if (entry.trust == trust && entry.keyFingerprint == keyFingerprint)
        return;
    entry.trust = trust;
    entry.keyFingerprint = keyFingerprint;
    changed(i);
}

bool PeerList::add(const QString& computerName, const QString& groupName, qint32 senderId,
                   bool fromGreeting) {
    const int known = indexOfComputer(computerName);
    if (known >= 0) {
        // The same computer under a new sender id: its copy was restarted (after a crash or
        // a kill, with no goodbye). The entry takes the new id, so its lines and identity
        // are its own again; it keeps its place and its tick, and shows its name until the
        // new identity arrives.
        PeerEntry& entry = m_entries[size_t(known)];
        const QString id = QString::number(senderId);
        if (entry.senderId == id)
            return false;
        const QString oldId = std::exchange(entry.senderId, id);
        reindexSender(oldId);
        reindexSender(id);
        if (!entry.identity.isEmpty()) {
            countName(entry.identity, -1);
            entry.identity.clear();
            countName(entry.computerName, +1);
        }
        entry.groupName = groupName;
        entry.displayText =
            fromGreeting ? greetingDisplayText(entry.computerName, groupName) : entry.computerName;
        changed(known);
        return true;
    }
    if (count() >= kMaxEntries)
        return false;
    PeerEntry entry;
    entry.computerName = computerName;
    entry.senderId = QString::number(senderId);
    entry.groupName = groupName;
    entry.displayText = fromGreeting ? greetingDisplayText(computerName, groupName) : computerName;
    entry.enabled = computerName != m_ownComputerName; // exact: letter case counts here
    if (const auto state = m_keyStates.constFind(computerName.toCaseFolded());
        state != m_keyStates.cend()) {
        entry.trust = state->trust;
        entry.keyFingerprint = state->fingerprint;
    }
    beginInsertRows(QModelIndex(), count(), count());
    m_nameIndex.insert(computerName.toCaseFolded(), count());
    if (!m_senderIndex.contains(entry.senderId)) // an earlier entry with this id stays first
        m_senderIndex.insert(entry.senderId, count());
    m_entries.push_back(std::move(entry));
    endInsertRows();
    countName(computerName, +1);
    emit entryAdded(count() - 1);
    recount();
    return true;
}

bool PeerList::GreetingReceived(const QString& computerName, const QString& groupName,
                                qint32 senderId) {
    return add(computerName, groupName, senderId, true);
}

bool PeerList::AnswerReceived(const QString& computerName, const QString& groupName,
                              qint32 senderId) {
    return add(computerName, groupName, senderId, false);
}

bool PeerList::IdentityReceived(const QString& identity, qint32 senderId) {
    const int i = indexOfSender(senderId);
    if (i < 0)
        return false;
    PeerEntry& entry = m_entries[size_t(i)];
    const QString before = ShortName(i);
    entry.identity = identity;
    const QString after = ShortName(i);
    if (before.compare(after, Qt::CaseInsensitive) != 0) {
        countName(before, -1);
        countName(after, +1);
    }
    entry.displayText =
        identity.isEmpty() ? greetingDisplayText(entry.computerName, entry.groupName) : identity;
    changed(i);
    return true;
}

bool PeerList::GoodbyeReceived(const QString& computerName) {
    const int i = indexOfComputer(computerName);
    if (i < 0)
        return false;
    removeAt(i);
    recount();
    return true;
}

QString PeerList::SenderName(qint32 senderId) const {
    const int i = indexOfSender(senderId);
    return i < 0 ? QString::number(senderId) : distinctName(i);
}

QString PeerList::ShortName(int i) const {
    const PeerEntry& entry = at(i);
    return entry.identity.isEmpty() ? entry.computerName : entry.identity;
}

QString PeerList::distinctName(int i) const {
    return ShortName(i) + nameSuffix(at(i));
}

QString PeerList::nameSuffix(const PeerEntry& entry) const {
    const QString& name = entry.identity.isEmpty() ? entry.computerName : entry.identity;
    if (m_nameCounts.value(name.toCaseFolded()) < 2)
        return {};
    return QStringLiteral(" [") +
           (entry.keyFingerprint.isEmpty() ? entry.computerName : entry.keyFingerprint) + u']';
}

void PeerList::countName(const QString& shortName, int delta) {
    const QString folded = shortName.toCaseFolded();
    int& count = m_nameCounts[folded];
    const bool sharedBefore = count >= 2;
    count += delta;
    const bool sharedAfter = count >= 2;
    if (count <= 0)
        m_nameCounts.remove(folded);
    if (sharedBefore == sharedAfter)
        return;
    for (size_t i = 0; i < m_entries.size(); ++i)
        if (ShortName(int(i)).toCaseFolded() == folded)
            changed(int(i));
}

void PeerList::setTicked(int i, bool ticked) {
    PeerEntry& entry = m_entries.at(size_t(i));
    ticked = ticked && entry.enabled;
    if (entry.ticked == ticked)
        return;
    entry.ticked = ticked;
    changed(i);
    recount();
}

QStringList PeerList::computerNames() const {
    QStringList names;
    names.reserve(count());
    for (const auto& entry : m_entries)
        names.append(entry.computerName);
    return names;
}

QList<int> PeerList::tickedIndices() const {
    QList<int> indices;
    for (size_t i = 0; i < m_entries.size(); ++i)
        if (m_entries[i].ticked)
            indices.append(int(i));
    return indices;
}

void PeerList::clear() {
    while (!m_entries.empty())
        removeAt(count() - 1);
    recount();
}

void PeerList::removeAt(int i) {
    beginRemoveRows(QModelIndex(), i, i);
    const QString computerName = m_entries[size_t(i)].computerName;
    const QString senderId = m_entries[size_t(i)].senderId;
    const QString shortName = ShortName(i);
    m_entries.erase(m_entries.begin() + i);
    m_nameIndex.remove(computerName.toCaseFolded());
    for (auto* index : {&m_nameIndex, &m_senderIndex})
        for (int& at : *index)
            at -= at > i ? 1 : 0;
    if (m_senderIndex.value(senderId, -1) == i)
        reindexSender(senderId);
    endRemoveRows();
    countName(shortName, -1);
    emit entryRemoved(i, computerName);
}

void PeerList::changed(int i) {
    const QModelIndex row = index(i);
    emit dataChanged(row, row);
    emit entryChanged(i);
}

void PeerList::setFriends(const QStringList& identities) {
    if (identities == m_friends)
        return;
    m_friends = identities;
    m_foldedFriends.clear();
    m_foldedFriends.reserve(identities.size());
    for (const QString& identity : identities)
        m_foldedFriends.insert(identity.toCaseFolded());
    if (!m_entries.empty())
        emit dataChanged(index(0), index(count() - 1), {FriendRole});
}

bool PeerList::isFriend(int i) const {
    if (i < 0 || i >= count())
        return false;
    return m_foldedFriends.contains(m_entries[size_t(i)].identity.toCaseFolded());
}

int PeerList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant PeerList::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const PeerEntry& entry = m_entries[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        // A warning sign before a changed key, a tick after a verified one.
        switch (entry.trust) {
        case PeerTrust::Changed:
            return QStringLiteral("\u26A0 ") + entry.displayText + nameSuffix(entry);
        case PeerTrust::Verified:
            return entry.displayText + nameSuffix(entry) + QStringLiteral(" \u2713");
        case PeerTrust::Plain:
        case PeerTrust::Pinned:
            break;
        }
        return entry.displayText + nameSuffix(entry);
    case Qt::CheckStateRole:
        return entry.ticked ? Qt::Checked : Qt::Unchecked;
    case FriendRole:
        return isFriend(index.row());
    case ComputerNameRole:
        return entry.computerName;
    case TrustRole:
        return int(entry.trust);
    case KeyRole:
        return entry.keyFingerprint;
    case PresenceRole:
        return int(entry.presence);
    case LastSeenRole:
        return entry.lastSeen;
    case StatusTextRole:
        return entry.statusText;
    default:
        return {};
    }
}

bool PeerList::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole ||
        !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    setTicked(index.row(), value.value<Qt::CheckState>() == Qt::Checked);
    return true;
}

Qt::ItemFlags PeerList::flags(const QModelIndex& index) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
    if (m_entries[size_t(index.row())].enabled)
        flags |= Qt::ItemIsEnabled;
    return flags;
}

void PeerList::recount() {
    int checked = 0;
    for (const auto& entry : m_entries)
        checked += entry.ticked ? 1 : 0;
    if (checked != m_checkedCount) {
        m_checkedCount = checked;
        emit checkedCountChanged(checked);
    }
}

} // namespace kalvento::network
