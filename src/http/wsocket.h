#pragma once
// An event-driven TCP socket on the GUI thread: non-blocking POSIX sockets whose readiness
// arrives through QSocketNotifier, host lookups on a worker thread whose result comes back
// as a later event, a send queue of fixed-size blocks, and the socket error numbers and texts
// of platform/socket_errors.h. TLS can be started on a connected socket (StartTls).

#include "http/host_lookup.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>

class QSocketNotifier;

namespace kalvento::http {

class TlsSession;

class ESocketException : public std::runtime_error {
public:
    explicit ESocketException(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString Message() const { return QString::fromUtf8(what()); }
};

// One block of the send queue: a fixed byte area, the bytes stored and the bytes sent.
class TBuffer {
public:
    // A size of zero or less means 1514.
    explicit TBuffer(int size);
    int Size() const { return int(m_data.size()); }
    // Keeps the stored bytes (cut to the new size).
    void SetSize(int size);
    // Copies as many bytes as still fit; returns how many.
    int Write(const char* data, int length);
    // The stored bytes not yet sent.
    QByteArrayView Peek() const {
        return QByteArrayView(m_data.constData() + m_rdCount, m_wrCount - m_rdCount);
    }
    // Marks length bytes as sent; once everything is sent the block is empty again.
    void Remove(int length);
    int WrCount() const { return m_wrCount; }
    int RdCount() const { return m_rdCount; }

private:
    QByteArray m_data;
    int m_wrCount = 0;
    int m_rdCount = 0;
};

enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed,
};

enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketSendFlags { wsSendNormal = 0, wsSendUrgent = 1 };
enum TSocketOption { wsoNoReceiveLoop = 0x1, wsoTcpNoDelay = 0x2 };

class TWSocket : public QObject {
    Q_OBJECT
public:
    using TSessionEvent = std::function<void(TWSocket* sender, quint16 error)>;
    using TNotifyEvent = std::function<void(TWSocket* sender)>;
    using TChangeStateEvent =
        std::function<void(TWSocket* sender, TSocketState oldState, TSocketState newState)>;
    using TBgExceptionEvent =
        std::function<void(TWSocket* sender, const std::exception& error, bool& canClose)>;
    using TSendDataEvent = std::function<void(TWSocket* sender, int bytesSent)>;

    static constexpr int kSendBlockSize = 1460;
    // Bytes one readiness report reads at most before the event loop runs again.
    static constexpr int kReceiveBudget = 64 * 1024;

    explicit TWSocket(QObject* owner = nullptr);
    ~TWSocket() override;

    // Remote and local ends. Changing any of them is refused unless the socket is closed
    // ("Cannot change Addr if not closed" ...). Values are trimmed; an empty Addr, Port or
    // Proto is "not assigned", an empty LocalAddr is "0.0.0.0".
    QString Addr() const { return m_addr; }
    void SetAddr(const QString& addr);
    QString Port() const { return m_port; }
    void SetPort(const QString& port);
    QString Proto() const { return m_proto; }
    void SetProto(const QString& proto);
    QString LocalAddr() const { return m_localAddr; }
    void SetLocalAddr(const QString& addr);
    QString LocalPort() const { return m_localPort; }
    void SetLocalPort(const QString& port);

    TSocketState State() const { return m_state; }
    int LastError() const { return m_lastError; }
    // The text of the last error reported through OnError.
    QString ErrorMessage() const { return m_errorMessage; }
    qint64 ReadCount() const { return m_readCount; }
    // Bytes that can be read now (decrypted bytes too, under TLS); -1 on failure.
    qint64 RcvdCount() const;

    TSocketLingerOnOff LingerOnOff() const { return m_lingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff value) { m_lingerOnOff = value; }
    int LingerTimeout() const { return m_lingerTimeout; }
    void SetLingerTimeout(int seconds) { m_lingerTimeout = seconds; }
    int ComponentOptions() const { return m_options; }
    void SetComponentOptions(int options) { m_options = options; }
    int FlushTimeout() const { return m_flushTimeout; }
    void SetFlushTimeout(int seconds) { m_flushTimeout = seconds; }
    TSocketSendFlags SendFlags() const { return m_sendFlags; }
    // Any value but wsSendNormal and wsSendUrgent is refused with "Invalid SendFlags".
    void SetSendFlags(int flags);
    bool MultiThreaded() const { return m_multiThreaded; }
    void SetMultiThreaded(bool value) { m_multiThreaded = value; }

