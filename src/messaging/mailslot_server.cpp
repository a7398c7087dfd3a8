#include "messaging/mailslot_server.h"
#include "messaging/mailslot_handle.h"

#include <QByteArray>
#include <QPointer>
#include <QtDebug>

#include <algorithm>
#include <climits>

namespace kalvento::messaging {

namespace {

// The system's limit on the length of a mailslot path.
constexpr int kMaxPathLength = 200;
const QString kLocalPrefix = QStringLiteral("\\\\.\\mailslot\\");

QString describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

} // namespace

EMailslotServerError::EMailslotServerError(const QString& text, int errorNumber)
    : std::runtime_error(text.toStdString()), m_errorNumber(errorNumber) {}

// --- TMailslotThread ---

TMailslotThread::TMailslotThread(TMailslotServer& server) : QObject(&server), m_server(server) {
    m_timer.setInterval(int(m_interval));
    connect(&m_timer, &QTimer::timeout, this, &TMailslotThread::CheckMessages);
    m_timer.start();
}

TMailslotThread::~TMailslotThread() = default;

void TMailslotThread::Attach(network::DatagramReceiver& receiver) {
    // The receiver calls back only while it exists, and the server closes it before this
    // object goes.
    m_wakesOnArrival = receiver.setArrivalNotifier([this] { Arrived(); });
    m_wakePending = false;
    Schedule();
}

void TMailslotThread::Arrived() {
    if (!m_wakePending.exchange(true))
        QMetaObject::invokeMethod(this, &TMailslotThread::TakeWakeUp, Qt::QueuedConnection);
}

void TMailslotThread::TakeWakeUp() {
    // Taken before the look: an arrival during the look posts the next wake-up.
    m_wakePending = false;
    if (m_suspended || m_terminated)
        return; // Resume looks at what came meanwhile
    ++m_wakeCount;
    CheckMessages();
}

void TMailslotThread::Schedule() {
    if (m_suspended || m_terminated) {
        m_timer.stop();
        return;
    }
    if (!m_wakesOnArrival) {
        m_timer.setSingleShot(false);
        if (!m_timer.isActive())
            m_timer.start();
        return;
    }
    m_timer.setSingleShot(true);
    if (LastCount > 0) {
        if (!m_timer.isActive())
            m_timer.start();
    } else {
        m_timer.stop();
    }
}

void TMailslotThread::SetInterval(quint32 milliseconds) {
    m_interval = milliseconds;
    m_timer.setInterval(int(std::min<quint32>(milliseconds, INT_MAX)));
}

void TMailslotThread::Suspend() {
    m_suspended = true;
    m_timer.stop();
}

void TMailslotThread::Resume() {
    m_suspended = false;
    if (m_terminated)
        return;
    if (m_wakesOnArrival) {
        // What arrived while suspended woke nobody: look as soon as the event loop runs.
        QTimer::singleShot(0, this, [this] {
            if (!m_suspended && !m_terminated)
                CheckMessages();
        });
    } else {
        m_timer.setSingleShot(false);
        m_timer.start();
    }
}

void TMailslotThread::Terminate() {
    m_terminated = true;
    m_timer.stop();
}

void TMailslotThread::CheckMessages() {
    // A handler that runs a nested event loop must not see a second poll inside the first:
    // the hand-over is synchronous.
    if (m_terminated || m_checking)
        return;
    QPointer<TMailslotThread> alive(this);
    m_checking = true;
    std::exception_ptr error;
    try {
        const quint32 count = m_server.MessageCount();
        // Firing while datagrams wait, not only on a change of the count, delivers one that
        // arrived while the previous handler ran.
        const TMailslotServer::TNotifyEvent handler = m_server.m_onNewMessage;
        if ((count != LastCount || count > 0) && handler)
            handler(&m_server);
    } catch (...) {
        error = std::current_exception();
    }
    if (!alive)
        return; // the handler destroyed the server
    try {
        LastCount = m_server.MessageCount();
    } catch (...) {
        if (!error)
            error = std::current_exception();
    }
    m_checking = false;
    Schedule();
    if (error) {
        const QString text = describe(error);
        qWarning("Mailslot reception failed: %s", qUtf8Printable(text));
        emit m_server.receptionError(text);
    }
}

// --- TMailslotServer ---

TMailslotServer::TMailslotServer(network::DatagramNetwork& network, QObject* owner)
    : QObject(owner), m_network(network), m_mailslotName(QStringLiteral("mailbox")) {
    m_thread = new TMailslotThread(*this);
    m_thread->SetInterval(m_interval);
    m_thread->SetPriority(m_threadPriority);
    Open();
}

TMailslotServer::~TMailslotServer() {
    m_thread->Terminate();
    Close();
}

void TMailslotServer::SetOnNewMessage(TNotifyEvent handler) {
    m_onNewMessage = std::move(handler);
    UpdatePolling();
}

void TMailslotServer::SetMailslotName(const QString& name) {
    if (name == m_mailslotName)
        return;
    Close();
    m_mailslotName = name;
    Open();
}

void TMailslotServer::SetMaxMessageSize(quint32 size) {
    if (size == m_maxMessageSize)
        return;
    Close();
    m_maxMessageSize = size;
    Open();
}

void TMailslotServer::SetInheritHandle(bool inherit) {
    if (inherit == m_inheritHandle)
        return;
    Close();
    m_inheritHandle = inherit;
    Open();
}

void TMailslotServer::SetReadTimeOut(qint32 milliseconds) {
    m_readTimeOut = milliseconds;
}

void TMailslotServer::SetMessagePolling(bool polling) {
    if (polling == m_messagePolling)
        return;
    m_messagePolling = polling;
    UpdatePolling();
}

void TMailslotServer::SetInterval(quint32 milliseconds) {
    if (milliseconds == m_interval)
        return;
    m_interval = milliseconds;
    m_thread->SetInterval(milliseconds);
    UpdatePolling();
}

void TMailslotServer::SetThreadPriority(QThread::Priority priority) {
    if (priority == m_threadPriority)
        return;
    m_threadPriority = priority;
    m_thread->SetPriority(priority);
    UpdatePolling();
}

void TMailslotServer::Open() {
    if (m_receiver)
        return;
    const QString path = (kLocalPrefix + m_mailslotName).left(kMaxPathLength);
    try {
        m_receiver = m_network.openReceiver(path.mid(kLocalPrefix.size()));
    } catch (const platform::SystemError& e) {
        m_handle = 0;
        throw EMailslotServerError(e.text(), e.errorNumber());
    }
    m_handle = nextMailslotHandle();
    m_thread->Attach(*m_receiver);
}

void TMailslotServer::Close() {
    m_receiver.reset();
    m_handle = 0;
}

void TMailslotServer::DropOversizeMessages() {
    if (m_maxMessageSize == 0)
        return;
    QByteArray discard;
    while (m_receiver->pendingCount() > 0 && m_receiver->nextSize() > m_maxMessageSize) {
        discard.resize(qsizetype(m_receiver->nextSize()));
        m_receiver->read(discard.data(), quint32(discard.size()));
    }
}

quint32 TMailslotServer::MessageCount() {
    if (!m_receiver)
        return 0;
    DropOversizeMessages();
    return m_receiver->pendingCount();
}

quint32 TMailslotServer::NextMessageSize() {
    if (!m_receiver)
        return 0;
    DropOversizeMessages();
    return m_receiver->nextSize();
}

quint32 TMailslotServer::Read(char* buffer, quint32 count) {
    if (!m_receiver)
        return 0;
    quint32 size = 0;
    try {
        DropOversizeMessages();
        size = m_receiver->read(buffer, count);
        m_lastSource = m_receiver->lastSource();
        m_lastSenderComputer = m_receiver->lastSenderComputer();
        m_lastTarget = m_receiver->lastTarget();
    } catch (const platform::SystemError& e) {
        throw EMailslotServerError(e.text());
    }
    if (m_thread->LastCount > 0)
        --m_thread->LastCount;
    return size;
}

void TMailslotServer::UpdatePolling() {
    if (!m_thread->Suspended())
        m_thread->Suspend();
    if (m_interval != 0 && m_messagePolling && m_onNewMessage)
        m_thread->Resume();
}

} // namespace kalvento::messaging
