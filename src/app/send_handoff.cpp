#include "app/send_handoff.h"

#include "platform/instance_lock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kalvento::app {

namespace {

constexpr std::chrono::seconds kServeTimeout{10};

QJsonArray toArray(const QStringList& list) {
    QJsonArray array;
    for (const QString& item : list)
        array.append(item);
    return array;
}

std::optional<QStringList> fromArray(const QJsonValue& value) {
    if (!value.isArray())
        return std::nullopt;
    QStringList list;
    for (const auto& item : value.toArray()) {
        if (!item.isString())
            return std::nullopt;
        list.append(item.toString());
    }
    return list;
}

std::optional<QJsonObject> objectOf(const QByteArray& line) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.trimmed(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

// The user id of the process at the other end of a local socket; -1 when unknown.
qint64 peerUid(qintptr descriptor) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return -1;
    return credentials.uid;
}

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QString handoffSocketPath() {
    QString path = platform::InstanceLock::lockFilePath(QStringLiteral("Kalvento-send"));
    if (path.endsWith(QLatin1String(".lock")))
        path.chop(5);
    return path + QStringLiteral(".socket");
}

QByteArray encodeRequest(const SendRequest& request) {
    QJsonObject object;
    if (request.show) {
        object.insert(QStringLiteral("show"), true);
        return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    }
    object.insert(QStringLiteral("paths"), toArray(request.paths));
    object.insert(QStringLiteral("to"), toArray(request.computers));
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<SendRequest> decodeRequest(const QByteArray& line) {
    const std::optional<QJsonObject> object = objectOf(line);
    if (!object)
        return std::nullopt;
    if (object->value(QStringLiteral("show")).toBool() &&
        !object->contains(QStringLiteral("paths")))
        return SendRequest{{}, {}, true};
    const std::optional<QStringList> paths = fromArray(object->value(QStringLiteral("paths")));
    const QJsonValue to = object->value(QStringLiteral("to"));
    const std::optional<QStringList> computers = to.isUndefined() ? QStringList() : fromArray(to);
    if (!paths || !computers || paths->isEmpty())
        return std::nullopt;
    return SendRequest{*paths, *computers};
}

QByteArray encodeAnswer(const HandoffAnswer& answer) {
    QJsonObject object;
    object.insert(QStringLiteral("ok"), answer.ok);
    object.insert(QStringLiteral("text"), answer.text);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<HandoffAnswer> decodeAnswer(const QByteArray& line) {
    const std::optional<QJsonObject> object = objectOf(line);
    if (!object || !object->value(QStringLiteral("ok")).isBool())
        return std::nullopt;
    return HandoffAnswer{object->value(QStringLiteral("ok")).toBool(),
                         object->value(QStringLiteral("text")).toString()};
}

SendHandoffServer::SendHandoffServer(Handler handler, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)), m_server(new QLocalServer(this)) {
    // Only the user: the paths name the user's files.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection())
            serve(socket);
    });
}

SendHandoffServer::~SendHandoffServer() {
    m_server->close(); // removes the socket's file
}

QString SendHandoffServer::listen(const QString& path) {
    QLocalServer::removeServer(path);
    if (!m_server->listen(path))
        return QStringLiteral("%1: %2").arg(path, m_server->errorString());
    return {};
}

void SendHandoffServer::serve(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // The socket's mode already keeps others out; the peer's own word on who it is too.
    if (peerUid(socket->socketDescriptor()) != qint64(::geteuid())) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    // A client that says nothing is not waited for forever.
    auto* timeout = new QTimer(socket);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    timeout->start(kServeTimeout);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, timeout] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > kMaxRequestBytes) {
                socket->abort();
                socket->deleteLater();
            }
            return;
        }
        timeout->stop();
        const std::optional<SendRequest> request = decodeRequest(socket->readLine());
        const HandoffAnswer answer =
            request ? m_handler(*request)
                    : HandoffAnswer{false, QStringLiteral("The request was not understood.")};
        socket->write(encodeAnswer(answer));
        socket->flush();
        socket->disconnectFromServer();
    });
}

HandoffResult handOff(const QString& path, const SendRequest& request, int timeoutMs) {
    HandoffResult result;
    const QByteArray file = path.toLocal8Bit();
    sockaddr_un address{};
    if (file.size() >= qsizetype(sizeof address.sun_path)) {
        result.outcome = HandoffResult::Outcome::Failed;
        result.error = QStringLiteral("%1: the path is too long for a socket").arg(path);
        return result;
    }
    // A socket that is not the user's own is nobody's to talk to: another user may have
    // put it there (the path falls back to /tmp).
    struct stat status {};
    if (::lstat(file.constData(), &status) != 0)
        return result; // NoCopy
    if (!S_ISSOCK(status.st_mode) || status.st_uid != ::geteuid()) {
        result.outcome = HandoffResult::Outcome::Failed;
        result.error = QStringLiteral("%1 is not this user's socket").arg(path);
        return result;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.outcome = HandoffResult::Outcome::Failed;
        result.error = systemText(errno);
        return result;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, file.constData(), size_t(file.size()));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        // A file left by a copy that ended: nobody listens.
        if (error != ECONNREFUSED && error != ENOENT) {
            result.outcome = HandoffResult::Outcome::Failed;
            result.error = QStringLiteral("%1: %2").arg(path, systemText(error));
        }
        return result;
    }
    const auto fail = [&](const QString& why) {
        ::close(fd);
        result.outcome = HandoffResult::Outcome::Failed;
        result.error = why;
        return result;
    };
    const QByteArray line = encodeRequest(request);
    for (qsizetype sent = 0; sent < line.size();) {
        const ssize_t n =
            ::send(fd, line.constData() + sent, size_t(line.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(QStringLiteral("%1: %2").arg(path, systemText(errno)));
        sent += n;
    }
    QByteArray received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!received.contains('\n')) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return fail(QStringLiteral("The running copy of Kalvento did not answer."));
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, int(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        received.append(buffer, n);
        if (received.size() > SendHandoffServer::kMaxRequestBytes)
            break;
    }
    ::close(fd);
    const std::optional<HandoffAnswer> answer = decodeAnswer(received);
    if (!answer) {
        result.outcome = HandoffResult::Outcome::Failed;
        result.error = QStringLiteral("The running copy of Kalvento gave no answer.");
        return result;
    }
    result.outcome = HandoffResult::Outcome::Answered;
    result.answer = *answer;
    return result;
}

} // namespace kalvento::app
