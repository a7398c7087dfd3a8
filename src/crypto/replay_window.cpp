#include "crypto/replay_window.h"

#include <chrono>

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

std::uint64_t CounterClock::next() {
    std::uint64_t now = 0;
    if (m_now) {
        now = m_now();
    } else {
        const auto since = std::chrono::system_clock::now().time_since_epoch();
        now = std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
    }
    m_last = now > m_last ? now : m_last + 1;
    return m_last;
}

} // namespace kalvento::crypto
