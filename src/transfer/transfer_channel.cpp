#include "transfer/transfer_channel.h"

#include "network/udp_network.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace kalvento::transfer {

namespace {

constexpr int kPollSlice = 250; // ms: how often a blocked call looks at its stop token
constexpr char kHelloContext[] = "KVT1 hello";
constexpr char kWelcomeContext[] = "KVT1 welcome";

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

void append(QByteArray& out, const auto& bytes) {
    out.append(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

// What the hello's signature covers: the context (with its zero byte), the role, the id,
// the connecting side's identity and fresh key, and the identity it expects to reach.
QByteArray helloSigned(const Hello& hello, const crypto::PublicKey& listener) {
    QByteArray message(kHelloContext, sizeof kHelloContext);
    message.append(char(hello.role));
    append(message, hello.id);
    append(message, hello.identity);
    append(message, hello.ephemeral);
    append(message, listener);
    return message;
}

// What the welcome's signature covers: the context, the id, the listening side's identity
// and fresh key, then the connecting side's.
QByteArray welcomeSigned(const TransferId& id, const crypto::PublicKey& listener,
                         const std::array<std::uint8_t, 32>& listenerEphemeral,
                         const crypto::PublicKey& connector,
                         const std::array<std::uint8_t, 32>& connectorEphemeral) {
    QByteArray message(kWelcomeContext, sizeof kWelcomeContext);
    append(message, id);
    append(message, listener);
    append(message, listenerEphemeral);
    append(message, connector);
    append(message, connectorEphemeral);
    return message;
}

quint32 readBigEndian32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | quint32(u[3]);
}

void writeBigEndian32(char* p, quint32 value) {
    p[0] = char(value >> 24);
    p[1] = char(value >> 16);
    p[2] = char(value >> 8);
    p[3] = char(value);
}

struct Ephemeral {
    std::array<std::uint8_t, crypto_kx_PUBLICKEYBYTES> publicKey{};
    std::array<std::uint8_t, crypto_kx_SECRETKEYBYTES> secretKey{};
    Ephemeral() { crypto_kx_keypair(publicKey.data(), secretKey.data()); }
    ~Ephemeral() { sodium_memzero(secretKey.data(), secretKey.size()); }
    Ephemeral(const Ephemeral&) = delete;
    Ephemeral& operator=(const Ephemeral&) = delete;
};

struct SessionKeys {
    std::array<unsigned char, crypto_kx_SESSIONKEYBYTES> rx{};
    std::array<unsigned char, crypto_kx_SESSIONKEYBYTES> tx{};
    ~SessionKeys() {
        sodium_memzero(rx.data(), rx.size());
        sodium_memzero(tx.data(), tx.size());
    }
};

} // namespace

Socket::Socket(Socket&& other) noexcept
    : idle(other.idle), m_fd(other.m_fd.exchange(-1)), m_ahead(std::move(other.m_ahead)),
      m_aheadAt(std::exchange(other.m_aheadAt, 0)), m_aheadEnd(std::exchange(other.m_aheadEnd, 0)) {
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (const int fd = m_fd.exchange(other.m_fd.exchange(-1)); fd >= 0)
            ::close(fd);
        idle = other.idle;
        m_ahead = std::move(other.m_ahead);
        m_aheadAt = std::exchange(other.m_aheadAt, 0);
        m_aheadEnd = std::exchange(other.m_aheadEnd, 0);
    }
    return *this;
}

Socket::~Socket() {
    if (const int fd = m_fd.exchange(-1); fd >= 0)
        ::close(fd);
}

Socket Socket::connectTo(quint32 address, quint16 port, std::chrono::milliseconds timeout,
                         const std::stop_token& stop) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        throw ChannelError{systemText(errno)};
    Socket socket(fd);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
        errno != EINPROGRESS)
        throw ChannelError{systemText(errno)};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (stop.stop_requested())
            throw ChannelError{QStringLiteral("stopped")};
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, kPollSlice);
        if (ready > 0)
            break;
        if (ready < 0 && errno != EINTR)
            throw ChannelError{systemText(errno)};
        if (std::chrono::steady_clock::now() >= deadline)
            throw ChannelError{QStringLiteral("no answer from %1")
                                   .arg(network::Ipv4Endpoint{address, port}.toString())};
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0)
        throw ChannelError{systemText(error)};
    return socket;
}

