#include "http/wsocket.h"

#include "http/socket_errors.h"
#include "http/tls_session.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kalvento::http {

using http::socketErrorFromErrno;

// ---------------------------------------------------------------------------------------
// TBuffer

TBuffer::TBuffer(int size) {
    m_data.resize(size <= 0 ? 1514 : size);
}

void TBuffer::SetSize(int size) {
    if (size <= 0)
        size = 1514;
    m_data.resize(size);
    m_wrCount = qMin(m_wrCount, size);
    m_rdCount = qMin(m_rdCount, m_wrCount);
}

int TBuffer::Write(const char* data, int length) {
    const int taken = qBound(0, length, Size() - m_wrCount);
    if (taken > 0)
        memcpy(m_data.data() + m_wrCount, data, size_t(taken));
    m_wrCount += taken;
    return taken;
}

void TBuffer::Remove(int length) {
    m_rdCount = qMin(m_rdCount + qMax(0, length), m_wrCount);
    if (m_rdCount == m_wrCount)
        m_rdCount = m_wrCount = 0;
}

// ---------------------------------------------------------------------------------------
// Helpers

QString canonicalDottedAddress(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && text[end - 1] == QLatin1Char(' '))
        --end;
    const QStringList groups = text.mid(begin, end - begin).split(QLatin1Char('.'));
    if (groups.size() != 4)
        return QString();
    QStringList canonical;
    for (const QString& group : groups) {
        if (group.isEmpty())
            return QString();
        int value = 0;
        for (const QChar c : group) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return QString();
            value = value * 10 + (c.unicode() - '0');
            if (value > 255)
                return QString();
        }
        canonical.append(QString::number(value));
    }
    return canonical.join(QLatin1Char('.'));
}

namespace {

bool startsWithDigit(const QString& text) {
    return !text.isEmpty() && text[0].isDigit();
}

// The leading decimal digits of text, as a number; -1 when there are none or the number
// is too large for a port or protocol.
int leadingNumber(const QString& text, int maximum) {
    int value = 0;
    int digits = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            break;
        value = value * 10 + (c.unicode() - '0');
        ++digits;
        if (value > maximum)
            return -1;
    }
    return digits == 0 ? -1 : value;
}

bool onlyDigitsAndDots(const QString& text) {
    for (const QChar c : text)
        if (!c.isDigit() && c != QLatin1Char('.') && c != QLatin1Char(' '))
            return false;
    return !text.isEmpty();
}

// A connect whose failure the system reports at once on Linux but which the socket reports
// as a later connect event, as it would for a connection that was under way.
bool isLateConnectError(int error) {
    return error == ECONNREFUSED || error == ETIMEDOUT || error == EHOSTUNREACH ||
           error == ECONNRESET || error == EHOSTDOWN;
}

} // namespace

// ---------------------------------------------------------------------------------------
// TWSocket

TWSocket::TWSocket(QObject* owner) : QObject(owner) {
    ResetToDefaults();
}

TWSocket::~TWSocket() {
    m_destroying = true;
    CancelDnsLookup();
    // A close error is not raised while the socket goes (nobody is left to hear of it, and
    // without an OnError handler it would be thrown out of the destructor); an exception a
    // state handler throws now would end the program, so it ends here.
    try {
        if (m_state != wsClosed)
            InternalClose(true);
    } catch (...) {
    }
    DeleteSocket();
}

void TWSocket::ResetToDefaults() {
    m_proto = QStringLiteral("tcp");
    m_protoAssigned = true;
    m_socketType = SOCK_STREAM;
    m_addrAssigned = false;
    m_portAssigned = false;
    m_localPort = QStringLiteral("0");
    m_localAddr = QStringLiteral("0.0.0.0");
    m_lingerOnOff = wsLingerOn;
    m_lingerTimeout = 0;
    m_state = wsClosed;
    m_allSent = true;
    m_readCount = 0;
    m_closeReported = false;
    m_flushTimeout = 60;
}

void TWSocket::ChangeState(TSocketState newState) {
    const TSocketState oldState = m_state;
    m_state = newState;
    if (oldState != newState && m_onChangeState)
        m_onChangeState(this, oldState, newState);
}

void TWSocket::RaiseException(const QString& message) {
    m_errorMessage = message;
    if (m_onError) {
        m_onError(this);
        return;
    }
    throw ESocketException(message);
}