    // SOCKS settings are kept for the HTTP client's properties; a socket with a SOCKS server
    // refuses to connect, since no SOCKS negotiation is built in.
    QString SocksServer() const { return m_socksServer; }
    void SetSocksServer(const QString& server) { m_socksServer = server.trimmed(); }
    QString SocksLevel() const { return m_socksLevel; }
    void SetSocksLevel(const QString& level);
    QString SocksPort() const { return m_socksPort; }
    void SetSocksPort(const QString& port) { m_socksPort = port.trimmed(); }
    QString SocksUsercode() const { return m_socksUsercode; }
    void SetSocksUsercode(const QString& user) { m_socksUsercode = user; }
    QString SocksPassword() const { return m_socksPassword; }
    void SetSocksPassword(const QString& password) { m_socksPassword = password; }
    int SocksAuthentication() const { return m_socksAuthentication; }
    void SetSocksAuthentication(int value) { m_socksAuthentication = value; }

    QString DnsResult() const { return m_dnsResult; }
    const QStringList& DnsResultList() const { return m_dnsResultList; }
    bool DnsLookupPending() const { return m_lookupPending; }

    // Where host names are looked up; the system's resolver unless a test sets another.
    // The resolver runs on a worker thread.
    void SetResolver(http::HostResolver resolver) { m_resolver = std::move(resolver); }

    // Starts resolving host; OnDnsLookupDone reports the end. A dotted address is answered
    // before this returns; an empty name reports "DNS lookup: invalid host name." and then
    // OnDnsLookupDone(10022).
    void DnsLookup(const QString& host);
    // Ends a pending lookup with OnDnsLookupDone(10004).
    void CancelDnsLookup();

    // Opens the socket and starts connecting; OnSessionConnected reports the end. False when
    // the connection could not even be started (the error went to OnError, or was thrown as
    // ESocketException when no handler is attached).
    bool Connect();
    // Queues bytes; returns the length accepted, or -1 (LastError 10057 when not connected).
    int Send(QByteArrayView data);
    int Send(const char* data, int length) { return Send(QByteArrayView(data, length)); }
    // Reads up to length bytes now: the count, 0 at the end of the stream, or -1 with
    // LastError (10035 when nothing is waiting).
    int Receive(char* buffer, int length);
    QByteArray ReceiveStr();
    // Graceful close; raises OnSessionClosed once per connection.
    void Close();
    // Cancels everything and closes at once.
    void Abort();

    // Starts a TLS session on the connected socket, verifying the server's certificate for
    // serverName; OnTlsDone reports the end (0, or 12001 with TlsErrorText). From then on
    // Send and Receive carry plain text through the session.
    void StartTls(const QString& serverName);
    bool TlsActive() const { return m_tls != nullptr; }
    QString TlsErrorText() const { return m_tlsErrorText; }
    QString TlsProtocol() const;

    // Queued bytes not yet handed to the system (for tests and the HTTP client's progress).
    const std::deque<std::unique_ptr<TBuffer>>& SendQueue() const { return m_sendQueue; }
    bool AllSent() const { return m_allSent; }

