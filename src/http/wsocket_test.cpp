#include "http/wsocket.h"

#include "support/http_servers.h"

#include "support/qt_print.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace kalvento::http;

namespace {

// A listening loopback socket; the far end of each test connection, driven with plain
// blocking calls.
class Listener {
public:
    Listener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 8) != 0)
            ADD_FAILURE() << "no loopback listener: " << std::strerror(errno);
        socklen_t size = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
    }
    ~Listener() { ::close(m_fd); }
    quint16 port() const { return m_port; }
    int accept() { return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC); }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

void sendAll(int fd, const QByteArray& data) {
    qsizetype sent = 0;
    while (sent < data.size()) {
        const ssize_t n =
            ::send(fd, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += n;
    }
}

QByteArray readExactly(int fd, qsizetype count) {
    QByteArray data;
    char buffer[65536];
    while (data.size() < count) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, n);
    }
    return data;
}

QByteArray pattern(qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char(i % 251);
    return data;
}

// Connects socket to the listener and returns the accepted far end.
int connectTo(TWSocket& socket, Listener& listener) {
    socket.SetAddr(QStringLiteral("127.0.0.1"));
    socket.SetPort(QString::number(listener.port()));
    bool connected = false;
    socket.SetOnSessionConnected([&](TWSocket*, quint16 error) { connected = error == 0; });
    if (!socket.Connect())
        return -1;
    if (!QTest::qWaitFor([&] { return connected; }, 5000))
        return -1;
    socket.SetOnSessionConnected(nullptr);
    return listener.accept();
}

} // namespace

TEST(TBuffer, StoresSendsAndRefillsItsFixedArea) {
    TBuffer block(8);
    EXPECT_EQ(block.Write("abcdefghij", 10), 8); // only what fits
    EXPECT_EQ(block.Peek(), QByteArrayView("abcdefgh"));
    block.Remove(3);
    EXPECT_EQ(block.Peek(), QByteArrayView("defgh"));
    EXPECT_EQ(block.Write("x", 1), 0); // the area is full until everything is sent
    block.Remove(5);
    EXPECT_EQ(block.WrCount(), 0);
    EXPECT_EQ(block.RdCount(), 0);
    EXPECT_EQ(block.Write("xy", 2), 2);
    block.SetSize(16);
    EXPECT_EQ(block.Peek(), QByteArrayView("xy"));
    EXPECT_EQ(TBuffer(0).Size(), 1514);
    EXPECT_EQ(TBuffer(-5).Size(), 1514);
}

