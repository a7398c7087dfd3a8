#pragma once
// How much reception may make this copy send at once. Every greeting is answered, so
// greetings from a forger would turn the program into a reflector onto the LAN. Each one
// accepted takes a token from a bucket of the whole copy and from a bucket of its sender's
// address; the buckets refill continuously.
//
// A greeting whose sender's bucket is empty is refused (not listed, not answered). One that
// finds only the whole copy's bucket empty waits its turn (take it with takeWaiting() as
// the bucket refills): a LAN whose copies all start at once, as after a power cut, greets
// each copy thousands of times within milliseconds, and every one of them must be answered
// in the end, or two copies that both ran dry never list each other.
//
// Answers are what this copy asked for with its own greeting: for a while after it
// (kAnswerWindow) the first answer from each address is free, up to the list's size, so
// that a newcomer among thousands of copies lists them all at once. Any other answer is
// charged like a greeting.
//
// The defaults are far above what a real LAN sends unasked: a copy greets once per show,
// "Deliveries" (at most 10) times over. One computer stays inside 50 at once and 10 a
// second; a few thousand copies starting together are answered within seconds.
//
// None of this bounds what a typed line sends: a list filled by forgers would still be
// sent every line. The chat session sends lines beyond a few only to computers whose
// address has answered a question of ours (see docs/protocol.md).

#include <QHash>
#include <QSet>
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
    // How long after this copy's greeting answers to it are free, and how many.
    static constexpr std::chrono::seconds kAnswerWindow{30};
    static constexpr int kMaxFreeAnswers = 4096;

    explicit ReceptionBudget(Rate total = kTotal, Rate perSource = kPerSource,
                             std::function<Clock::time_point()> now = Clock::now);

    // True, taking a token from both buckets, when neither is empty; false (taking none)
    // otherwise. An empty source is charged to the whole copy only.
    bool take(const QString& source);

    enum class Admission {
        Now,     // both tokens taken: act on it
        Waiting, // the sender's token taken, the whole copy's owed: act when takeWaiting()
        Refused, // the sender's bucket is empty: ignore it
    };
    // A greeting from source. othersWaiting: greetings wait already, and this one queues
    // behind them rather than take the token they are owed.
    Admission admitGreeting(const QString& source, bool othersWaiting);
    // The whole copy's token for a greeting that waits: true, taken, when there is one.
    bool takeWaiting();
    // How long until the whole copy's bucket holds a token again (zero when it does).
    Clock::duration untilNextToken() const;

    // This copy has just greeted: answers are free for kAnswerWindow (the first from each
    // source, kMaxFreeAnswers in all).
    void greetingSent();
    // An answer that would list or change an entry: true when free or within the budget.
    bool admitAnswer(const QString& source);

    quint64 refused() const { return m_refused; }
    quint64 waited() const { return m_waited; }
    quint64 freeAnswers() const { return m_freeAnswers; }
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
    // The source's bucket, refilled to now; nullptr for an empty source.
    Bucket* sourceBucket(const QString& source, Clock::time_point now);

    Rate m_totalRate;
    Rate m_sourceRate;
    std::function<Clock::time_point()> m_now;
    Bucket m_total;
    QHash<QString, Bucket> m_sources;
    quint64 m_refused = 0;
    quint64 m_waited = 0;
    quint64 m_freeAnswers = 0;
    bool m_greeted = false;
    Clock::time_point m_greetedAt;
    QSet<QString> m_answeredSources; // answered for free since the last greeting
};

} // namespace kalvento::messaging
