#include "http/http_client.h"

#include "http/socket_errors.h"
#include "platform/text_codec.h"

#include <QEventLoop>
#include <QIODevice>
#include <QPointer>

#include <cctype>
#include <cstring>

namespace kalvento::http {

namespace {

QString errorWithNumber(int error) {
    return QStringLiteral("%1 (Error #%2)").arg(http::WSocketErrorDesc(error)).arg(error);
}

bool isHttps(const QString& scheme) {
    return scheme == QLatin1String("https");
}

} // namespace

QString RFC1123Date(const QDateTime& dateTime) {
    static const char* const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate date = dateTime.date();
    const QTime time = dateTime.time();
    return QString::asprintf("%s, %2.2d %s %4.4d %2.2d:%2.2d:%2.2d", days[date.dayOfWeek() - 1],
                             date.day(), months[date.month() - 1], date.year(), time.hour(),
                             time.minute(), time.second());
}

THttpCli::THttpCli(QObject* owner) : QObject(owner), m_socket(new TWSocket(this)) {
    m_idleTimer.setSingleShot(true);
    connect(&m_idleTimer, &QTimer::timeout, this, &THttpCli::IdleTimeout);
    m_deadlineTimer.setSingleShot(true);
    connect(&m_deadlineTimer, &QTimer::timeout, this, &THttpCli::DeadlinePassed);
    connect(&m_rateTimer, &QTimer::timeout, this, &THttpCli::RateWindowEnded);
    m_socket->SetOnDnsLookupDone([this](TWSocket*, quint16 error) { SocketDnsLookupDone(error); });
    m_socket->SetOnSessionConnected(
        [this](TWSocket*, quint16 error) { SocketSessionConnected(error); });
    m_socket->SetOnDataAvailable([this](TWSocket*, quint16 error) { SocketDataAvailable(error); });
    m_socket->SetOnDataSent([this](TWSocket*, quint16 error) { SocketDataSent(error); });
    m_socket->SetOnSessionClosed([this](TWSocket*, quint16 error) { SocketSessionClosed(error); });
    m_socket->SetOnTlsDone([this](TWSocket*, quint16 error) { SocketTlsDone(error); });
    m_socket->SetOnError([this](TWSocket* socket) {
        if (m_onSocketError)
            m_onSocketError(this, socket);
    });
}

THttpCli::~THttpCli() {
    *m_alive = false;
    if (m_syncLoop != nullptr)
        m_syncLoop->quit();
    delete m_socket;
}

void THttpCli::SetMultiThreaded(bool value) {
    m_multiThreaded = value;
    m_socket->SetMultiThreaded(value);
}

void THttpCli::SetState(THttpState state) {
    if (state == m_state)
        return;
    m_state = state;
    if (m_onStateChange)
        m_onStateChange(this);
    if (state == httpReady && m_syncLoop != nullptr)
        m_syncLoop->quit();
}

void THttpCli::Post(Step step) {
    const quint64 request = m_requestId;
    QMetaObject::invokeMethod(
        this, [this, step, request] { RunStep(step, request); }, Qt::QueuedConnection);
}

void THttpCli::RunStep(Step step, quint64 request) {
    if (request != m_requestId)
        return;
    switch (step) {
    case Step::ReturnToReady:
        SetState(httpReady);
        Post(Step::RequestDone);
        return;
    case Step::RequestDone:
        if (m_onRequestDone)
            m_onRequestDone(this, m_requestKind, m_doneError);
        return;
    case Step::Relocate:
        if (!m_finished && m_state != httpReady)
            StartLookup();
        return;
    }
}

// ---------------------------------------------------------------------------------------
// Starting and ending a request

void THttpCli::RequestSync(THttpRequest kind) {
    StartRequest(kind);
    if (m_state != httpReady) {
        // A local event loop that ends when the request returns to ready: the window's
        // events, timers and its Abort button run meanwhile, and nothing spins.
        QEventLoop loop;
        m_syncLoop = &loop;
        const std::shared_ptr<bool> alive = m_alive;
        loop.exec();
        if (!*alive)
            throw EHttpException(QStringLiteral("Connection aborted on request"), 404);
        m_syncLoop = nullptr;
    }
    if (m_responseCode > 399)
        throw EHttpException(m_responseText, m_responseCode);
}

void THttpCli::StartRequest(THttpRequest kind) {
    if (m_state != httpReady)
        throw EHttpException(QStringLiteral("HTTP component is busy"), 1);
    if (kind == httpPOST && m_postStream == nullptr)
        throw EHttpException(QStringLiteral("HTTP component has nothing to post"), 2);

    // A connection the last request left to the server to close (a response of length 0)
    // goes now; its close belongs to the ended request and is not reported.
    if (m_socket->State() != wsClosed)
        m_socket->Abort();

    ++m_requestId;
    m_finished = false;
    m_failed = false;
    m_closed = ClosedHandler::Normal;
    SetState(httpNotConnected);
    m_requestKind = kind;
    m_receivedHeader.clear();
    m_doneError = 0;
    m_documentName.clear();
    m_responseCode = 0;
    m_receivedBytes = 0;
    m_sentBytes = 0;
    m_headerLines = 0;
    m_headerBytes = 0;
    m_bodyChunks = 0;
    m_responseLength = -1;
    m_responseType.clear();
    m_chunked = false;
    m_transferEncoding.clear();
    m_bytesFromServer = 0;
    m_bytesAtWindowStart = 0;
    m_allowedToSend = false;
    m_currentLocation = m_url;
    m_buffer.clear();
    m_inHeader = false;
    m_headerEnded = false;
    m_locationPending = false;
    m_relocations = 0;
    m_tunnelUp = false;
    m_next = LineHandler::Header;

    const TUrlParts url = ParseURL(m_url);
    m_scheme = url.Proto.isEmpty() ? QStringLiteral("http") : url.Proto;
    m_hostName = url.Host;
    m_targetPort = url.Port;
    if (!url.User.isEmpty())
        m_username = url.User;
    if (!url.Pass.isEmpty())
        m_password = url.Pass;
    m_useProxy = !m_proxy.isEmpty();
    const bool tls = isHttps(m_scheme);
    if (!m_useProxy) {
        m_connectHost = url.Host;
        m_connectPort = !url.Port.isEmpty() ? url.Port
                        : tls               ? QStringLiteral("443")
                                            : QStringLiteral("80");
        m_path = url.Path;
    } else {
        // Through a proxy a plain request names the whole URL; an https one goes through a
        // tunnel to the server and names only the path, as a direct one does.
        m_path = tls ? url.Path
                     : m_scheme + QStringLiteral("://") + url.Host +
                           (url.Port.isEmpty() ? QString() : QStringLiteral(":") + url.Port) +
                           url.Path;
        const TUrlParts proxy = ParseURL(m_proxy);
        m_connectHost = proxy.Host;
        m_proxyOwnPort = proxy.Port;
        m_connectPort = proxy.Port.isEmpty() ? m_proxyPort : proxy.Port;
    }
    if (m_path.isEmpty())
        m_path = QStringLiteral("/");
    ComputeDocumentName(url.Path);
    // The idle timer alone lets a server that sends a byte now and then hold a request for
    // ever: the deadline and the rate window run from here to the end, relocations included.
    if (m_deadline > 0)
        m_deadlineTimer.start(m_deadline * 1000);
    else
        m_deadlineTimer.stop();
    if (m_minimumRate > 0 && m_rateWindow > 0)
        m_rateTimer.start(m_rateWindow * 1000);
    else
        m_rateTimer.stop();
    StartLookup();
}

void THttpCli::StartLookup() {
    SetState(httpDnsLookup);
    RestartIdleTimer();
    try {
        m_socket->SetLocalAddr(m_localAddr);
        m_socket->DnsLookup(m_connectHost);
    } catch (const std::exception& error) {
        if (m_finished)
            return;
        m_responseCode = 404;
        m_responseText = QString::fromUtf8(error.what());
        m_failed = true;
        NormalClosed(0);
    }
}

void THttpCli::Fail(int doneError, const QString& text) {
    m_doneError = quint16(doneError);
    m_responseCode = 404;
    m_responseText = text;
    m_failed = true;
}

void THttpCli::FailAndClose(int doneError, const QString& text) {
    Fail(doneError, text);
    m_closed = ClosedHandler::Normal;
    m_next = LineHandler::Discard;
    m_socket->Abort();
    if (!m_finished)
        NormalClosed(0);
}

void THttpCli::EndRequest() {
    if (m_finished)
        return;
    m_finished = true;
    m_idleTimer.stop();
    m_deadlineTimer.stop();
    m_rateTimer.stop();
    m_allowedToSend = false;
    m_next = LineHandler::Discard;
    Post(Step::ReturnToReady);
}

void THttpCli::RestartIdleTimer() {
    if (m_timeout > 0)
        m_idleTimer.start(m_timeout * 1000);
    else
        m_idleTimer.stop();
}

void THttpCli::IdleTimeout() {
    FailTimedOut(errorWithNumber(wsa::TimedOut));
}

void THttpCli::DeadlinePassed() {
    FailTimedOut(QStringLiteral("%1: no whole answer within %2 s (Error #%3)")
                     .arg(http::WSocketErrorDesc(wsa::TimedOut))
                     .arg(m_deadline)
                     .arg(wsa::TimedOut));
}

void THttpCli::RateWindowEnded() {
    const qint64 received = m_bytesFromServer - m_bytesAtWindowStart;
    const qint64 needed = qint64(m_minimumRate) * m_rateWindow;
    if (received >= needed) {
        m_bytesAtWindowStart = m_bytesFromServer;
        return;
    }
    FailTimedOut(QStringLiteral("Transfer too slow: %1 bytes in %2 s, at least %3 needed "
                                "(Error #%4)")
                     .arg(received)
                     .arg(m_rateWindow)
                     .arg(needed)
                     .arg(wsa::TimedOut));
}

void THttpCli::FailTimedOut(const QString& text) {
    if (m_finished)
        return;
    Fail(wsa::TimedOut, text);
    m_closed = ClosedHandler::Normal;
    m_next = LineHandler::Discard;
    m_socket->CancelDnsLookup();
    m_socket->Abort();
    if (!m_finished)
        NormalClosed(0);
}

void THttpCli::Abort() {
    if (m_state == httpReady) {
        if (m_socket->State() != wsClosed)
            m_socket->Close();
        return;
    }
    SetState(httpAborting);
    const bool lookupRunning = m_socket->DnsLookupPending();
    if (lookupRunning) {
        try {
            m_socket->CancelDnsLookup();
        } catch (...) {
        }
    }
    Fail(httperr::Aborted, QStringLiteral("Connection aborted on request"));
    m_closed = ClosedHandler::Normal;
    if (lookupRunning) {
        NormalClosed(0);
    } else {
        m_socket->Close();
        if (!m_finished) // the socket was closed already (between a relocation and its restart)
            NormalClosed(0);
    }
    SetState(httpReady);
}

// ---------------------------------------------------------------------------------------
// Socket events

void THttpCli::SocketDnsLookupDone(quint16 error) {
    if (m_finished || m_state == httpAborting || m_failed)
        return;
    if (error != 0) {
        m_doneError = error;
        Fail(error, QStringLiteral("can't resolve hostname to IP address"));
        NormalClosed(error);
        return;
    }
    SetState(httpDnsLookupDone);
    RestartIdleTimer();
    m_socket->SetAddr(m_socket->DnsResult());
    m_socket->SetLocalAddr(m_localAddr);
    m_socket->SetPort(m_connectPort);
    m_socket->SetProto(QStringLiteral("tcp"));
    bool started = false;
    try {
        started = m_socket->Connect();
    } catch (const std::exception&) {
        started = false;
    }
    if (started || m_finished)
        return;
    const int lastError = m_socket->LastError();
    Fail(lastError, QStringLiteral("can't connect: ") + errorWithNumber(lastError));
    m_socket->Close();
    if (!m_finished)
        NormalClosed(0);
}

void THttpCli::SocketSessionConnected(quint16 error) {
    if (m_finished)
        return;
    if (error != 0) {
        Fail(error, errorWithNumber(error));
        NormalClosed(error);
        return;
    }
    SetState(httpConnected);
    RestartIdleTimer();
    const std::shared_ptr<bool> alive = m_alive;
    if (m_onSessionConnected)
        m_onSessionConnected(this);
    if (!*alive || m_finished)
        return;
    if (isHttps(m_scheme) && m_useProxy && !m_tunnelUp)
        SendTunnelRequest();
    else if (isHttps(m_scheme))
        m_socket->StartTls(m_hostName);
    else
        SendRequest();
}

void THttpCli::SocketTlsDone(quint16 error) {
    if (m_finished)
        return;
    if (error != 0) {
        Fail(error, QStringLiteral("%1: %2 (Error #%3)")
                        .arg(http::WSocketErrorDesc(error), m_socket->TlsErrorText())
                        .arg(error));
        m_closed = ClosedHandler::Normal;
        m_socket->Abort();
        if (!m_finished)
            NormalClosed(0);
        return;
    }
    RestartIdleTimer();
    SendRequest();
}

void THttpCli::SocketDataSent(quint16) {
    if (m_finished)
        return;
    RestartIdleTimer();
    if (m_allowedToSend)
        SendPostBlock();
}

void THttpCli::SocketSessionClosed(quint16 error) {
    if (m_finished)
        return;
    if (m_closed == ClosedHandler::Relocation) {
        RelocationClosed();
        return;
    }
    NormalClosed(error);
}

void THttpCli::NormalClosed(quint16 error) {
    if (m_finished)
        return;
    if (error != 0)
        m_doneError = error;
    const std::shared_ptr<bool> alive = m_alive;
    const bool headerCut = m_inHeader && !m_headerEnded;
    if (headerCut) {
        m_inHeader = false;
        if (m_onHeaderEnd)
            m_onHeaderEnd(this);
        if (!*alive || m_finished)
            return;
        // A relocation whose header the close cut is no relocation: the answer is broken.
    } else if (m_bodyChunks > 0) {
        if (m_onDocEnd)
            m_onDocEnd(this);
        if (!*alive || m_finished)
            return;
    }
    // A request that did not get its whole answer has failed, whatever the status said.
    if (!m_failed && m_responseCode < 400) {
        if (m_doneError != 0)
            Fail(m_doneError, errorWithNumber(m_doneError));
        else if (!m_headerEnded && m_headerLines == 0)
            Fail(httperr::Incomplete, QStringLiteral("Connection closed without a response"));
        else if (!m_headerEnded)
            Fail(httperr::Incomplete,
                 QStringLiteral("Connection closed in the middle of the header"));
        else if (m_chunked && m_chunk != Chunk::Done)
            Fail(httperr::Incomplete,
                 QStringLiteral("Connection closed in the middle of a chunked body"));
        else if (m_requestKind != httpHEAD && m_responseLength > 0 &&
                 m_receivedBytes < m_responseLength)
            Fail(httperr::Incomplete, QStringLiteral("Connection closed after %1 of %2 bytes")
                                          .arg(m_receivedBytes)
                                          .arg(m_responseLength));
    }
    EndRequest();
}

void THttpCli::RelocationClosed() {
    // Every relocation passes here, so this is where they are counted.
    if (m_relocations >= kMaxRelocations) {
        m_closed = ClosedHandler::Normal;
        Fail(httperr::TooManyRelocations,
             QStringLiteral("Too many relocations: the server moved the document more than %1 "
                            "times")
                 .arg(kMaxRelocations));
        NormalClosed(0);
        return;
    }
    QString path = ParseURL(m_currentLocation).Path;
    const qsizetype hash = path.indexOf(QLatin1Char('#'));
    if (hash >= 0)
        path.truncate(hash);
    ComputeDocumentName(path);
    if (m_requestKind == httpPOST)
        m_requestKind = httpGET;
    m_closed = ClosedHandler::Normal;
    const std::shared_ptr<bool> alive = m_alive;
    if (m_onLocationChange)
        m_onLocationChange(this);
    if (!*alive || m_finished)
        return;
    m_receivedHeader.clear();
    m_headerLines = 0;
    m_headerBytes = 0;
    m_bodyChunks = 0;
    m_responseLength = -1;
    m_responseType.clear();
    m_chunked = false;
    m_transferEncoding.clear();
    m_responseCode = 0;
    m_buffer.clear();
    m_inHeader = false;
    m_headerEnded = false;
    m_locationPending = false;
    m_next = LineHandler::Header;
    ++m_relocations;
    if (m_useProxy)
        m_connectPort = m_proxyOwnPort.isEmpty() ? m_proxyPort : m_proxyOwnPort;
    SetState(httpNotConnected);
    Post(Step::Relocate);
}

// ---------------------------------------------------------------------------------------
// The request

QByteArray THttpCli::BuildRequestHeader() {
    if (m_onRequestHeaderBegin)
        m_onRequestHeaderBegin(this);
    const QString method = m_requestKind == httpPOST   ? QStringLiteral("POST")
                           : m_requestKind == httpHEAD ? QStringLiteral("HEAD")
                                                       : QStringLiteral("GET");
    const bool post = m_requestKind == httpPOST;
    QStringList lines;
    auto add = [&lines](const QString& name, const QString& value) {
        if (!value.isEmpty())
            lines.append(name + value);
    };
    lines.append(method + QLatin1Char(' ') + m_path + QStringLiteral(" HTTP/1.0"));
    add(QStringLiteral("From: "), m_sender);
    add(QStringLiteral("Accept: "), m_accept);
    add(QStringLiteral("Referer: "), m_reference);
    add(QStringLiteral("Accept-Language: "), m_acceptLanguage);
    if (post)
        add(QStringLiteral("Content-Type: "), m_contentTypePost);
    add(QStringLiteral("User-Agent: "), m_agent);
    lines.append(QStringLiteral("Host: ") + m_hostName);
    if (m_noCache)
        lines.append(QStringLiteral("Pragma: no-cache"));
    if (post)
        lines.append(QStringLiteral("Content-Length: ") + QString::number(m_postStream->size()));
    if (m_modifiedSince.isValid())
        lines.append(QStringLiteral("If-Modified-Since: ") + RFC1123Date(m_modifiedSince) +
                     QStringLiteral(" GMT"));
    if (!m_username.isEmpty())
        lines.append(
            QStringLiteral("Authorization: Basic ") +
            QString::fromLatin1((m_username + QLatin1Char(':') + m_password).toUtf8().toBase64()));
    // Inside a TLS tunnel the proxy sees nothing; its credentials went with the CONNECT.
    if (m_useProxy && !m_proxyUsername.isEmpty() && !isHttps(m_scheme))
        lines.append(
            QStringLiteral("Proxy-Authorization: Basic ") +
            QString::fromLatin1(
                (m_proxyUsername + QLatin1Char(':') + m_proxyPassword).toUtf8().toBase64()));
    add(QStringLiteral("Cookie: "), m_cookie);
    if (!m_contentRangeBegin.isEmpty() || !m_contentRangeEnd.isEmpty()) {
        lines.append(QStringLiteral("Range: bytes=") + m_contentRangeBegin + QLatin1Char('-') +
                     m_contentRangeEnd);
        m_contentRangeBegin.clear();
        m_contentRangeEnd.clear();
    }
    m_acceptRanges.clear();
    if (m_onBeforeHeaderSend)
        m_onBeforeHeaderSend(this, method, lines);
    QByteArray header;
    for (QString line : lines) {
        if (m_onCommand)
            m_onCommand(this, line);
        header += line.toUtf8();
        header += "\r\n";
    }
    if (m_onRequestHeaderEnd)
        m_onRequestHeaderEnd(this);
    header += "\r\n";
    return header;
}

void THttpCli::SendRequest() {
    m_next = LineHandler::Header;
    SetState(httpWaitingHeader);
    const std::shared_ptr<bool> alive = m_alive;
    const QByteArray header = BuildRequestHeader();
    if (!*alive || m_finished)
        return;
    if (m_socket->Send(header) < 0) {
        m_socket->Close();
        return;
    }
    if (m_requestKind == httpPOST) {
        if (m_onSendBegin)
            m_onSendBegin(this);
        if (!*alive || m_finished)
            return;
        m_allowedToSend = true;
        SendPostBlock();
    }
}

void THttpCli::SendTunnelRequest() {
    m_next = LineHandler::Tunnel;
    m_headerLines = 0;
    m_headerBytes = 0;
    SetState(httpWaitingHeader);
    const QString authority = m_hostName + QLatin1Char(':') +
                              (m_targetPort.isEmpty() ? QStringLiteral("443") : m_targetPort);
    QByteArray request =
        "CONNECT " + authority.toUtf8() + " HTTP/1.0\r\nHost: " + authority.toUtf8() + "\r\n";
    if (!m_agent.isEmpty())
        request += "User-Agent: " + m_agent.toUtf8() + "\r\n";
    if (!m_proxyUsername.isEmpty())
        request += "Proxy-Authorization: Basic " +
                   (m_proxyUsername + QLatin1Char(':') + m_proxyPassword).toUtf8().toBase64() +
                   "\r\n";
    request += "\r\n";
    if (m_socket->Send(request) < 0)
        m_socket->Close();
}

void THttpCli::SendPostBlock() {
    const QByteArray block = m_postStream->read(kBufferSize + 1);
    if (!block.isEmpty()) {
        m_sentBytes += block.size();
        const std::shared_ptr<bool> alive = m_alive;
        if (m_onSendData)
            m_onSendData(this, block.constData(), int(block.size()));
        if (!*alive || m_finished)
            return;
        if (m_socket->Send(block) < 0) {
            m_socket->Close();
            return;
        }
    }
    if (block.size() <= kBufferSize || m_postStream->atEnd()) {
        m_allowedToSend = false;
        if (m_onSendEnd)
            m_onSendEnd(this);
    }
}

// ---------------------------------------------------------------------------------------
// The response

void THttpCli::SocketDataAvailable(quint16) {
    if (m_finished) {
        // A connection the request left open (a length of 0) has nothing more to say: a
        // server that goes on sending loses it rather than keep the client reading.
        m_socket->Abort();
        return;
    }
    if (m_next == LineHandler::Discard) {
        char sink[4096];
        m_socket->Receive(sink, sizeof sink);
        return;
    }
    if (m_buffer.size() >= kBufferSize) {
        FailAndClose(httperr::LineTooLong, QStringLiteral("HTTP line too long"));
        return;
    }
    const qsizetype fill = m_buffer.size();
    m_buffer.resize(kBufferSize);
    const int received = m_socket->Receive(m_buffer.data() + fill, int(kBufferSize - fill));
    m_buffer.resize(fill + qMax(0, received));
    if (received <= 0)
        return;
    m_bytesFromServer += received;
    RestartIdleTimer();

    const std::shared_ptr<bool> alive = m_alive;
    try {
        if (m_state == httpWaitingBody) {
            const QByteArray chunk = m_buffer;
            m_buffer.clear();
            BodyBytes(chunk.constData(), chunk.size());
            return;
        }
        const quint64 request = m_requestId;
        const int relocations = m_relocations;
        while (*alive && request == m_requestId && relocations == m_relocations && !m_finished &&
               (m_next == LineHandler::Header || m_next == LineHandler::Tunnel) &&
               m_socket->State() == wsConnected) {
            const qsizetype lineFeed = m_buffer.indexOf('\n');
            if (lineFeed < 0) {
                if (m_buffer.size() >= kBufferSize)
                    FailAndClose(httperr::LineTooLong, QStringLiteral("HTTP line too long"));
                return;
            }
            const QByteArray rawLine = m_buffer.left(lineFeed + 1);
            QByteArray line = m_buffer.left(lineFeed);
            if (line.endsWith('\r'))
                line.chop(1);
            m_buffer.remove(0, lineFeed + 1);
            HandleLine(line, rawLine);
        }
    } catch (const std::exception& error) {
        // A handler of ours or of the owner failed inside the socket's receive loop, which
        // would drop the error and leave the request waiting: end it instead.
        if (*alive && !m_finished)
            FailAndClose(httperr::WriteFailed, QString::fromUtf8(error.what()));
    }
}

void THttpCli::HandleLine(const QByteArray& line, const QByteArray& rawLine) {
    // Every line is kept (ReceivedHeader) or looked at: a server must not send for ever.
    m_headerBytes += rawLine.size();
    if (m_headerBytes > kMaxHeaderBytes) {
        FailAndClose(
            httperr::HeaderTooLarge,
            QStringLiteral("HTTP header too large: more than %1 bytes").arg(kMaxHeaderBytes));
        return;
    }
    if (!line.isEmpty() && m_headerLines >= kMaxHeaderLines) {
        FailAndClose(
            httperr::HeaderTooLarge,
            QStringLiteral("HTTP header too large: more than %1 lines").arg(kMaxHeaderLines));
        return;
    }
    if (m_next == LineHandler::Tunnel)
        TunnelLine(line);
    else
        HeaderLine(line, rawLine);
}

void THttpCli::TunnelLine(const QByteArray& line) {
    // The proxy's answer to CONNECT: a status line, header lines, an empty line.
    if (m_headerLines++ == 0) {
        const QString status = QString::fromLatin1(line);
        bool ok = false;
        const int code = status.mid(9, 3).trimmed().toInt(&ok);
        m_responseCode = ok ? code : 0;
        m_responseText = status.mid(13);
        return;
    }
    if (!line.isEmpty())
        return;
    if (m_responseCode >= 200 && m_responseCode < 300) {
        m_tunnelUp = true;
        m_responseCode = 0;
        m_headerLines = 0;
        m_headerBytes = 0;
        m_buffer.clear();
        m_next = LineHandler::Header;
        m_socket->StartTls(m_hostName);
        return;
    }
    if (m_responseCode >= 400) {
        m_failed = true;
        m_closed = ClosedHandler::Normal;
        m_next = LineHandler::Discard;
        m_socket->Abort();
        if (!m_finished)
            NormalClosed(0);
        return;
    }
    FailAndClose(httperr::Incomplete,
                 QStringLiteral("The proxy did not open a tunnel to %1").arg(m_hostName));
}

void THttpCli::HeaderLine(const QByteArray& line, const QByteArray& rawLine) {
    const std::shared_ptr<bool> alive = m_alive;
    if (m_headerLines == 0) {
        m_inHeader = true;
        if (m_onHeaderBegin)
            m_onHeaderBegin(this);
        if (!*alive || m_finished)
            return;
    }
    ++m_headerLines;

    if (line.left(6).toUpper() == "<HTML>") {
        // No header at all: the document starts here, this line included with its end.
        if (m_responseType.isEmpty())
            m_responseType = QStringLiteral("text/html");
        m_inHeader = false;
        m_headerEnded = true;
        m_chunked = false;
        m_responseLength = -1;
        m_next = LineHandler::Body;
        SetState(httpWaitingBody);
        if (m_onHeaderEnd)
            m_onHeaderEnd(this);
        if (!*alive || m_finished)
            return;
        const QByteArray rest = rawLine + m_buffer;
        m_buffer.clear();
        BodyBytes(rest.constData(), rest.size());
        return;
    }
    if (line.isEmpty()) {
        HeaderEnded();
        return;
    }

    const QString text = platform::decodeUtf8OrAnsi(line);
    m_receivedHeader.append(text);
    if (text.startsWith(QLatin1String("HTTP/1.0")) || text.startsWith(QLatin1String("HTTP/1.1"))) {
        const QString code = text.mid(9, 3);
        bool ok = false;
        const int value = code.trimmed().toInt(&ok);
        if (!ok) {
            FailAndClose(httperr::InvalidNumber,
                         QStringLiteral("Invalid HTTP status code \"%1\"").arg(code));
            return;
        }
        m_responseCode = value;
        m_responseText = text.mid(13);
    } else {
        const qsizetype colon = text.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            const QString name = text.left(colon).toLower();
            qsizetype start = colon + 1;
            while (start < text.size() && text[start] == QLatin1Char(' '))
                ++start;
            const QString value = text.mid(start);
            if (name == QLatin1String("location")) {
                Relocate(value);
            } else if (name == QLatin1String("content-length")) {
                bool ok = false;
                const qint64 length = value.trimmed().toLongLong(&ok);
                if (!ok || length < 0) {
                    FailAndClose(httperr::InvalidNumber,
                                 QStringLiteral("Invalid content length \"%1\"").arg(value));
                    return;
                }
                m_responseLength = length;
            } else if (name == QLatin1String("content-range")) {
                const qsizetype dash = value.indexOf(QLatin1Char('-'));
                const qsizetype slash = value.indexOf(QLatin1Char('/'));
                if (dash >= 0) {
                    m_contentRangeBegin = value.mid(6, dash - 6);
                    m_contentRangeEnd = value.mid(dash + 1, slash > dash ? slash - dash - 1 : -1);
                }
            } else if (name == QLatin1String("transfer-encoding")) {
                const QString coding = value.trimmed().toLower();
                if (coding == QLatin1String("chunked")) {
                    m_chunked = true;
                    m_transferEncoding.clear();
                } else if (coding != QLatin1String("identity")) {
                    m_transferEncoding = value.trimmed();
                }
            } else if (name == QLatin1String("accept-ranges")) {
                m_acceptRanges = value;
            } else if (name == QLatin1String("content-type")) {
                m_responseType = value.toLower();
            } else if (name == QLatin1String("www-authenticate")) {
                m_authenticateLines.append(value);
            } else if (name == QLatin1String("set-cookie")) {
                bool accept = true;
                if (m_onCookie)
                    m_onCookie(this, value, accept);
                if (!*alive || m_finished)
                    return;
            }
        }
    }
    if (m_onHeaderData)
        m_onHeaderData(this);
}