void TWSocket::SocketError(const QString& operation) {
    const int error = m_lastError;
    const QString message = http::socketErrorReport(error, operation);
    if (error == wsa::ConnectionReset || error == wsa::NotConnected) {
        const bool wasOpen = m_state != wsClosed;
        QPointer<TWSocket> self(this);
        DeleteSocket();
        ChangeState(wsClosed);
        if (wasOpen && !m_closeReported && !m_destroying) {
            m_closeReported = true;
            if (m_onSessionClosed)
                m_onSessionClosed(this, quint16(error));
        }
        if (!self)
            return;
    }
    RaiseException(message);
}

template <typename Handler> void TWSocket::RunHandler(Handler&& handler) {
    QPointer<TWSocket> self(this);
    auto background = [&](const std::exception& error) {
        if (!self)
            return;
        bool canClose = true;
        try {
            if (m_onBgException)
                m_onBgException(this, error, canClose);
        } catch (...) {
        }
        if (!self || !canClose)
            return;
        try {
            Abort();
        } catch (...) {
        }
    };
    try {
        handler();
    } catch (const std::exception& error) {
        background(error);
    } catch (...) {
        background(std::runtime_error("unknown exception"));
    }
}

// ---------------------------------------------------------------------------------------
// Properties

bool TWSocket::RefusedUnlessClosed(const char* property) {
    if (m_state == wsClosed)
        return false;
    RaiseException(QStringLiteral("Cannot change %1 if not closed").arg(QLatin1String(property)));
    return true;
}

void TWSocket::SetAddr(const QString& addr) {
    if (RefusedUnlessClosed("Addr"))
        return;
    m_addr = addr.trimmed();
    m_addrAssigned = !m_addr.isEmpty();
}

void TWSocket::SetPort(const QString& port) {
    if (RefusedUnlessClosed("Port"))
        return;
    m_port = port.trimmed();
    m_portAssigned = !m_port.isEmpty();
}

void TWSocket::SetProto(const QString& proto) {
    if (RefusedUnlessClosed("Proto"))
        return;
    m_proto = proto.trimmed();
    m_protoAssigned = !m_proto.isEmpty();
}

void TWSocket::SetLocalAddr(const QString& addr) {
    if (RefusedUnlessClosed("LocalAddr"))
        return;
    m_localAddr = addr.trimmed();
    if (m_localAddr.isEmpty())
        m_localAddr = QStringLiteral("0.0.0.0");
}

void TWSocket::SetLocalPort(const QString& port) {
    if (RefusedUnlessClosed("LocalPort"))
        return;
    m_localPort = port.trimmed();
}

void TWSocket::SetSendFlags(int flags) {
    if (flags != wsSendNormal && flags != wsSendUrgent) {
        RaiseException(QStringLiteral("Invalid SendFlags"));
        return;
    }
    m_sendFlags = TSocketSendFlags(flags);
}

void TWSocket::SetSocksLevel(const QString& level) {
    if (m_state != wsClosed) {
        RaiseException(QStringLiteral("Can't change socks level if not closed"));
        return;
    }
    const QString upper = level.trimmed().toUpper();
    if (upper != QLatin1String("4") && upper != QLatin1String("4A") &&
        upper != QLatin1String("5")) {
        RaiseException(QStringLiteral("Invalid socks level. Must be 4, 4A or 5."));
        return;
    }
    m_socksLevel = upper;
}

qint64 TWSocket::RcvdCount() const {
    if (m_fd < 0)
        return -1;
    int waiting = 0;
    if (::ioctl(m_fd, FIONREAD, &waiting) != 0)
        return -1;
    qint64 count = waiting;
    if (m_tls != nullptr && !m_tlsHandshaking)
        count += m_tls->pending();
    return count;
}

QString TWSocket::TlsProtocol() const {
    return m_tls != nullptr && !m_tlsHandshaking ? m_tls->protocol() : QString();
}

// ---------------------------------------------------------------------------------------
// Host name lookup

