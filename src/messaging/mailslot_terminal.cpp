#include "messaging/mailslot_terminal.h"

#include "messaging/crc32.h"
#include "platform/identity.h"
#include "platform/text_codec.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QtDebug>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace kalvento::messaging {

namespace {

constexpr qsizetype kIdentitySize = 64;
constexpr qsizetype kMaxPayload = 0xFFFF; // the payload size travels as 16 bits

QString describeCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void putText(QByteArray& record, qsizetype offset, qsizetype field, const QString& text) {
    // Zero-terminated within the field.
    const QByteArray bytes = platform::toWire(text, field - 1);
    std::memcpy(record.data() + offset, bytes.constData(), size_t(bytes.size()));
}

} // namespace

QByteArrayView TReceiveStream::Read(qsizetype count) {
    const qsizetype n = std::clamp<qsizetype>(count, 0, Size() - m_position);
    const QByteArrayView bytes = QByteArrayView(m_data).sliced(m_position, n);
    m_position += n;
    return bytes;
}

double toOleDate(const QDateTime& localTime) {
    const qint64 days = QDate(1899, 12, 30).daysTo(localTime.date());
    return double(days) + double(localTime.time().msecsSinceStartOfDay()) / 86400000.0;
}

QByteArray identityRecord(quint32 processId, const QString& userName, const QString& computerName,
                          quint32 spare, double oleDate) {
    QByteArray record(kIdentitySize, '\0');
    qToLittleEndian(processId, record.data());
    putText(record, 4, 32, userName);
    putText(record, 36, 16, computerName);
    qToLittleEndian(spare, record.data() + 52);
    qToLittleEndian(oleDate, record.data() + 56);
    return record;
}

TMailslotTerminal::TMailslotTerminal(network::DatagramNetwork& network, QObject* owner)
    : QObject(owner), m_network(network), m_mailslotName(QStringLiteral("Terminal")) {
    static quint32 terminalsCreated = 0;
    m_terminalId =
        crc32(identityRecord(platform::processId(), platform::userName(), platform::computerName(),
                             ++terminalsCreated, toOleDate(QDateTime::currentDateTime())));

    // The server opens its default mailslot at once; renaming it moves it to ours, and
    // assigning the handler is what lets its polling run.
    m_server = new TMailslotServer(network, this);
    m_server->SetInterval(m_interval);
    m_server->SetMailslotName(m_mailslotName);
    m_server->SetMessagePolling(true);
    m_server->SetOnNewMessage([this](TMailslotServer*) { ReceiveSome(); });
    connect(m_server, &TMailslotServer::receptionError, this, &TMailslotTerminal::ReportError);

    m_client = new TMailslotClient(network, this);
    m_client->SetMailslotName(m_mailslotName);
    m_client->SetReceiver(m_receiver);
    m_client->SetReceiverName(m_receiverName);
}

TMailslotTerminal::~TMailslotTerminal() {
    // The server's handler points back here: it goes first.
    delete m_server;
    delete m_client;
}

void TMailslotTerminal::SetInterval(quint32 milliseconds) {
    if (milliseconds == m_interval)
        return;
    m_interval = milliseconds;
    m_server->SetInterval(milliseconds);
}

void TMailslotTerminal::SetMailslotName(const QString& name) {
    if (name == m_mailslotName)
        return;
    m_mailslotName = name;
    m_client->SetMailslotName(name);
    m_server->SetMailslotName(name);
}

void TMailslotTerminal::SetReceiver(TReceiverType receiver) {
    m_receiver = receiver;
    m_client->SetReceiver(receiver);
}

void TMailslotTerminal::SetReceiverName(const QString& name) {
    m_receiverName = name;
    m_client->SetReceiverName(name);
}

const QString& TMailslotTerminal::ReceiveSource() const {
    return m_server->LastSource();
}

const QByteArray& TMailslotTerminal::ReceiveSenderComputer() const {
    return m_server->LastSenderComputer();
}

const QByteArray& TMailslotTerminal::ReceiveTarget() const {
    return m_server->LastTarget();
}

qsizetype TMailslotTerminal::MaxPayloadSize() const {
    return std::min<qsizetype>(kMaxPayload, qsizetype(m_network.maxDatagramSize()) - kHeaderSize);
}