void THttpCli::HeaderEnded() {
    const std::shared_ptr<bool> alive = m_alive;
    m_inHeader = false;
    m_headerEnded = true;
    if (m_locationPending) {
        if (m_onHeaderEnd)
            m_onHeaderEnd(this);
        if (!*alive || m_finished)
            return;
        m_buffer.clear();
        m_headerLines = 0;
        m_headerBytes = 0;
        m_bodyChunks = 0;
        m_closed = ClosedHandler::Relocation;
        m_next = LineHandler::Discard;
        m_socket->Close(); // the body of the redirecting answer is not read
        return;
    }
    if (m_requestKind == httpHEAD) {
        // The answer to HEAD has no body, whatever its header says about one.
        m_chunked = false;
        m_transferEncoding.clear();
    }
    if (!m_transferEncoding.isEmpty() && m_responseCode < 400) {
        // Saving a coded body as the document would hand the caller bytes it never asked for.
        FailAndClose(
            httperr::UnsupportedEncoding,
            QStringLiteral("Unsupported transfer encoding \"%1\"").arg(m_transferEncoding));
        return;
    }
    if (m_chunked) {
        // The chunks say where the body ends; a length beside them counts for nothing.
        m_responseLength = -1;
        m_chunk = Chunk::SizeLine;
        m_chunkLeft = 0;
        m_chunkLine.clear();
        m_trailerBytes = 0;
        m_trailerLines = 0;
    }
    if (m_maxDocumentSize > 0 && m_responseLength > m_maxDocumentSize && m_responseCode < 400) {
        FailAndClose(httperr::DocumentTooLarge,
                     QStringLiteral("Document too large: %1 bytes announced, at most %2 taken")
                         .arg(m_responseLength)
                         .arg(m_maxDocumentSize));
        return;
    }
    if (m_responseLength != 0) {
        const qsizetype dot = m_documentName.lastIndexOf(QLatin1Char('.'));
        const QString extension = dot < 0 ? QString() : m_documentName.mid(dot).toLower();
        if ((extension.isEmpty() || extension == QLatin1String(".exe")) &&
            m_responseType == QLatin1String("text/html"))
            m_documentName = dot < 0 ? m_documentName + QStringLiteral(".htm")
                                     : m_documentName.left(dot) + QStringLiteral(".htm");
        SetState(httpWaitingBody);
        m_next = LineHandler::Body;
        if (m_onHeaderEnd)
            m_onHeaderEnd(this);
        if (!*alive || m_finished)
            return;
        if (!m_buffer.isEmpty()) {
            const QByteArray rest = m_buffer;
            m_buffer.clear();
            BodyBytes(rest.constData(), rest.size());
            if (!*alive || m_finished)
                return;
        }
        // An error answer is read only as far as it came with its header.
        if (m_responseCode >= 400)
            m_socket->Close();
        return;
    }
    if (m_onHeaderEnd)
        m_onHeaderEnd(this);
    if (!*alive || m_finished)
        return;
    EndRequest(); // the connection is left to the server to close
}