void TWSocket::DnsLookup(const QString& host) {
    if (host.isEmpty()) {
        RaiseException(QStringLiteral("DNS lookup: invalid host name."));
        if (m_onDnsLookupDone)
            m_onDnsLookupDone(this, wsa::InvalidArgument);
        return;
    }
    CancelDnsLookup();
    m_dnsResult.clear();
    m_dnsResultList.clear();

    const QString dotted = canonicalDottedAddress(host);
    if (!dotted.isEmpty()) {
        m_dnsResultList.append(dotted);
        m_dnsResult = dotted;
        if (m_onDnsLookupDone)
            m_onDnsLookupDone(this, 0);
        return;
    }

    const quint64 lookupId = ++m_lookupId;
    m_lookupPending = true;
    http::HostResolver resolver = m_resolver ? m_resolver : http::systemHostResolver();
    auto result = std::make_shared<http::HostLookupResult>();
    // The resolver may wait seconds for a DNS server; it runs on a thread of its own and its
    // answer comes back through the event loop. A lookup that is cancelled or outlived by
    // the socket still runs to its end, and its answer is dropped.
    QThread* worker = QThread::create([resolver = std::move(resolver), host, result] {
        try {
            *result = resolver(host);
        } catch (...) {
            *result = {wsa::NoRecovery, {}};
        }
    });
    connect(worker, &QThread::finished, this,
            [this, lookupId, result] { RunHandler([&] { LookupFinished(lookupId, *result); }); });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void TWSocket::LookupFinished(quint64 lookupId, const http::HostLookupResult& result) {
    if (!m_lookupPending || lookupId != m_lookupId)
        return;
    m_lookupPending = false;
    if (result.error == 0 && !result.addresses.isEmpty()) {
        m_dnsResultList = result.addresses;
        m_dnsResult = result.addresses.first();
    }
    const int error = result.error != 0 || !result.addresses.isEmpty() ? result.error : wsa::NoData;
    if (m_onDnsLookupDone)
        m_onDnsLookupDone(this, quint16(error));
}

void TWSocket::CancelDnsLookup() {
    if (!m_lookupPending)
        return;
    m_lookupPending = false;
    ++m_lookupId;
    if (!m_destroying && m_onDnsLookupDone)
        m_onDnsLookupDone(this, wsa::Interrupted);
}

// ---------------------------------------------------------------------------------------
// Connecting

bool TWSocket::ResolveForConnect(int& protocol, quint16& port, quint32& address) {
    auto fail = [this](const QString& message) {
        if (m_lastError == 0)
            m_lastError = wsa::InvalidArgument;
        RaiseException(QStringLiteral("connect: ") + message);
        return false;
    };
    m_lastError = 0;

    // Protocol: a number, or a name (the two common ones need no protocols file).
    QString protoName;
    if (startsWithDigit(m_proto)) {
        protocol = leadingNumber(m_proto, 255);
        if (protocol < 0)
            return fail(QStringLiteral("WSocketResolveProto: Invalid Protocol."));
        protoName = protocol == IPPROTO_UDP ? QStringLiteral("udp") : QStringLiteral("tcp");
    } else {
        if (m_proto.isEmpty() || m_proto.size() >= 32)
            return fail(QStringLiteral("WSocketResolveProto: Invalid Protocol."));
        protoName = m_proto.toLower();
        if (protoName == QLatin1String("tcp")) {
            protocol = IPPROTO_TCP;
        } else if (protoName == QLatin1String("udp")) {
            protocol = IPPROTO_UDP;
        } else {
            const protoent* entry = ::getprotobyname(protoName.toLatin1().constData());
            if (entry == nullptr)
                return fail(
                    QStringLiteral("WSocketResolveProto: Cannot convert protocol '%1', Error #%2")
                        .arg(m_proto)
                        .arg(socketErrorFromErrno(errno)));
            protocol = entry->p_proto;
        }
    }

    // Port: a number, or a service name of that protocol.
    if (m_port.isEmpty() || m_port.size() >= 32)
        return fail(QStringLiteral("WSocketResolvePort: Invalid Port."));
    if (startsWithDigit(m_port)) {
        const int number = leadingNumber(m_port, 65535);
        if (number < 0)
            return fail(QStringLiteral("WSocketResolvePort: Invalid Port."));
        port = quint16(number);
    } else {
        const servent* entry =
            ::getservbyname(m_port.toLatin1().constData(), protoName.toLatin1().constData());
        if (entry == nullptr)
            return fail(QStringLiteral("WSocketResolvePort: Cannot convert port '%1', Error #%2")
                            .arg(m_port)
                            .arg(wsa::InvalidArgument));
        port = ntohs(quint16(entry->s_port));
    }

    // Address: dotted, or a name resolved here (the HTTP client always hands a dotted one).
    if (onlyDigitsAndDots(m_addr)) {
        const QString dotted = canonicalDottedAddress(m_addr);
        in_addr parsed{};
        if (dotted.isEmpty() || inet_pton(AF_INET, dotted.toLatin1().constData(), &parsed) != 1)
            return fail(QStringLiteral("WSocketResolveHost: '%1' Invalid IP address.").arg(m_addr));
        address = parsed.s_addr;
    } else {
        if (m_addr.isEmpty() || m_addr.size() > 256)
            return fail(QStringLiteral("WSocketResolveHost: '%1' Invalid Hostname.").arg(m_addr));
        const http::HostResolver resolver = m_resolver ? m_resolver : http::systemHostResolver();
        const http::HostLookupResult found = resolver(m_addr);
        in_addr parsed{};
        if (found.error != 0 || found.addresses.isEmpty() ||
            inet_pton(AF_INET, found.addresses.first().toLatin1().constData(), &parsed) != 1) {
            m_lastError = found.error != 0 ? found.error : wsa::NoData;
            return fail(
                QStringLiteral("WSocketResolveHost: Cannot convert host address '%1', Error #%2")
                    .arg(m_addr)
                    .arg(m_lastError));
        }
        address = parsed.s_addr;
    }
    return true;
}

bool TWSocket::Connect() {
    m_lastError = 0;
    if (m_fd >= 0 && m_state != wsClosed) {
        RaiseException(QStringLiteral("Connect: Socket already in use"));
        return false;
    }
    if (!m_portAssigned) {
        RaiseException(QStringLiteral("Connect: No Port Specified"));
        return false;
    }
    if (!m_addrAssigned) {
        RaiseException(QStringLiteral("Connect: No IP Address Specified"));
        return false;
    }
    if (!m_protoAssigned) {
        RaiseException(QStringLiteral("Connect: No Protocol Specified"));
        return false;
    }
    if (!m_socksServer.isEmpty()) {
        m_lastError = wsa::InvalidArgument;
        RaiseException(
            QStringLiteral("connect: connections through a SOCKS server are not supported"));
        return false;
    }
    int protocol = 0;
    quint16 port = 0;
    quint32 address = 0;
    if (!ResolveForConnect(protocol, port, address))
        return false;

    m_sendQueue.clear();
    m_allSent = true;
    DeleteSocket();
    m_socketType = protocol == IPPROTO_TCP   ? SOCK_STREAM
                   : protocol == IPPROTO_UDP ? SOCK_DGRAM
                                             : SOCK_RAW;
    m_fd = ::socket(AF_INET, m_socketType | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (m_fd < 0) {
        m_lastError = socketErrorFromErrno(errno);
        SocketError(QStringLiteral("Connect (socket)"));
        return false;
    }
    ++m_connectionId;
    m_closeReported = false;
    m_readCount = 0;
    ChangeState(wsOpened);
    if (m_state != wsOpened) {
        m_lastError = wsa::InvalidArgument;
        SocketError(QStringLiteral("Connect (Invalid operation in OnChangeState)"));
        return false;
    }

    auto setOption = [this](int level, int name, const void* value, socklen_t size,
                            const char* operation) {
        if (::setsockopt(m_fd, level, name, value, size) == 0)
            return true;
        m_lastError = socketErrorFromErrno(errno);
        SocketError(QString::fromLatin1(operation));
        return false;
    };
    if (m_socketType == SOCK_STREAM) {
        const int on = 1;
        if (!setOption(SOL_SOCKET, SO_REUSEADDR, &on, sizeof on, "setsockopt(SO_REUSEADDR)"))
            return false;
        if ((m_options & wsoTcpNoDelay) != 0 && !setOption(IPPROTO_TCP, TCP_NODELAY, &on, sizeof on,
                                                           "setsockopt(IPPROTO_TCP, TCP_NODELAY)"))
            return false;
        if (m_lingerOnOff != wsLingerNoSet) {
            const linger value{m_lingerOnOff == wsLingerOn ? 1 : 0, m_lingerTimeout};
            if (!setOption(SOL_SOCKET, SO_LINGER, &value, sizeof value, "setsockopt(SO_LINGER)"))
                return false;
        }
        if (!setOption(SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on, "setsockopt(SO_KEEPALIVE)"))
            return false;
    }
    if (m_localPort != QLatin1String("0") || m_localAddr != QLatin1String("0.0.0.0")) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        const int localPort = m_localPort.isEmpty() ? 0 : leadingNumber(m_localPort, 65535);
        const QString localAddr = canonicalDottedAddress(m_localAddr);
        if (localPort < 0 || localAddr.isEmpty() ||
            inet_pton(AF_INET, localAddr.toLatin1().constData(), &local.sin_addr) != 1) {
            m_lastError = wsa::InvalidArgument;
            RaiseException(QStringLiteral("winsock.bind failed, error #%1").arg(m_lastError));
            return false;
        }
        local.sin_port = htons(quint16(localPort));
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            m_lastError = socketErrorFromErrno(errno);
            RaiseException(QStringLiteral("winsock.bind failed, error #%1").arg(m_lastError));
            return false;
        }
        socklen_t size = sizeof local;
        if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
            m_lastError = socketErrorFromErrno(errno);
            RaiseException(
                QStringLiteral("winsock.getsockname failed, error #%1").arg(m_lastError));
            return false;
        }
        m_localPort = QString::number(ntohs(local.sin_port));
    }

    CreateNotifiers();

    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = address;
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0 ||
        errno == EINPROGRESS) {
        ChangeState(wsConnecting);
        UpdateWriteNotifier();
        return true;
    }
    const int error = errno;
    if (isLateConnectError(error)) {
        ChangeState(wsConnecting);
        m_writeNotifier->setEnabled(false);
        const quint64 connection = m_connectionId;
        const int mapped = socketErrorFromErrno(error);
        QMetaObject::invokeMethod(
            this,
            [this, connection, mapped] {
                if (connection == m_connectionId && m_fd >= 0)
                    RunHandler([&] { ConnectDone(mapped); });
            },
            Qt::QueuedConnection);
        return true;
    }
    m_lastError = socketErrorFromErrno(error);
    SocketError(QStringLiteral("Connect"));
    return false;
}

