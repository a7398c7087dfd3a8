#pragma once
// An HTTP/1.0 client on one TWSocket, on the GUI thread: a request runs through host lookup,
// connect, request header, response header and body, each step raised as an event; the body
// goes to DocumentStream chunk by chunk. GetSync waits for the end in a local event loop, so
// the window keeps answering (and can call Abort) meanwhile. https:// addresses are fetched
// over TLS, through a proxy by a CONNECT tunnel.

#include "http/http_url.h"
#include "http/wsocket.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <stdexcept>

class QEventLoop;
class QIODevice;

namespace kalvento::http {

class THttpCli;

class EHttpException : public std::runtime_error {
public:
    EHttpException(const QString& message, int code)
        : std::runtime_error(message.toStdString()), m_code(code) {}
    QString Message() const { return QString::fromUtf8(what()); }
    int ErrorCode() const { return m_code; }

private:
    int m_code;
};

enum THttpRequest { httpAbort, httpGET, httpPOST, httpHEAD };

enum THttpState {
    httpReady,
    httpNotConnected,
    httpConnected,
    httpDnsLookup,
    httpDnsLookupDone,
    httpWaitingHeader,
    httpWaitingBody,
    httpAborting,
};

// Numbers DoneError takes besides 0 and the socket's error numbers.
namespace httperr {
constexpr int Aborted = 3;
constexpr int LineTooLong = 4;
constexpr int InvalidNumber = 5;
constexpr int TooManyRelocations = 6;
constexpr int Incomplete = 7;
constexpr int WriteFailed = 8;
constexpr int HeaderTooLarge = 9;
constexpr int DocumentTooLarge = 10;
constexpr int BadChunkedBody = 11;
constexpr int UnsupportedEncoding = 12;
} // namespace httperr

using THttpNotifyEvent = std::function<void(THttpCli* sender)>;
using TDocDataEvent = std::function<void(THttpCli* sender, const char* buffer, int len)>;
using TCookieRcvdEvent = std::function<void(THttpCli* sender, const QString& data, bool& accept)>;
using THttpRequestDone = std::function<void(THttpCli* sender, THttpRequest rqType, quint16 error)>;
using TBeforeHeaderSendEvent =
    std::function<void(THttpCli* sender, const QString& method, QStringList& headers)>;
using THttpCommandEvent = std::function<void(THttpCli* sender, QString& line)>;
using THttpSocketEvent = std::function<void(THttpCli* sender, TWSocket* socket)>;

class THttpCli : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxRelocations = 20;
    static constexpr int kBufferSize = 8192;
    // A response header (and the trailer of a chunked body) larger than this is an error.
    static constexpr int kMaxHeaderBytes = 64 * 1024;
    static constexpr int kMaxHeaderLines = 1000;
    // The longest chunk-size line of a chunked body, extensions included.
    static constexpr int kMaxChunkSizeLine = 1024;

    explicit THttpCli(QObject* owner = nullptr);
    ~THttpCli() override;

