// Start-up: one copy per user session, the application's title, the main window.

#include "app/command_line.h"
#include "app/main_window.h"
#include "desktop/tray_icon.h"
#include "network/datagram_network.h"
#include "network/udp_network.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "settings/settings_store.h"

#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// SIGTERM and SIGHUP (the session going away without a session manager) are turned into
// an event on the GUI thread through this pair of sockets.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

// Answered before the application exists: no display is needed, no lock taken, no file
// touched. The toolkit's own options (such as -platform or a session manager's -session)
// pass. Empty when the program is to run.
std::optional<int> answerCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QString program = QString::fromLocal8Bit(argc > 0 ? argv[0] : "kalvento");
    const kalvento::app::CommandLine line =
        kalvento::app::parseCommandLine(arguments, program.section(QLatin1Char('/'), -1));
    if (line.action == kalvento::app::CommandLine::Action::Run)
        return std::nullopt;
    std::fputs(line.text.toLocal8Bit().constData(), line.exitCode == 0 ? stdout : stderr);
    return line.exitCode;
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

} // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> answered = answerCommandLine(argc, argv))
        return *answered;
    QApplication app(argc, argv);
    // A second copy in the same session leaves at once: no window, no settings, nothing
    // sent. The lock dies with the process, also after a crash.
    // (Failures of the lock's own, such as no runtime directory, let the program start.)
    kalvento::platform::InstanceLock instance;
    if (!instance.tryAcquire(QStringLiteral("Kalvento")))
        return 0;

    // No display name: Qt would append it to every window's title (the main window's own
    // title already is the program's name).
    QApplication::setApplicationName(QStringLiteral("Kalvento"));
    QApplication::setQuitOnLastWindowClosed(false); // hidden in the tray is still running

    const std::unique_ptr<kalvento::app::TMainForm> form = createMainForm(app);
    if (!form)
        return 1;
    QObject::connect(&app, &QGuiApplication::commitDataRequest, form.get(),
                     [&form](QSessionManager& manager) {
                         form->SessionEnding(manager.allowsErrorInteraction());
                     });
    endOnSignals(app, *form);

    if (!form->TrayIcon()->Active() && !form->isMinimized())
        form->show();
    return app.exec();
}
