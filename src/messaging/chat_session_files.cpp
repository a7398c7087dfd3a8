// The chat's part in file transfers: their messages go sealed for one computer inside
// "#FIL#", only between current copies whose keys are known.

#include "messaging/chat_session.h"

#include "messaging/chat_protocol.h"

namespace kalvento::messaging {

QString ChatSession::fileTransferBlocker(const QString& computer) const {
    if (!m_guard.identityKey())
        return QStringLiteral("this copy has no key, and files go only encrypted");
    if (computer.compare(m_ownComputerName, Qt::CaseInsensitive) == 0)
        return QStringLiteral("files do not go to this computer itself");
    if (m_peers.indexOfComputer(computer) < 0)
        return QStringLiteral("%1 is not in the list").arg(computer);
    switch (m_guard.trustOf(computer)) {
    case network::PeerTrust::Plain:
        return QStringLiteral("%1 runs an older copy without a key, and files go only "
                              "encrypted")
            .arg(computer);
    case network::PeerTrust::Changed:
        return QStringLiteral("the key of %1 changed: accept or refuse the new key first")
            .arg(computer);
    case network::PeerTrust::Pinned:
    case network::PeerTrust::Verified:
        break;
    }
    if (!m_presence.isFollowed(computer))
        return QStringLiteral("%1 runs an older copy that cannot receive files").arg(computer);
    return {};
}

QString ChatSession::sendFileMessage(const QString& computer, const QByteArray& bytes) {
    if (QString blocker = fileTransferBlocker(computer); !blocker.isEmpty())
        return blocker;
    if (m_guard.lineForm(computer, true) != ChatGuard::LineForm::Sealed)
        return QStringLiteral("%1 cannot be sent to encrypted").arg(computer);
    SendResult result;
    sendTo(computer, QByteArray(kFileTag), 1, result, Form::PrivateLine, bytes);
    if (!result.errors.isEmpty())
        return result.errors.join(QStringLiteral("; "));
    return {};
}

} // namespace kalvento::messaging
