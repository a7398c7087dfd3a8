#include "messaging/reception_budget.h"

#include <algorithm>
#include <vector>

namespace kalvento::messaging {

ReceptionBudget::ReceptionBudget(Rate total, Rate perSource, std::function<Clock::time_point()> now)
    : m_totalRate(total), m_sourceRate(perSource), m_now(std::move(now)) {
    const Clock::time_point start = m_now();
    m_total = {m_totalRate.burst, start, start};
}

void ReceptionBudget::refill(Bucket& bucket, const Rate& rate, Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - bucket.updated).count();
    if (seconds > 0)
        bucket.tokens = std::min(rate.burst, bucket.tokens + seconds * rate.perSecond);
    bucket.updated = std::max(bucket.updated, now);
}

void ReceptionBudget::forgetIdleSources(Clock::time_point now) {
    for (auto it = m_sources.begin(); it != m_sources.end();) {
        refill(it.value(), m_sourceRate, now);
        if (it.value().tokens >= m_sourceRate.burst)
            it = m_sources.erase(it);
        else
            ++it;
    }
    // Only busy sources are left: the oldest half goes, so that the table stays bounded
    // (a forgotten source starts again from a full bucket, the whole copy's still holds).
    if (m_sources.size() >= kMaxSources) {
        std::vector<Clock::time_point> times;
        times.reserve(size_t(m_sources.size()));
        for (const Bucket& bucket : std::as_const(m_sources))
            times.push_back(bucket.seen);
        auto middle = times.begin() + qsizetype(times.size() / 2);
        std::nth_element(times.begin(), middle, times.end());
        const Clock::time_point cut = *middle;
        m_sources.removeIf([cut](const auto& entry) { return entry.value().seen <= cut; });
    }
}

ReceptionBudget::Bucket* ReceptionBudget::sourceBucket(const QString& source,
                                                       Clock::time_point now) {
    if (source.isEmpty())
        return nullptr;
    auto found = m_sources.find(source);
    if (found == m_sources.end()) {
        if (m_sources.size() >= kMaxSources)
            forgetIdleSources(now);
        found = m_sources.insert(source, {m_sourceRate.burst, now, now});
    }
    Bucket* own = &found.value();
    own->seen = now;
    refill(*own, m_sourceRate, now);
    return own;
}

bool ReceptionBudget::take(const QString& source) {
    const Clock::time_point now = m_now();
    refill(m_total, m_totalRate, now);
    Bucket* own = sourceBucket(source, now);
    if (m_total.tokens < 1 || (own && own->tokens < 1)) {
        ++m_refused;
        return false;
    }
    m_total.tokens -= 1;
    if (own)
        own->tokens -= 1;
    return true;
}

ReceptionBudget::Admission ReceptionBudget::admitGreeting(const QString& source,
                                                          bool othersWaiting) {
    const Clock::time_point now = m_now();
    refill(m_total, m_totalRate, now);
    Bucket* own = sourceBucket(source, now);
    if (own && own->tokens < 1) {
        ++m_refused;
        return Admission::Refused;
    }
    if (own)
        own->tokens -= 1;
    if (othersWaiting || m_total.tokens < 1) {
        ++m_waited;
        return Admission::Waiting;
    }
    m_total.tokens -= 1;
    return Admission::Now;
}

bool ReceptionBudget::takeWaiting() {
    refill(m_total, m_totalRate, m_now());
    if (m_total.tokens < 1)
        return false;
    m_total.tokens -= 1;
    return true;
}

ReceptionBudget::Clock::duration ReceptionBudget::untilNextToken() const {
    Bucket total = m_total;
    refill(total, m_totalRate, m_now());
    if (total.tokens >= 1)
        return Clock::duration::zero();
    if (m_totalRate.perSecond <= 0)
        return Clock::duration::max();
    const double seconds = (1 - total.tokens) / m_totalRate.perSecond;
    return std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds));
}

void ReceptionBudget::greetingSent() {
    m_greeted = true;
    m_greetedAt = m_now();
    m_answeredSources.clear();
}

bool ReceptionBudget::admitAnswer(const QString& source) {
    const bool inWindow = m_greeted && m_now() - m_greetedAt <= kAnswerWindow;
    // The same address answering again, under another name, is not what a copy does:
    // it pays as a greeting would.
    if (inWindow && !m_answeredSources.contains(source) &&
        m_answeredSources.size() < kMaxFreeAnswers) {
        m_answeredSources.insert(source);
        ++m_freeAnswers;
        return true;
    }
    return take(source);
}

} // namespace kalvento::messaging