TEST(DottedAddress, FourDecimalGroupsUpTo255WithBlanksAroundAreAnAddress) {
    const struct {
        const char* text;
        const char* canonical;
    } rows[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"  10.1.2.3  ", "10.1.2.3"},
        {"010.001.0.255", "10.1.0.255"},
        {"255.255.255.255", "255.255.255.255"},
        {"1.2.3.256", ""},
        {"1.2.3", ""},
        {"1.2.3.4.5", ""},
        {".1.2.3", ""},
        {"1..2.3", ""},
        {"1.2.3.4a", ""},
        {"localhost", ""},
        {"", ""},
        {"1.2. 3.4", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(canonicalDottedAddress(QString::fromLatin1(row.text)),
                  QString::fromLatin1(row.canonical))
            << row.text;
}

TEST(WSocketProperties, DefaultsTrimmingAndTheirRules) {
    TWSocket socket;
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_EQ(socket.Proto(), QStringLiteral("tcp"));
    EXPECT_EQ(socket.LocalAddr(), QStringLiteral("0.0.0.0"));
    EXPECT_EQ(socket.LocalPort(), QStringLiteral("0"));
    EXPECT_EQ(socket.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(socket.LingerTimeout(), 0);
    EXPECT_EQ(socket.FlushTimeout(), 60);
    EXPECT_EQ(socket.SendFlags(), wsSendNormal);
    EXPECT_EQ(socket.ComponentOptions(), 0);
    EXPECT_EQ(socket.ReadCount(), 0);
    EXPECT_EQ(socket.RcvdCount(), -1);
    socket.SetAddr(QStringLiteral("  127.0.0.1 "));
    EXPECT_EQ(socket.Addr(), QStringLiteral("127.0.0.1"));
    socket.SetLocalAddr(QString());
    EXPECT_EQ(socket.LocalAddr(), QStringLiteral("0.0.0.0"));
    socket.SetSocksLevel(QStringLiteral("4a"));
    EXPECT_EQ(socket.SocksLevel(), QStringLiteral("4A"));
    EXPECT_THROW(socket.SetSocksLevel(QStringLiteral("6")), ESocketException);
    try {
        socket.SetSendFlags(7);
        FAIL() << "accepted";
    } catch (const ESocketException& error) {
        EXPECT_EQ(error.Message(), QStringLiteral("Invalid SendFlags"));
    }
}

TEST(WSocketProperties, TheEndsCannotChangeWhileConnected) {
    Listener listener;
    TWSocket socket;
    const int peer = connectTo(socket, listener);
    ASSERT_GE(peer, 0);
    const QString port = socket.Port();
    const struct {
        std::function<void()> change;
        const char* message;
    } rows[] = {
        {[&] { socket.SetAddr(QStringLiteral("10.0.0.1")); }, "Cannot change Addr if not closed"},
        {[&] { socket.SetPort(QStringLiteral("1")); }, "Cannot change Port if not closed"},
        {[&] { socket.SetProto(QStringLiteral("udp")); }, "Cannot change Proto if not closed"},
        {[&] { socket.SetLocalAddr(QStringLiteral("127.0.0.2")); },
         "Cannot change LocalAddr if not closed"},
    };
    for (const auto& row : rows) {
        // Thrown without an OnError handler...
        try {
            row.change();
            ADD_FAILURE() << row.message << ": accepted";
        } catch (const ESocketException& error) {
            EXPECT_EQ(error.Message(), QString::fromLatin1(row.message));
        }
    }
    // ... and handed to it when there is one.
    QStringList reported;
    socket.SetOnError([&](TWSocket* sender) { reported << sender->ErrorMessage(); });
    for (const auto& row : rows)
        row.change();
    EXPECT_EQ(reported.size(), 4);
    EXPECT_EQ(reported.value(3), QStringLiteral("Cannot change LocalAddr if not closed"));
    EXPECT_EQ(socket.Addr(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(socket.Port(), port);
    EXPECT_EQ(socket.Proto(), QStringLiteral("tcp"));
    EXPECT_EQ(socket.LocalAddr(), QStringLiteral("0.0.0.0"));
    ::close(peer);
}

TEST(WSocketConnect, IsRefusedWithoutItsPartsOrWhileInUse) {
    TWSocket socket;
    const struct {
        std::function<void()> setUp;
        const char* message;
    } rows[] = {
        {[&] { socket.SetAddr(QStringLiteral("127.0.0.1")); }, "Connect: No Port Specified"},
        {[&] {
             socket.SetAddr(QString());
             socket.SetPort(QStringLiteral("80"));
         },
         "Connect: No IP Address Specified"},
        {[&] {
             socket.SetAddr(QStringLiteral("127.0.0.1"));
             socket.SetProto(QString());
         },
         "Connect: No Protocol Specified"},
        {[&] {
             socket.SetProto(QStringLiteral("tcp"));
             socket.SetAddr(QStringLiteral("1.2.3.256"));
         },
         "connect: WSocketResolveHost: '1.2.3.256' Invalid IP address."},
        {[&] {
             socket.SetAddr(QStringLiteral("127.0.0.1"));
             socket.SetPort(QStringLiteral("99999"));
         },
         "connect: WSocketResolvePort: Invalid Port."},
        {[&] { socket.SetPort(QStringLiteral("no-such-service")); },
         "connect: WSocketResolvePort: Cannot convert port 'no-such-service', Error #10022"},
    };
    for (const auto& row : rows) {
        row.setUp();
        try {
            socket.Connect();
            ADD_FAILURE() << row.message << ": connected";
        } catch (const ESocketException& error) {
            EXPECT_EQ(error.Message(), QString::fromLatin1(row.message));
        }
        EXPECT_EQ(socket.State(), wsClosed);
    }

    Listener listener;
    TWSocket connected;
    const int peer = connectTo(connected, listener);
    ASSERT_GE(peer, 0);
    EXPECT_THROW(connected.Connect(), ESocketException);
    EXPECT_EQ(connected.State(), wsConnected);
    ::close(peer);
}

TEST(WSocketConnect, ALocalAddressThatIsNotOursCannotEvenStart) {
    TWSocket socket;
    QString reported;
    socket.SetOnError([&](TWSocket* sender) { reported = sender->ErrorMessage(); });
    socket.SetAddr(QStringLiteral("127.0.0.1"));
    socket.SetPort(QStringLiteral("9"));
    socket.SetLocalAddr(
        QStringLiteral("198.51.100.7")); // on no interface: bind fails, nothing is sent
    EXPECT_FALSE(socket.Connect());
    EXPECT_EQ(reported, QStringLiteral("winsock.bind failed, error #10049"));
    EXPECT_EQ(socket.LastError(), 10049);
}

TEST(WSocketConnect, ARefusedConnectionIsReportedLaterAndClosedOnce) {
    TWSocket socket;
    std::vector<std::pair<QString, int>> events;
    socket.SetOnSessionConnected(
        [&](TWSocket*, quint16 error) { events.emplace_back("connected", error); });
    socket.SetOnSessionClosed(
        [&](TWSocket*, quint16 error) { events.emplace_back("closed", error); });
    socket.SetAddr(QStringLiteral("127.0.0.1"));
    socket.SetPort(QString::number(kalvento::test::unusedLoopbackPort()));
    ASSERT_TRUE(socket.Connect());
    EXPECT_TRUE(events.empty()); // never inside Connect
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.size() >= 2; }, 5000));
    QTest::qWait(50);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], std::make_pair(QStringLiteral("connected"), 10061));
    EXPECT_EQ(events[1], std::make_pair(QStringLiteral("closed"), 0));
    EXPECT_EQ(socket.State(), wsClosed);
}

