#include "http/tls_session.h"

#include "platform/system_error.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>

namespace kalvento::http {

using platform::systemErrorText;

namespace {

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when the peer has
// gone; this one sends with MSG_NOSIGNAL so that a reset is an error, not the program's end.
int bioWrite(BIO* bio, const char* data, int length) {
    const int fd = *static_cast<int*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(fd, data, size_t(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EINTR))
        BIO_set_retry_write(bio);
    return int(sent);
}

int bioRead(BIO* bio, char* buffer, int length) {
    const int fd = *static_cast<int*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t received = ::recv(fd, buffer, size_t(length), 0);
    if (received < 0 && (errno == EAGAIN || errno == EINTR))
        BIO_set_retry_read(bio);
    return int(received);
}

long bioControl(BIO* bio, int command, long, void* pointer) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_C_GET_FD: {
        const int fd = *static_cast<int*>(BIO_get_data(bio));
        if (pointer != nullptr)
            *static_cast<int*>(pointer) = fd;
        return fd;
    }
    default:
        return 0;
    }
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* socketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kalvento socket");
        BIO_meth_set_write(m, bioWrite);
        BIO_meth_set_read(m, bioRead);
        BIO_meth_set_ctrl(m, bioControl);
        BIO_meth_set_create(m, bioCreate);
        return m;
    }();
    return method;
}

QString openSslErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QString();
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    // "error:0A000086:SSL routines::certificate verify failed": the reason is the last field.
    const QString whole = QString::fromLatin1(text);
    const qsizetype colon = whole.lastIndexOf(QLatin1Char(':'));
    return colon >= 0 ? whole.mid(colon + 1) : whole;
}

} // namespace

struct TlsSession::Handles {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    BIO* bio = nullptr;
    int fd = -1;

    ~Handles() {
        if (ssl != nullptr)
            SSL_free(ssl); // frees the BIO too
        else if (bio != nullptr)
            BIO_free(bio);
        if (context != nullptr)
            SSL_CTX_free(context);
    }
};

std::unique_ptr<TlsSession> TlsSession::create(int fd, const QString& serverName, QString* error) {
    std::unique_ptr<TlsSession> session(new TlsSession);
    session->m_handles = std::make_unique<Handles>();
    Handles& h = *session->m_handles;
    h.fd = fd;
    auto fail = [&](const QString& what) {
        if (error != nullptr) {
            const QString reason = openSslErrorText();
            *error = reason.isEmpty() ? what : what + QStringLiteral(": ") + reason;
        }
        return nullptr;
    };
    ERR_clear_error();
    // A context per session: its store is read when it is made, so a changed SSL_CERT_FILE
    // or a newly installed certificate applies to the next connection.
    h.context = SSL_CTX_new(TLS_client_method());
    if (h.context == nullptr)
        return fail(QStringLiteral("cannot create a TLS context"));
    SSL_CTX_set_min_proto_version(h.context, TLS1_2_VERSION);
    SSL_CTX_set_verify(h.context, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(h.context) != 1)
        return fail(QStringLiteral("cannot read the system's certificates"));
    SSL_CTX_set_mode(h.context,
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    h.ssl = SSL_new(h.context);
    if (h.ssl == nullptr)
        return fail(QStringLiteral("cannot create a TLS session"));
    h.bio = BIO_new(socketMethod());
    if (h.bio == nullptr)
        return fail(QStringLiteral("cannot create a TLS session"));
    BIO_set_data(h.bio, &h.fd);
    SSL_set_bio(h.ssl, h.bio, h.bio);

    const QByteArray name = serverName.toUtf8();
    in_addr literal{};
    if (inet_pton(AF_INET, name.constData(), &literal) == 1) {
        // An address is checked against the certificate's IP entries, and is never sent as
        // the server name.
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(h.ssl), name.constData()) != 1)
            return fail(QStringLiteral("cannot check the server's address"));
    } else {
        SSL_set_hostflags(h.ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(h.ssl, name.constData()) != 1 ||
            // SSL_set_tlsext_host_name, without the macro's C cast.
            SSL_ctrl(h.ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char*>(name.constData())) != 1)
            return fail(QStringLiteral("cannot check the server's name"));
    }
    SSL_set_connect_state(h.ssl);
    return session;
}

TlsSession::~TlsSession() = default;

TlsSession::Status TlsSession::failed(int sslError) {
    switch (sslError) {
    case SSL_ERROR_WANT_READ:
        return Status::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Status::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return Status::Closed;
    default:
        break;
    }
    const long verify = SSL_get_verify_result(m_handles->ssl);
    QString reason = openSslErrorText();
    if (verify != X509_V_OK && reason.contains(QLatin1String("certificate verify failed")))
        reason = QStringLiteral("certificate verify failed (%1)")
                     .arg(QString::fromLatin1(X509_verify_cert_error_string(verify)));
    if (reason.isEmpty()) {
        const int error = errno;
        reason = sslError == SSL_ERROR_SYSCALL && error != 0
                     ? systemErrorText(error)
                     : QStringLiteral("the connection ended during the TLS exchange");
    }
    m_errorText = reason;
    return Status::Failed;
}

TlsSession::Status TlsSession::handshake() {
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(m_handles->ssl);
    if (result == 1)
        return Status::Ok;
    return failed(SSL_get_error(m_handles->ssl, result));
}

TlsSession::Io TlsSession::read(char* buffer, qint64 length) {
    ERR_clear_error();
    errno = 0;
    size_t count = 0;
    const int result = SSL_read_ex(m_handles->ssl, buffer, size_t(length), &count);
    if (result == 1)
        return {qint64(count), Status::Ok};
    const int error = SSL_get_error(m_handles->ssl, result);
    // A peer that closes the connection without close_notify: OpenSSL 3 calls it an
    // unexpected end; for the reader it is the end of the stream.
    if (error == SSL_ERROR_SSL &&
        ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return {0, Status::Closed};
    }
    return {0, failed(error)};
}

TlsSession::Io TlsSession::write(const char* data, qint64 length) {
    ERR_clear_error();
    errno = 0;
    size_t count = 0;
    const int result = SSL_write_ex(m_handles->ssl, data, size_t(length), &count);
    if (result == 1)
        return {qint64(count), Status::Ok};
    return {0, failed(SSL_get_error(m_handles->ssl, result))};
}

qint64 TlsSession::pending() const {
    return SSL_pending(m_handles->ssl);
}

void TlsSession::shutdown() {
    if (m_shutdownSent)
        return;
    m_shutdownSent = true;
    ERR_clear_error();
    SSL_shutdown(m_handles->ssl);
    ERR_clear_error();
}

QString TlsSession::protocol() const {
    return QString::fromLatin1(SSL_get_version(m_handles->ssl));
}

} // namespace kalvento::http
