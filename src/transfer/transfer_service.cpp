#include "transfer/transfer_service.h"

#include "crypto/identity_key.h"
#include "messaging/chat_node.h"
#include "network/udp_network.h"
#include "platform/atomic_file.h"
#include "platform/system_error.h"
#include "platform/text_codec.h"
#include "platform/trace.h"
#include "transfer/manifest_builder.h"
#include "transfer/save_folder.h"
#include "transfer/transfer_channel.h"
#include "transfer/transfer_job.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kalvento::transfer {

namespace {

constexpr char kStateFile[] = "transfers.json";
constexpr int kProgressMs = 250;
constexpr std::chrono::milliseconds kConnectTimeout{5000};
constexpr std::chrono::milliseconds kHelloTimeout{10000};
// A computer may have this many offers waiting for the user's answer; more are declined.
constexpr int kMaxAskingPerComputer = 8;
constexpr int kMaxHandshakes = 16;
constexpr int kMaxRetryMs = 60000;
// How many times a second apart a receiver back in the list is looked at before an offer
// it has not answered is made again (it must be known as a current copy first).
constexpr int kOfferChecks = 30;

QString idText(const TransferId& id) {
    return transferIdText(id);
}

void traceTransfer(const TransferId& id, const QString& what) {
    if (platform::traceEnabled())
        platform::trace(QStringLiteral("transfer %1 %2").arg(idText(id), what));
}

std::optional<quint32> ipv4FromText(const QString& text) {
    const std::optional<network::Ipv4Endpoint> endpoint = network::Ipv4Endpoint::parse(text, 0);
    if (!endpoint)
        return std::nullopt;
    return endpoint->address;
}

QString keyHex(const crypto::PublicKey& key) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(key.data()), qsizetype(key.size())).toHex());
}

std::optional<crypto::PublicKey> keyFromHex(const QString& text) {
    const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
    if (bytes.size() != crypto::kPublicKeySize)
        return std::nullopt;
    crypto::PublicKey key{};
    std::memcpy(key.data(), bytes.constData(), key.size());
    return key;
}

} // namespace

// ---- What the listening thread and the job threads may read: per transfer, whether a
// connection for it is welcome and what its job needs. Kept up to date by the service.
struct Admission {
    bool outgoing = true;
    crypto::PublicKey peer{};
    WelcomeStatus status = WelcomeStatus::NotReady;
};

struct TransferService::Impl {
    struct Transfer {
        TransferInfo info;
        crypto::PublicKey peerKey{};
        // outgoing
        QStringList paths;
        std::shared_ptr<const LocalManifest> local;
        QByteArray manifestBytes;
        // both: the manifest's hash once known (the receiver: as the first connection
        // brought it; the sender: as hashed when it was offered)
        QByteArray manifestHash;
        quint32 peerAddress = 0;
        quint16 peerPort = 0;
        bool pausedHere = false;
        bool everConnected = false;
        bool forgotten = false; // cleared by the user while a connection still ended
        // the connection's thread and what it shares
        std::shared_ptr<JobState> job;
        std::unique_ptr<std::jthread> worker;
        quint64 generation = 0;
        // Connections told to end that have not said so yet (one may be inside a write or
        // a sync of the disk), by generation: each is joined once its end is heard, never
        // waited for on this thread.
        std::vector<std::pair<quint64, std::unique_ptr<std::jthread>>> ending;
        // Held by a connection's thread while it runs: the next one waits for the last to
        // let go, so that two never touch the transfer's files at once.
        std::shared_ptr<std::timed_mutex> connectionTurn = std::make_shared<std::timed_mutex>();
        quint64 sentEarlier = 0; // chunk bytes sent on connections before this one
        // outgoing, offered: the receiver went (goodbye, or not heard for a while) since the
        // offer was made, and may have lost its question with a restart
        bool offerAgain = false;
        int offerChecks = 0; // looks, a second apart, whether it can take the offer yet
        // incoming: the partial file the last connection left for a resume (below the save
        // folder), removed when the transfer ends without going on
        QByteArray keptPart;
        int retryMs = 0;
        QTimer* retry = nullptr;
        // the rate: doneBytes a few seconds ago
        QList<QPair<qint64, quint64>> samples;
        qint64 lastTraceMs = 0;
        quint64 lastTraced = 0;
    };

    TransferService* q = nullptr;
    messaging::ChatNode* node = nullptr;
    TransferOptions options;
    std::map<TransferId, std::unique_ptr<Transfer>> transfers;
    QTimer progressTimer;

    // listening
    int listenFd = -1;
    quint16 port = 0;
    QString listenError;
    std::unique_ptr<std::jthread> acceptor;
    std::mutex admissionsLock;
    std::map<TransferId, Admission> admissions;
    std::atomic<int> handshakes{0};
    // This copy's key, read by the handshake threads (the node's does not change while
    // the service runs).
    std::optional<crypto::IdentityKey> ownKey;
    // Partial files of ended transfers being removed, each on a thread of its own: on a
    // disk that takes no writes for a while, the removal waits there, not on the window's
    // thread. Joined once done, and when the service goes.
    struct Removal {
        std::atomic<bool> done{false};
        std::jthread thread;
    };
    std::list<Removal> removals;

    Transfer* find(const TransferId& id) {
        const auto it = transfers.find(id);
        return it == transfers.end() ? nullptr : it->second.get();
    }

    // ---- the admissions the other threads read
    void admit(const Transfer& t) {
        Admission a;
        a.outgoing = t.info.outgoing;
        a.peer = t.peerKey;
        switch (t.info.state) {
        case TransferState::Preparing:
            a.status = WelcomeStatus::NotReady;
            break;
        case TransferState::Offered:
            a.status = t.local ? WelcomeStatus::Ok : WelcomeStatus::NotReady;
            break;
        case TransferState::Asking:
            a.status = WelcomeStatus::NotReady;
            break;
        case TransferState::Connecting:
        case TransferState::Running:
        case TransferState::Waiting:
            a.status = t.info.outgoing && !t.local ? WelcomeStatus::NotReady : WelcomeStatus::Ok;
            break;
        case TransferState::Paused:
            a.status = t.pausedHere ? WelcomeStatus::Paused : WelcomeStatus::Ok;
            break;
        case TransferState::Done:
        case TransferState::Declined:
        case TransferState::Cancelled:
        case TransferState::Failed:
            a.status = WelcomeStatus::Ended;
            break;
        }
        std::lock_guard lock(admissionsLock);
        admissions[t.info.id] = a;
    }