TEST(WSocketLookup, ADottedAddressIsAnsweredBeforeDnsLookupReturns) {
    TWSocket socket;
    std::vector<int> done;
    socket.SetOnDnsLookupDone([&](TWSocket*, quint16 error) { done.push_back(error); });
    socket.DnsLookup(QStringLiteral(" 010.0.0.1 "));
    ASSERT_EQ(done, std::vector<int>{0});
    EXPECT_EQ(socket.DnsResult(), QStringLiteral("10.0.0.1"));
    EXPECT_EQ(socket.DnsResultList(), QStringList{QStringLiteral("10.0.0.1")});
}

TEST(WSocketLookup, AnEmptyNameIsAnErrorThenError10022) {
    TWSocket socket;
    QStringList events;
    socket.SetOnError([&](TWSocket* sender) { events << sender->ErrorMessage(); });
    socket.SetOnDnsLookupDone([&](TWSocket*, quint16 error) { events << QString::number(error); });
    socket.DnsLookup(QString());
    EXPECT_EQ(events, QStringList({"DNS lookup: invalid host name.", "10022"}));
}

TEST(WSocketLookup, ANameIsAnsweredLaterWithEveryAddressInTheResolversOrder) {
    TWSocket socket;
    QString asked;
    socket.SetResolver([&asked](const QString& name) {
        asked = name; // read after the lookup has finished
        return kalvento::http::HostLookupResult{0, {"192.0.2.7", "192.0.2.1", "192.0.2.4"}};
    });
    std::vector<int> done;
    socket.SetOnDnsLookupDone([&](TWSocket*, quint16 error) { done.push_back(error); });
    socket.DnsLookup(QStringLiteral("server.lan"));
    EXPECT_TRUE(done.empty());
    EXPECT_TRUE(socket.DnsLookupPending());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !done.empty(); }, 5000));
    EXPECT_EQ(done, std::vector<int>{0});
    EXPECT_EQ(asked, QStringLiteral("server.lan"));
    EXPECT_EQ(socket.DnsResult(), QStringLiteral("192.0.2.7"));
    EXPECT_EQ(socket.DnsResultList(), QStringList({"192.0.2.7", "192.0.2.1", "192.0.2.4"}));
}