    // --- Properties, with the defaults set at creation.
    QString URL() const { return m_url; }
    void SetURL(const QString& url) { m_url = url; }
    QString LocalAddr() const { return m_localAddr; }
    void SetLocalAddr(const QString& addr) { m_localAddr = addr; }
    QString Proxy() const { return m_proxy; }
    void SetProxy(const QString& proxy) { m_proxy = proxy; }
    QString ProxyPort() const { return m_proxyPort; }
    void SetProxyPort(const QString& port) { m_proxyPort = port; }
    QString Sender() const { return m_sender; }
    void SetSender(const QString& sender) { m_sender = sender; }
    QString Agent() const { return m_agent; }
    void SetAgent(const QString& agent) { m_agent = agent; }
    QString Accept() const { return m_accept; }
    void SetAccept(const QString& accept) { m_accept = accept; }
    QString AcceptLanguage() const { return m_acceptLanguage; }
    void SetAcceptLanguage(const QString& value) { m_acceptLanguage = value; }
    QString Reference() const { return m_reference; }
    void SetReference(const QString& reference) { m_reference = reference; }
    QString Username() const { return m_username; }
    void SetUsername(const QString& name) { m_username = name; }
    QString Password() const { return m_password; }
    void SetPassword(const QString& password) { m_password = password; }
    QString ProxyUsername() const { return m_proxyUsername; }
    void SetProxyUsername(const QString& name) { m_proxyUsername = name; }
    QString ProxyPassword() const { return m_proxyPassword; }
    void SetProxyPassword(const QString& password) { m_proxyPassword = password; }
    bool NoCache() const { return m_noCache; }
    void SetNoCache(bool value) { m_noCache = value; }
    // Not valid (the default) means none; taken as it is, without a time-zone conversion.
    QDateTime ModifiedSince() const { return m_modifiedSince; }
    void SetModifiedSince(const QDateTime& value) { m_modifiedSince = value; }
    QString Cookie() const { return m_cookie; }
    void SetCookie(const QString& cookie) { m_cookie = cookie; }
    QString ContentTypePost() const { return m_contentTypePost; }
    void SetContentTypePost(const QString& type) { m_contentTypePost = type; }
    QString ContentRangeBegin() const { return m_contentRangeBegin; }
    void SetContentRangeBegin(const QString& value) { m_contentRangeBegin = value; }
    QString ContentRangeEnd() const { return m_contentRangeEnd; }
    void SetContentRangeEnd(const QString& value) { m_contentRangeEnd = value; }
    QString AcceptRanges() const { return m_acceptRanges; }
    bool MultiThreaded() const { return m_multiThreaded; }
    void SetMultiThreaded(bool value);
    // Seconds without a byte from the server after which a request fails as timed out;
    // 0 waits for ever.
    int Timeout() const { return m_timeout; }
    void SetTimeout(int seconds) { m_timeout = qMax(0, seconds); }
    // Seconds from the start of a request (relocations included) after which it fails as
    // timed out, however the bytes come; 0 (the default) sets no such limit.
    int Deadline() const { return m_deadline; }
    void SetDeadline(int seconds) { m_deadline = qMax(0, seconds); }
    // A request fails as too slow when a window of windowSeconds brings fewer than
    // bytesPerSecond * windowSeconds bytes; 0 (the default) sets no such limit.
    int MinimumRate() const { return m_minimumRate; }
    int RateWindow() const { return m_rateWindow; }
    void SetMinimumRate(int bytesPerSecond, int windowSeconds) {
        m_minimumRate = qMax(0, bytesPerSecond);
        m_rateWindow = qMax(0, windowSeconds);
    }
    // The largest document a request takes: a longer one (announced, or as it arrives)
    // fails the request before more than this reaches DocumentStream; 0 (the default) takes
    // any size.
    qint64 MaxDocumentSize() const { return m_maxDocumentSize; }
    void SetMaxDocumentSize(qint64 bytes) { m_maxDocumentSize = qMax<qint64>(0, bytes); }

    // Passed through to the socket.
    QString SocksServer() const { return m_socket->SocksServer(); }
    void SetSocksServer(const QString& value) { m_socket->SetSocksServer(value); }
    QString SocksLevel() const { return m_socket->SocksLevel(); }
    void SetSocksLevel(const QString& value) { m_socket->SetSocksLevel(value); }
    QString SocksPort() const { return m_socket->SocksPort(); }
    void SetSocksPort(const QString& value) { m_socket->SetSocksPort(value); }
    QString SocksUsercode() const { return m_socket->SocksUsercode(); }
    void SetSocksUsercode(const QString& value) { m_socket->SetSocksUsercode(value); }
    QString SocksPassword() const { return m_socket->SocksPassword(); }
    void SetSocksPassword(const QString& value) { m_socket->SetSocksPassword(value); }
    int SocksAuthentication() const { return m_socket->SocksAuthentication(); }
    void SetSocksAuthentication(int value) { m_socket->SetSocksAuthentication(value); }

    // --- Public state.
    QIODevice* DocumentStream() const { return m_documentStream; }
    void SetDocumentStream(QIODevice* stream) { m_documentStream = stream; }
    QIODevice* PostStream() const { return m_postStream; }
    void SetPostStream(QIODevice* stream) { m_postStream = stream; }
    int ResponseCode() const { return m_responseCode; }
    QString ResponseText() const { return m_responseText; }
    qint64 ResponseLength() const { return m_responseLength; }
    QString ResponseType() const { return m_responseType; }
    qint64 ReceivedBytes() const { return m_receivedBytes; }
    qint64 SentBytes() const { return m_sentBytes; }
    const QStringList& ReceivedHeader() const { return m_receivedHeader; }
    const QStringList& AuthenticateLines() const { return m_authenticateLines; }
    QString DocumentName() const { return m_documentName; }
    QString CurrentLocation() const { return m_currentLocation; }
    THttpRequest RequestKind() const { return m_requestKind; }
    quint16 DoneError() const { return m_doneError; }
    THttpState HttpState() const { return m_state; }
    TWSocket* CtrlSocket() const { return m_socket; }

    // --- Requests.
    // Runs one request to its end while the event loop keeps running; fails with
    // EHttpException (ResponseText, ResponseCode) when ResponseCode is above 399.
    void RequestSync(THttpRequest kind);
    void GetSync() { RequestSync(httpGET); }
    void PostSync() { RequestSync(httpPOST); }
    void HeadSync() { RequestSync(httpHEAD); }
    // Begins a request and returns at once; OnRequestDone reports the end.
    void StartRequest(THttpRequest kind);
    void Abort();