    // ---- listening
    void listen() {
        stopListening();
        const quint16 wanted = options.port;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            listenError = platform::systemErrorText(errno);
            return;
        }
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(wanted);
        address.sin_addr.s_addr =
            htonl(options.bindAddress != 0 ? options.bindAddress : bindAddress());
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 32) != 0) {
            listenError =
                QStringLiteral("TCP port %1: %2").arg(wanted).arg(platform::systemErrorText(errno));
            ::close(fd);
            return;
        }
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        listenFd = fd;
        listenError.clear();
        acceptor = std::make_unique<std::jthread>(
            [this, fd](const std::stop_token& stop) { acceptLoop(fd, stop); });
    }

    static quint32 bindAddress() {
        // The chat's own choice of address (KALVENTO_BIND_ADDRESS) holds for files too.
        return network::UdpNetworkConfig::fromEnvironment().bindAddress;
    }

    void stopListening() {
        if (acceptor) {
            acceptor->request_stop();
            acceptor.reset();
        }
        if (listenFd >= 0) {
            ::close(listenFd);
            listenFd = -1;
        }
        port = 0;
    }

    void acceptLoop(int fd, const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 250) <= 0)
                continue;
            const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client < 0)
                continue;
            if (handshakes.load() >= kMaxHandshakes) {
                ::close(client);
                continue;
            }
            ++handshakes;
            std::thread([this, client] { handshake(client); }).detach();
        }
    }

    // On a thread of its own: the hello, the checks, the welcome; the channel then goes to
    // the service's thread, which runs the job.
    void handshake(int fd) {
        Socket socket(fd);
        socket.idle = kHelloTimeout;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::stop_source stopSource;
        try {
            const Hello hello = Channel::readHello(socket, stopSource.get_token());
            Admission admission;
            bool known = false;
            {
                std::lock_guard lock(admissionsLock);
                if (const auto it = admissions.find(hello.id); it != admissions.end()) {
                    admission = it->second;
                    known = true;
                }
            }
            const crypto::IdentityKey* own = ownKey ? &*ownKey : nullptr;
            const bool roleFits = known && (hello.role == Role::Receiver) == admission.outgoing;
            if (!known || !roleFits || own == nullptr) {
                Channel::refuse(socket, WelcomeStatus::UnknownTransfer, stopSource.get_token());
            } else if (hello.identity != admission.peer || !verifyHello(hello, own->publicKey())) {
                Channel::refuse(socket, WelcomeStatus::WrongKey, stopSource.get_token());
            } else if (admission.status != WelcomeStatus::Ok) {
                Channel::refuse(socket, admission.status, stopSource.get_token());
            } else {
                auto channel = std::make_shared<Channel>(
                    Channel::acceptSide(std::move(socket), hello, *own, stopSource.get_token()));
                QMetaObject::invokeMethod(
                    q, [this, id = hello.id, channel] { adopt(id, channel); },
                    Qt::QueuedConnection);
            }
        } catch (const ChannelError&) {
        }
        --handshakes;
    }

    // ---- jobs
    void stopJob(Transfer& t) {
        if (!t.worker)
            return;
        t.worker->request_stop();
        t.ending.emplace_back(t.generation, std::move(t.worker));
        t.job.reset();
    }

    // Joins the thread of generation if it was told to end: it has just said it has.
    void joinEnded(Transfer& t, quint64 generation) {
        std::erase_if(t.ending, [generation](const auto& ended) {
            if (ended.first != generation)
                return false;
            ended.second->join();
            return true;
        });
    }

    void adopt(const TransferId& id, const std::shared_ptr<Channel>& channel) {
        Transfer* t = find(id);
        if (t == nullptr || isFinished(t->info.state) ||
            (t->info.state == TransferState::Paused && t->pausedHere) ||
            (t->info.outgoing && !t->local)) {
            channel->socket().shutdownBoth();
            return;
        }
        // Both sides may connect at once (a restarted sender and the receiver's retry): the
        // receiver's own connection is the one kept.
        if (!t->info.outgoing && t->worker) {
            channel->socket().shutdownBoth();
            return;
        }
        stopJob(*t);
        runJob(*t, [channel](const std::stop_token&) { return std::move(*channel); });
    }

    // Starts the job thread of t on the channel that open gives (which connects first when
    // this side is the one to connect).
    void runJob(Transfer& t, std::function<Channel(const std::stop_token&)> open) {
        t.job = std::make_shared<JobState>();
        // What is known so far shows until the connection tells better: a connection that
        // fails, as each does while the other side is gone, does not show the transfer as
        // started over.
        t.job->doneBytes = t.info.doneBytes;
        t.job->fileBytes = t.info.currentFileBytes;
        t.job->currentFile = t.info.currentFile;
        t.job->currentFileSize = t.info.currentFileSize;
        const quint64 generation = ++t.generation;
        if (t.retry)
            t.retry->stop();
        setState(t, t.everConnected || t.info.state == TransferState::Running
                        ? TransferState::Running
                        : TransferState::Connecting);
        auto job = t.job;
        const TransferId id = t.info.id;
        const bool outgoing = t.info.outgoing;
        SenderSetup sender;
        ReceiverSetup receiver;
        std::shared_ptr<const LocalManifest> local = t.local;
        if (outgoing) {
            sender.files = local.get();
            sender.manifestBytes = t.manifestBytes;
        } else {
            receiver.folder = t.info.folder;
            receiver.id = id;
            receiver.offeredFiles = quint32(t.info.files);
            receiver.offeredBytes = t.info.totalBytes;
            receiver.manifestHash = t.manifestHash;
            QPointer<TransferService> service(q);
            receiver.manifestTaken = [service, this, id, generation](const QByteArray& hash) {
                QMetaObject::invokeMethod(
                    service.data(),
                    [this, id, generation, hash] {
                        if (Transfer* found = find(id); found && found->generation == generation) {
                            const bool changed = found->manifestHash != hash;
                            found->manifestHash = hash;
                            if (changed)
                                save();
                        }
                    },
                    Qt::QueuedConnection);
            };
        }
        t.worker = std::make_unique<std::jthread>(
            [this, open = std::move(open), job, id, outgoing, local, sender, receiver, generation,
             turn = t.connectionTurn](const std::stop_token& stop) {
                JobOutcome outcome;
                WelcomeStatus refused = WelcomeStatus::Ok;
                bool connected = false;
                // A connection told to end may still be inside a write or a sync: this one waits
                // for it here, not the window's thread.
                std::unique_lock<std::timed_mutex> files(*turn, std::defer_lock);
                while (!files.try_lock_for(std::chrono::milliseconds(50)))
                    if (stop.stop_requested()) {
                        outcome.reason = QStringLiteral("stopped");
                        break;
                    }
                if (files.owns_lock()) {
                    try {
                        Channel channel = open(stop);
                        connected = true;
                        QMetaObject::invokeMethod(
                            q, [this, id, generation] { connectedNow(id, generation); },
                            Qt::QueuedConnection);
                        outcome = outgoing ? runSender(channel, sender, *job, stop)
                                           : runReceiver(channel, receiver, *job, stop);
                        channel.socket().shutdownBoth();
                    } catch (const ChannelError& error) {
                        outcome.kind = JobOutcome::Kind::Interrupted;
                        outcome.reason = error.text;
                    } catch (const RefusedError& error) {
                        refused = error.status;
                        outcome.kind = JobOutcome::Kind::Interrupted;
                        outcome.reason = welcomeStatusText(error.status);
                    }
                }
                if (files.owns_lock())
                    files.unlock();
                QMetaObject::invokeMethod(
                    q,
                    [this, id, generation, outcome, refused, connected] {
                        jobEnded(id, generation, outcome, refused, connected);
                    },
                    Qt::QueuedConnection);
            });
        progressTimer.start();
    }

    struct RefusedError {
        WelcomeStatus status;
    };

    // This side connects to the other: the receiver to the sender's port, or the sender
    // back to the receiver's.
    void connect(Transfer& t) {
        const crypto::IdentityKey* own = node->identityKey();
        if (own == nullptr)
            return;
        const quint32 address = t.peerAddress;
        const quint16 peerPort = t.peerPort;
        const crypto::PublicKey peer = t.peerKey;
        const TransferId id = t.info.id;
        const Role role = t.info.outgoing ? Role::Sender : Role::Receiver;
        const crypto::IdentityKey key = *own;
        runJob(t, [address, peerPort, peer, id, role, key](const std::stop_token& stop) {
            Socket socket = Socket::connectTo(address, peerPort, kConnectTimeout, stop);
            WelcomeStatus refused = WelcomeStatus::Ok;
            try {
                return Channel::connectSide(std::move(socket), role, id, key, peer, stop, &refused);
            } catch (const ChannelError&) {
                if (refused != WelcomeStatus::Ok)
                    throw RefusedError{refused};
                throw;
            }
        });
    }

    void connectedNow(const TransferId& id, quint64 generation) {
        Transfer* t = find(id);
        if (t == nullptr || t->generation != generation)
            return;
        t->everConnected = true;
        t->retryMs = 0;
        // A pause or an end the user chose while it connected stays.
        if (t->info.state == TransferState::Connecting || t->info.state == TransferState::Waiting)
            setState(*t, TransferState::Running);
    }

    void jobEnded(const TransferId& id, quint64 generation, const JobOutcome& outcome,
                  WelcomeStatus refused, bool connected) {
        if (Transfer* t = find(id); t && t->forgotten)
            endForgotten(*t, generation, outcome);
        else
            handleJobEnd(id, generation, outcome, refused, connected);
    }

    // A connection of a transfer the user cleared while it still ended: once none runs,
    // the part it left goes and the transfer with it.
    void endForgotten(Transfer& t, quint64 generation, const JobOutcome& outcome) {
        joinEnded(t, generation);
        if (t.generation == generation && t.worker) {
            t.worker->join();
            t.worker.reset();
            if (!outcome.keptPart.isEmpty())
                t.keptPart = outcome.keptPart;
        }
        if (t.worker || !t.ending.empty())
            return;
        if (!t.info.outgoing && t.info.state != TransferState::Done)
            discardKeptPart(t);
        erase(t.info.id);
    }

    void erase(const TransferId& id) {
        if (Transfer* t = find(id))
            delete t->retry;
        transfers.erase(id);
        std::lock_guard lock(admissionsLock);
        admissions.erase(id);
    }

    void handleJobEnd(const TransferId& id, quint64 generation, const JobOutcome& outcome,
                      WelcomeStatus refused, bool connected) {
        Transfer* t = find(id);
        if (t == nullptr)
            return;
        joinEnded(*t, generation);
        if (t->generation != generation) {
            // A connection a newer one replaced. The part it may have left is removed once
            // nothing runs any more, should the transfer have ended meanwhile.
            if (!t->info.outgoing && isFinished(t->info.state) &&
                t->info.state != TransferState::Done)
                discardKeptPart(*t);
            return;
        }
        if (t->worker) {
            t->worker->join();
            t->worker.reset();
        }
        const std::shared_ptr<JobState> job = std::move(t->job);
        if (job) {
            t->info.doneBytes = job->doneBytes.load();
            t->sentEarlier += job->sentBytes.load();
        }
        if (!t->info.outgoing) {
            // A connection that ended before it looked at the files (or never was) leaves
            // the part an earlier one named; one that finished the transfer leaves none.
            const QByteArray before = t->keptPart;
            if (!outcome.keptPart.isEmpty())
                t->keptPart = outcome.keptPart;
            else if (outcome.kind == JobOutcome::Kind::Done)
                t->keptPart.clear();
            if (isFinished(t->info.state) && t->info.state != TransferState::Done)
                discardKeptPart(*t); // ended while this connection still ran
            else if (t->keptPart != before)
                save();
        }
        t->info.bytesPerSecond = 0;
        t->samples.clear();
        switch (outcome.kind) {
        case JobOutcome::Kind::Done:
            t->info.doneBytes = t->info.totalBytes;
            if (!outcome.firstPath.isEmpty())
                t->info.firstPath = outcome.firstPath;
            if (t->info.outgoing)
                traceTransfer(id, QStringLiteral("sent %1").arg(t->sentEarlier));
            traceTransfer(id, QStringLiteral("done %1").arg(outcome.firstSha256));
            finish(*t, TransferState::Done, {});
            return;
        case JobOutcome::Kind::Failed:
            finish(*t, TransferState::Failed, outcome.reason);
            return;
        case JobOutcome::Kind::Cancelled:
            if (outcome.byOtherSide)
                finish(*t, TransferState::Cancelled, outcome.reason);
            return; // this side's cancel was told already
        case JobOutcome::Kind::Paused:
            if (outcome.byOtherSide) {
                t->pausedHere = false;
                t->info.error = outcome.reason;
                setState(*t, TransferState::Paused);
            } else if (t->info.state != TransferState::Paused && !isFinished(t->info.state)) {
                t->pausedHere = true;
                setState(*t, TransferState::Paused);
            }
            return;
        case JobOutcome::Kind::Interrupted:
            break;
        }
        if (isFinished(t->info.state) || (t->info.state == TransferState::Paused && t->pausedHere))
            return;
        switch (refused) {
        case WelcomeStatus::UnknownTransfer:
        case WelcomeStatus::Ended:
        case WelcomeStatus::WrongKey:
            finish(*t, TransferState::Failed, welcomeStatusText(refused));
            return;
        case WelcomeStatus::Paused:
            t->pausedHere = false;
            t->info.error = welcomeStatusText(refused);
            setState(*t, TransferState::Paused);
            return;
        case WelcomeStatus::NotReady:
        case WelcomeStatus::Ok:
            break;
        }
        t->info.error = outcome.reason;
        setState(*t, TransferState::Waiting);
        // The receiver that could not reach the sender asks it to connect back.
        if (!t->info.outgoing && !connected && refused == WelcomeStatus::Ok) {
            FileMessage back;
            back.kind = FileMessage::Kind::ConnectBack;
            back.id = id;
            back.port = port;
            node->sendFileMessage(t->info.computer, encodeFileMessage(back));
        }
        if (!t->info.outgoing)
            scheduleRetry(*t, refused == WelcomeStatus::NotReady);
    }

    void scheduleRetry(Transfer& t, bool soon) {
        t.retryMs = soon ? 1000 : std::min(kMaxRetryMs, t.retryMs == 0 ? 2000 : t.retryMs * 2);
        if (!t.retry) {
            t.retry = new QTimer(q);
            t.retry->setSingleShot(true);
            const TransferId id = t.info.id;
            QObject::connect(t.retry, &QTimer::timeout, q, [this, id] {
                Transfer* found = find(id);
                if (found && found->info.state == TransferState::Waiting && !found->worker)
                    connect(*found);
            });
        }
        t.retry->start(t.retryMs);
    }

    // ---- states
    void setState(Transfer& t, TransferState state) {
        t.info.state = state;
        t.info.pausedByOther = state == TransferState::Paused && !t.pausedHere;
        if (state != TransferState::Waiting && state != TransferState::Paused &&
            state != TransferState::Failed && state != TransferState::Cancelled &&
            state != TransferState::Declined)
            t.info.error.clear();
        admit(t);
        save();
        emit q->transferChanged(t.info);
    }

    // A partial file an earlier connection left, of a transfer that will not go on.
    void discardKeptPart(Transfer& t) {
        // A running job discards its own; one told to end may still write it.
        if (t.keptPart.isEmpty() || t.worker || !t.ending.empty())
            return;
        std::erase_if(removals, [](const Removal& r) { return r.done.load(); });
        Removal& removal = removals.emplace_back();
        removal.thread = std::jthread([folderPath = t.info.folder, part = t.keptPart,
                                       id = t.info.id, &done = removal.done] {
            QString error;
            // A save folder gone is not made again for this.
            if (QFileInfo(folderPath).isDir())
                if (const std::optional<SaveFolder> folder = SaveFolder::open(folderPath, &error))
                    folder->discardPart(part, id);
            done = true;
        });
        t.keptPart.clear();
    }

    void finish(Transfer& t, TransferState state, const QString& reason) {
        if (isFinished(t.info.state))
            return;
        stopJobLater(t);
        if (state != TransferState::Done)
            discardKeptPart(t);
        if (t.retry)
            t.retry->stop();
        t.info.error = reason;
        t.info.bytesPerSecond = 0;
        if (state == TransferState::Failed)
            traceTransfer(t.info.id,
                          QStringLiteral("failed %1").arg(platform::escapeControls(reason)));
        else if (state == TransferState::Declined)
            traceTransfer(t.info.id, QStringLiteral("declined"));
        else if (state == TransferState::Cancelled)
            traceTransfer(t.info.id, QStringLiteral("cancelled"));
        setState(t, state);
        emit q->transferFinished(t.info);
    }

    // A job asked to end (pause or cancel) gets a moment to say so on its connection, then
    // its socket is shut.
    void stopJobLater(Transfer& t) {
        if (!t.worker)
            return;
        const TransferId id = t.info.id;
        const quint64 generation = t.generation;
        QTimer::singleShot(1500, q, [this, id, generation] {
            if (Transfer* found = find(id); found && found->generation == generation)
                stopJob(*found);
        });
    }

    void tick() {
        // The steady clock: a wall clock set back would stop the rate and the trace for as
        // long as it went back.
        const qint64 now = QDeadlineTimer::current().deadline();
        bool any = false;
        for (auto& [id, t] : transfers) {
            if (!t->job)
                continue;
            any = true;
            const quint64 done = t->job->doneBytes.load();
            const int file = t->job->fileIndex.load();
            t->info.doneBytes = done;
            if (file >= 0 && t->local && file < int(t->local->manifest.files.size())) {
                const FileEntry& entry = t->local->manifest.files[size_t(file)];
                t->info.currentFile = QString::fromUtf8(entry.path);
                t->info.currentFileSize = entry.size;
            }
            t->info.currentFileBytes = t->job->fileBytes.load();
            if (!t->local) {
                std::lock_guard lock(t->job->nameLock);
                t->info.currentFile = t->job->currentFile;
                t->info.currentFileSize = t->job->currentFileSize;
            }
            t->samples.append({now, done});
            while (t->samples.size() > 2 && now - t->samples.first().first > 3000)
                t->samples.removeFirst();
            const auto& first = t->samples.first();
            if (now > first.first && done >= first.second)
                t->info.bytesPerSecond =
                    double(done - first.second) * 1000.0 / double(now - first.first);
            if (done != t->lastTraced && now - t->lastTraceMs >= 1000) {
                t->lastTraceMs = now;
                t->lastTraced = done;
                traceTransfer(id, QStringLiteral("progress %1").arg(done));
            }
            emit q->transferChanged(t->info);
        }
        if (!any)
            progressTimer.stop();
    }

    // ---- messages through the chat
    void send(const QString& computer, const FileMessage& message) {
        node->sendFileMessage(computer, encodeFileMessage(message));
    }

    void received(const messaging::FileMessageReceived& event) {
        const std::optional<FileMessage> message = decodeFileMessage(event.bytes);
        if (!message)
            return;
        Transfer* t = find(message->id);
        // Every message but an offer belongs to a transfer with that computer.
        if (message->kind != FileMessage::Kind::Offer &&
            (t == nullptr || t->info.computer.compare(event.computer, Qt::CaseInsensitive) != 0))
            return;
        switch (message->kind) {
        case FileMessage::Kind::Offer:
            if (t == nullptr)
                offered(event, *message);
            return;
        case FileMessage::Kind::Accept:
            if (!t->info.outgoing || t->info.state != TransferState::Offered)
                return;
            t->peerPort = message->port;
            if (const auto address = ipv4FromText(event.source))
                t->peerAddress = *address;
            traceTransfer(t->info.id, QStringLiteral("accepted"));
            setState(*t, TransferState::Connecting);
            return;
        case FileMessage::Kind::Decline:
            if (!t->info.outgoing || t->info.state != TransferState::Offered)
                return;
            finish(*t, TransferState::Declined, QString::fromUtf8(message->reason));
            return;
        case FileMessage::Kind::ConnectBack:
            if (!t->info.outgoing || isFinished(t->info.state) || t->worker ||
                (t->info.state == TransferState::Paused && t->pausedHere) || !t->local)
                return;
            t->peerPort = message->port;
            if (const auto address = ipv4FromText(event.source))
                t->peerAddress = *address;
            connect(*t);
            return;
        case FileMessage::Kind::Cancel:
            if (isFinished(t->info.state))
                return;
            if (t->job)
                t->job->request = JobState::Cancel;
            finish(*t, TransferState::Cancelled,
                   message->reason.isEmpty() ? QStringLiteral("cancelled by the other computer")
                                             : QString::fromUtf8(message->reason));
            return;
        }
    }

    void offered(const messaging::FileMessageReceived& event, const FileMessage& message) {
        const std::optional<crypto::PublicKey> key = node->pinnedKey(event.computer);
        if (!key)
            return;
        int asking = 0;
        for (const auto& [id, other] : transfers)
            if (!other->info.outgoing && other->info.state == TransferState::Asking &&
                other->info.computer.compare(event.computer, Qt::CaseInsensitive) == 0)
                ++asking;
        FileMessage answer;
        answer.id = message.id;
        if (asking >= kMaxAskingPerComputer || message.files == 0 || message.files > kMaxFiles ||
            message.port == 0) {
            answer.kind = FileMessage::Kind::Decline;
            answer.reason = "too many offers at once";
            send(event.computer, answer);
            return;
        }
        auto t = std::make_unique<Transfer>();
        t->info.id = message.id;
        t->info.outgoing = false;
        t->info.computer = event.computer;
        t->info.name = QString::fromUtf8(message.name);
        t->info.files = int(message.files);
        t->info.totalBytes = message.bytes;
        t->info.folder = options.saveFolder;
        t->info.started = QDateTime::currentDateTime();
        t->info.state = TransferState::Asking;
        t->peerKey = *key;
        t->peerPort = message.port;
        if (const auto address = ipv4FromText(event.source))
            t->peerAddress = *address;
        Transfer& added = *t;
        transfers.emplace(message.id, std::move(t));
        admit(added);
        traceTransfer(message.id, QStringLiteral("offered %1 %2 %3")
                                      .arg(platform::escapeControls(event.computer))
                                      .arg(message.files)
                                      .arg(message.bytes));
        if (acceptsWithoutAsking(event.computer)) {
            const QString error = q->accept(message.id);
            if (error.isEmpty())
                return;
        }
        emit q->offerReceived(added.info);
    }

    bool acceptsWithoutAsking(const QString& computer) const {
        if (!options.acceptFromFriends)
            return false;
        const messaging::PeerKey key = node->peerKey(computer);
        if (key.trust != network::PeerTrust::Pinned && key.trust != network::PeerTrust::Verified)
            return false;
        const int entry = node->peers().indexOfComputer(computer);
        if (entry < 0)
            return false;
        return node->peers().isFriend(entry);
    }

    // ---- the state file
    QString statePath() const {
        return options.stateFolder.isEmpty()
                   ? QString()
                   : options.stateFolder + QLatin1Char('/') + QLatin1String(kStateFile);
    }

    void save() {
        const QString path = statePath();
        if (path.isEmpty())
            return;
        QJsonArray list;
        for (const auto& [id, t] : transfers) {
            if (isFinished(t->info.state) || t->info.state == TransferState::Asking)
                continue;
            QJsonObject o;
            o[QStringLiteral("id")] = idText(id);
            o[QStringLiteral("outgoing")] = t->info.outgoing;
            o[QStringLiteral("computer")] = t->info.computer;
            o[QStringLiteral("key")] = keyHex(t->peerKey);
            o[QStringLiteral("name")] = t->info.name;
            o[QStringLiteral("files")] = t->info.files;
            o[QStringLiteral("bytes")] = QString::number(t->info.totalBytes);
            o[QStringLiteral("done")] = QString::number(t->info.doneBytes);
            o[QStringLiteral("manifest")] = QString::fromLatin1(t->manifestHash.toHex());
            o[QStringLiteral("address")] = QString::number(t->peerAddress);
            o[QStringLiteral("port")] = t->peerPort;
            o[QStringLiteral("paused")] = t->info.state == TransferState::Paused && t->pausedHere;
            o[QStringLiteral("accepted")] = t->info.state != TransferState::Offered &&
                                            t->info.state != TransferState::Preparing;
            if (t->info.outgoing)
                o[QStringLiteral("paths")] = QJsonArray::fromStringList(t->paths);
            else
                o[QStringLiteral("folder")] = t->info.folder;
            if (!t->keptPart.isEmpty())
                o[QStringLiteral("part")] = QString::fromLatin1(t->keptPart.toBase64());
            list.append(o);
        }
        try {
            QDir().mkpath(options.stateFolder);
            platform::writeFileAtomically(path, QJsonDocument(list).toJson(),
                                          platform::FileAccess::OwnerOnly);
        } catch (const std::exception& e) {
            platform::trace(
                QStringLiteral("transfer state not saved: %1").arg(QString::fromUtf8(e.what())));
        }
    }

    void load() {
        const QString path = statePath();
        if (path.isEmpty())
            return;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        const QJsonArray list = QJsonDocument::fromJson(file.readAll()).array();
        for (const auto& value : list) {
            const QJsonObject o = value.toObject();
            const std::optional<TransferId> id =
                transferIdFromText(o[QStringLiteral("id")].toString());
            const std::optional<crypto::PublicKey> key =
                keyFromHex(o[QStringLiteral("key")].toString());
            if (!id || !key || transfers.count(*id) != 0)
                continue;
            auto t = std::make_unique<Transfer>();
            t->info.id = *id;
            t->info.outgoing = o[QStringLiteral("outgoing")].toBool();
            t->info.computer = o[QStringLiteral("computer")].toString();
            t->info.name = o[QStringLiteral("name")].toString();
            t->info.files = o[QStringLiteral("files")].toInt();
            t->info.totalBytes = o[QStringLiteral("bytes")].toString().toULongLong();
            // As far as it had come, to show until a connection tells (a file of an older
            // version has none: nothing shows as done).
            t->info.doneBytes =
                std::min(t->info.totalBytes, o[QStringLiteral("done")].toString().toULongLong());
            t->info.started = QDateTime::currentDateTime();
            t->peerKey = *key;
            t->manifestHash =
                QByteArray::fromHex(o[QStringLiteral("manifest")].toString().toLatin1());
            t->peerAddress = quint32(o[QStringLiteral("address")].toString().toULong());
            t->peerPort = quint16(o[QStringLiteral("port")].toInt());
            t->everConnected = true;
            const bool paused = o[QStringLiteral("paused")].toBool();
            const bool accepted = o[QStringLiteral("accepted")].toBool();
            Transfer& added = *t;
            transfers.emplace(*id, std::move(t));
            if (added.info.outgoing) {
                const QJsonArray paths = o[QStringLiteral("paths")].toArray();
                for (const auto& p : paths)
                    added.paths.append(p.toString());
                added.info.firstPath = added.paths.value(0);
                added.info.state = TransferState::Preparing;
                admit(added);
                prepare({*id}, added.paths, paused, accepted);
            } else {
                added.info.folder = o[QStringLiteral("folder")].toString();
                added.keptPart =
                    QByteArray::fromBase64(o[QStringLiteral("part")].toString().toLatin1());
                added.pausedHere = paused;
                added.info.state = paused ? TransferState::Paused : TransferState::Waiting;
                admit(added);
                if (!paused)
                    scheduleRetry(added, true);
            }
            emit q->transferChanged(added.info);
        }
    }

    // ---- outgoing: the files are read and hashed once for all the transfers of one send.
    void prepare(const QList<TransferId>& ids, const QStringList& paths, bool paused,
                 bool accepted) {
        const quint64 job = ++preparations;
        preparing[job] =
            std::jthread([this, ids, paths, paused, accepted, job](const std::stop_token& stop) {
                QString error;
                std::optional<LocalManifest> listed = listFiles(paths, &error);
                std::shared_ptr<const LocalManifest> local;
                if (listed) {
                    std::optional<LocalManifest> hashed = hashFiles(
                        std::move(*listed), stop, [](quint64) {}, &error);
                    if (hashed)
                        local = std::make_shared<const LocalManifest>(std::move(*hashed));
                }
                if (stop.stop_requested())
                    return;
                QMetaObject::invokeMethod(
                    q,
                    [this, ids, local, error, paused, accepted, job] {
                        preparing.erase(job); // joins the thread, which ends right after this
                        prepared(ids, local, error, paused, accepted);
                    },
                    Qt::QueuedConnection);
            });
    }
    std::map<quint64, std::jthread> preparing;
    quint64 preparations = 0;

    void prepared(const QList<TransferId>& ids, const std::shared_ptr<const LocalManifest>& local,
                  const QString& error, bool paused, bool accepted) {
        QByteArray bytes;
        QByteArray hash;
        if (local) {
            bytes = encodeManifest(local->manifest);
            hash = manifestHash(bytes);
        }
        for (const TransferId& id : ids) {
            Transfer* t = find(id);
            if (t == nullptr || isFinished(t->info.state))
                continue;
            if (!local) {
                cancelAtPeer(*t, error);
                finish(*t, TransferState::Failed, error);
                continue;
            }
            if (!t->manifestHash.isEmpty() && t->manifestHash != hash) {
                const QString why = QStringLiteral("the files changed since they were offered");
                cancelAtPeer(*t, why);
                finish(*t, TransferState::Failed, why);
                continue;
            }
            t->local = local;
            t->manifestBytes = bytes;
            t->manifestHash = hash;
            if (t->info.state == TransferState::Preparing) {
                if (paused) {
                    t->pausedHere = true;
                    setState(*t, TransferState::Paused);
                } else if (accepted && t->peerPort != 0 && t->peerAddress != 0) {
                    // A restarted sender says it is back by connecting; the receiver also
                    // tries on its own.
                    connect(*t);
                } else {
                    setState(*t, accepted ? TransferState::Waiting : TransferState::Offered);
                }
            } else {
                admit(*t);
                save();
                // Accepted while the files were being read: the receiver was told to wait,
                // and hears at once that they are ready.
                if ((t->info.state == TransferState::Connecting ||
                     t->info.state == TransferState::Waiting) &&
                    !t->worker && t->peerPort != 0 && t->peerAddress != 0)
                    connect(*t);
            }
        }
    }

    void cancelAtPeer(const Transfer& t, const QString& reason) {
        FileMessage cancel;
        cancel.kind = FileMessage::Kind::Cancel;
        cancel.id = t.info.id;
        cancel.reason = platform::toWire(reason, kMaxReasonBytes);
        send(t.info.computer, cancel);
    }

    // The offer of an outgoing transfer, as first sent and as sent again.
    FileMessage offerOf(const Transfer& t) const {
        FileMessage offer;
        offer.kind = FileMessage::Kind::Offer;
        offer.id = t.info.id;
        offer.port = port;
        offer.files = quint32(t.info.files);
        offer.bytes = t.info.totalBytes;
        offer.name = platform::toWire(t.info.name, kMaxNameBytes);
        return offer;
    }

    // A computer came back: waiting transfers with it try at once.
    void computerHeard(const QString& computer) {
        offerAgainIfDue(computer);
        for (auto& [id, t] : transfers) {
            if (t->info.outgoing || t->info.state != TransferState::Waiting || t->worker ||
                t->info.computer.compare(computer, Qt::CaseInsensitive) != 0)
                continue;
            t->retryMs = 0;
            scheduleRetry(*t, true);
        }
    }

    // An offer not answered yet is made again once the receiver that went is back and can
    // take it: a restart lost its question (a receiver that still asks takes it for the
    // same and ignores it).
    void offerAgainIfDue(const QString& computer) {
        bool lookAgain = false;
        for (auto& [id, t] : transfers) {
            if (!t->info.outgoing || t->info.state != TransferState::Offered || !t->offerAgain ||
                t->info.computer.compare(computer, Qt::CaseInsensitive) != 0)
                continue;
            if (node->fileTransferBlocker(computer).isEmpty()) {
                t->offerAgain = false;
                send(t->info.computer, offerOf(*t));
            } else if (t->offerChecks++ < kOfferChecks) {
                lookAgain = true;
            }
        }
        // Listed again, but not yet known as a current copy: its first sign of life tells,
        // which no event marks.
        if (lookAgain)
            QTimer::singleShot(1000, q, [this, computer] { offerAgainIfDue(computer); });
    }

    void computerWent(const QString& computer) {
        for (auto& [id, t] : transfers)
            if (t->info.outgoing && t->info.state == TransferState::Offered &&
                t->info.computer.compare(computer, Qt::CaseInsensitive) == 0) {
                t->offerAgain = true;
                t->offerChecks = 0;
            }
    }
};