TEST(WSocketLookup, ANameTheHostsFileLacksIsHostNotFound) {
    TWSocket socket; // the system's resolver, limited to the hosts file by KALVENTO_INTERFACES
    int result = -1;
    socket.SetOnDnsLookupDone([&](TWSocket*, quint16 error) { result = error; });
    socket.DnsLookup(QStringLiteral("no-such-host.invalid"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return result >= 0; }, 5000));
    EXPECT_EQ(result, 11001);
    EXPECT_TRUE(socket.DnsResultList().isEmpty());
}

TEST(WSocketLookup, CancellingGives10004AndTheLateAnswerIsDropped) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    };
    auto gate = std::make_shared<Gate>();
    // Shared with the resolver: a cancelled lookup's thread may still start after the test.
    auto lookups = std::make_shared<std::atomic<int>>(0);
    TWSocket socket;
    socket.SetResolver([gate, lookups](const QString&) {
        ++*lookups;
        std::unique_lock lock(gate->mutex);
        gate->opened.wait(lock, [&] { return gate->open; });
        return kalvento::http::HostLookupResult{0, {"192.0.2.1"}};
    });
    std::vector<int> done;
    socket.SetOnDnsLookupDone([&](TWSocket*, quint16 error) { done.push_back(error); });
    socket.DnsLookup(QStringLiteral("slow.lan"));
    socket.CancelDnsLookup();
    EXPECT_EQ(done, std::vector<int>{10004});
    socket.CancelDnsLookup(); // nothing pending: nothing happens
    {
        std::lock_guard lock(gate->mutex);
        gate->open = true;
    }
    gate->opened.notify_all();
    QTest::qWait(200);
    EXPECT_EQ(done, std::vector<int>{10004});
    EXPECT_TRUE(socket.DnsResult().isEmpty());

    // Abort cancels a lookup the same way.
    socket.DnsLookup(QStringLiteral("slow.lan"));
    socket.Abort();
    EXPECT_EQ(done, std::vector<int>({10004, 10004}));
}

TEST(WSocketSend, IsRefusedWhileClosedAndTakesNothingForNothing) {
    TWSocket socket;
    QString reported;
    socket.SetOnError([&](TWSocket* sender) { reported = sender->ErrorMessage(); });
    EXPECT_EQ(socket.Send("abc", 3), -1);
    EXPECT_EQ(socket.LastError(), 10057);
    EXPECT_EQ(reported, QStringLiteral("Error 10057 in function Send\r\nSocket is not connected"));

    Listener listener;
    TWSocket connected;
    const int peer = connectTo(connected, listener);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(connected.Send("", 0), 0);
    ::close(peer);
}

TEST(WSocketSend, OnDataSentIsAlwaysALaterEvent) {
    Listener listener;
    TWSocket socket;
    const int peer = connectTo(socket, listener);
    ASSERT_GE(peer, 0);
    int sentEvents = 0;
    socket.SetOnDataSent([&](TWSocket*, quint16 error) {
        EXPECT_EQ(error, 0);
        ++sentEvents;
    });
    EXPECT_EQ(socket.Send("hello", 5), 5);
    EXPECT_EQ(sentEvents, 0);
    EXPECT_TRUE(socket.AllSent());
    ASSERT_TRUE(QTest::qWaitFor([&] { return sentEvents == 1; }, 2000));
    EXPECT_EQ(readExactly(peer, 5), QByteArray("hello"));
    ::close(peer);
}