void TWSocket::CreateNotifiers() {
    DeleteNotifiers();
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    m_readNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, [this] { ReadReady(); });
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { WriteReady(); });
}

void TWSocket::DeleteNotifiers() {
    // Deleted later: a notifier may be the one whose activation is running now.
    for (QSocketNotifier** notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (*notifier == nullptr)
            continue;
        (*notifier)->setEnabled(false);
        (*notifier)->disconnect(this);
        (*notifier)->deleteLater();
        *notifier = nullptr;
    }
}

void TWSocket::UpdateWriteNotifier() {
    if (m_writeNotifier == nullptr)
        return;
    const bool wanted = m_state == wsConnecting || m_tlsReadWantsWrite || !m_allSent ||
                        (m_tlsHandshaking && m_tlsHandshakeWantsWrite);
    m_writeNotifier->setEnabled(wanted);
}

void TWSocket::ConnectDone(int error) {
    QPointer<TWSocket> self(this);
    const quint64 connection = m_connectionId;
    if (m_state != wsConnected) {
        ChangeState(wsConnected);
        if (error == 0 && m_readNotifier != nullptr)
            m_readNotifier->setEnabled(true);
        UpdateWriteNotifier();
        if (m_onSessionConnected)
            m_onSessionConnected(this, quint16(error));
        if (!self || connection != m_connectionId)
            return;
    }
    if (error != 0 && m_state != wsClosed)
        Close();
}

