#pragma once
// The counters a sender has already used, so that a datagram taken off the wire and sent
// again is refused. Each sender numbers its sealed and signed datagrams with a counter that
// only grows (counter_clock below); a receiver accepts a number above the highest it has
// seen, or one of the 64 just below it that it has not seen yet (datagrams overtake each
// other), and nothing older. A number is marked only once its datagram has passed every
// check, so that a forgery spends nothing.

#include <QString>

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
// the clock has not moved on (or went back). Counter 0 is never given.
//
// The receivers keep the highest counter they took from a key across their restarts, so
// the counter must also grow across this copy's own restarts when the clock was set back
// in between (a clock that ran hours ahead and was put right, a computer whose clock is
// read as local time by one system and as UTC by another): otherwise everything it sends
// is refused as a replay until its clock catches up. keepIn keeps a floor in a file: a
// number above every counter given, reserved ahead of the clock and written before a
// counter passes it.
class CounterClock {
public:
    // How far ahead of the last counter a floor is reserved (10 minutes): while the clock
    // runs, the file is written about once in that time.
    static constexpr std::uint64_t kReserve = 600'000'000;

    explicit CounterClock(std::uint64_t (*now)() = nullptr) : m_now(now) {}
    // Starts above the floor kept in path (none when the file is missing) and keeps it there
    // from now on. The error of a file that is there and cannot be read: the counters then
    // start from the clock. A floor that cannot be written is warned of, and the counters
    // follow the clock alone until a write succeeds.
    QString keepIn(const QString& path);
    std::uint64_t next();

private:
    void reserve();

    std::uint64_t (*m_now)();
    std::uint64_t m_last = 0;
    QString m_path;
    // The floor last written to m_path (or tried): every counter given is below it, and the
    // next one at or above it writes a new floor.
    std::uint64_t m_floor = 0;
};

} // namespace kalvento::crypto
