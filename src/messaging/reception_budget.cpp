#include "messaging/reception_budget.h"

#include <algorithm>

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

bool ReceptionBudget::take(const QString& source) {
    const Clock::time_point now = m_now();
    refill(m_total, m_totalRate, now);
    Bucket* own = nullptr;
    if (!source.isEmpty()) {
        auto found = m_sources.find(source);
        if (found == m_sources.end()) {
            if (m_sources.size() >= kMaxSources)
                forgetIdleSources(now);
            found = m_sources.insert(source, {m_sourceRate.burst, now, now});
        }
        own = &found.value();
        own->seen = now;
        refill(*own, m_sourceRate, now);
    }
    if (m_total.tokens < 1 || (own && own->tokens < 1)) {
        ++m_refused;
        return false;
    }
    m_total.tokens -= 1;
    if (own)
        own->tokens -= 1;
    return true;
}

} // namespace kalvento::messaging