// ---------------------------------------------------------------------------------------
// Readiness

void TWSocket::ReadReady() {
    if (m_fd < 0)
        return;
    RunHandler([&] {
        if (m_tlsHandshaking) {
            ContinueHandshake();
            return;
        }
        if (m_state == wsConnecting)
            return; // the connect's result comes with write readiness
        if (m_tls != nullptr && !m_allSent && !TryToSend())
            return;
        QPointer<TWSocket> self(this);
        const quint64 connection = m_connectionId;
        if (RcvdCount() > 0) {
            ReceiveLoop(false);
        } else {
            // Readable with nothing to read: the end of the stream, or an error.
            char probe = 0;
            const ssize_t peeked = ::recv(m_fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (peeked > 0) {
                ReceiveLoop(false);
            } else if (peeked == 0) {
                RemoteClosed(0);
                return;
            } else if (errno != EAGAIN && errno != EINTR) {
                RemoteClosed(socketErrorFromErrno(errno));
                return;
            }
        }
        if (!self || connection != m_connectionId || m_fd < 0)
            return;
        // Under TLS the session can end (or fail) with the raw socket still open.
        if (m_tls != nullptr && (m_tlsClosed || m_tlsFailed) && RcvdCount() <= 0)
            RemoteClosed(m_tlsFailed ? wsa::SecureChannelFailed : 0);
    });
}

void TWSocket::WriteReady() {
    if (m_fd < 0)
        return;
    RunHandler([&] {
        if (m_tlsHandshaking) {
            ContinueHandshake();
            return;
        }
        if (m_state == wsConnecting) {
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
            ConnectDone(socketErrorFromErrno(error));
            return;
        }
        if (m_tlsReadWantsWrite) {
            m_tlsReadWantsWrite = false;
            UpdateWriteNotifier();
            ReceiveLoop(false);
            return;
        }
        if (!TryToSend())
            return;
        UpdateWriteNotifier();
        if (m_allSent && m_onDataSent)
            m_onDataSent(this, 0);
    });
}

void TWSocket::DataSentLater() {
    RunHandler([&] {
        if (!TryToSend())
            return;
        UpdateWriteNotifier();
        if (m_allSent && m_onDataSent)
            m_onDataSent(this, 0);
    });
}

void TWSocket::ReceiveLoop(bool singlePass) {
    QPointer<TWSocket> self(this);
    const quint64 connection = m_connectionId;
    const qint64 start = m_readCount;
    for (;;) {
        m_lastError = 0;
        const qint64 before = m_readCount;
        if (m_onDataAvailable) {
            // An error of the data handler ends the loop and goes nowhere else.
            try {
                m_onDataAvailable(this, 0);
            } catch (...) {
                return;
            }
        } else {
            char discard[1024];
            if (Receive(discard, sizeof discard) < 0 && m_lastError == wsa::WouldBlock)
                return;
        }
        if (!self || connection != m_connectionId || m_fd < 0)
            return;
        if (singlePass || (m_options & wsoNoReceiveLoop) != 0)
            return;
        if (m_lastError != 0)
            return;
        if (RcvdCount() <= 0)
            return;
        // A handler that read nothing gets the rest at the next readiness report instead of
        // being called here for ever.
        if (m_readCount == before)
            return;
        // A server that sends faster than the handler reads would keep this loop going for
        // as long as it likes: after a budget the rest waits for the next readiness report,
        // so the event loop runs between the two. Under TLS, decrypted bytes already taken
        // from the socket raise no readiness of their own, so they are called for later.
        if (m_readCount - start >= kReceiveBudget) {
            if (m_tls != nullptr && m_tls->pending() > 0)
                QMetaObject::invokeMethod(
                    this,
                    [this, connection] {
                        if (connection == m_connectionId && m_fd >= 0)
                            ReadReady();
                    },
                    Qt::QueuedConnection);
            return;
        }
    }
}

void TWSocket::RemoteClosed(int error) {
    QPointer<TWSocket> self(this);
    const quint64 connection = m_connectionId;
    ReceiveLoop(false);
    if (!self || connection != m_connectionId)
        return;
    if (!m_closeReported) {
        m_closeReported = true;
        if (m_onSessionClosed)
            m_onSessionClosed(this, quint16(error));
        if (!self || connection != m_connectionId)
            return;
    }
    if (m_state != wsClosed)
        Close();
}

// ---------------------------------------------------------------------------------------
// Sending and receiving

int TWSocket::Send(QByteArrayView data) {
    if (m_state != wsConnected) {
        m_lastError = wsa::NotConnected;
        SocketError(QStringLiteral("Send"));
        return -1;
    }
    if (data.isEmpty())
        return 0;
    const char* bytes = data.data();
    qsizetype remaining = data.size();
    while (remaining > 0) {
        if (m_sendQueue.empty() || m_sendQueue.back()->WrCount() == m_sendQueue.back()->Size())
            m_sendQueue.push_back(std::make_unique<TBuffer>(kSendBlockSize));
        const int taken =
            m_sendQueue.back()->Write(bytes, int(qMin<qsizetype>(remaining, kSendBlockSize)));
        bytes += taken;
        remaining -= taken;
    }
    m_allSent = false;
    const quint64 connection = m_connectionId;
    if (!TryToSend())
        return int(data.size());
    UpdateWriteNotifier();
    if (m_allSent) {
        // OnDataSent is always a later event, never raised inside Send.
        QMetaObject::invokeMethod(
            this,
            [this, connection] {
                if (connection == m_connectionId && m_fd >= 0 && m_state == wsConnected)
                    DataSentLater();
            },
            Qt::QueuedConnection);
    }
    return int(data.size());
}

bool TWSocket::TryToSend() {
    if (m_fd < 0)
        return false;
    if (m_tlsHandshaking)
        return true; // the queue goes once the session is up
    while (!m_sendQueue.empty()) {
        TBuffer& block = *m_sendQueue.front();
        const QByteArrayView bytes = block.Peek();
        if (bytes.isEmpty()) {
            if (m_sendQueue.size() > 1) {
                m_sendQueue.pop_front();
                continue;
            }
            break;
        }
        qint64 sent = 0;
        int error = 0;
        if (m_tls != nullptr) {
            const http::TlsSession::Io io = m_tls->write(bytes.data(), bytes.size());
            if (io.status == http::TlsSession::Status::Ok)
                sent = io.count;
            else if (io.status == http::TlsSession::Status::WantRead ||
                     io.status == http::TlsSession::Status::WantWrite)
                error = wsa::WouldBlock;
            else
                error = wsa::ConnectionReset;
        } else {
            const int flags = MSG_NOSIGNAL | (m_sendFlags == wsSendUrgent ? MSG_OOB : 0);
            const ssize_t n = ::send(m_fd, bytes.data(), size_t(bytes.size()), flags);
            if (n < 0)
                error = socketErrorFromErrno(errno);
            else
                sent = n;
        }
        if (error == wsa::WouldBlock)
            return true; // the rest goes at the next write readiness
        if (error != 0) {
            m_lastError = error;
            if (error == wsa::InvalidArgument || error == wsa::NotSocket ||
                error == wsa::ConnectionAborted || error == wsa::ConnectionReset ||
                error == wsa::NotConnected) {
                QPointer<TWSocket> self(this);
                m_closeReported = true;
                Close();
                if (self && m_onSessionClosed)
                    m_onSessionClosed(this, quint16(error));
                return false;
            }
            SocketError(QStringLiteral("TryToSend failed"));
            return false;
        }
        if (m_onSendData && sent > 0)
            m_onSendData(this, int(sent));
        block.Remove(int(sent));
        if (sent < bytes.size())
            return true;
    }
    m_allSent =
        m_sendQueue.empty() || (m_sendQueue.size() == 1 && m_sendQueue.front()->Peek().isEmpty());
    return true;
}

int TWSocket::Receive(char* buffer, int length) {
    if (m_fd < 0) {
        m_lastError = wsa::NotConnected;
        return -1;
    }
    if (m_tls != nullptr) {
        if (m_tlsHandshaking) {
            m_lastError = wsa::WouldBlock;
            return -1;
        }
        const http::TlsSession::Io io = m_tls->read(buffer, length);
        switch (io.status) {
        case http::TlsSession::Status::Ok:
            m_readCount += io.count;
            return int(io.count);
        case http::TlsSession::Status::WantWrite:
            m_tlsReadWantsWrite = true;
            UpdateWriteNotifier();
            m_lastError = wsa::WouldBlock;
            return -1;
        case http::TlsSession::Status::WantRead:
            m_lastError = wsa::WouldBlock;
            return -1;
        case http::TlsSession::Status::Closed:
            m_tlsClosed = true;
            return 0;
        case http::TlsSession::Status::Failed:
            m_tlsFailed = true;
            m_tlsErrorText = m_tls->errorText();
            m_lastError = wsa::SecureChannelFailed;
            return -1;
        }
    }
    const ssize_t received = ::recv(m_fd, buffer, size_t(qMax(0, length)), 0);
    if (received < 0) {
        m_lastError = socketErrorFromErrno(errno);
        return -1;
    }
    m_readCount += received;
    return int(received);
}

QByteArray TWSocket::ReceiveStr() {
    const qint64 waiting = RcvdCount();
    if (waiting <= 0)
        return QByteArray();
    QByteArray data(waiting, Qt::Uninitialized);
    const int received = Receive(data.data(), int(waiting));
    data.resize(qMax(0, received));
    return data;
}

// ---------------------------------------------------------------------------------------
// Closing

void TWSocket::DeleteSocket() {
    DeleteNotifiers();
    m_tls.reset();
    m_tlsHandshaking = false;
    m_tlsHandshakeWantsWrite = false;
    m_tlsReadWantsWrite = false;
    m_tlsClosed = false;
    m_tlsFailed = false;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        ++m_connectionId;
    }
}

