#include "update/inet_detect.h"

#include "platform/system_error.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <ifaddrs.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>

using namespace kalvento::update;

namespace {

// A network whose answers a test sets, read by the detector's lookup thread.
struct FakeNetwork {
    std::mutex mutex;
    std::condition_variable released;
    QStringList interfaces;
    std::optional<QStringList> resolved;
    bool blocked = false;
    int lookups = 0;
    QString lastName;

    void resolveTo(std::optional<QStringList> addresses) {
        std::lock_guard lock(mutex);
        resolved = std::move(addresses);
    }
    void block() {
        std::lock_guard lock(mutex);
        blocked = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            blocked = false;
        }
        released.notify_all();
    }
    int lookupCount() {
        std::lock_guard lock(mutex);
        return lookups;
    }
};

AddressSources sourcesFor(const std::shared_ptr<FakeNetwork>& network) {
    return {
        [network] { return network->interfaces; },
        [] { return QStringLiteral("workstation"); },
        [network](const QString& name) {
            std::unique_lock lock(network->mutex);
            network->released.wait(lock, [&] { return !network->blocked; });
            ++network->lookups;
            network->lastName = name;
            return network->resolved;
        },
    };
}

void waitForPoll(TINetDetect& detector) {
    if (!detector.pollRunning())
        return;
    QSignalSpy polled(&detector, &TINetDetect::polled);
    ASSERT_TRUE(polled.wait(5000));
}

void pollNow(TINetDetect& detector) {
    detector.Poll();
    waitForPoll(detector);
}

class INetDetectTest : public ::testing::Test {
protected:
    void SetUp() override {
        network->interfaces = {"127.0.0.1", "198.51.100.10"};
        network->resolved = QStringList{"198.51.100.10"};
    }
    std::unique_ptr<TINetDetect> make() {
        auto detector = std::make_unique<TINetDetect>(sourcesFor(network));
        waitForPoll(*detector);
        return detector;
    }

    std::shared_ptr<FakeNetwork> network = std::make_shared<FakeNetwork>();
};

} // namespace

TEST(DecideOnline, FirstResolvedAddressThatNoInterfaceHadDecides) {
    struct Case {
        const char* name;
        QStringList resolved;
        QStringList interfaces;
        bool online;
        const char* currentIP;
    };
    const Case cases[] = {
        {"only known addresses", {"198.51.100.10"}, {"127.0.0.1", "198.51.100.10"}, false, ""},
        {"one new address",
         {"198.51.100.10", "203.0.113.7"},
         {"198.51.100.10"},
         true,
         "203.0.113.7"},
        {"two new: resolver order",
         {"203.0.113.9", "203.0.113.7"},
         {"198.51.100.10"},
         true,
         "203.0.113.9"},
        {"no interfaces at start", {"198.51.100.10", "203.0.113.7"}, {}, true, "198.51.100.10"},
        {"nothing resolved", {}, {"198.51.100.10"}, false, ""},
        {"loopback never counts", {"127.0.1.1"}, {"127.0.0.1"}, false, ""},
        {"loopback skipped, next decides", {"127.0.1.1", "203.0.113.7"}, {}, true, "203.0.113.7"},
        {"exact text comparison", {"198.51.100.1"}, {"198.51.100.10"}, true, "198.51.100.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const OnlineState state = decideOnline(c.resolved, c.interfaces);
        EXPECT_EQ(state.online, c.online);
        EXPECT_EQ(state.currentIP, QString::fromLatin1(c.currentIP));
    }
}

TEST_F(INetDetectTest, StartsDisabledWithItsDefaultsAndPollsOnce) {
    auto detector = make();
    EXPECT_FALSE(detector->Enabled());
    EXPECT_EQ(detector->DispatchInterval(), 1000u);
    EXPECT_FALSE(detector->pollTimer().isActive());
    EXPECT_EQ(detector->InterfaceAddresses(), (QStringList{"127.0.0.1", "198.51.100.10"}));
    EXPECT_EQ(detector->HostName(), "workstation");
    EXPECT_EQ(network->lastName, "workstation");
    EXPECT_EQ(network->lookupCount(), 1);
    EXPECT_FALSE(detector->Online());
    EXPECT_EQ(detector->CurrentIP(), "");
}

TEST_F(INetDetectTest, FirstPollSetsTheStateButRaisesNothingWithoutAHandler) {
    network->interfaces.clear();
    auto detector = make();
    EXPECT_TRUE(detector->Online());
    EXPECT_EQ(detector->CurrentIP(), "198.51.100.10");

    int events = 0;
    detector->SetOnChanged([&](TINetDetect*) { ++events; });
    pollNow(*detector);
    EXPECT_EQ(events, 0);
}

TEST_F(INetDetectTest, ANewAddressRaisesOnChangedOnceAndItsLossAgain) {
    auto detector = make();
    std::vector<std::pair<bool, QString>> events;
    detector->SetOnChanged([&](TINetDetect* sender) {
        EXPECT_EQ(sender, detector.get());
        events.emplace_back(sender->Online(), sender->CurrentIP());
    });

    network->resolveTo(QStringList{"198.51.100.10", "203.0.113.7", "203.0.113.9"});
    pollNow(*detector);
    pollNow(*detector);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], std::make_pair(true, QStringLiteral("203.0.113.7")));

    // A different new address: still online, so no event, but the address follows.
    network->resolveTo(QStringList{"203.0.113.9"});
    pollNow(*detector);
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(detector->CurrentIP(), "203.0.113.9");

    network->resolveTo(QStringList{"198.51.100.10"});
    pollNow(*detector);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], std::make_pair(false, QString()));
}

