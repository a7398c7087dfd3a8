#include "platform/identity.h"

#include "platform/text_codec.h"

#include <QtGlobal>

#include <pwd.h>
#include <unistd.h>

#include <limits.h>
#include <vector>

namespace kalvento::platform {

namespace {
const QString kUnknown = QStringLiteral("Unknown");
}

quint32 processId() {
    return quint32(::getpid());
}

QString userName() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_name || !*found->pw_name)
        return kUnknown;
    return QString::fromLocal8Bit(found->pw_name);
}

QString computerNameFromHostName(QByteArrayView hostName) {
    const qsizetype dot = hostName.indexOf('.');
    const QString name = cutToWireLength(
        QString::fromLocal8Bit(dot < 0 ? hostName : hostName.first(dot)), kMaxComputerNameLength);
    return name.isEmpty() ? kUnknown : name;
}

QString computerName() {
    const QString override = qEnvironmentVariable("KALVENTO_COMPUTER_NAME");
    if (!override.isEmpty())
        return cutToWireLength(override, kMaxComputerNameLength);
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return kUnknown;
    return computerNameFromHostName(QByteArrayView(host, qstrlen(host)));
}

} // namespace kalvento::platform