void TWSocket::InternalClose(bool shutdownFirst) {
    if (m_fd < 0) {
        if (m_state != wsClosed) {
            ChangeState(wsClosed);
            ResetToDefaults();
        }
        return;
    }
    if (m_state == wsClosed)
        return;
    if (shutdownFirst) {
        if (m_tls != nullptr && !m_tlsHandshaking && !m_tlsFailed)
            m_tls->shutdown();
        ::shutdown(m_fd, SHUT_WR);
    }
    DeleteNotifiers();
    m_tls.reset();
    const int result = ::close(m_fd);
    const int closeError = result != 0 ? socketErrorFromErrno(errno) : 0;
    m_fd = -1;
    const quint64 connection = ++m_connectionId;
    m_tlsHandshaking = m_tlsHandshakeWantsWrite = m_tlsReadWantsWrite = false;
    m_tlsClosed = m_tlsFailed = false;
    QPointer<TWSocket> self(this);
    ChangeState(wsClosed);
    if (!self)
        return;
    if (!m_destroying && !m_closeReported) {
        m_closeReported = true;
        if (m_onSessionClosed)
            m_onSessionClosed(this, 0);
        if (!self)
            return;
    }
    // A handler that opened a new connection keeps it.
    if (connection == m_connectionId && m_state == wsClosed)
        ResetToDefaults();
    if (closeError != 0 && closeError != wsa::Interrupted && !m_destroying) {
        m_lastError = closeError;
        SocketError(QStringLiteral("Disconnect (closesocket)"));
    }
}

