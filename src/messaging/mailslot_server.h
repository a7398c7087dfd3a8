#pragma once
// This computer's receiving mailslot: owns the datagram service's receiver and looks at it
// on the owner's (GUI) thread, so that every receiver call, event and read happens on one
// thread.
//
// The platform layer queues arriving datagrams on a thread of its own and, where it can,
// tells of each arrival. Then the look (CheckMessages) follows an arrival at once: the
// arrival posts one wake-up to the owner's thread, and further arrivals post none until
// that wake-up is taken, so a burst is read in one look. Interval then only bounds how long
// datagrams that are still waiting after a look wait for the next; while nothing waits, no
// timer runs. A receiver that cannot tell is polled every Interval instead.

#include "network/datagram_network.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>

namespace kalvento::messaging {

// Carries the system's text for the failing call's error.
class EMailslotServerError : public std::runtime_error {
public:
    // errorNumber: the system's errno behind it (EADDRINUSE: another process owns the
    // name), 0 when there is none.
    explicit EMailslotServerError(const QString& text, int errorNumber = 0);
    QString text() const { return QString::fromUtf8(what()); }
    int errorNumber() const noexcept { return m_errorNumber; }

private:
    int m_errorNumber = 0;
};

class TMailslotServer;

// The poller. Runs from creation; Suspend/Resume stop and start it.
class TMailslotThread : public QObject {
    Q_OBJECT
public:
    explicit TMailslotThread(TMailslotServer& server);
    ~TMailslotThread() override;

    // Datagrams waiting at the previous poll.
    quint32 LastCount = 0;

    quint32 Interval() const { return m_interval; }
    void SetInterval(quint32 milliseconds);
    QThread::Priority Priority() const { return m_priority; }
    void SetPriority(QThread::Priority priority) { m_priority = priority; }

    bool Suspended() const { return m_suspended; }
    void Suspend();
    void Resume();
    // Sets the end flag: no further poll does anything.
    void Terminate();
    bool Terminated() const { return m_terminated; }

    // One poll: fires the server's OnNewMessage while datagrams wait or when their count
    // changed since the previous poll.
    void CheckMessages();

    // Whether the receiver tells of arrivals (then no timer runs while nothing waits).
    bool WakesOnArrival() const { return m_wakesOnArrival; }
    // Wake-ups taken so far: looks that an arrival asked for.
    quint64 WakeCount() const { return m_wakeCount; }
    // Whether the timer runs now.
    bool TimerActive() const { return m_timer.isActive(); }

private:
    friend class TMailslotServer;
    // Connects to the server's receiver, just opened.
    void Attach(network::DatagramReceiver& receiver);
    // Called on the receiver's thread for each arrival.
    void Arrived();
    // On the owner's thread: the wake-up an arrival posted.
    void TakeWakeUp();
    // The timer as the state calls for: polling every Interval, or once Interval from now
    // while datagrams still wait.
    void Schedule();

    TMailslotServer& m_server;
    QTimer m_timer;
    std::atomic<bool> m_wakePending{false};
    bool m_wakesOnArrival = false;
    quint64 m_wakeCount = 0;
    quint32 m_interval = 1000;
    QThread::Priority m_priority = QThread::NormalPriority;
    bool m_suspended = false;
    bool m_terminated = false;
    bool m_checking = false;
};

class TMailslotServer : public QObject {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(TMailslotServer* sender)>;

    // Opens the mailslot "mailbox" at once; throws EMailslotServerError when that fails.
    explicit TMailslotServer(network::DatagramNetwork& network, QObject* owner = nullptr);
    ~TMailslotServer() override;

    const TNotifyEvent& OnNewMessage() const { return m_onNewMessage; }
    void SetOnNewMessage(TNotifyEvent handler);

    QString MailslotName() const { return m_mailslotName; }
    void SetMailslotName(const QString& name);

    // Largest datagram kept, in bytes; 0 means any size. Longer ones are discarded unread
    // when they reach the head of the queue, so MessageCount may count them until then.
    quint32 MaxMessageSize() const { return m_maxMessageSize; }
    void SetMaxMessageSize(quint32 size);

    // Kept for callers that ask; the receiver's descriptor is never inherited.
    bool InheritHandle() const { return m_inheritHandle; }
    void SetInheritHandle(bool inherit);

    // Kept for callers that ask. Read never blocks the GUI thread: with nothing waiting it
    // raises EMailslotServerError at once.
    qint32 ReadTimeOut() const { return m_readTimeOut; }
    void SetReadTimeOut(qint32 milliseconds);

    // Non-zero while the receiver is open.
    quint32 Handle() const { return m_handle; }

    bool MessagePolling() const { return m_messagePolling; }
    void SetMessagePolling(bool polling);

    quint32 Interval() const { return m_interval; }
    void SetInterval(quint32 milliseconds);

    QThread::Priority ThreadPriority() const { return m_threadPriority; }
    void SetThreadPriority(QThread::Priority priority);

    // Opens the receiver; nothing when it is open already.
    void Open();
    void Close();

    quint32 MessageCount();
    quint32 NextMessageSize();
    // Reads the next datagram into buffer; returns its size, 0 when no receiver is open.
    quint32 Read(char* buffer, quint32 count);
    // Where the datagram last read came from (DatagramReceiver::lastSource).
    const QString& LastSource() const { return m_lastSource; }
    // Its frame's sender computer and target (DatagramReceiver::lastSenderComputer).
    const QByteArray& LastSenderComputer() const { return m_lastSenderComputer; }
    const QByteArray& LastTarget() const { return m_lastTarget; }
    // The datagram last read is its sender computer's (DatagramReceiver::vouchForLast).
    void VouchForLast() {
        if (m_receiver)
            m_receiver->vouchForLast();
    }

    // Stops polling, then restarts it only when Interval is not 0, MessagePolling is on
    // and OnNewMessage is assigned.
    void UpdatePolling();

    TMailslotThread* Thread() const { return m_thread; }

signals:
    // A poll's handler or read raised; polling goes on.
    void receptionError(const QString& text);

private:
    friend class TMailslotThread;
    void DropOversizeMessages();

    network::DatagramNetwork& m_network;
    std::unique_ptr<network::DatagramReceiver> m_receiver;
    TMailslotThread* m_thread = nullptr;
    TNotifyEvent m_onNewMessage;
    QString m_mailslotName;
    quint32 m_maxMessageSize = 0;
    bool m_inheritHandle = false;
    qint32 m_readTimeOut = -1;
    quint32 m_handle = 0;
    QString m_lastSource;
    QByteArray m_lastSenderComputer;
    QByteArray m_lastTarget;
    bool m_messagePolling = true;
    quint32 m_interval = 1000;
    QThread::Priority m_threadPriority = QThread::NormalPriority;
};

} // namespace kalvento::messaging
