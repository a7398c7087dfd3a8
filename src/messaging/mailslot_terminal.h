#pragma once
// The chat's one connection to the network: a mailslot server and client of the same
// name, an 8-byte header (sender id, sequence number) on every datagram, and a per-sender
// filter that drops the extra copies group delivery produces. Wire layout: docs/protocol.md.

#include "messaging/mailslot_client.h"
#include "messaging/mailslot_server.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QHash>
#include <QObject>

#include <chrono>
#include <functional>
#include <list>

namespace kalvento::messaging {

class TMailslotTerminal;

using TNewMessageEvent =
    std::function<void(TMailslotTerminal* sender, qint32 senderId, quint16 msgSize)>;

// The datagram being delivered. During OnNewMessage the position stands just after the
// header, so Read(msgSize) returns the payload.
class TReceiveStream {
public:
    QByteArrayView Data() const { return m_data; }
    qsizetype Size() const { return m_data.size(); }
    qsizetype Position() const { return m_position; }
    void SetPosition(qsizetype position) { m_position = qBound<qsizetype>(0, position, Size()); }
    // Up to count bytes from the position on; the position moves past them.
    QByteArrayView Read(qsizetype count);

private:
    friend class TMailslotTerminal;
    QByteArray m_data;
    qsizetype m_position = 0;
};

struct TSenderRecord {
    quint32 SenderId;
    quint32 SequenceNumber; // highest accepted
};

class TMailslotTerminal : public QObject {
    Q_OBJECT
public:
    static constexpr int kHeaderSize = 8;
    // SenderTable keeps this many senders, the most recently heard; a flood of forged
    // sender ids cannot grow it further. A peer pushed out is simply new again.
    static constexpr int kMaxSenders = 4096;

    // Throws EMailslotServerError when this computer's mailslot is owned by another copy.
    explicit TMailslotTerminal(network::DatagramNetwork& network, QObject* owner = nullptr);
    ~TMailslotTerminal() override;

    const TNewMessageEvent& OnNewMessage() const { return m_onNewMessage; }
    void SetOnNewMessage(TNewMessageEvent handler) { m_onNewMessage = std::move(handler); }

    quint32 Interval() const { return m_interval; }
    void SetInterval(quint32 milliseconds);
    QString MailslotName() const { return m_mailslotName; }
    void SetMailslotName(const QString& name);
    TReceiverType Receiver() const { return m_receiver; }
    void SetReceiver(TReceiverType receiver);
    QString ReceiverName() const { return m_receiverName; }
    void SetReceiverName(const QString& name);

    quint32 TerminalId() const { return m_terminalId; }
    quint32 SequenceNumber() const { return m_sequenceNumber; }

    // Frames payload and writes it to the client's current target; returns the bytes
    // written. A payload longer than 65535 bytes or than the network carries is refused
    // with EMailslotClientError before a sequence number is spent.
    quint32 Send(QByteArrayView payload);
    qsizetype MaxPayloadSize() const;

    TReceiveStream& ReceiveStream() { return m_receiveStream; }
    // Where the datagram being delivered came from, during OnNewMessage: its sender's
    // address, or its computer's name on a network without addresses.
    const QString& ReceiveSource() const;
    // Its frame's sender computer and target as they went on the wire, during OnNewMessage.
    const QByteArray& ReceiveSenderComputer() const;
    const QByteArray& ReceiveTarget() const;
    // Called from OnNewMessage: the datagram being delivered failed the chat's checks, so
    // its sequence number is not taken as used. A forger that writes a copy's sender id with
    // a high number then cannot make the filter drop that copy's real datagrams.
    void RefuseDelivered() { m_refused = true; }
    // Called from OnNewMessage: the datagram being delivered proved to come from the
    // computer its frame names, so the network takes where it came from as that
    // computer's address (DatagramReceiver::vouchForLast).
    void VouchForDelivered() { m_server->VouchForLast(); }
    // The bytes from the receive position on: the payload during OnNewMessage.
    QByteArrayView payload() const {
        return m_receiveStream.Data().sliced(m_receiveStream.Position());
    }

    // One reception pass over every waiting datagram.
    void ReceiveMessages();
    // What the server's poll and wake-ups run: a pass of at most kPassDatagrams datagrams
    // or kPassTime, after which a further pass is queued behind the events already
    // waiting while datagrams remain, so that a flood never keeps the user's input, the
    // timers and the walk's end waiting.
    void ReceiveSome();
    static constexpr int kPassDatagrams = 256;
    static constexpr std::chrono::milliseconds kPassTime{20};

    // Newest (most recently accepted) sender first.
    const std::list<TSenderRecord>& SenderTable() const { return m_senderTable; }

    // The datagram service it sends and receives through.
    network::DatagramNetwork& network() const { return m_network; }

    TMailslotServer* Server() const { return m_server; }
    TMailslotClient* Client() const { return m_client; }

signals:
    // A handler call or a read failed; reception goes on with the next datagram.
    void receptionError(const QString& text);

private:
    // Whether the filter lets the datagram through; Record then takes its number as used.
    bool Fresh(quint32 senderId, quint32 sequenceNumber) const;
    void Record(quint32 senderId, quint32 sequenceNumber);
    // Reads until nothing waits, or until max datagrams or the time are spent; true when
    // it stopped with datagrams still waiting.
    bool Receive(int max, std::chrono::milliseconds time);
    void ReportError(const QString& text);

    network::DatagramNetwork& m_network;
    TNewMessageEvent m_onNewMessage;
    quint32 m_interval = 250;
    QString m_mailslotName;
    TReceiverType m_receiver = rcPrimaryDomain;
    QString m_receiverName;
    quint32 m_terminalId = 0;
    quint32 m_sequenceNumber = 0;
    QByteArray m_sendBuffer;
    TReceiveStream m_receiveStream;
    std::list<TSenderRecord> m_senderTable;
    QHash<quint32, std::list<TSenderRecord>::iterator> m_senderIndex;
    TMailslotServer* m_server = nullptr;
    TMailslotClient* m_client = nullptr;
    bool m_passQueued = false;
    bool m_refused = false;
};

// Local date and time as days since 30 December 1899 00:00, the fraction being the time
// of day.
double toOleDate(const QDateTime& localTime);

// The 64 bytes whose CRC-32 is a terminal's id: process id, user name, computer name,
// spare (here a per-process count of terminals, so that copies inside one process differ
// too) and the start time.
QByteArray identityRecord(quint32 processId, const QString& userName, const QString& computerName,
                          quint32 spare, double oleDate);

} // namespace kalvento::messaging
