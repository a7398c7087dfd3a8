#pragma once
// How much reception may make this copy send. Every greeting is answered and every new
// computer listed is sent each later line, so greetings and answers from a forger would
// turn the program into an amplifier onto the LAN. Each one accepted takes a token from a
// bucket of the whole copy and from a bucket of its sender's address; with either empty it
// is refused (not listed, not answered). The buckets refill continuously.
//
// The defaults are far above a real LAN: a copy that greets sends one greeting per show,
// "Deliveries" (at most 10) times over, and a start hears one answer from every running copy.
// A few hundred copies starting at once stay well inside 2,000 at once and 500 a second, and
// one computer inside 50 at once and 10 a second.

#include <QHash>
#include <QString>

#include <chrono>
#include <functional>

namespace kalvento::messaging {

class ReceptionBudget {
public:
    using Clock = std::chrono::steady_clock;

    struct Rate {
        double perSecond = 0;
        double burst = 0; // what a full bucket holds
    };
    static constexpr Rate kTotal{500, 2000};
    static constexpr Rate kPerSource{10, 50};
    // Sources remembered at most; beyond, those whose buckets have refilled are forgotten.
    static constexpr int kMaxSources = 4096;

    explicit ReceptionBudget(Rate total = kTotal, Rate perSource = kPerSource,
                             std::function<Clock::time_point()> now = Clock::now);

    // True, taking a token from both buckets, when neither is empty; false (taking none)
    // otherwise. An empty source is charged to the whole copy only.
    bool take(const QString& source);
    quint64 refused() const { return m_refused; }
    // Sources remembered now.
    int sourceCount() const { return int(m_sources.size()); }

private:
    struct Bucket {
        double tokens = 0;
        Clock::time_point updated; // of tokens
        Clock::time_point seen;    // last asked for
    };
    void refill(Bucket& bucket, const Rate& rate, Clock::time_point now) const;
    void forgetIdleSources(Clock::time_point now);

    Rate m_totalRate;
    Rate m_sourceRate;
    std::function<Clock::time_point()> m_now;
    Bucket m_total;
    QHash<QString, Bucket> m_sources;
    quint64 m_refused = 0;
};

} // namespace kalvento::messaging