void Socket::waitFor(short events, const std::stop_token& stop) {
    const auto deadline = std::chrono::steady_clock::now() + idle;
    for (;;) {
        const int fd = m_fd.load();
        if (fd < 0 || stop.stop_requested())
            throw ChannelError{QStringLiteral("stopped")};
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, kPollSlice);
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR)
            throw ChannelError{systemText(errno)};
        if (std::chrono::steady_clock::now() >= deadline)
            throw ChannelError{QStringLiteral("the other computer stopped answering")};
    }
}

void Socket::readExact(char* data, qsizetype size, const std::stop_token& stop) {
    const auto takeAhead = [&] {
        const qsizetype n = std::min(size, m_aheadEnd - m_aheadAt);
        if (n > 0) {
            std::memcpy(data, m_ahead.get() + m_aheadAt, std::size_t(n));
            m_aheadAt += n;
            data += n;
            size -= n;
        }
    };
    takeAhead();
    while (size > 0) {
        const int fd = m_fd.load();
        if (fd < 0)
            throw ChannelError{QStringLiteral("stopped")};
        const bool direct = size >= kReadAhead;
        if (!direct && !m_ahead)
            m_ahead = std::make_unique<char[]>(std::size_t(kReadAhead));
        const ssize_t n = direct ? ::recv(fd, data, std::size_t(size), 0)
                                 : ::recv(fd, m_ahead.get(), std::size_t(kReadAhead), 0);
        if (n > 0) {
            if (direct) {
                data += n;
                size -= n;
            } else {
                m_aheadAt = 0;
                m_aheadEnd = n;
                takeAhead();
            }
            continue;
        }
        if (n == 0)
            throw ChannelError{QStringLiteral("the connection was closed")};
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw ChannelError{systemText(errno)};
        waitFor(POLLIN, stop);
    }
}

void Socket::writeAll(const char* data, qsizetype size, const std::stop_token& stop) {
    while (size > 0) {
        const int fd = m_fd.load();
        if (fd < 0)
            throw ChannelError{QStringLiteral("stopped")};
        const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            throw ChannelError{systemText(errno)};
        waitFor(POLLOUT, stop);
    }
}