    // --- Events.
    void SetOnStateChange(THttpNotifyEvent handler) { m_onStateChange = std::move(handler); }
    void SetOnSessionConnected(THttpNotifyEvent handler) {
        m_onSessionConnected = std::move(handler);
    }
    void SetOnRequestHeaderBegin(THttpNotifyEvent handler) {
        m_onRequestHeaderBegin = std::move(handler);
    }
    void SetOnRequestHeaderEnd(THttpNotifyEvent handler) {
        m_onRequestHeaderEnd = std::move(handler);
    }
    void SetOnBeforeHeaderSend(TBeforeHeaderSendEvent handler) {
        m_onBeforeHeaderSend = std::move(handler);
    }
    void SetOnCommand(THttpCommandEvent handler) { m_onCommand = std::move(handler); }
    void SetOnHeaderBegin(THttpNotifyEvent handler) { m_onHeaderBegin = std::move(handler); }
    void SetOnHeaderData(THttpNotifyEvent handler) { m_onHeaderData = std::move(handler); }
    void SetOnHeaderEnd(THttpNotifyEvent handler) { m_onHeaderEnd = std::move(handler); }
    void SetOnDocBegin(THttpNotifyEvent handler) { m_onDocBegin = std::move(handler); }
    void SetOnDocData(TDocDataEvent handler) { m_onDocData = std::move(handler); }
    void SetOnDocEnd(THttpNotifyEvent handler) { m_onDocEnd = std::move(handler); }
    void SetOnSendBegin(THttpNotifyEvent handler) { m_onSendBegin = std::move(handler); }
    void SetOnSendData(TDocDataEvent handler) { m_onSendData = std::move(handler); }
    void SetOnSendEnd(THttpNotifyEvent handler) { m_onSendEnd = std::move(handler); }
    void SetOnCookie(TCookieRcvdEvent handler) { m_onCookie = std::move(handler); }
    void SetOnLocationChange(THttpNotifyEvent handler) { m_onLocationChange = std::move(handler); }
    void SetOnRequestDone(THttpRequestDone handler) { m_onRequestDone = std::move(handler); }
    void SetOnSocketError(THttpSocketEvent handler) { m_onSocketError = std::move(handler); }

    // The header lines of the request as they are sent, CR LF after each and an empty line
    // at the end (for the request the current state describes).
    QByteArray BuildRequestHeader();

private:
    enum class LineHandler { Header, Body, Tunnel, Discard };
    // Where a chunked body is: a chunk-size line, the chunk's bytes, the line end after
    // them, the trailer lines, or its end.
    enum class Chunk { SizeLine, Data, DataEnd, Trailer, Done };
    enum class ClosedHandler { Normal, Relocation };
    enum class Step { ReturnToReady, RequestDone, Relocate };

    void SetState(THttpState state);
    void Post(Step step);
    void RunStep(Step step, quint64 request);
    void StartLookup();
    void Fail(int doneError, const QString& text);
    void FailAndClose(int doneError, const QString& text);
    void EndRequest();
    void RestartIdleTimer();
    void IdleTimeout();
    void DeadlinePassed();
    void RateWindowEnded();
    void FailTimedOut(const QString& text);

    void SocketDnsLookupDone(quint16 error);
    void SocketSessionConnected(quint16 error);
    void SocketTlsDone(quint16 error);
    void SocketDataAvailable(quint16 error);
    void SocketDataSent(quint16 error);
    void SocketSessionClosed(quint16 error);
    void NormalClosed(quint16 error);
    void RelocationClosed();

    void SendRequest();
    void SendTunnelRequest();
    void SendPostBlock();
    void HandleLine(const QByteArray& line, const QByteArray& rawLine);
    void HeaderLine(const QByteArray& line, const QByteArray& rawLine);
    void TunnelLine(const QByteArray& line);
    // Counts one line of a header (or of a chunked body's trailer) against the limits;
    // false when it failed the request.
    bool CountHeaderLine(qsizetype length);
    void HeaderEnded();
    // Body bytes as they come from the connection: decoded when chunked, cut at the
    // announced length.
    void BodyBytes(const char* data, qsizetype length);
    void ChunkedBytes(const char* data, qsizetype length);
    bool ChunkLine(const QByteArray& line);
    // The document's own bytes, to DocumentStream and OnDocData.
    void BodyData(const char* data, int length);
    // The whole body has come: the request ends without waiting for the server's close.
    void BodyComplete();
    void Relocate(const QString& location);
    QString AbsoluteTarget(const QString& path) const;
    void ComputeDocumentName(const QString& path);

