// Start-up: one copy per user session, the application's title, the main window; the paths
// of "--send" go to the copy that runs, or to this one once it does.

#include "app/command_line.h"
#include "app/main_window.h"
#include "app/send_handoff.h"
#include "desktop/tray_icon.h"
#include "network/datagram_network.h"
#include "network/udp_network.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "settings/settings_store.h"

#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

// SIGTERM and SIGHUP (the session going away without a session manager) are turned into
// an event on the GUI thread through this pair of sockets.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

kalvento::app::CommandLine readCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QString program = QString::fromLocal8Bit(argc > 0 ? argv[0] : "kalvento");
    return kalvento::app::parseCommandLine(arguments, program.section(QLatin1Char('/'), -1));
}

// Answered before the application exists: no display is needed, no lock taken, no file
// touched. The toolkit's own options (such as -platform or a session manager's -session)
// pass. Empty when the program is to run.
std::optional<int> answerCommandLine(const kalvento::app::CommandLine& line) {
    if (line.action == kalvento::app::CommandLine::Action::Run)
        return std::nullopt;
    std::fputs(line.text.toLocal8Bit().constData(), line.exitCode == 0 ? stdout : stderr);
    return line.exitCode;
}

// What the running copy said of the paths handed to it, on standard output (a failure on
// standard error); the exit status. Empty when no copy listens.
std::optional<int> tellHandoff(const kalvento::app::HandoffResult& result) {
    using Outcome = kalvento::app::HandoffResult::Outcome;
    switch (result.outcome) {
    case Outcome::NoCopy:
        return std::nullopt;
    case Outcome::Failed:
        std::fprintf(stderr, "kalvento: %s\n", result.error.toLocal8Bit().constData());
        return 1;
    case Outcome::Answered:
        break;
    }
    const QByteArray text = result.answer.text.toLocal8Bit();
    std::fprintf(result.answer.ok ? stdout : stderr, "%s\n", text.constData());
    return result.answer.ok ? 0 : 1;
}

// Whether the toolkit has somewhere to show windows: a display, or a platform named (the
// toolkit ends the process when it has none).
bool haveDisplay(int argc, char** argv) {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (!qEnvironmentVariableIsEmpty(variable))
            return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0)
            return true;
    return false;
}

// Another copy holds the lock but does not listen yet: it has only just started. Its socket
// comes up before its window; the paths wait for it a while rather than being dropped.
int handToStartingCopy(const kalvento::app::SendRequest& request) {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(250ms);
        if (const std::optional<int> told =
                tellHandoff(kalvento::app::handOff(kalvento::app::handoffSocketPath(), request)))
            return *told;
    }
    std::fputs("kalvento: the running copy of Kalvento did not take the files; nothing was "
               "sent.\n",
               stderr);
    return 1;
}

// The main window, or null when it could not be created (the user has been told why).
std::unique_ptr<kalvento::app::TMainForm> createMainForm(const QApplication& app) {
    // The options' network settings, under what the environment says, before the network
    // is first used.
    kalvento::network::configureSystemNetwork(
        kalvento::network::UdpNetworkConfig::fromSettings(kalvento::app::networkSettings(
            kalvento::settings::readAll(kalvento::platform::settingsFilePath()))));
    try {
        return std::make_unique<kalvento::app::TMainForm>(
            kalvento::network::systemNetwork(),
            kalvento::app::defaultMainFormOptions(app.arguments().mid(1)));
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QString::fromLatin1(kalvento::app::ApplicationTitle),
                              QString::fromUtf8(e.what()));
        return nullptr;
    }
}

// SIGTERM and SIGHUP end the session of form as the desktop's end would, then the program.
void endOnSignals(QApplication& app, kalvento::app::TMainForm& form) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&form] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[1], &byte, 1);
        form.SessionEnding();
        // Not quit(): that asks the window to close, which hides it to the tray instead
        // (and would run the shutdown a second time when it does close).
        QCoreApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

// The answer to paths handed over before the window exists; they wait in early.
kalvento::app::HandoffAnswer queueWhileStarting(QList<kalvento::app::SendRequest>& early,
                                                const kalvento::app::SendRequest& request) {
    early.append(request);
    if (request.computers.isEmpty())
        return {true, QStringLiteral("Kalvento is starting: it will ask whom to send them to.")};
    return {true, QStringLiteral("Kalvento is starting: the files will be offered to %1 once "
                                 "listed.")
                      .arg(request.computers.join(QStringLiteral(", ")))};
}

