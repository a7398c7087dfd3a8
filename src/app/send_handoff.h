#pragma once
// "kalvento --send" hands its paths to the copy that runs in the user's session over a
// local socket of the user's own: $XDG_RUNTIME_DIR/kalvento-send.socket (beside the
// instance lock), readable and writable by the user alone. The second process writes one
// request and reads one answer, each a line of JSON:
//   {"paths": ["/abs/a", ...], "to": ["Anna", ...]}   and   {"ok": true, "text": "..."}
// A plain second start of the program asks the running copy to show its window instead:
//   {"show": true}
// The running copy serves it with SendHandoffServer; the second process needs no display
// and no event loop (handOff).

#include "app/command_line.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QLocalServer;
class QLocalSocket;

namespace kalvento::app {

struct HandoffAnswer {
    bool ok = false;
    QString text; // what the second process prints: offered to whom, or why not
    bool operator==(const HandoffAnswer&) const = default;
};

// The socket's path for the user (the lock's name with ".socket" in place of ".lock").
QString handoffSocketPath();

// The request and the answer on the wire, and back; nothing for bytes that are none.
QByteArray encodeRequest(const SendRequest& request);
std::optional<SendRequest> decodeRequest(const QByteArray& line);
QByteArray encodeAnswer(const HandoffAnswer& answer);
std::optional<HandoffAnswer> decodeAnswer(const QByteArray& line);

class SendHandoffServer : public QObject {
    Q_OBJECT
public:
    // A request longer than this is no request of ours.
    static constexpr qint64 kMaxRequestBytes = 4 << 20;

    using Handler = std::function<HandoffAnswer(const SendRequest&)>;
    explicit SendHandoffServer(Handler handler, QObject* parent = nullptr);
    ~SendHandoffServer() override;

    // Listens at path, taking the place of a socket a crashed copy left (the caller holds
    // the instance lock). The reason when it cannot.
    QString listen(const QString& path);

private:
    void serve(QLocalSocket* socket);

    Handler m_handler;
    QLocalServer* m_server = nullptr;
};

// The second process's side. Answered: the running copy's answer; NoCopy: nobody listens
// (no copy runs, or it has not come far enough yet); Failed: text says why.
struct HandoffResult {
    enum class Outcome { Answered, NoCopy, Failed };
    Outcome outcome = Outcome::NoCopy;
    HandoffAnswer answer;
    QString error;
};
HandoffResult handOff(const QString& path, const SendRequest& request, int timeoutMs = 30000);

} // namespace kalvento::app