TEST(WSocketSend, WhatThePeerDoesNotTakeWaitsInBlocksAndArrivesWhole) {
    Listener listener;
    TWSocket socket;
    const int peer = connectTo(socket, listener);
    ASSERT_GE(peer, 0);
    int sentEvents = 0;
    socket.SetOnDataSent([&](TWSocket*, quint16) { ++sentEvents; });
    const QByteArray data =
        pattern(qsizetype{16} * 1024 * 1024); // more than the kernel buffers hold
    EXPECT_EQ(socket.Send(data), data.size());
    ASSERT_FALSE(socket.AllSent());
    ASSERT_GT(socket.SendQueue().size(), 1u);
    for (const auto& block : socket.SendQueue())
        EXPECT_EQ(block->Size(), TWSocket::kSendBlockSize);

    QByteArray received;
    std::thread reader([&] { received = readExactly(peer, data.size()); });
    const bool allSent = QTest::qWaitFor([&] { return sentEvents > 0; }, 20000);
    reader.join();
    EXPECT_TRUE(allSent);
    EXPECT_EQ(sentEvents, 1);
    EXPECT_TRUE(received == data);
    ::close(peer);
}

TEST(WSocketReceive, EverythingWaitingArrivesBeforeTheOneCloseReport) {
    Listener listener;
    TWSocket socket;
    const int peer = connectTo(socket, listener);
    ASSERT_GE(peer, 0);
    QByteArray received;
    QStringList events;
    socket.SetOnDataAvailable([&](TWSocket* sender, quint16) {
        char buffer[1000]; // less than is waiting: the loop calls again
        const int n = sender->Receive(buffer, sizeof buffer);
        if (n > 0)
            received.append(buffer, n);
    });
    socket.SetOnSessionClosed([&](TWSocket*, quint16 error) {
        events << QStringLiteral("closed %1 after %2").arg(error).arg(received.size());
    });
    const QByteArray data = pattern(300000);
    sendAll(peer, data);
    ::close(peer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !events.isEmpty(); }, 5000));
    socket.Close(); // closed already: no second report
    QTest::qWait(50);
    EXPECT_EQ(events, QStringList{QStringLiteral("closed 0 after 300000")});
    EXPECT_TRUE(received == data);
    EXPECT_EQ(socket.State(), wsClosed);
}

TEST(WSocketReceive, AFloodArrivesInBoundedPiecesWithTheEventLoopBetween) {
    Listener listener;
    TWSocket socket;
    const int peer = connectTo(socket, listener);
    ASSERT_GE(peer, 0);
    // A zero timer runs once per pass of the event loop: the bytes read between two of its
    // ticks are what one readiness report delivered.
    int passes = 0;
    QTimer pass;
    pass.setInterval(0);
    QObject::connect(&pass, &QTimer::timeout, [&] { ++passes; });
    qint64 received = 0;
    int lastPass = -1;
    qint64 inThisPass = 0;
    qint64 mostInOnePass = 0;
    bool closed = false;
    socket.SetOnDataAvailable([&](TWSocket* sender, quint16) {
        char buffer[8192];
        const int n = sender->Receive(buffer, sizeof buffer);
        if (n <= 0)
            return;
        received += n;
        if (passes != lastPass) {
            lastPass = passes;
            inThisPass = 0;
        }
        inThisPass += n;
        mostInOnePass = qMax(mostInOnePass, inThisPass);
    });
    QEventLoop loop;
    socket.SetOnSessionClosed([&](TWSocket*, quint16) {
        closed = true;
        loop.quit();
    });
    constexpr qint64 kFlood = 32 << 20;
    std::thread sender([peer] {
        const QByteArray block(1 << 20, 'f');
        for (qint64 sent = 0; sent < kFlood; sent += block.size())
            sendAll(peer, block);
        ::close(peer);
    });
    pass.start();
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    pass.stop();
    sender.join();
    ASSERT_TRUE(closed);
    EXPECT_EQ(received, kFlood);
    EXPECT_LE(mostInOnePass, TWSocket::kReceiveBudget + 8192);
    EXPECT_GT(passes, int(kFlood / (TWSocket::kReceiveBudget + 8192)) / 2);
}