// Received small files wait, still open, for a sync of the disk before they take their
// names; the program uses poll(), never select(), so it may have as many descriptors as
// the system allows it.
void raiseOpenFileLimit() {
    struct rlimit limit {};
    constexpr rlim_t kWanted = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
        limit.rlim_cur >= std::min(limit.rlim_max, kWanted))
        return;
    limit.rlim_cur = std::min(limit.rlim_max, kWanted);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// "-s", exactly: the start hidden in the tray that the login entry makes.
bool startsHidden(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-s") == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const kalvento::app::CommandLine line = readCommandLine(argc, argv);
    if (const std::optional<int> answered = answerCommandLine(line))
        return *answered;
    const kalvento::app::SendRequest& send = line.send;
    const bool sending = !send.paths.isEmpty();
    // Files for the running copy: handed to it, without a display or a window of this one.
    if (sending)
        if (const std::optional<int> told =
                tellHandoff(kalvento::app::handOff(kalvento::app::handoffSocketPath(), send)))
            return *told;
    if (!haveDisplay(argc, argv)) {
        std::fputs(sending ? "kalvento: no copy of Kalvento runs in this session, and there is "
                             "no display to start one on; nothing was sent.\n"
                           : "kalvento: there is no display to show the window on (neither "
                             "DISPLAY nor WAYLAND_DISPLAY is set).\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    // A second copy in the same session leaves at once: no window, no settings, nothing
    // sent. The lock dies with the process, also after a crash.
    // (Failures of the lock's own, such as no runtime directory, let the program start.)
    kalvento::platform::InstanceLock instance;
    if (!instance.tryAcquire(QStringLiteral("Kalvento"))) {
        if (sending)
            return handToStartingCopy(send);
        // Started again from the menu while the window is hidden in the tray or behind
        // others: the running copy shows it. Started hidden ("-s", as at login) while a copy
        // runs: nothing to show. Nothing else happens here.
        if (!startsHidden(argc, argv))
            kalvento::app::handOff(kalvento::app::handoffSocketPath(), {{}, {}, true}, 5000);
        return 0;
    }

    // No display name: Qt would append it to every window's title (the main window's own
    // title already is the program's name).
    QApplication::setApplicationName(QStringLiteral("Kalvento"));
    QApplication::setQuitOnLastWindowClosed(false); // hidden in the tray is still running
    raiseOpenFileLimit();

    // "kalvento --send" of later processes, from before the window is made: the first
    // start's questions can keep the user for minutes, and paths handed over meanwhile wait
    // here for the window.
    std::unique_ptr<kalvento::app::TMainForm> form;
    QList<kalvento::app::SendRequest> early;
    bool showWhenMade = false; // started again while this copy was still starting
    kalvento::app::SendHandoffServer handoff(
        [&form, &early, &showWhenMade](const kalvento::app::SendRequest& request) {
            if (request.show) {
                if (form)
                    form->bringToFront();
                else
                    showWhenMade = true;
                return kalvento::app::HandoffAnswer{true, {}};
            }
            if (form)
                return form->sendFromCommandLine(request);
            return queueWhileStarting(early, request);
        });
    if (const QString error = handoff.listen(kalvento::app::handoffSocketPath()); !error.isEmpty())
        qWarning("kalvento: --send cannot reach this copy: %s", qPrintable(error));

    form = createMainForm(app);
    if (!form)
        return 1;
    QObject::connect(&app, &QGuiApplication::commitDataRequest, form.get(),
                     [&form](QSessionManager& manager) {
                         form->SessionEnding(manager.allowsErrorInteraction());
                     });
    endOnSignals(app, *form);

    // This one's own paths, then those handed over while it started, each once its
    // computers are listed.
    if (sending)
        form->sendWhenListed(send);
    for (const kalvento::app::SendRequest& request : std::as_const(early))
        form->sendWhenListed(request);
    early.clear();

    if (showWhenMade)
        form->bringToFront();
    else if (!form->TrayIcon()->Active() && !form->isMinimized())
        form->show();
    return app.exec();
}