TEST_F(INetDetectTest, AnUnresolvableNameChangesNothing) {
    network->resolveTo(QStringList{"203.0.113.7"});
    auto detector = make();
    ASSERT_TRUE(detector->Online());
    int events = 0;
    detector->SetOnChanged([&](TINetDetect*) { ++events; });

    network->resolveTo(std::nullopt);
    pollNow(*detector);
    EXPECT_TRUE(detector->Online());
    EXPECT_EQ(detector->CurrentIP(), "203.0.113.7");
    EXPECT_EQ(events, 0);
}

TEST_F(INetDetectTest, WritesToTheReportedStateAreIgnored) {
    network->resolveTo(QStringList{"203.0.113.7"});
    auto detector = make();
    detector->SetOnline(false);
    detector->SetCurrentIP("192.0.2.1");
    detector->SetHostName("elsewhere");
    EXPECT_TRUE(detector->Online());
    EXPECT_EQ(detector->CurrentIP(), "203.0.113.7");
    EXPECT_EQ(detector->HostName(), "workstation");
}

TEST_F(INetDetectTest, DisabledItNeverPollsAgain) {
    auto detector = make();
    detector->SetDispatchInterval(20);
    QTest::qWait(200);
    EXPECT_EQ(network->lookupCount(), 1);
}

TEST_F(INetDetectTest, EnabledItPollsEveryIntervalUntilDisabled) {
    auto detector = make();
    detector->SetDispatchInterval(20);
    detector->SetEnabled(true);
    EXPECT_TRUE(detector->pollTimer().isActive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return network->lookupCount() >= 4; }, 3000));

    detector->SetEnabled(false);
    waitForPoll(*detector);
    const int lookups = network->lookupCount();
    EXPECT_FALSE(detector->pollTimer().isActive());
    QTest::qWait(150);
    EXPECT_EQ(network->lookupCount(), lookups);
}

TEST_F(INetDetectTest, ANewIntervalTakesEffectAtOnce) {
    auto detector = make();
    detector->SetDispatchInterval(86400000);
    detector->SetEnabled(true);
    EXPECT_EQ(detector->pollTimer().interval(), 86400000);
    detector->SetDispatchInterval(30);
    EXPECT_EQ(detector->pollTimer().interval(), 30);
    EXPECT_TRUE(QTest::qWaitFor([&] { return network->lookupCount() >= 2; }, 2000));
}

TEST_F(INetDetectTest, SettingEnabledToItsValueLeavesTheTimerAlone) {
    auto detector = make();
    detector->SetDispatchInterval(5000);
    detector->SetEnabled(true);
    QTest::qWait(1000);
    detector->SetEnabled(true);
    // A coarse timer may run up to 5% late, so a restart shows as 4750 or more.
    EXPECT_LT(detector->pollTimer().remainingTime(), 4600);
}

// A resolver that hangs must not hang the program; the timer waits for it, and polls never
// overlap.
TEST_F(INetDetectTest, ASlowLookupLeavesTheEventLoopRunningAndPollsDoNotOverlap) {
    auto detector = make();
    detector->SetDispatchInterval(10);
    network->block();
    network->resolveTo(QStringList{"203.0.113.7"});
    detector->Poll();
    ASSERT_TRUE(detector->pollRunning());

    bool eventLoopRan = false;
    QTimer::singleShot(20, [&] { eventLoopRan = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return eventLoopRan; }, 1000));

    detector->SetEnabled(true);
    EXPECT_FALSE(detector->pollTimer().isActive());
    detector->Poll();
    QTest::qWait(50);
    EXPECT_EQ(network->lookupCount(), 1);

    network->release();
    waitForPoll(*detector);
    EXPECT_TRUE(detector->Online());
    EXPECT_EQ(network->lookupCount(), 2);
    EXPECT_TRUE(detector->pollTimer().isActive());
    detector->SetEnabled(false);
}