quint32 TMailslotTerminal::Send(QByteArrayView payload) {
    if (payload.size() > MaxPayloadSize())
        throw EMailslotClientError(platform::systemErrorText(EMSGSIZE));
    m_sendBuffer.resize(payload.size() + kHeaderSize);
    ++m_sequenceNumber;
    char* data = m_sendBuffer.data();
    qToLittleEndian(m_terminalId, data);
    qToLittleEndian(m_sequenceNumber, data + 4);
    if (!payload.isEmpty())
        std::memcpy(data + kHeaderSize, payload.data(), size_t(payload.size()));
    return m_client->Write(m_sendBuffer);
}

bool TMailslotTerminal::Fresh(quint32 senderId, quint32 sequenceNumber) const {
    const auto found = m_senderIndex.constFind(senderId);
    // Unsigned: a copy or a late datagram carries a number not above the last one.
    return found == m_senderIndex.cend() || found.value()->SequenceNumber < sequenceNumber;
}

void TMailslotTerminal::Record(quint32 senderId, quint32 sequenceNumber) {
    if (const auto found = m_senderIndex.constFind(senderId); found != m_senderIndex.cend()) {
        const auto record = found.value();
        if (record->SequenceNumber >= sequenceNumber)
            return; // a later datagram of the sender was taken meanwhile
        record->SequenceNumber = sequenceNumber;
        m_senderTable.splice(m_senderTable.begin(), m_senderTable, record);
        return;
    }
    m_senderTable.push_front({senderId, sequenceNumber});
    m_senderIndex.insert(senderId, m_senderTable.begin());
    if (m_senderTable.size() > size_t(kMaxSenders)) {
        m_senderIndex.remove(m_senderTable.back().SenderId);
        m_senderTable.pop_back();
    }
}

void TMailslotTerminal::ReceiveMessages() {
    Receive(std::numeric_limits<int>::max(), std::chrono::milliseconds::max());
}

void TMailslotTerminal::ReceiveSome() {
    QPointer<TMailslotTerminal> alive(this);
    const bool more = Receive(kPassDatagrams, kPassTime);
    if (!alive || !more || m_passQueued)
        return;
    m_passQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_passQueued = false;
        ReceiveSome();
    });
}

bool TMailslotTerminal::Receive(int max, std::chrono::milliseconds time) {
    QPointer<TMailslotTerminal> alive(this);
    QElapsedTimer clock;
    clock.start();
    // A failing read ends the pass; the server's poll reports it and polls again.
    for (int done = 0; m_server->MessageCount() > 0; ++done) {
        if (done >= max || clock.elapsed() >= time.count())
            return true;
        QByteArray& buffer = m_receiveStream.m_data;
        buffer.resize(qsizetype(m_server->NextMessageSize()));
        m_receiveStream.m_position = 0;
        buffer.resize(qsizetype(m_server->Read(buffer.data(), quint32(buffer.size()))));

        // Never produced by Send: shorter than the header, or a payload whose size
        // does not fit the 16 bits handed to the owner.
        if (buffer.size() < kHeaderSize || buffer.size() - kHeaderSize > kMaxPayload)
            continue;
        const auto senderId = qFromLittleEndian<quint32>(buffer.constData());
        const auto sequenceNumber = qFromLittleEndian<quint32>(buffer.constData() + 4);
        m_receiveStream.m_position = kHeaderSize;

        if (!Fresh(senderId, sequenceNumber))
            continue;
        if (!m_onNewMessage) {
            Record(senderId, sequenceNumber);
            continue;
        }
        const TNewMessageEvent handler = m_onNewMessage;
        m_refused = false;
        try {
            handler(this, qint32(senderId), quint16(buffer.size() - kHeaderSize));
        } catch (...) {
            if (!alive)
                throw;
            ReportError(describeCurrentException());
        }
        if (!alive)
            return false; // the handler destroyed this terminal
        if (!m_refused)
            Record(senderId, sequenceNumber);
    }
    return false;
}

void TMailslotTerminal::ReportError(const QString& text) {
    qWarning("Terminal reception failed: %s", qUtf8Printable(text));
    emit receptionError(text);
}

} // namespace kalvento::messaging
