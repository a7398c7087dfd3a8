#pragma once
// One transfer's TCP connection: a blocking socket used by one worker thread, the
// handshake that proves both ends' identity keys, and the encrypted records that follow.
//
// The side that connects sends a hello: "KVT1", its role ('R' it receives, 'S' it sends),
// the transfer id, its identity key, a fresh X25519 key and its signature over all of them
// and the identity key it expects to reach. The listening side answers "KVT1", a status
// (0 to go on), its own fresh key and its signature over both fresh keys and both
// identities. Each then starts a crypto_secretstream_xchacha20poly1305 stream under the
// keys the two fresh keys give (crypto_kx, the connecting side as client): a 24-byte
// header, then records, each the 4-byte length of its sealed payload, its type byte (in
// the clear, authenticated as associated data) and the sealed payload. A stream that ends
// without its final record was cut. The bytes are in docs/protocol.md.

#include "crypto/identity_key.h"
#include "transfer/transfer_wire.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <sodium.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>

namespace kalvento::transfer {

// A socket failure, a peer that stopped answering, or bytes that do not authenticate.
struct ChannelError {
    QString text;
};

class Socket {
public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Connects to address (IPv4, host order) and port, within timeout; throws ChannelError.
    static Socket connectTo(quint32 address, quint16 port, std::chrono::milliseconds timeout,
                            const std::stop_token& stop);
    int fd() const { return m_fd.load(); }
    bool isOpen() const { return m_fd.load() >= 0; }
    // Reads exactly size bytes; throws ChannelError when the peer closes, nothing comes for
    // idle, or stop is requested. Small reads are served from what one read call brought
    // ahead (up to kReadAhead bytes), so that a run of small records costs one call, not
    // two each; a large one goes straight into data.
    void readExact(char* data, qsizetype size, const std::stop_token& stop);
    static constexpr qsizetype kReadAhead = qsizetype(64) * 1024;
    void writeAll(const char* data, qsizetype size, const std::stop_token& stop);
    // Wakes a thread blocked on the socket (from any thread): its call throws.
    void shutdownBoth();
    // After this side's last record: says so (a half close), then reads and drops what the
    // other side still sends until it closes too or wait passes. Closing with unread bytes
    // would reset the connection and could take the last record with it.
    void finish(std::chrono::milliseconds wait);
    // How long a read or write may wait for the peer before the connection counts as lost.
    std::chrono::milliseconds idle{30000};

private:
    void waitFor(short events, const std::stop_token& stop);
    std::atomic<int> m_fd;
    std::unique_ptr<char[]> m_ahead; // kReadAhead bytes, once needed
    qsizetype m_aheadAt = 0;
    qsizetype m_aheadEnd = 0;
};

inline constexpr char kChannelMagic[] = "KVT1";
inline constexpr int kHelloSize = 4 + 1 + kTransferIdSize + 32 + 32 + 64;
inline constexpr int kWelcomeSize = 4 + 1 + 32 + 64;
inline constexpr qsizetype kMaxRecordPayload = qsizetype(kChunkSize) + 16;

enum class Role : char { Receiver = 'R', Sender = 'S' };

// Status byte of the welcome: 0 goes on, anything else refuses (and the welcome stops there).
enum class WelcomeStatus : quint8 {
    Ok = 0,
    UnknownTransfer = 1,
    WrongKey = 2,
    NotReady = 3, // still hashing, or busy: try again later
    Paused = 4,
    Ended = 5, // cancelled, declined or finished
};
QString welcomeStatusText(WelcomeStatus status);

struct Hello {
    Role role = Role::Receiver;
    TransferId id{};
    crypto::PublicKey identity{};
    std::array<std::uint8_t, 32> ephemeral{};
    crypto::Signature signature{};
};
// The hello's bytes and fields; parseHello checks the magic and the role only (the
// signature needs the transfer's keys: verifyHello).
QByteArray encodeHello(const Hello& hello);
std::optional<Hello> parseHello(QByteArrayView bytes);
bool verifyHello(const Hello& hello, const crypto::PublicKey& listener);

class Channel {
public:
    // The connecting side: hello, welcome, streams. Throws ChannelError, with the welcome's
    // refusal in refused.
    static Channel connectSide(Socket socket, Role role, const TransferId& id,
                               const crypto::IdentityKey& own, const crypto::PublicKey& peer,
                               const std::stop_token& stop, WelcomeStatus* refused = nullptr);
    // Reads the hello of an accepted socket (within the socket's idle time).
    static Hello readHello(Socket& socket, const std::stop_token& stop);
    // The listening side after the caller checked the hello (verifyHello, the transfer and
    // its pinned key): the welcome, then the streams.
    static Channel acceptSide(Socket socket, const Hello& hello, const crypto::IdentityKey& own,
                              const std::stop_token& stop);
    // Sends a refusing welcome and closes.
    static void refuse(Socket& socket, WelcomeStatus status, const std::stop_token& stop);

    Channel(Channel&&) noexcept = default;
    ~Channel();

    // One record: type and payload (at most kMaxRecordPayload bytes), final marks the last
    // of this direction. Sent at once, after any queued before it.
    void send(char type, QByteArrayView payload, const std::stop_token& stop, bool final = false);
    // One record sealed now and sent with the ones that follow it, in one write call once
    // kQueueBytes are waiting, or by the next send(), flush() or receive(): many small files
    // then cost the network a write call per many records, not one each.
    void queue(char type, QByteArrayView payload, const std::stop_token& stop);
    void flush(const std::stop_token& stop);
    bool hasQueued() const { return !m_out.isEmpty(); }
    static constexpr qsizetype kQueueBytes = qsizetype(128) * 1024;
    // The next record's type and payload (into payload, reused); throws ChannelError when
    // it does not authenticate, is too long, or the stream was cut. finalSeen() after the
    // last. Sends what is queued first.
    char receive(QByteArray& payload, const std::stop_token& stop);
    bool finalSeen() const { return m_finalSeen; }
    Socket& socket() { return m_socket; }
    // Payload bytes of the records written to the socket so far (not those still queued).
    quint64 bytesSent() const { return m_sent; }

private:
    Channel() = default;
    void start(const unsigned char* rx, const unsigned char* tx, const std::stop_token& stop);
    // Seals a record onto the end of m_out.
    void seal(char type, QByteArrayView payload, bool final);

    Socket m_socket;
    crypto_secretstream_xchacha20poly1305_state m_push{};
    crypto_secretstream_xchacha20poly1305_state m_pull{};
    QByteArray m_buffer; // the sealed record being read
    QByteArray m_out;    // sealed records not written yet
    quint64 m_queuedPayload = 0;
    bool m_finalSeen = false;
    quint64 m_sent = 0;
};

} // namespace kalvento::transfer
