#pragma once
// Notices a new Internet connection: the computer counts as online once its own host name
// resolves to an IPv4 address that none of its interfaces had when the detector was made
// (a dial-up or other link that came up later). No remote host is ever contacted.

#include "http/host_lookup.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

struct ifaddrs;

namespace kalvento::update {

class TINetDetect;

using TNotifyEvent = std::function<void(TINetDetect* sender)>;

// Where the detector gets its addresses. The resolver runs on a thread of its own, so it
// must not touch GUI-thread state.
struct AddressSources {
    // Once, at construction; may throw.
    std::function<QStringList()> interfaceAddresses;
    // The local host name, read on the GUI thread at each poll.
    std::function<QString()> hostName;
    // The IPv4 addresses of a host name in the resolver's order; none when it does not
    // resolve.
    std::function<std::optional<QStringList>(const QString& hostName)> resolve;

    // The system's resolver. When the program is restricted to chosen interfaces
    // (KALVENTO_INTERFACES, as every test run is), the host name is looked up in the hosts
    // file only, so the detector never sends a DNS query out of the machine.
    static AddressSources system();
};

using http::resolveFromHostsFile;

struct OnlineState {
    bool online = false;
    QString currentIP;
};

// The first resolved address that is not an interface address makes the computer online,
// with that address as the current one. Loopback addresses never count: Linux systems
// commonly resolve their own name to 127.0.1.1, which no interface carries.
OnlineState decideOnline(const QStringList& resolved, const QStringList& interfaceAddresses);

// Dotted-decimal IPv4 addresses of the local interfaces, in the system's order. A failing
// request throws platform::SystemError with the text "Socket error:" and errno.
QStringList interfaceIPv4Addresses();
QStringList interfaceIPv4Addresses(int (*getInterfaces)(ifaddrs**),
                                   void (*freeInterfaces)(ifaddrs*));

// The local host name; empty when it cannot be read.
QString localHostName();

// getaddrinfo for IPv4, duplicates dropped, in the resolver's order.
std::optional<QStringList> resolveIPv4(const QString& hostName);

class TINetDetect : public QObject {
    Q_OBJECT
public:
    // Reads the interface addresses and starts the first poll. Online and CurrentIP are
    // valid once that poll has finished (polled()).
    explicit TINetDetect(QObject* owner = nullptr);
    explicit TINetDetect(AddressSources sources, QObject* owner = nullptr);
    ~TINetDetect() override;

    // Polls every DispatchInterval milliseconds while true, counted from the end of the
    // previous poll.
    bool Enabled() const { return m_enabled; }
    void SetEnabled(bool enabled);
    quint32 DispatchInterval() const { return m_dispatchInterval; }
    void SetDispatchInterval(quint32 milliseconds);

    // Writes to these three are accepted and ignored.
    bool Online() const { return m_online; }
    void SetOnline(bool) {}
    QString CurrentIP() const { return m_currentIP; }
    void SetCurrentIP(const QString&) {}
    QString HostName() const { return m_hostName; }
    void SetHostName(const QString&) {}

    // Raised after a poll that changed Online. A poll that ends while no handler is set
    // raises nothing, the first one included.
    const TNotifyEvent& OnChanged() const { return m_onChanged; }
    void SetOnChanged(TNotifyEvent handler) { m_onChanged = std::move(handler); }

    const QStringList& InterfaceAddresses() const { return m_interfaceAddresses; }

    // Starts a poll now unless one is running. The host name is resolved off the GUI
    // thread; the poll timer stands still until the result is back.
    void Poll();
    bool pollRunning() const { return m_pollRunning; }
    QTimer& pollTimer() { return m_timer; }

signals:
    // A poll has finished, whatever it found.
    void polled();

private:
    void finishPoll(const std::optional<QStringList>& resolved);

    AddressSources m_sources;
    bool m_enabled = false;
    quint32 m_dispatchInterval = 1000;
    bool m_online = false;
    QString m_currentIP;
    QString m_hostName;
    QStringList m_interfaceAddresses;
    QTimer m_timer;
    bool m_pollRunning = false;
    TNotifyEvent m_onChanged;
};

} // namespace kalvento::update
