#include "messaging/mailslot_client.h"
#include "messaging/mailslot_handle.h"

#include <cerrno>

namespace kalvento::messaging {

namespace {

// The system's limit on the length of a mailslot path.
constexpr int kMaxPathLength = 200;
const QString kMailslotPart = QStringLiteral("\\mailslot\\");

} // namespace

EMailslotClientError::EMailslotClientError(const QString& text)
    : std::runtime_error(text.toStdString()) {}

TMailslotClient::TMailslotClient(network::DatagramNetwork& network, QObject* owner)
    : QObject(owner), m_network(network), m_mailslotName(QStringLiteral("mailbox")) {}

TMailslotClient::~TMailslotClient() {
    Close();
}

void TMailslotClient::SetMailslotName(const QString& name) {
    Close();
    m_mailslotName = name;
}

void TMailslotClient::SetReceiverName(const QString& name) {
    Close();
    m_receiverName = name;
}

void TMailslotClient::SetReceiver(TReceiverType receiver) {
    Close();
    m_receiver = receiver;
}

void TMailslotClient::Open() {
    if (m_handle != 0)
        return;
    // The path is built and cut as the system would see it; the pieces are read back
    // from the cut path.
    QString host;
    network::AddressKind kind = network::AddressKind::PrimaryGroup;
    switch (m_receiver) {
    case rcLocalComputer:
        host = QStringLiteral(".");
        kind = network::AddressKind::LocalComputer;
        break;
    case rcPrimaryDomain:
        host = QStringLiteral("*");
        kind = network::AddressKind::PrimaryGroup;
        break;
    case rcDomainOrComputer:
        host = m_receiverName;
        kind = network::AddressKind::Named;
        break;
    }
    const QString prefix = QStringLiteral("\\\\") + host + kMailslotPart;
    const QString path = (prefix + m_mailslotName).left(kMaxPathLength);
    if (host.isEmpty())
        throw EMailslotClientError(platform::systemErrorText(EDESTADDRREQ));
    if (path.size() < prefix.size())
        throw EMailslotClientError(platform::systemErrorText(ENAMETOOLONG));
    m_kind = kind;
    m_targetName = kind == network::AddressKind::Named ? host : QString();
    m_targetMailslot = path.mid(prefix.size());
    m_handle = nextMailslotHandle();
}

void TMailslotClient::Close() {
    m_handle = 0;
    m_targetName.clear();
    m_targetMailslot.clear();
}

quint32 TMailslotClient::Write(QByteArrayView datagram) {
    Open();
    if (m_handle == 0)
        return 0;
    try {
        m_network.send(m_kind, m_targetName, m_targetMailslot, datagram);
    } catch (const platform::SystemError& e) {
        throw EMailslotClientError(e.text());
    }
    return quint32(datagram.size());
}

} // namespace kalvento::messaging
