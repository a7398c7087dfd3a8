#include "http/http_client.h"

#include "support/http_servers.h"
#include "support/qt_print.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QUrl>

using namespace kalvento::http;
using kalvento::test::ScriptedHttpServer;
using kalvento::test::TestCertificates;
using kalvento::test::TinyProxy;

namespace {

QByteArray pattern(qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char(i % 251);
    return data;
}

struct Fetched {
    QString failure; // empty on success
    QByteArray document;
};

Fetched fetch(THttpCli& http, const QString& url) {
    QBuffer document;
    document.open(QIODevice::WriteOnly);
    http.SetDocumentStream(&document);
    http.SetURL(url);
    Fetched result;
    try {
        http.GetSync();
    } catch (const EHttpException& error) {
        result.failure = error.Message();
    }
    http.SetDocumentStream(nullptr);
    result.document = document.data();
    return result;
}

// Real servers for the whole suite: a plain one, a TLS one whose certificate our own
// authority signed for "localhost", and tinyproxy in front of both.
class HttpsAndProxyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        QString why;
        certificates = new TestCertificates;
        if (!certificates->make(&why))
            setUpFailure = why;
        plain = new ScriptedHttpServer;
        tls = new ScriptedHttpServer;
        proxy = new TinyProxy;
        if (setUpFailure.isEmpty() && !plain->start())
            setUpFailure = QStringLiteral("the plain server did not start");
        if (setUpFailure.isEmpty() &&
            !tls->start(certificates->certificateFile, certificates->keyFile))
            setUpFailure = QStringLiteral("the TLS server did not start");
        if (setUpFailure.isEmpty() && !proxy->start(&why))
            setUpFailure = why;
        // Nothing but our own authority is trusted during these tests.
        qputenv("SSL_CERT_FILE", certificates->caFile.toLocal8Bit());
        qputenv("SSL_CERT_DIR", "/nonexistent");
    }
    static void TearDownTestSuite() {
        delete proxy;
        delete tls;
        delete plain;
        delete certificates;
    }
    void SetUp() override { ASSERT_TRUE(setUpFailure.isEmpty()) << setUpFailure.toStdString(); }

    static void useProxy(THttpCli& http) {
        http.SetProxy(QStringLiteral("127.0.0.1"));
        http.SetProxyPort(QString::number(proxy->port()));
    }

    static inline QString setUpFailure;
    static inline TestCertificates* certificates = nullptr;
    static inline ScriptedHttpServer* plain = nullptr;
    static inline ScriptedHttpServer* tls = nullptr;
    static inline TinyProxy* proxy = nullptr;
};

} // namespace

TEST_F(HttpsAndProxyTest, AnHttpsAddressIsFetchedOverAVerifiedTlsConnection) {
    THttpCli http;
    QString protocol;
    http.SetOnHeaderEnd([&](THttpCli* sender) { protocol = sender->CtrlSocket()->TlsProtocol(); });
    const Fetched fetched = fetch(http, tls->httpsUrl(QStringLiteral("/len/200000")));
    ASSERT_TRUE(fetched.failure.isEmpty()) << fetched.failure.toStdString();
    EXPECT_TRUE(fetched.document == pattern(200000));
    EXPECT_TRUE(protocol.startsWith(QLatin1String("TLSv1."))) << protocol.toStdString();
    // Inside the TLS connection the request is the plain one, naming the path alone.
    EXPECT_TRUE(tls->lastRequest().startsWith("GET /len/200000 HTTP/1.0\r\n"));
    EXPECT_TRUE(tls->lastRequest().contains("\r\nHost: localhost\r\n"));
}

TEST_F(HttpsAndProxyTest, ALargeHttpsDocumentArrivesWholeInBoundedReads) {
    // More than one readiness report takes: the bytes the TLS session decrypted ahead raise
    // no readiness of their own, and must not be left waiting for the idle timeout.
    THttpCli http;
    http.SetTimeout(5);
    QElapsedTimer clock;
    clock.start();
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        // The server holds the connection open after the body: only the client's reading
        // ends the request.
        const Fetched fetched =
            fetch(http, tls->httpsUrl(QStringLiteral("/len/%1?hold=1").arg(1000000 + round * 777)));
        ASSERT_TRUE(fetched.failure.isEmpty()) << fetched.failure.toStdString();
        EXPECT_TRUE(fetched.document == pattern(1000000 + round * 777));
    }
    EXPECT_LT(clock.elapsed(), 5000);
}

