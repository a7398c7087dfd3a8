#pragma once
// Real servers for the HTTP client's tests, all on loopback: the scripted HTTP server of
// src/update/testdata (plain or TLS), tinyproxy with a configuration of its own, and a
// certificate authority with a server certificate for "localhost", made with openssl.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kalvento::test {

// A loopback port nobody listens on (bound for a moment, then released).
inline quint16 unusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ADD_FAILURE() << "no free loopback port: " << std::strerror(errno);
        address.sin_port = 0;
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

inline bool loopbackPortAccepts(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
}

class ScriptedHttpServer {
public:
    ~ScriptedHttpServer() { stop(); }

    // Plain HTTP, or TLS with the given certificate and key.
    bool start(const QString& certificate = QString(), const QString& key = QString()) {
        QStringList arguments{QStringLiteral(KALVENTO_HTTP_TEST_SERVER), QStringLiteral("--log"),
                              m_log.path()};
        if (!certificate.isEmpty())
            arguments << QStringLiteral("--tls") << certificate << key;
        m_process.setProgram(QStringLiteral(KALVENTO_PYTHON));
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer clock;
        clock.start();
        QByteArray output;
        while (!output.contains('\n') && clock.elapsed() < 15000) {
            m_process.waitForReadyRead(500);
            output += m_process.readAllStandardOutput();
        }
        if (!output.startsWith("PORT "))
            return false;
        m_port = quint16(output.mid(5).trimmed().toUInt());
        return m_port != 0;
    }

    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel(); // the server ends when its input closes
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    quint16 port() const { return m_port; }
    QString url(const QString& path, const QString& host = QStringLiteral("127.0.0.1")) const {
        return QStringLiteral("http://%1:%2%3").arg(host).arg(m_port).arg(path);
    }
    QString httpsUrl(const QString& path, const QString& host = QStringLiteral("localhost")) const {
        return QStringLiteral("https://%1:%2%3").arg(host).arg(m_port).arg(path);
    }

    // The requests received so far, in the order they came.
    int requestCount() const {
        return int(QDir(m_log.path()).entryList({QStringLiteral("request-*.bin")}).size());
    }
    QByteArray request(int number) const {
        QFile file(m_log.path() + QStringLiteral("/request-%1.bin").arg(number));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QByteArray lastRequest() const { return request(requestCount()); }
    // The request line of a request ("GET /x HTTP/1.0").
    QByteArray requestLine(int number) const {
        const QByteArray whole = request(number);
        return whole.left(whole.indexOf("\r\n"));
    }

private:
    QProcess m_process;
    QTemporaryDir m_log;
    quint16 m_port = 0;
};

// tinyproxy from Debian, in the foreground, on a loopback port of its own.
class TinyProxy {
public:
    ~TinyProxy() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(3000))
                m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    // False with why set when tinyproxy is not installed or does not start.
    bool start(QString* why) {
        QString program = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"));
        if (program.isEmpty())
            program = QStandardPaths::findExecutable(
                QStringLiteral("tinyproxy"),
                {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
        if (program.isEmpty()) {
            *why = QStringLiteral("tinyproxy is not installed");
            return false;
        }
        m_port = unusedLoopbackPort();
        QFile config(m_dir.path() + QStringLiteral("/tinyproxy.conf"));
        if (!config.open(QIODevice::WriteOnly)) {
            *why = QStringLiteral("cannot write tinyproxy.conf");
            return false;
        }
        QByteArray text = "Port " + QByteArray::number(m_port) +
                          "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                          "Allow 127.0.0.1\nLogLevel Critical\n";
        if (::geteuid() == 0)
            text += "User nobody\nGroup nogroup\n";
        config.write(text);
        config.close();
        m_process.setProgram(program);
        m_process.setArguments({QStringLiteral("-d"), QStringLiteral("-c"), config.fileName()});
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start();
        if (!m_process.waitForStarted(5000)) {
            *why = QStringLiteral("tinyproxy did not start");
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000) {
            if (loopbackPortAccepts(m_port))
                return true;
            if (m_process.state() == QProcess::NotRunning)
                break;
            QThread::msleep(50);
        }
        *why = QStringLiteral("tinyproxy does not listen on its port");
        return false;
    }

    quint16 port() const { return m_port; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

// A certificate authority made for the test run and a server certificate it signed for
// "localhost" (and nothing else, so that 127.0.0.1 is a name mismatch).
class TestCertificates {
public:
    bool make(QString* why) {
        const QString dir = m_dir.path();
        caFile = dir + QStringLiteral("/ca.pem");
        certificateFile = dir + QStringLiteral("/server.pem");
        keyFile = dir + QStringLiteral("/server.key");
        QFile extensions(dir + QStringLiteral("/server.ext"));
        if (!extensions.open(QIODevice::WriteOnly))
            return fail(why, QStringLiteral("cannot write server.ext"));
        extensions.write("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n"
                         "extendedKeyUsage=serverAuth\n");
        extensions.close();
        const QStringList ec{
            QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
        if (!run({QStringLiteral("req"), QStringLiteral("-x509")},
                 ec + QStringList{QStringLiteral("-keyout"), dir + QStringLiteral("/ca.key"),
                                  QStringLiteral("-out"), caFile, QStringLiteral("-days"),
                                  QStringLiteral("2"), QStringLiteral("-subj"),
                                  QStringLiteral("/CN=Kalvento Test CA"), QStringLiteral("-addext"),
                                  QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                  QStringLiteral("-addext"),
                                  QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
                 why))
            return false;
        if (!run({QStringLiteral("req")},
                 ec + QStringList{QStringLiteral("-keyout"), keyFile, QStringLiteral("-out"),
                                  dir + QStringLiteral("/server.csr"), QStringLiteral("-subj"),
                                  QStringLiteral("/CN=localhost")},
                 why))
            return false;
        return run({QStringLiteral("x509"), QStringLiteral("-req")},
                   {QStringLiteral("-in"), dir + QStringLiteral("/server.csr"),
                    QStringLiteral("-CA"), caFile, QStringLiteral("-CAkey"),
                    dir + QStringLiteral("/ca.key"), QStringLiteral("-CAcreateserial"),
                    QStringLiteral("-out"), certificateFile, QStringLiteral("-days"),
                    QStringLiteral("2"), QStringLiteral("-extfile"), extensions.fileName()},
                   why);
    }

    QString caFile;
    QString certificateFile;
    QString keyFile;

private:
    static bool fail(QString* why, const QString& text) {
        *why = text;
        return false;
    }
    static bool run(const QStringList& command, const QStringList& arguments, QString* why) {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"), command + arguments);
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
            return fail(why, QStringLiteral("openssl %1 failed: %2")
                                 .arg(command.join(QLatin1Char(' ')),
                                      QString::fromLocal8Bit(openssl.readAllStandardError())));
        return true;
    }

    QTemporaryDir m_dir;
};

} // namespace kalvento::test
