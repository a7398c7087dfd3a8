#pragma once
// Writes datagrams to a mailslot on this computer, on a named computer, or on every
// computer of a workgroup or domain.

#include "network/datagram_network.h"

#include <QByteArrayView>
#include <QObject>
#include <QString>

#include <stdexcept>

namespace kalvento::messaging {

// Carries the system's text for the failing call's error.
class EMailslotClientError : public std::runtime_error {
public:
    explicit EMailslotClientError(const QString& text);
    QString text() const { return QString::fromUtf8(what()); }
};

enum TReceiverType {
    rcLocalComputer = 0,    // this computer only
    rcPrimaryDomain = 1,    // every computer of this computer's group
    rcDomainOrComputer = 2, // ReceiverName: one computer, or every computer of a group
};

class TMailslotClient : public QObject {
    Q_OBJECT
public:
    explicit TMailslotClient(network::DatagramNetwork& network, QObject* owner = nullptr);
    ~TMailslotClient() override;

    // Each writer closes the open target, whatever the value; the next Write opens anew.
    QString MailslotName() const { return m_mailslotName; }
    void SetMailslotName(const QString& name);
    QString ReceiverName() const { return m_receiverName; }
    void SetReceiverName(const QString& name);
    TReceiverType Receiver() const { return m_receiver; }
    void SetReceiver(TReceiverType receiver);

    // Non-zero while a target is open.
    quint32 Handle() const { return m_handle; }

    // Resolves the target from Receiver; nothing when one is open already.
    void Open();
    void Close();
    // Opens, then sends datagram whole; returns the bytes written. Throws
    // EMailslotClientError with the system's text.
    quint32 Write(QByteArrayView datagram);
    quint32 Write(const char* buffer, quint32 count) {
        return Write(QByteArrayView(buffer, qsizetype(count)));
    }

private:
    network::DatagramNetwork& m_network;
    QString m_mailslotName;
    QString m_receiverName;
    TReceiverType m_receiver = rcPrimaryDomain;
    quint32 m_handle = 0;
    // The open target.
    network::AddressKind m_kind = network::AddressKind::PrimaryGroup;
    QString m_targetName;
    QString m_targetMailslot;
};

} // namespace kalvento::messaging