TransferService::TransferService(messaging::ChatNode& node, TransferOptions options,
                                 QObject* parent)
    : QObject(parent), d(std::make_unique<Impl>()) {
    qRegisterMetaType<kalvento::transfer::TransferInfo>();
    d->q = this;
    d->node = &node;
    if (const crypto::IdentityKey* key = node.identityKey())
        d->ownKey = *key;
    d->options = std::move(options);
    d->progressTimer.setInterval(kProgressMs);
    QObject::connect(&d->progressTimer, &QTimer::timeout, this, [this] { d->tick(); });
    QObject::connect(
        &node, &messaging::ChatNode::chatEvent, this, [this](const messaging::ChatEvent& event) {
            if (const auto* file = std::get_if<messaging::FileMessageReceived>(&event))
                d->received(*file);
            else if (const auto* added = std::get_if<messaging::PeerAdded>(&event))
                d->computerHeard(added->entry.computerName);
            else if (const auto* changed = std::get_if<messaging::PeerChanged>(&event))
                d->offerAgainIfDue(changed->entry.computerName);
            else if (const auto* removed = std::get_if<messaging::PeerRemoved>(&event))
                d->computerWent(removed->computerName);
            else if (const auto* presence = std::get_if<messaging::PresenceChanged>(&event)) {
                if (presence->state == network::PeerPresence::Absent ||
                    presence->state == network::PeerPresence::Gone)
                    d->computerWent(presence->computer);
                else
                    d->computerHeard(presence->computer);
            }
        });
    d->listen();
    d->load();
}