    void SetOnDnsLookupDone(TSessionEvent handler) { m_onDnsLookupDone = std::move(handler); }
    void SetOnSessionConnected(TSessionEvent handler) { m_onSessionConnected = std::move(handler); }
    void SetOnDataAvailable(TSessionEvent handler) { m_onDataAvailable = std::move(handler); }
    void SetOnDataSent(TSessionEvent handler) { m_onDataSent = std::move(handler); }
    void SetOnSessionClosed(TSessionEvent handler) { m_onSessionClosed = std::move(handler); }
    void SetOnSessionAvailable(TSessionEvent handler) { m_onSessionAvailable = std::move(handler); }
    void SetOnTlsDone(TSessionEvent handler) { m_onTlsDone = std::move(handler); }
    void SetOnError(TNotifyEvent handler) { m_onError = std::move(handler); }
    void SetOnChangeState(TChangeStateEvent handler) { m_onChangeState = std::move(handler); }
    void SetOnBgException(TBgExceptionEvent handler) { m_onBgException = std::move(handler); }
    void SetOnSendData(TSendDataEvent handler) { m_onSendData = std::move(handler); }
    bool HasDataAvailableHandler() const { return bool(m_onDataAvailable); }

private:
    void ResetToDefaults();
    // Reports "Cannot change <property> if not closed" unless the socket is closed.
    bool RefusedUnlessClosed(const char* property);
    void ChangeState(TSocketState newState);
    // Reports text through OnError, or throws ESocketException when no handler is attached.
    void RaiseException(const QString& message);
    // "Error N in function operation"; 10054 and 10057 also close the socket at once.
    void SocketError(const QString& operation);
    void LookupFinished(quint64 lookupId, const http::HostLookupResult& result);
    bool ResolveForConnect(int& protocol, quint16& port, quint32& address);
    void CreateNotifiers();
    void DeleteNotifiers();
    void UpdateWriteNotifier();
    void ReadReady();
    void WriteReady();
    void ConnectDone(int error);
    void DataSentLater();
    void ReceiveLoop(bool singlePass);
    void RemoteClosed(int error);
    // Hands queued bytes to the system; false after an error that closed the socket.
    bool TryToSend();
    void DeleteSocket();
    void InternalClose(bool shutdownFirst);
    void ContinueHandshake();
    void FinishHandshake(int error);
    // Runs an event handler from the event loop: an escaping error goes to OnBgException
    // and then aborts the socket unless the handler vetoes it.
    template <typename Handler> void RunHandler(Handler&& handler);

    int m_fd = -1;
    quint64 m_connectionId = 0; // changes with every socket, so stale later events are dropped
    TSocketState m_state = wsClosed;
    QString m_addr;
    QString m_port;
    QString m_proto = QStringLiteral("tcp");
    bool m_addrAssigned = false;
    bool m_portAssigned = false;
    bool m_protoAssigned = true;
    QString m_localAddr = QStringLiteral("0.0.0.0");
    QString m_localPort = QStringLiteral("0");
    int m_socketType = 1; // SOCK_STREAM
    int m_lastError = 0;
    QString m_errorMessage;
    qint64 m_readCount = 0;
    TSocketLingerOnOff m_lingerOnOff = wsLingerOn;
    int m_lingerTimeout = 0;
    int m_options = 0;
    int m_flushTimeout = 60;
    TSocketSendFlags m_sendFlags = wsSendNormal;
    bool m_multiThreaded = false;
    QString m_socksServer;
    QString m_socksLevel = QStringLiteral("5");
    QString m_socksPort;
    QString m_socksUsercode;
    QString m_socksPassword;
    int m_socksAuthentication = 0;

    QString m_dnsResult;
    QStringList m_dnsResultList;
    http::HostResolver m_resolver;
    quint64 m_lookupId = 0;
    bool m_lookupPending = false;

    std::deque<std::unique_ptr<TBuffer>> m_sendQueue;
    bool m_allSent = true;
    bool m_closeReported = false;
    bool m_destroying = false;

    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;

    std::unique_ptr<http::TlsSession> m_tls;
    bool m_tlsHandshaking = false;
    bool m_tlsHandshakeWantsWrite = false;
    bool m_tlsReadWantsWrite = false;
    bool m_tlsClosed = false;
    bool m_tlsFailed = false;
    QString m_tlsErrorText;

    TSessionEvent m_onDnsLookupDone;
    TSessionEvent m_onSessionConnected;
    TSessionEvent m_onDataAvailable;
    TSessionEvent m_onDataSent;
    TSessionEvent m_onSessionClosed;
    TSessionEvent m_onSessionAvailable;
    TSessionEvent m_onTlsDone;
    TNotifyEvent m_onError;
    TChangeStateEvent m_onChangeState;
    TBgExceptionEvent m_onBgException;
    TSendDataEvent m_onSendData;
};

// A dotted IPv4 address as the socket layer accepts one: optional blanks around exactly
// four decimal groups of at most 255 joined by single dots. The canonical form, or empty.
QString canonicalDottedAddress(const QString& text);

} // namespace kalvento::http