    // Properties.
    QString m_url;
    QString m_localAddr = QStringLiteral("0.0.0.0");
    QString m_proxy;
    QString m_proxyPort = QStringLiteral("80");
    QString m_sender;
    QString m_agent = QStringLiteral("Mozilla/3.0 (compatible)");
    QString m_accept = QStringLiteral("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    QString m_acceptLanguage;
    QString m_reference;
    QString m_username;
    QString m_password;
    QString m_proxyUsername;
    QString m_proxyPassword;
    bool m_noCache = false;
    QDateTime m_modifiedSince;
    QString m_cookie;
    QString m_contentTypePost = QStringLiteral("application/x-www-form-urlencoded");
    QString m_contentRangeBegin;
    QString m_contentRangeEnd;
    QString m_acceptRanges;
    bool m_multiThreaded = false;
    int m_timeout = 60;
    int m_deadline = 0;
    int m_minimumRate = 0;
    int m_rateWindow = 0;
    qint64 m_maxDocumentSize = 0;

    // Public state.
    QIODevice* m_documentStream = nullptr;
    QIODevice* m_postStream = nullptr;
    int m_responseCode = 0;
    QString m_responseText;
    qint64 m_responseLength = -1;
    QString m_responseType;
    qint64 m_receivedBytes = 0;
    qint64 m_sentBytes = 0;
    QStringList m_receivedHeader;
    QStringList m_authenticateLines;
    QString m_documentName;
    QString m_currentLocation;
    THttpRequest m_requestKind = httpGET;
    quint16 m_doneError = 0;
    THttpState m_state = httpReady;

    // The request in progress.
    TWSocket* m_socket = nullptr;
    quint64 m_requestId = 0; // changes with every request; stale later steps are dropped
    bool m_finished = true;  // the request has ended (its return to ready is on its way)
    bool m_failed = false;   // a local failure has set ResponseCode and ResponseText
    QString m_scheme;        // of the document: "http" or "https"
    QString m_hostName;      // the document's host: the "Host: " line, the TLS name
    QString m_targetPort;    // the document's port as written in its URL, may be empty
    QString m_connectHost;   // the server or the proxy
    QString m_connectPort;
    QString m_proxyOwnPort; // a port named in Proxy itself
    QString m_path;         // the request path as sent
    bool m_useProxy = false;
    bool m_tunnelUp = false;
    QByteArray m_buffer;
    int m_headerLines = 0;
    qint64 m_headerBytes = 0;
    int m_bodyChunks = 0;
    bool m_chunked = false;
    QString m_transferEncoding; // one the client cannot read, to refuse at the header's end
    Chunk m_chunk = Chunk::SizeLine;
    qint64 m_chunkLeft = 0;
    QByteArray m_chunkLine;
    qint64 m_trailerBytes = 0;
    int m_trailerLines = 0;
    qint64 m_bytesFromServer = 0; // every byte received in this request, relocations too
    qint64 m_bytesAtWindowStart = 0;
    bool m_inHeader = false;
    bool m_headerEnded = false;
    bool m_locationPending = false;
    int m_relocations = 0;
    bool m_allowedToSend = false;
    LineHandler m_next = LineHandler::Header;
    ClosedHandler m_closed = ClosedHandler::Normal;
    QTimer m_idleTimer;
    QTimer m_deadlineTimer;
    QTimer m_rateTimer;
    QEventLoop* m_syncLoop = nullptr;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);

    // Events.
    THttpNotifyEvent m_onStateChange;
    THttpNotifyEvent m_onSessionConnected;
    THttpNotifyEvent m_onRequestHeaderBegin;
    THttpNotifyEvent m_onRequestHeaderEnd;
    TBeforeHeaderSendEvent m_onBeforeHeaderSend;
    THttpCommandEvent m_onCommand;
    THttpNotifyEvent m_onHeaderBegin;
    THttpNotifyEvent m_onHeaderData;
    THttpNotifyEvent m_onHeaderEnd;
    THttpNotifyEvent m_onDocBegin;
    TDocDataEvent m_onDocData;
    THttpNotifyEvent m_onDocEnd;
    THttpNotifyEvent m_onSendBegin;
    TDocDataEvent m_onSendData;
    THttpNotifyEvent m_onSendEnd;
    TCookieRcvdEvent m_onCookie;
    THttpNotifyEvent m_onLocationChange;
    THttpRequestDone m_onRequestDone;
    THttpSocketEvent m_onSocketError;
};

// "Sun, 06 Nov 1994 08:49:37": the date of an If-Modified-Since line, without " GMT".
QString RFC1123Date(const QDateTime& dateTime);

} // namespace kalvento::http