TEST_F(INetDetectTest, DestroyedDuringALookupDropsTheResult) {
    auto detector = make();
    int events = 0;
    detector->SetOnChanged([&](TINetDetect*) { ++events; });
    network->block();
    network->resolveTo(QStringList{"203.0.113.7"});
    detector->Poll();
    detector.reset();
    network->release();
    EXPECT_TRUE(QTest::qWaitFor([&] { return network->lookupCount() == 2; }, 2000));
    QTest::qWait(50);
    EXPECT_EQ(events, 0);
}

TEST_F(INetDetectTest, AFailingInterfaceRequestFailsTheConstruction) {
    AddressSources sources = sourcesFor(network);
    sources.interfaceAddresses = []() -> QStringList {
        throw kalvento::platform::SystemError(ENOBUFS, "Socket error:105");
    };
    EXPECT_THROW(TINetDetect detector(sources), kalvento::platform::SystemError);
}

namespace {

// Interface lists as getifaddrs would hand them over.
struct FakeInterfaces {
    static inline int frees = 0;
    static inline int error = 0;
    static inline std::vector<ifaddrs>* entries = nullptr;

    static int get(ifaddrs** list) {
        if (error != 0) {
            errno = error;
            return -1;
        }
        *list = entries->empty() ? nullptr : &entries->front();
        return 0;
    }
    static void release(ifaddrs*) { ++frees; }
};

sockaddr_in ipv4(const char* text) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

} // namespace

TEST(InterfaceIPv4Addresses, ListsTheIPv4AddressesInOrder) {
    sockaddr_in first = ipv4("198.51.100.23");
    sockaddr_in6 v6 = {};
    v6.sin6_family = AF_INET6;
    sockaddr_in second = ipv4("10.0.0.1");
    std::vector<ifaddrs> entries(4);
    entries[0].ifa_addr = reinterpret_cast<sockaddr*>(&first);
    entries[1].ifa_addr = reinterpret_cast<sockaddr*>(&v6);
    entries[2].ifa_addr = nullptr; // an interface without an address
    entries[3].ifa_addr = reinterpret_cast<sockaddr*>(&second);
    for (size_t i = 0; i + 1 < entries.size(); ++i)
        entries[i].ifa_next = &entries[i + 1];

    FakeInterfaces::entries = &entries;
    FakeInterfaces::error = 0;
    FakeInterfaces::frees = 0;
    EXPECT_EQ(interfaceIPv4Addresses(FakeInterfaces::get, FakeInterfaces::release),
              (QStringList{"198.51.100.23", "10.0.0.1"}));
    EXPECT_EQ(FakeInterfaces::frees, 1);
}

TEST(InterfaceIPv4Addresses, AFailingRequestThrowsSocketErrorWithTheErrorNumber) {
    FakeInterfaces::error = EMFILE;
    try {
        interfaceIPv4Addresses(FakeInterfaces::get, FakeInterfaces::release);
        FAIL() << "no error";
    } catch (const kalvento::platform::SystemError& error) {
        EXPECT_STREQ(error.what(), "Socket error:24");
        EXPECT_EQ(error.errorNumber(), EMFILE);
    }
    FakeInterfaces::error = 0;
}

// Only names that never leave the machine: the hosts file and literal addresses.
TEST(SystemAddresses, ReadTheLocalInterfacesAndResolveWithoutTheNetwork) {
    EXPECT_TRUE(interfaceIPv4Addresses().contains("127.0.0.1"));
    const auto localhost = resolveIPv4("localhost");
    ASSERT_TRUE(localhost.has_value());
    EXPECT_TRUE(localhost->contains("127.0.0.1"));
    EXPECT_EQ(QStringList(*localhost).removeDuplicates(), 0);
    EXPECT_EQ(resolveIPv4("198.51.100.7"), QStringList{"198.51.100.7"});
    EXPECT_EQ(resolveIPv4(""), std::nullopt);
    EXPECT_FALSE(localHostName().isEmpty());
}

TEST(InetDetectHostsFile, NamesResolveFromTheFileOnlyInItsOrder) {
    QTemporaryFile hosts;
    ASSERT_TRUE(hosts.open());
    hosts.write("# comment 10.9.9.9 box\n"
                "127.0.0.1 localhost\n"
                "192.0.2.7   Box box.lan  # trailing comment\n"
                "::1 box\n"
                "192.0.2.8 other box\n"
                "not-an-address box\n");
    hosts.flush();
    using kalvento::update::resolveFromHostsFile;
    EXPECT_EQ(resolveFromHostsFile("box", hosts.fileName()),
              std::optional<QStringList>(QStringList({"192.0.2.7", "192.0.2.8"})));
    EXPECT_EQ(resolveFromHostsFile("nobody", hosts.fileName()), std::nullopt);
    EXPECT_EQ(resolveFromHostsFile("box", "/nonexistent/hosts"), std::nullopt);
}
