#pragma once
// TLS on a connected non-blocking TCP socket, through OpenSSL: the client side only, with
// the system's certificate store (SSL_CERT_FILE and SSL_CERT_DIR override it, as everywhere
// OpenSSL is used) and host-name verification. The socket stays the caller's: the session
// reads and writes it and tells which readiness it waits for.

#include <QByteArray>
#include <QString>

#include <memory>

namespace kalvento::http {

class TlsSession {
public:
    enum class Status {
        Ok,        // done, or bytes were moved
        WantRead,  // try again when the socket is readable
        WantWrite, // try again when the socket is writable
        Closed,    // the peer ended the TLS session (close_notify)
        Failed,    // see errorText(); the session is unusable
    };

    struct Io {
        qint64 count = 0; // bytes moved when status is Ok
        Status status = Status::Ok;
    };

    // A session for the connected socket fd that will verify the server's certificate
    // against serverName (a host name or a dotted IPv4 address). Nothing is sent yet.
    // Null when OpenSSL cannot set one up; error then says why.
    static std::unique_ptr<TlsSession> create(int fd, const QString& serverName, QString* error);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // One step of the handshake; Ok once it has completed and the certificate checked out.
    Status handshake();
    Io read(char* buffer, qint64 length);
    Io write(const char* data, qint64 length);
    // Decrypted bytes that wait in the session and can be read without the socket.
    qint64 pending() const;
    // Sends close_notify, once, without waiting for the peer's.
    void shutdown();

    // Why the last call failed: the certificate check's text, or OpenSSL's.
    QString errorText() const { return m_errorText; }
    // "TLSv1.3" and so on, once the handshake is done.
    QString protocol() const;

private:
    TlsSession() = default;
    Status failed(int sslError);

    struct Handles;
    std::unique_ptr<Handles> m_handles;
    QString m_errorText;
    bool m_shutdownSent = false;
};

} // namespace kalvento::http
