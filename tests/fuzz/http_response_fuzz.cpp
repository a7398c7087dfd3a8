// The HTTP client's response handling: a server on loopback answers each request with the
// input, and the client reads the status line, the header and the body as GetSync does.
// What reaches the document is exactly what the client counted, never more than the check
// takes, and no answer makes the client connect more often than its relocation limit
// allows (a redirect cut by the close once made it reconnect for ever). Relocations would leave
// loopback: the target first moves into a network namespace of its own where it can (as
// root), and otherwise takes every "Location" header out of the input.

#include "fuzz_support.h"

#include "http/http_client.h"

#include <QBuffer>
#include <QCoreApplication>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace kalvento;

namespace {

int g_listener = -1;
quint16 g_port = 0;
bool g_isolated = false;

// A namespace with nothing but loopback, brought up.
bool isolate() {
    if (::unshare(CLONE_NEWNET) != 0)
        return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IF_NAMESIZE - 1);
    bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = short(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        ::close(fd);
    return up;
}

// Answers one connection with the response: reads the request header, writes, closes.
void serveOne(int client, const QByteArray& response) {
    timeval wait{2, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    QByteArray request;
    char buffer[2048];
    while (!request.contains("\r\n\r\n") && request.size() < 16384) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, n);
    }
    for (qsizetype at = 0; at < response.size();) {
        const ssize_t n =
            ::send(client, response.constData() + at, size_t(response.size() - at), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        at += n;
    }
    ::shutdown(client, SHUT_WR);
    // Until the client closes, so that the close it sees is the end of the response.
    while (::recv(client, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(client);
}

// Every connection (a relocation to loopback opens another) until the client is done.
void serve(QByteArray response, const std::atomic<bool>* done, std::atomic<int>* connections) {
    while (!done->load()) {
        pollfd waiting{g_listener, POLLIN, 0};
        if (::poll(&waiting, 1, 20) <= 0)
            continue;
        const int client = ::accept(g_listener, nullptr, nullptr);
        if (client >= 0) {
            ++*connections;
            serveOne(client, response);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    g_isolated = isolate();
    qputenv("KALVENTO_INTERFACES", "lo"); // host names from the hosts file only, never DNS
    static QCoreApplication app(*argc, *argv);
    g_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (g_listener < 0 || ::bind(g_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(g_listener, 8) != 0 ||
        ::getsockname(g_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::fprintf(stderr, "cannot listen on loopback\n");
        std::exit(1);
    }
    g_port = ntohs(address.sin_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QByteArray response = fuzz::bytes(data, size).toByteArray();
    if (!g_isolated) {
        for (qsizetype at = 0; (at = response.indexOf("ocation", at)) >= 0; at += 7)
            response[at + 1] = 'k'; // "Lokation": no relocation leaves loopback
        for (qsizetype at = 0; (at = response.indexOf("OCATION", at)) >= 0; at += 7)
            response[at + 1] = 'K';
    }
    std::atomic<bool> done = false;
    std::atomic<int> connections = 0;
    std::thread server(serve, response, &done, &connections);
    QBuffer document;
    document.open(QIODevice::WriteOnly);
    {
        http::THttpCli http;
        http.SetURL(QStringLiteral("http://127.0.0.1:%1/Tolmirant.upd").arg(g_port));
        // As the update check does, with a deadline short enough for a fuzzing run.
        http.SetTimeout(2);
        http.SetDeadline(5);
        http.SetMaxDocumentSize(64 * 1024);
        http.SetDocumentStream(&document);
        try {
            http.GetSync();
        } catch (const std::exception&) {
        }
        KALVENTO_FUZZ_CHECK(http.ReceivedBytes() == document.data().size());
        KALVENTO_FUZZ_CHECK(document.data().size() <= 64 * 1024);
        KALVENTO_FUZZ_CHECK(http.ReceivedHeader().size() <= http::THttpCli::kMaxHeaderLines);
    }
    KALVENTO_FUZZ_CHECK(connections.load() <= http::THttpCli::kMaxRelocations + 1);
    done = true;
    server.join();
    return 0;
}
