#pragma once
// The counters a sender has already used, so that a datagram taken off the wire and sent
// again is refused. Each sender numbers its sealed and signed datagrams with a counter that
// only grows (counter_clock below); a receiver accepts a number above the highest it has
// seen, or one of the 64 just below it that it has not seen yet (datagrams overtake each
// other), and nothing older. A number is marked only once its datagram has passed every
// check, so that a forgery spends nothing.

#include <cstdint>

namespace kalvento::crypto {

class ReplayWindow {
public:
    static constexpr std::uint64_t kWidth = 64;

    // highMark: the highest counter accepted before (kept across restarts); 0 for a sender
    // never seen. A window restored from its mark takes every number up to it as used.
    explicit ReplayWindow(std::uint64_t highMark = 0)
        : m_high(highMark), m_seen(highMark ? ~std::uint64_t{0} : 0) {}

    bool fresh(std::uint64_t counter) const;
    // Marks counter as used; call after fresh(counter) and the datagram's checks.
    void accept(std::uint64_t counter);
    std::uint64_t highMark() const { return m_high; }

private:
    std::uint64_t m_high;
    std::uint64_t m_seen; // bit i: m_high - i was accepted (bit 0 is m_high itself)
};

// A sender's counter: the microseconds since 1970, or one more than the last number when
// the clock has not moved on (or went back), so that it grows across restarts without a
// file. Counter 0 is never given.
class CounterClock {
public:
    explicit CounterClock(std::uint64_t (*now)() = nullptr) : m_now(now) {}
    std::uint64_t next();

private:
    std::uint64_t (*m_now)();
    std::uint64_t m_last = 0;
};

} // namespace kalvento::crypto
