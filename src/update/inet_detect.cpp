#include "update/inet_detect.h"

#include "http/host_lookup.h"
#include "platform/system_error.h"

#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <ifaddrs.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kalvento::update {

namespace {

using http::dottedDecimal;

bool isLoopback(const QString& address) {
    return address.startsWith(QLatin1String("127."));
}

} // namespace

AddressSources AddressSources::system() {
    AddressSources sources{[] { return interfaceIPv4Addresses(); }, localHostName, resolveIPv4};
    if (qEnvironmentVariableIsSet("KALVENTO_INTERFACES"))
        sources.resolve = [](const QString& name) { return resolveFromHostsFile(name); };
    return sources;
}

OnlineState decideOnline(const QStringList& resolved, const QStringList& interfaceAddresses) {
    for (const QString& address : resolved) {
        if (isLoopback(address) || interfaceAddresses.contains(address))
            continue;
        return {true, address};
    }
    return {};
}

QStringList interfaceIPv4Addresses() {
    return interfaceIPv4Addresses(::getifaddrs, ::freeifaddrs);
}

QStringList interfaceIPv4Addresses(int (*getInterfaces)(ifaddrs**),
                                   void (*freeInterfaces)(ifaddrs*)) {
    ifaddrs* list = nullptr;
    if (getInterfaces(&list) != 0) {
        const int error = errno;
        throw platform::SystemError(error,
                                    QStringLiteral("Socket error:") + QString::number(error));
    }
    QStringList addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        addresses.append(dottedDecimal(address->sin_addr));
    }
    freeInterfaces(list);
    return addresses;
}

QString localHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return QString();
    return QString::fromLocal8Bit(name);
}

std::optional<QStringList> resolveIPv4(const QString& hostName) {
    http::HostLookupResult found = http::lookupIPv4Host(hostName);
    if (found.error != 0)
        return std::nullopt;
    return found.addresses;
}

TINetDetect::TINetDetect(QObject* owner) : TINetDetect(AddressSources::system(), owner) {}

TINetDetect::TINetDetect(AddressSources sources, QObject* owner)
    : QObject(owner), m_sources(std::move(sources)) {
    m_timer.setInterval(int(m_dispatchInterval));
    connect(&m_timer, &QTimer::timeout, this, &TINetDetect::Poll);
    if (m_sources.hostName)
        m_hostName = m_sources.hostName();
    if (m_sources.interfaceAddresses)
        m_interfaceAddresses = m_sources.interfaceAddresses();
    Poll();
}

// A lookup still running goes on by itself; its result is dropped with the connection.
TINetDetect::~TINetDetect() = default;

void TINetDetect::SetEnabled(bool enabled) {
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    if (!enabled)
        m_timer.stop();
    else if (!m_pollRunning) // a running poll starts the timer when it ends
        m_timer.start();
}

void TINetDetect::SetDispatchInterval(quint32 milliseconds) {
    if (milliseconds == m_dispatchInterval)
        return;
    m_dispatchInterval = milliseconds;
    // QTimer counts in int; a day is far inside that.
    m_timer.setInterval(int(qMin<quint32>(milliseconds, INT_MAX)));
}

void TINetDetect::Poll() {
    if (m_pollRunning)
        return;
    m_timer.stop();
    if (m_sources.hostName)
        m_hostName = m_sources.hostName();
    if (!m_sources.resolve) {
        finishPoll(std::nullopt);
        return;
    }
    m_pollRunning = true;

    // The resolver may take seconds (a DNS server that does not answer), so it runs on a
    // thread of its own and hands its result back through the event loop.
    auto result = std::make_shared<std::optional<QStringList>>();
    QThread* lookup = QThread::create([resolve = m_sources.resolve, name = m_hostName, result] {
        try {
            *result = resolve(name);
        } catch (...) {
            // A resolver that fails is a name that does not resolve.
        }
    });
    connect(lookup, &QThread::finished, this, [this, result] { finishPoll(*result); });
    connect(lookup, &QThread::finished, lookup, &QObject::deleteLater);
    lookup->start();
}

void TINetDetect::finishPoll(const std::optional<QStringList>& resolved) {
    m_pollRunning = false;
    if (resolved) {
        const OnlineState state = decideOnline(*resolved, m_interfaceAddresses);
        m_currentIP = state.currentIP;
        if (state.online != m_online) {
            m_online = state.online;
            if (m_onChanged)
                m_onChanged(this);
        }
    }
    if (m_enabled)
        m_timer.start();
    emit polled();
}

} // namespace kalvento::update