void TWSocket::Close() {
    InternalClose(true);
}

void TWSocket::Abort() {
    CancelDnsLookup();
    m_sendQueue.clear();
    m_allSent = true;
    if (m_fd >= 0 && m_socketType == SOCK_STREAM && m_state == wsConnected) {
        m_lingerOnOff = wsLingerOff;
        const linger value{0, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
    }
    InternalClose(false);
}

// ---------------------------------------------------------------------------------------
// TLS

void TWSocket::StartTls(const QString& serverName) {
    if (m_fd < 0 || m_state != wsConnected) {
        m_lastError = wsa::NotConnected;
        SocketError(QStringLiteral("StartTls"));
        return;
    }
    if (m_tls != nullptr) {
        RaiseException(QStringLiteral("StartTls: TLS is already active"));
        return;
    }
    m_tlsErrorText.clear();
    QString error;
    m_tls = http::TlsSession::create(m_fd, serverName, &error);
    const quint64 connection = m_connectionId;
    if (m_tls == nullptr) {
        m_tlsErrorText = error;
        QMetaObject::invokeMethod(
            this,
            [this, connection] {
                if (connection == m_connectionId)
                    RunHandler([&] { FinishHandshake(wsa::SecureChannelFailed); });
            },
            Qt::QueuedConnection);
        return;
    }
    m_tlsHandshaking = true;
    m_tlsHandshakeWantsWrite = true;
    UpdateWriteNotifier();
}

void TWSocket::ContinueHandshake() {
    switch (m_tls->handshake()) {
    case http::TlsSession::Status::Ok: {
        m_tlsHandshaking = false;
        m_tlsHandshakeWantsWrite = false;
        UpdateWriteNotifier();
        QPointer<TWSocket> self(this);
        const quint64 connection = m_connectionId;
        FinishHandshake(0);
        // Bytes the session read along with the handshake raise no readiness of their own.
        if (self && connection == m_connectionId && m_tls != nullptr && m_tls->pending() > 0)
            QMetaObject::invokeMethod(
                this,
                [this, connection] {
                    if (connection == m_connectionId && m_fd >= 0)
                        RunHandler([&] { ReceiveLoop(false); });
                },
                Qt::QueuedConnection);
        return;
    }
    case http::TlsSession::Status::WantRead:
        m_tlsHandshakeWantsWrite = false;
        UpdateWriteNotifier();
        return;
    case http::TlsSession::Status::WantWrite:
        m_tlsHandshakeWantsWrite = true;
        UpdateWriteNotifier();
        return;
    case http::TlsSession::Status::Closed:
    case http::TlsSession::Status::Failed:
        m_tlsErrorText = m_tls->errorText();
        if (m_tlsErrorText.isEmpty())
            m_tlsErrorText =
                QStringLiteral("the server ended the connection during the TLS exchange");
        m_tls.reset();
        m_tlsHandshaking = false;
        m_tlsHandshakeWantsWrite = false;
        UpdateWriteNotifier();
        FinishHandshake(wsa::SecureChannelFailed);
        return;
    }
}

void TWSocket::FinishHandshake(int error) {
    if (error != 0)
        m_lastError = error;
    if (m_onTlsDone)
        m_onTlsDone(this, quint16(error));
}

} // namespace kalvento::http
