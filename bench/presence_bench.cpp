// One copy with a key among n other current copies on the in-memory LAN, all listed and
// pinned, for simulated minutes at the default interval: the others' signs of life arrive
// spread over each minute (one per copy), the copy's own timers fire when they are due.
// Each iteration is one simulated minute; the counters say what the copy did in it:
// the signs of life it sent, its wake-ups for presence (its own send steps and expiry
// checks) and the datagrams that woke it. The time is the processing of that minute.

#include "counting_network.h"
#include "crypto/identity_key.h"
#include "messaging/chat_node.h"
#include "messaging/chat_protocol.h"
#include "messaging/envelope.h"
#include "network/memory_network.h"
#include "run_benchmarks.h"

#include "support/chat_node_probe.h"

#include <QCoreApplication>
#include <QtEndian>

#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <vector>

using namespace kalvento;
using namespace std::chrono_literals;
using messaging::PresenceKeeper;

using bench::CountingNetwork;

namespace {

struct Other {
    QString name;
    crypto::IdentityKey key;
    quint32 senderId;
    std::unique_ptr<network::InMemoryNetwork> network;
    quint32 sequence = 0;
};

class Lan {
public:
    explicit Lan(int others) {
        node.setIdentityKey(crypto::IdentityKey::generate());
        test::ChatNodeProbe probe(node);
        probe.session().setPresence(PresenceKeeper(
            PresenceKeeper::kDefaultInterval, [this] { return now; },
            [] { return QDateTime::currentDateTime(); }));
        for (int i = 0; i < others; ++i) {
            const QString name = QStringLiteral("PC%1").arg(i + 1);
            Other other{name, crypto::IdentityKey::generate(), quint32(1000 + i),
                        std::make_unique<network::InMemoryNetwork>(hub, name, "WG")};
            probe.session().guard().book().see(name, other.key.publicKey());
            // As reception does: the key is pinned as the answer arrives, before it lists.
            probe.peers().setTrust(name, network::PeerTrust::Pinned, {});
            probe.peers().AnswerReceived(name, QStringLiteral("WG"), qint32(other.senderId));
            m_others.push_back(std::move(other));
        }
    }

    struct Minute {
        long sent = 0;
        int ownSteps = 0;
        int expiryChecks = 0;
        int received = 0;
    };
    // One simulated minute: the events in time order.
    Minute minute() {
        test::ChatNodeProbe probe(node);
        messaging::ChatSession& session = probe.session();
        Minute m;
        const long sentBefore = network.sent;
        using Time = PresenceKeeper::Clock::time_point;
        const Time start = now;
        const Time end = start + PresenceKeeper::kDefaultInterval;
        const auto n = std::max<qsizetype>(1, qsizetype(m_others.size()));
        const auto gap = PresenceKeeper::kDefaultInterval / n;
        if (!m_nextStep)
            m_nextStep = start + (session.signsOfLifeRunning() ? session.signOfLifeWait()
                                                               : PresenceKeeper::kDefaultInterval);
        Time& nextStep = *m_nextStep;
        std::size_t nextOther = 0;
        for (;;) {
            if (!session.signsOfLifeRunning())
                nextStep = Time::max(); // no timer: no wake-up
            else if (nextStep == Time::max())
                nextStep = now + session.signOfLifeWait();
            const Time nextArrival =
                nextOther < m_others.size() ? Time(start + gap * qsizetype(nextOther)) : end;
            const Time deadline = session.presenceCheckDue().value_or(end);
            const Time next = std::min({nextStep, nextArrival, deadline, end});
            if (next >= end)
                break;
            now = next;
            if (next == nextArrival) {
                arrive(m_others[nextOther++]);
                ++m.received;
            } else if (next == nextStep) {
                session.sendSignsOfLife();
                ++m.ownSteps;
                nextStep =
                    Time(now + (session.signsOfLifeRunning() ? session.signOfLifeWait()
                                                             : PresenceKeeper::kDefaultInterval));
            } else {
                session.checkPresence();
                ++m.expiryChecks;
            }
        }
        now = end;
        m.sent = network.sent - sentBefore;
        return m;
    }

    messaging::ChatNode& copy() { return node; }

private:
    void arrive(Other& other) {
        const QByteArray payload = messaging::signedPayload(
            other.key, counter++, {other.senderId, network::wireName(other.name), "PC0"},
            messaging::signOfLifeText("available"));
        QByteArray datagram(8, '\0');
        qToLittleEndian(other.senderId, datagram.data());
        qToLittleEndian(++other.sequence, datagram.data() + 4);
        other.network->send(network::AddressKind::Named, "PC0", "Terminal", datagram + payload);
        test::ChatNodeProbe(node).receive();
    }

    PresenceKeeper::Clock::time_point now{std::chrono::hours(1)};
    std::optional<PresenceKeeper::Clock::time_point> m_nextStep; // the copy's send timer
    std::uint64_t counter = 1;
    network::InMemoryHub hub;
    CountingNetwork network{hub, QStringLiteral("PC0"), QStringLiteral("WG")};
    messaging::ChatNode node{network};
    std::vector<Other> m_others;
};

void BM_PresenceMinute(benchmark::State& state) {
    Lan lan(int(state.range(0)));
    lan.minute(); // every other copy followed from its first sign of life
    Lan::Minute total;
    for (auto _ : state) {
        const Lan::Minute m = lan.minute();
        total.sent += m.sent;
        total.ownSteps += m.ownSteps;
        total.expiryChecks += m.expiryChecks;
        total.received += m.received;
    }
    const auto perMinute = [&](double value) {
        return benchmark::Counter(value, benchmark::Counter::kAvgIterations);
    };
    state.counters["sent/min"] = perMinute(double(total.sent));
    state.counters["send_wakeups/min"] = perMinute(double(total.ownSteps));
    state.counters["expiry_wakeups/min"] = perMinute(double(total.expiryChecks));
    state.counters["received/min"] = perMinute(double(total.received));
    state.counters["listed"] = double(lan.copy().peers().count());
}
BENCHMARK(BM_PresenceMinute)->Arg(0)->Arg(1)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return kalvento::bench::runBenchmarks(argc, argv);
}