TransferService::~TransferService() {
    d->stopListening();
    for (auto& [job, thread] : d->preparing)
        thread.request_stop();
    // Connections are cut, not paused: the other side waits and goes on when this copy
    // is back (a pause would wait for this side's user).
    for (auto& [id, t] : d->transfers)
        if (t->worker)
            t->worker->request_stop();
    for (auto& [id, t] : d->transfers) {
        t->worker.reset();
        t->ending.clear(); // told to stop already
    }
    d->preparing.clear();
    while (d->handshakes.load() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TransferService::setOptions(const TransferOptions& options) {
    const bool portChanged =
        options.port != d->options.port || options.bindAddress != d->options.bindAddress;
    d->options = options;
    if (portChanged)
        d->listen();
}

const TransferOptions& TransferService::options() const {
    return d->options;
}

QString TransferService::listenError() const {
    return d->listenError;
}

quint16 TransferService::listeningPort() const {
    return d->port;
}

QString TransferService::cannotSendTo(const QString& computer) const {
    if (QString blocker = d->node->fileTransferBlocker(computer); !blocker.isEmpty())
        return blocker;
    if (!d->node->pinnedKey(computer))
        return QStringLiteral("the key of %1 is not known").arg(computer);
    if (d->port == 0)
        return QStringLiteral("this copy cannot receive connections for files: %1")
            .arg(d->listenError);
    return {};
}

TransferService::OfferResult TransferService::sendFiles(const QStringList& paths,
                                                        const QStringList& computers) {
    OfferResult result;
    QString error;
    const std::optional<LocalManifest> listed = listFiles(paths, &error);
    if (!listed) {
        result.error = error;
        return result;
    }
    if (listed->manifest.files.empty()) {
        result.error = QStringLiteral("there is no file to send");
        return result;
    }
    const QByteArray first = listed->manifest.files.front().path;
    const QByteArray name = first.left(first.indexOf('/') < 0 ? first.size() : first.indexOf('/'));
    QList<TransferId> ids;
    for (const QString& computer : computers) {
        if (QString why = cannotSendTo(computer); !why.isEmpty()) {
            result.refused.append({computer, why});
            continue;
        }
        auto t = std::make_unique<Impl::Transfer>();
        t->info.id = newTransferId();
        t->info.outgoing = true;
        t->info.computer = computer;
        t->info.name = QString::fromUtf8(name);
        t->info.files = int(listed->manifest.files.size());
        t->info.totalBytes = listed->manifest.totalBytes();
        t->info.started = QDateTime::currentDateTime();
        t->info.state = TransferState::Offered;
        t->peerKey = *d->node->pinnedKey(computer);
        t->paths = paths;
        t->info.firstPath = paths.value(0);
        if (QString sendError =
                d->node->sendFileMessage(computer, encodeFileMessage(d->offerOf(*t)));
            !sendError.isEmpty()) {
            result.refused.append({computer, sendError});
            continue;
        }
        const TransferId id = t->info.id;
        Impl::Transfer& added = *t;
        d->transfers.emplace(id, std::move(t));
        d->admit(added);
        traceTransfer(id, QStringLiteral("offered %1 %2 %3")
                              .arg(platform::escapeControls(computer))
                              .arg(added.info.files)
                              .arg(added.info.totalBytes));
        ids.append(id);
        result.offered.append(id);
        emit transferChanged(added.info);
    }
    if (!ids.isEmpty()) {
        d->save();
        d->prepare(ids, paths, false, false);
    }
    return result;
}

QString TransferService::accept(const TransferId& id, const QString& folder) {
    Impl::Transfer* t = d->find(id);
    if (t == nullptr || t->info.outgoing || t->info.state != TransferState::Asking)
        return QStringLiteral("this offer is no longer open");
    const QString target = folder.isEmpty() ? d->options.saveFolder : folder;
    QString error;
    const std::optional<SaveFolder> opened = SaveFolder::open(target, &error);
    if (!opened)
        return error;
    if (opened->freeBytes() < t->info.totalBytes)
        return QStringLiteral("not enough space in %1: %2 bytes needed, %3 free")
            .arg(target)
            .arg(t->info.totalBytes)
            .arg(opened->freeBytes());
    t->info.folder = opened->path();
    FileMessage answer;
    answer.kind = FileMessage::Kind::Accept;
    answer.id = id;
    answer.port = d->port;
    if (QString sendError = d->node->sendFileMessage(t->info.computer, encodeFileMessage(answer));
        !sendError.isEmpty())
        return sendError;
    traceTransfer(id, QStringLiteral("accepted"));
    d->connect(*t);
    return {};
}

void TransferService::decline(const TransferId& id) {
    Impl::Transfer* t = d->find(id);
    if (t == nullptr || t->info.outgoing || t->info.state != TransferState::Asking)
        return;
    FileMessage answer;
    answer.kind = FileMessage::Kind::Decline;
    answer.id = id;
    answer.reason = "declined";
    d->send(t->info.computer, answer);
    d->finish(*t, TransferState::Declined, QStringLiteral("declined"));
}

void TransferService::pause(const TransferId& id) {
    Impl::Transfer* t = d->find(id);
    if (t == nullptr || isFinished(t->info.state) || t->info.state == TransferState::Asking ||
        (t->info.state == TransferState::Paused && t->pausedHere))
        return;
    t->pausedHere = true;
    if (t->job) {
        t->job->request = JobState::Pause;
        d->stopJobLater(*t);
    }
    if (t->retry)
        t->retry->stop();
    d->setState(*t, TransferState::Paused);
}

void TransferService::resume(const TransferId& id) {
    Impl::Transfer* t = d->find(id);
    if (t == nullptr || t->info.state != TransferState::Paused || !t->pausedHere)
        return;
    t->pausedHere = false;
    if (t->worker)
        d->stopJob(*t);
    if (t->info.outgoing && !t->local) {
        d->setState(*t, TransferState::Preparing);
        return;
    }
    // The side that paused goes on by connecting; a sender that never heard the receiver's
    // port waits for the receiver instead.
    if (t->peerPort != 0 && t->peerAddress != 0) {
        d->connect(*t);
    } else {
        d->setState(*t, TransferState::Waiting);
    }
}

void TransferService::cancel(const TransferId& id) {
    Impl::Transfer* t = d->find(id);
    if (t == nullptr || isFinished(t->info.state))
        return;
    if (t->info.state == TransferState::Asking) {
        decline(id);
        return;
    }
    if (t->job)
        t->job->request = JobState::Cancel;
    d->cancelAtPeer(*t, QStringLiteral("cancelled by the other computer"));
    d->finish(*t, TransferState::Cancelled, QStringLiteral("cancelled"));
}

void TransferService::forget(const TransferId& id) {
    Impl::Transfer* t = d->find(id);
    if (t == nullptr || !isFinished(t->info.state))
        return;
    // A connection that still ends may leave a part to remove: the transfer goes after it.
    if (t->worker || !t->ending.empty()) {
        t->forgotten = true;
        return;
    }
    d->erase(id);
}

QList<TransferInfo> TransferService::transfers() const {
    QList<TransferInfo> list;
    for (const auto& [id, t] : d->transfers)
        if (!t->forgotten)
            list.append(t->info);
    std::sort(list.begin(), list.end(),
              [](const TransferInfo& a, const TransferInfo& b) { return a.started < b.started; });
    return list;
}

std::optional<TransferInfo> TransferService::transfer(const TransferId& id) const {
    if (const Impl::Transfer* t = d->find(id); t && !t->forgotten)
        return t->info;
    return std::nullopt;
}

} // namespace kalvento::transfer