void THttpCli::BodyBytes(const char* data, qsizetype length) {
    if (m_chunked) {
        ChunkedBytes(data, length);
        return;
    }
    if (m_responseLength < 0 || m_requestKind == httpHEAD) {
        BodyData(data, int(length));
        return;
    }
    // Bytes past the announced length are no part of the document.
    const std::shared_ptr<bool> alive = m_alive;
    const qint64 left = m_responseLength - m_receivedBytes;
    if (left > 0)
        BodyData(data, int(qMin<qint64>(length, left)));
    if (*alive && !m_finished && m_receivedBytes >= m_responseLength)
        BodyComplete();
}

void THttpCli::ChunkedBytes(const char* data, qsizetype length) {
    const std::shared_ptr<bool> alive = m_alive;
    qsizetype at = 0;
    while (at < length && *alive && !m_finished && m_next == LineHandler::Body) {
        if (m_chunk == Chunk::Done)
            return; // whatever follows the last chunk's trailer is no part of the document
        if (m_chunk == Chunk::Data) {
            const qsizetype take = qsizetype(qMin<qint64>(m_chunkLeft, length - at));
            m_chunkLeft -= take;
            if (m_chunkLeft == 0)
                m_chunk = Chunk::DataEnd;
            BodyData(data + at, int(take));
            at += take;
            continue;
        }
        // A line: a chunk's size, the line end after its bytes, or a trailer line. Each is
        // bounded, so that a server cannot make one grow for ever.
        const auto* lineFeed =
            static_cast<const char*>(std::memchr(data + at, '\n', size_t(length - at)));
        const qsizetype end = lineFeed != nullptr ? qsizetype(lineFeed - data) : length;
        m_chunkLine.append(data + at, end - at);
        at = lineFeed != nullptr ? end + 1 : length;
        const qsizetype allowed = m_chunk == Chunk::SizeLine  ? kMaxChunkSizeLine
                                  : m_chunk == Chunk::DataEnd ? 1
                                                              : kMaxHeaderBytes - m_trailerBytes;
        if (m_chunkLine.size() > allowed) {
            if (m_chunk == Chunk::Trailer)
                FailAndClose(httperr::HeaderTooLarge,
                             QStringLiteral("Chunked body trailer too large: more than %1 bytes")
                                 .arg(kMaxHeaderBytes));
            else if (m_chunk == Chunk::SizeLine)
                FailAndClose(httperr::BadChunkedBody,
                             QStringLiteral("Invalid chunked body: a chunk-size line longer "
                                            "than %1 bytes")
                                 .arg(kMaxChunkSizeLine));
            else
                FailAndClose(httperr::BadChunkedBody,
                             QStringLiteral("Invalid chunked body: no line end after a chunk"));
            return;
        }
        if (lineFeed == nullptr)
            return;
        QByteArray line;
        line.swap(m_chunkLine);
        if (line.endsWith('\r'))
            line.chop(1);
        if (!ChunkLine(line))
            return;
    }
}