void Socket::shutdownBoth() {
    if (const int fd = m_fd.load(); fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

void Socket::finish(std::chrono::milliseconds wait) {
    const int fd = m_fd.load();
    if (fd < 0)
        return;
    ::shutdown(fd, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    char sink[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0)
            return;
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return;
    }
}

QString welcomeStatusText(WelcomeStatus status) {
    switch (status) {
    case WelcomeStatus::Ok:
        return {};
    case WelcomeStatus::UnknownTransfer:
        return QStringLiteral("the other computer does not know this transfer");
    case WelcomeStatus::WrongKey:
        return QStringLiteral("the other computer did not take this copy's key");
    case WelcomeStatus::NotReady:
        return QStringLiteral("the other computer is not ready yet");
    case WelcomeStatus::Paused:
        return QStringLiteral("paused by the other computer");
    case WelcomeStatus::Ended:
        return QStringLiteral("ended by the other computer");
    }
    return QStringLiteral("refused by the other computer");
}

QByteArray encodeHello(const Hello& hello) {
    QByteArray out(kChannelMagic, 4);
    out.append(char(hello.role));
    append(out, hello.id);
    append(out, hello.identity);
    append(out, hello.ephemeral);
    append(out, hello.signature);
    return out;
}

std::optional<Hello> parseHello(QByteArrayView bytes) {
    if (bytes.size() != kHelloSize || !bytes.startsWith(QByteArrayView(kChannelMagic, 4)))
        return std::nullopt;
    Hello hello;
    const char role = bytes[4];
    if (role != char(Role::Receiver) && role != char(Role::Sender))
        return std::nullopt;
    hello.role = Role(role);
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data()) + 5;
    std::memcpy(hello.id.data(), p, hello.id.size());
    p += hello.id.size();
    std::memcpy(hello.identity.data(), p, hello.identity.size());
    p += hello.identity.size();
    std::memcpy(hello.ephemeral.data(), p, hello.ephemeral.size());
    p += hello.ephemeral.size();
    std::memcpy(hello.signature.data(), p, hello.signature.size());
    return hello;
}

bool verifyHello(const Hello& hello, const crypto::PublicKey& listener) {
    return crypto::verify(hello.identity, helloSigned(hello, listener), hello.signature);
}

Channel::~Channel() {
    sodium_memzero(&m_push, sizeof m_push);
    sodium_memzero(&m_pull, sizeof m_pull);
}

Hello Channel::readHello(Socket& socket, const std::stop_token& stop) {
    QByteArray bytes(kHelloSize, Qt::Uninitialized);
    socket.readExact(bytes.data(), bytes.size(), stop);
    std::optional<Hello> hello = parseHello(bytes);
    if (!hello)
        throw ChannelError{QStringLiteral("not a transfer's hello")};
    return *hello;
}

Channel Channel::connectSide(Socket socket, Role role, const TransferId& id,
                             const crypto::IdentityKey& own, const crypto::PublicKey& peer,
                             const std::stop_token& stop, WelcomeStatus* refused) {
    if (!crypto::initialise())
        throw ChannelError{QStringLiteral("no source of randomness")};
    Ephemeral ephemeral;
    Hello hello;
    hello.role = role;
    hello.id = id;
    hello.identity = own.publicKey();
    hello.ephemeral = ephemeral.publicKey;
    hello.signature = own.sign(helloSigned(hello, peer));
    const QByteArray helloBytes = encodeHello(hello);
    socket.writeAll(helloBytes.constData(), helloBytes.size(), stop);

    char head[5];
    socket.readExact(head, 5, stop);
    if (std::memcmp(head, kChannelMagic, 4) != 0)
        throw ChannelError{QStringLiteral("the other end does not speak the transfer's form")};
    if (head[4] != 0) {
        const auto status = WelcomeStatus(quint8(head[4]));
        if (refused != nullptr)
            *refused = status;
        throw ChannelError{welcomeStatusText(status)};
    }
    char rest[kWelcomeSize - 5];
    socket.readExact(rest, sizeof rest, stop);
    std::array<std::uint8_t, 32> theirs{};
    std::memcpy(theirs.data(), rest, theirs.size());
    crypto::Signature signature{};
    std::memcpy(signature.data(), rest + 32, signature.size());
    if (!crypto::verify(peer, welcomeSigned(id, peer, theirs, own.publicKey(), hello.ephemeral),
                        signature))
        throw ChannelError{QStringLiteral("the other end did not prove its key")};
    SessionKeys keys;
    if (crypto_kx_client_session_keys(keys.rx.data(), keys.tx.data(), ephemeral.publicKey.data(),
                                      ephemeral.secretKey.data(), theirs.data()) != 0)
        throw ChannelError{QStringLiteral("the other end sent an unusable key")};
    Channel channel;
    channel.m_socket = std::move(socket);
    channel.start(keys.rx.data(), keys.tx.data(), stop);
    return channel;
}

void Channel::refuse(Socket& socket, WelcomeStatus status, const std::stop_token& stop) {
    const char bytes[5] = {kChannelMagic[0], kChannelMagic[1], kChannelMagic[2], kChannelMagic[3],
                           char(status)};
    try {
        socket.writeAll(bytes, 5, stop);
    } catch (const ChannelError&) {
    }
    socket.shutdownBoth();
}

Channel Channel::acceptSide(Socket socket, const Hello& hello, const crypto::IdentityKey& own,
                            const std::stop_token& stop) {
    if (!crypto::initialise())
        throw ChannelError{QStringLiteral("no source of randomness")};
    Ephemeral ephemeral;
    QByteArray welcome(kChannelMagic, 4);
    welcome.append(char(WelcomeStatus::Ok));
    append(welcome, ephemeral.publicKey);
    append(welcome, own.sign(welcomeSigned(hello.id, own.publicKey(), ephemeral.publicKey,
                                           hello.identity, hello.ephemeral)));
    socket.writeAll(welcome.constData(), welcome.size(), stop);
    SessionKeys keys;
    if (crypto_kx_server_session_keys(keys.rx.data(), keys.tx.data(), ephemeral.publicKey.data(),
                                      ephemeral.secretKey.data(), hello.ephemeral.data()) != 0)
        throw ChannelError{QStringLiteral("the other end sent an unusable key")};
    Channel channel;
    channel.m_socket = std::move(socket);
    channel.start(keys.rx.data(), keys.tx.data(), stop);
    return channel;
}

void Channel::start(const unsigned char* rx, const unsigned char* tx, const std::stop_token& stop) {
    unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
    crypto_secretstream_xchacha20poly1305_init_push(&m_push, header, tx);
    m_socket.writeAll(reinterpret_cast<const char*>(header), sizeof header, stop);
    unsigned char theirs[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
    m_socket.readExact(reinterpret_cast<char*>(theirs), sizeof theirs, stop);
    if (crypto_secretstream_xchacha20poly1305_init_pull(&m_pull, theirs, rx) != 0)
        throw ChannelError{QStringLiteral("the other end's stream header is not usable")};
}

void Channel::seal(char type, QByteArrayView payload, bool final) {
    if (payload.size() > kMaxRecordPayload)
        throw ChannelError{QStringLiteral("a record too long to send")};
    // The length of the sealed payload, the type in the clear (bound as associated data),
    // then the sealed payload.
    const qsizetype cipherSize = payload.size() + crypto_secretstream_xchacha20poly1305_ABYTES;
    const qsizetype at = m_out.size();
    m_out.resize(at + 5 + cipherSize);
    char* frame = m_out.data() + at;
    writeBigEndian32(frame, quint32(cipherSize));
    frame[4] = type;
    crypto_secretstream_xchacha20poly1305_push(
        &m_push, reinterpret_cast<unsigned char*>(frame + 5), nullptr,
        reinterpret_cast<const unsigned char*>(payload.data()), quint64(payload.size()),
        reinterpret_cast<const unsigned char*>(frame + 4), 1,
        final ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
              : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
    m_queuedPayload += quint64(payload.size());
}

void Channel::send(char type, QByteArrayView payload, const std::stop_token& stop, bool final) {
    seal(type, payload, final);
    flush(stop);
}

void Channel::queue(char type, QByteArrayView payload, const std::stop_token& stop) {
    seal(type, payload, false);
    if (m_out.size() >= kQueueBytes)
        flush(stop);
}

void Channel::flush(const std::stop_token& stop) {
    if (m_out.isEmpty())
        return;
    m_socket.writeAll(m_out.constData(), m_out.size(), stop);
    m_out.resize(0); // keeps its room for the next records
    m_sent += std::exchange(m_queuedPayload, 0);
}

char Channel::receive(QByteArray& payload, const std::stop_token& stop) {
    flush(stop);
    if (m_finalSeen)
        throw ChannelError{QStringLiteral("a record after the end of the stream")};
    char head[5];
    m_socket.readExact(head, 5, stop);
    const quint32 cipherSize = readBigEndian32(head);
    constexpr quint32 kOverhead = crypto_secretstream_xchacha20poly1305_ABYTES;
    if (cipherSize < kOverhead || cipherSize > quint32(kMaxRecordPayload) + kOverhead)
        throw ChannelError{QStringLiteral("a record of %1 bytes").arg(cipherSize)};
    m_buffer.resize(qsizetype(cipherSize));
    m_socket.readExact(m_buffer.data(), m_buffer.size(), stop);
    payload.resize(qsizetype(cipherSize - kOverhead));
    unsigned long long plainSize = 0;
    unsigned char tag = 0;
    if (crypto_secretstream_xchacha20poly1305_pull(
            &m_pull, reinterpret_cast<unsigned char*>(payload.data()), &plainSize, &tag,
            reinterpret_cast<const unsigned char*>(m_buffer.constData()), cipherSize,
            reinterpret_cast<const unsigned char*>(head + 4), 1) != 0)
        throw ChannelError{QStringLiteral("a record that does not authenticate")};
    if (tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL)
        m_finalSeen = true;
    return head[4];
}

} // namespace kalvento::transfer