TEST(WSocketReceive, ACloseFromTheDataHandlerIsReportedOnce) {
    Listener listener;
    TWSocket socket;
    const int peer = connectTo(socket, listener);
    ASSERT_GE(peer, 0);
    int closes = 0;
    socket.SetOnDataAvailable([&](TWSocket* sender, quint16) { sender->Close(); });
    socket.SetOnSessionClosed([&](TWSocket*, quint16) { ++closes; });
    sendAll(peer, "data");
    ::close(peer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return closes > 0; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(closes, 1);
}

TEST(WSocketReceive, WithoutAHandlerTheBytesAreReadAndDropped) {
    Listener listener;
    TWSocket socket;
    const int peer = connectTo(socket, listener);
    ASSERT_GE(peer, 0);
    int closes = 0;
    socket.SetOnSessionClosed([&](TWSocket*, quint16) { ++closes; });
    sendAll(peer, pattern(5000));
    ::close(peer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return closes == 1; }, 5000));
}

TEST(WSocketReceive, APeerResetIsTheCloseWithError10054) {
    Listener listener;
    TWSocket socket;
    const int peer = connectTo(socket, listener);
    ASSERT_GE(peer, 0);
    std::vector<int> closes;
    socket.SetOnSessionClosed([&](TWSocket*, quint16 error) { closes.push_back(error); });
    const linger hard{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(peer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !closes.empty(); }, 5000));
    EXPECT_EQ(closes, std::vector<int>{10054});
}

TEST(WSocketClose, CloseAndAbortReportOnceAndResetTheEnds) {
    for (const bool abort : {false, true}) {
        Listener listener;
        TWSocket socket;
        const int peer = connectTo(socket, listener);
        ASSERT_GE(peer, 0);
        std::vector<int> closes;
        socket.SetOnSessionClosed([&](TWSocket*, quint16 error) { closes.push_back(error); });
        abort ? socket.Abort() : socket.Close();
        EXPECT_EQ(closes, std::vector<int>{0});
        EXPECT_EQ(socket.State(), wsClosed);
        abort ? socket.Abort() : socket.Close();
        QTest::qWait(50);
        EXPECT_EQ(closes, std::vector<int>{0});
        // The far end sees the end of the stream (or a reset, from a lingering close).
        char byte;
        EXPECT_LE(::recv(peer, &byte, 1, 0), 0);
        // The ends are not assigned any more: the next connect needs them again.
        EXPECT_THROW(socket.Connect(), ESocketException);
        EXPECT_EQ(socket.LocalAddr(), QStringLiteral("0.0.0.0"));
        ::close(peer);
    }
}

TEST(WSocketBackground, AnErrorEscapingAnEventAbortsTheSocketUnlessVetoed) {
    for (const bool veto : {false, true}) {
        Listener listener;
        TWSocket socket;
        QString seen;
        socket.SetOnBgException([&](TWSocket*, const std::exception& error, bool& canClose) {
            seen = QString::fromUtf8(error.what());
            canClose = !veto;
        });
        socket.SetAddr(QStringLiteral("127.0.0.1"));
        socket.SetPort(QString::number(listener.port()));
        socket.SetOnSessionConnected(
            [](TWSocket*, quint16) { throw std::runtime_error("handler failed"); });
        ASSERT_TRUE(socket.Connect());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !seen.isEmpty(); }, 5000));
        EXPECT_EQ(seen, QStringLiteral("handler failed"));
        EXPECT_EQ(socket.State(), veto ? wsConnected : wsClosed);
    }
}

TEST(WSocketState, EveryChangeIsReportedInOrder) {
    Listener listener;
    TWSocket socket;
    std::vector<std::pair<int, int>> changes;
    socket.SetOnChangeState(
        [&](TWSocket*, TSocketState from, TSocketState to) { changes.emplace_back(from, to); });
    const int peer = connectTo(socket, listener);
    ASSERT_GE(peer, 0);
    socket.Close();
    const std::vector<std::pair<int, int>> expected{{wsClosed, wsOpened},
                                                    {wsOpened, wsConnecting},
                                                    {wsConnecting, wsConnected},
                                                    {wsConnected, wsClosed}};
    EXPECT_EQ(changes, expected);
    ::close(peer);
}