bool THttpCli::ChunkLine(const QByteArray& line) {
    switch (m_chunk) {
    case Chunk::SizeLine: {
        // "1a2b;name=value": the size in hexadecimal, extensions after a semicolon ignored.
        const qsizetype semicolon = line.indexOf(';');
        const QByteArray digits = (semicolon < 0 ? line : line.left(semicolon)).trimmed();
        bool ok = !digits.isEmpty() && digits.size() <= 15; // 15 digits stay below 2^60
        for (const char c : digits)
            ok = ok && std::isxdigit(static_cast<unsigned char>(c)) != 0;
        if (!ok) {
            FailAndClose(httperr::BadChunkedBody,
                         QStringLiteral("Invalid chunked body: chunk size \"%1\"")
                             .arg(QString::fromLatin1(line.left(40))));
            return false;
        }
        m_chunkLeft = digits.toLongLong(nullptr, 16);
        m_chunk = m_chunkLeft == 0 ? Chunk::Trailer : Chunk::Data;
        return true;
    }
    case Chunk::DataEnd:
        if (!line.isEmpty()) {
            FailAndClose(httperr::BadChunkedBody,
                         QStringLiteral("Invalid chunked body: no line end after a chunk"));
            return false;
        }
        m_chunk = Chunk::SizeLine;
        return true;
    case Chunk::Trailer:
        if (line.isEmpty()) {
            m_chunk = Chunk::Done;
            BodyComplete();
            return false;
        }
        // Trailer fields are read past, within the limits of a header.
        m_trailerBytes += line.size() + 2;
        if (++m_trailerLines > kMaxHeaderLines) {
            FailAndClose(httperr::HeaderTooLarge,
                         QStringLiteral("Chunked body trailer too large: more than %1 lines")
                             .arg(kMaxHeaderLines));
            return false;
        }
        return true;
    case Chunk::Data:
    case Chunk::Done:
        break;
    }
    return true;
}

