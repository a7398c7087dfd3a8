#include "crypto/replay_window.h"

#include "platform/atomic_file.h"

#include <QByteArray>
#include <QFile>

#include <chrono>
#include <exception>

namespace kalvento::crypto {

bool ReplayWindow::fresh(std::uint64_t counter) const {
    if (counter == 0)
        return false;
    if (counter > m_high)
        return true;
    const std::uint64_t age = m_high - counter;
    if (age >= kWidth)
        return false;
    return (m_seen & (std::uint64_t{1} << age)) == 0;
}

void ReplayWindow::accept(std::uint64_t counter) {
    if (counter > m_high) {
        const std::uint64_t shift = counter - m_high;
        m_seen = shift >= kWidth ? 0 : m_seen << shift;
        m_seen |= 1;
        m_high = counter;
        return;
    }
    const std::uint64_t age = m_high - counter;
    if (age < kWidth)
        m_seen |= std::uint64_t{1} << age;
}

namespace {

constexpr char kFloorTag[] = "counter ";
// A floor beyond this (2^62, some 146,000 years after 1970) is not one this program wrote.
constexpr std::uint64_t kFloorLimit = std::uint64_t{1} << 62;

} // namespace

QString CounterClock::keepIn(const QString& path) {
    m_path = path;
    m_floor = 0;
    if (path.isEmpty())
        return {};
    QFile file(path);
    if (!file.exists())
        return {}; // the first counter writes it
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1: %2").arg(path, file.errorString());
    const QByteArray line = file.readLine(64).trimmed();
    bool ok = false;
    const std::uint64_t floor = line.startsWith(kFloorTag)
                                    ? line.sliced(qsizetype(sizeof kFloorTag) - 1).toULongLong(&ok)
                                    : 0;
    if (!ok || floor == 0 || floor >= kFloorLimit) {
        // Written over at the next counter: the clock alone is all there is to go by.
        return QStringLiteral("%1: not a counter this copy kept").arg(path);
    }
    if (floor > m_last)
        m_last = floor;
    return {};
}

std::uint64_t CounterClock::next() {
    std::uint64_t now = 0;
    if (m_now) {
        now = m_now();
    } else {
        const auto since = std::chrono::system_clock::now().time_since_epoch();
        now = std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
    }
    m_last = now > m_last ? now : m_last + 1;
    if (!m_path.isEmpty() && m_last >= m_floor)
        reserve();
    return m_last;
}

void CounterClock::reserve() {
    // Not kept, the counters go on from the clock, and the write is tried again a reserve on.
    m_floor = m_last + kReserve;
    try {
        platform::writeFileAtomically(m_path,
                                      QByteArray(kFloorTag) + QByteArray::number(m_floor) + '\n');
    } catch (const std::exception& e) {
        qWarning("The floor of the counters was not kept: %s", e.what());
    }
}

} // namespace kalvento::crypto