TEST_F(HttpsAndProxyTest, AServerThatCannotProveItsNameIsRefused) {
    THttpCli http;
    // A certificate for localhost, asked for as 127.0.0.1.
    Fetched fetched =
        fetch(http, tls->httpsUrl(QStringLiteral("/len/10"), QStringLiteral("127.0.0.1")));
    EXPECT_EQ(fetched.failure,
              QStringLiteral("Secure connection failed: certificate verify failed (IP address "
                             "mismatch) (Error #12001)"));
    EXPECT_EQ(http.DoneError(), 12001);

    // A certificate from an authority the system does not trust.
    QTemporaryFile empty;
    ASSERT_TRUE(empty.open());
    qputenv("SSL_CERT_FILE", empty.fileName().toLocal8Bit());
    fetched = fetch(http, tls->httpsUrl(QStringLiteral("/len/10")));
    qputenv("SSL_CERT_FILE", certificates->caFile.toLocal8Bit());
    EXPECT_EQ(fetched.failure,
              QStringLiteral("Secure connection failed: certificate verify failed (unable to get "
                             "local issuer certificate) (Error #12001)"));
    EXPECT_TRUE(fetched.document.isEmpty());

    // A plain HTTP server waits for a request that never comes: the handshake, too, ends
    // when nothing arrives for the time allowed.
    http.SetTimeout(1);
    fetched = fetch(http, QStringLiteral("https://localhost:%1/len/10").arg(plain->port()));
    EXPECT_EQ(fetched.failure, QStringLiteral("Connection timed out (Error #10060)"));
}

TEST_F(HttpsAndProxyTest, ARelocationToHttpsIsFollowedOverTls) {
    THttpCli http;
    const QString target = tls->httpsUrl(QStringLiteral("/len/9"));
    const Fetched fetched =
        fetch(http, plain->url(QStringLiteral("/redirect?to=") +
                               QString::fromLatin1(QUrl::toPercentEncoding(target))));
    ASSERT_TRUE(fetched.failure.isEmpty()) << fetched.failure.toStdString();
    EXPECT_TRUE(fetched.document == pattern(9));
    EXPECT_EQ(http.CurrentLocation(), target);
}

TEST_F(HttpsAndProxyTest, ARealProxyFetchesAndFollowsRelocations) {
    THttpCli http;
    useProxy(http);
    Fetched fetched = fetch(http, plain->url(QStringLiteral("/len/100000")));
    ASSERT_TRUE(fetched.failure.isEmpty()) << fetched.failure.toStdString();
    EXPECT_TRUE(fetched.document == pattern(100000));
    // What reached the server came through tinyproxy.
    EXPECT_TRUE(plain->lastRequest().startsWith("GET /len/100000 HTTP/1."));
    EXPECT_TRUE(plain->lastRequest().contains("tinyproxy"));

    // The three forms of a relocation, each turned into a whole URL for the proxy.
    const struct {
        QString location;
        QByteArray secondRequestLine;
    } rows[] = {
        {QStringLiteral("/len/5"), "GET /len/5 HTTP/1."},
        {plain->url(QStringLiteral("/len/5"), QStringLiteral("localhost")), "GET /len/5 HTTP/1."},
        {QStringLiteral("../len/5"), "GET /a/b/../len/5 HTTP/1."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.location.toStdString());
        const int before = plain->requestCount();
        fetched =
            fetch(http, plain->url(QStringLiteral("/a/b/redirect?to=") +
                                   QString::fromLatin1(QUrl::toPercentEncoding(row.location))));
        ASSERT_TRUE(fetched.failure.isEmpty()) << fetched.failure.toStdString();
        EXPECT_TRUE(fetched.document == pattern(5));
        ASSERT_EQ(plain->requestCount(), before + 2);
        EXPECT_TRUE(plain->requestLine(before + 2).startsWith(row.secondRequestLine))
            << plain->requestLine(before + 2).toStdString();
    }
}

TEST_F(HttpsAndProxyTest, AnHttpsAddressGoesThroughTheProxyInATunnel) {
    THttpCli http;
    useProxy(http);
    const Fetched fetched = fetch(http, tls->httpsUrl(QStringLiteral("/len/50000")));
    ASSERT_TRUE(fetched.failure.isEmpty()) << fetched.failure.toStdString();
    EXPECT_TRUE(fetched.document == pattern(50000));
    // The proxy saw only the tunnel; the server got the plain request through it.
    EXPECT_TRUE(tls->lastRequest().startsWith("GET /len/50000 HTTP/1.0\r\n"));
    EXPECT_FALSE(tls->lastRequest().contains("tinyproxy"));
}

TEST_F(HttpsAndProxyTest, AProxyThatCannotReachTheServerFailsTheRequest) {
    THttpCli http;
    useProxy(http);
    const Fetched fetched = fetch(
        http, QStringLiteral("http://127.0.0.1:%1/x").arg(kalvento::test::unusedLoopbackPort()));
    EXPECT_FALSE(fetched.failure.isEmpty());
    EXPECT_GE(http.ResponseCode(), 500);
}