void THttpCli::BodyComplete() {
    // The server's close would add nothing: the connection goes now, and its close ends the
    // request as a whole one.
    m_closed = ClosedHandler::Normal;
    m_next = LineHandler::Discard;
    m_socket->Close();
    if (!m_finished)
        NormalClosed(0);
}

void THttpCli::BodyData(const char* data, int length) {
    const std::shared_ptr<bool> alive = m_alive;
    if (m_maxDocumentSize > 0 && m_receivedBytes + length > m_maxDocumentSize) {
        FailAndClose(
            httperr::DocumentTooLarge,
            QStringLiteral("Document too large: more than %1 bytes").arg(m_maxDocumentSize));
        return;
    }
    if (m_bodyChunks == 0 && m_onDocBegin) {
        m_onDocBegin(this);
        if (!*alive || m_finished)
            return;
    }
    ++m_bodyChunks;
    m_receivedBytes += length;
    if (m_documentStream != nullptr && m_documentStream->write(data, length) != length) {
        FailAndClose(httperr::WriteFailed, QStringLiteral("Cannot write the document: ") +
                                               m_documentStream->errorString());
        return;
    }
    if (m_onDocData)
        m_onDocData(this, data, length);
}

// ---------------------------------------------------------------------------------------
// Relocations

void THttpCli::Relocate(const QString& location) {
    m_locationPending = true;
    // Through a proxy a plain request carries the whole URL; otherwise the path alone.
    const bool absoluteForm = m_useProxy && !isHttps(m_scheme);
    if (location.startsWith(QLatin1Char('/'))) {
        if (absoluteForm) {
            const TUrlParts current = ParseURL(m_path);
            m_path = (current.Proto.isEmpty() ? QStringLiteral("http") : current.Proto) +
                     QStringLiteral("://") + current.Host +
                     (current.Port.isEmpty() ? QString() : QStringLiteral(":") + current.Port) +
                     location;
        } else {
            m_path = location;
        }
    } else if (location.startsWith(QLatin1String("http://")) ||
               location.startsWith(QLatin1String("https://"))) {
        const TUrlParts target = ParseURL(location);
        const bool tls = isHttps(target.Proto);
        m_scheme = target.Proto;
        if (!target.Host.isEmpty())
            m_hostName = target.Host;
        m_targetPort = target.Port;
        if (!m_useProxy) {
            m_connectHost = m_hostName;
            m_connectPort = !target.Port.isEmpty() ? target.Port
                            : tls                  ? QStringLiteral("443")
                                                   : QStringLiteral("80");
            m_path = target.Path.isEmpty() ? QStringLiteral("/") : target.Path;
            if (!target.User.isEmpty() && !target.Pass.isEmpty()) {
                m_username = target.User;
                m_password = target.Pass;
            }
        } else if (tls) {
            m_path = target.Path.isEmpty() ? QStringLiteral("/") : target.Path;
            m_tunnelUp = false;
        } else {
            m_path = target.Proto + QStringLiteral("://") + m_hostName +
                     (target.Port.isEmpty() ? QString() : QStringLiteral(":") + target.Port) +
                     target.Path;
        }
    } else {
        // Relative to the directory of the current request path.
        const qsizetype query = m_path.indexOf(QLatin1Char('?'));
        const QString base = query < 0 ? m_path : m_path.left(query);
        const qsizetype end =
            qMax(base.lastIndexOf(QLatin1Char('/')), base.lastIndexOf(QLatin1Char(':')));
        m_path = base.left(end + 1) + location;
    }
    m_currentLocation = m_useProxy && !isHttps(m_scheme) ? m_path : AbsoluteTarget(m_path);
}

QString THttpCli::AbsoluteTarget(const QString& path) const {
    return (m_scheme.isEmpty() ? QStringLiteral("http") : m_scheme) + QStringLiteral("://") +
           m_hostName + (m_targetPort.isEmpty() ? QString() : QStringLiteral(":") + m_targetPort) +
           path;
}

void THttpCli::ComputeDocumentName(const QString& path) {
    QString name = path;
    const qsizetype query = name.indexOf(QLatin1Char('?'));
    if (query >= 0)
        name.truncate(query);
    if (name.isEmpty() || name.endsWith(QLatin1Char('/')))
        m_documentName = QStringLiteral("document.htm");
    else
        m_documentName = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace kalvento::http
