// The main window as a user meets it: start-up with a long chat log, a flood of received
// lines, and what a shown window costs while nothing happens.

#include "app/chat_view.h"
#include "app/main_window.h"
#include "messaging/chat_node.h"
#include "network/memory_network.h"
#include "platform/ini_file.h"
#include "run_benchmarks.h"
#include "widgets/cursor_blink_timeout.h"

#include "support/chat_node_probe.h"
#include "support/loopback_lan.h"
#include "support/recording_dialogs.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

using namespace kalvento;

const QString Group = QStringLiteral("WORKGROUP");

void writeSettings(const QString& path, bool saveLog) {
    platform::IniDocument ini;
    ini.setValue(QStringLiteral("General"), QStringLiteral("Automatic update"), "0");
    ini.setValue(QStringLiteral("General"), QStringLiteral("Save messages log"),
                 saveLog ? "1" : "0");
    ini.setValue(QStringLiteral("Advanced"), QStringLiteral("Language index"), "0");
    platform::ini::save(path, ini);
}

app::MainFormOptions optionsIn(const QTemporaryDir& dir) {
    app::MainFormOptions options;
    options.settingsPath = dir.filePath(QStringLiteral("Options.ini"));
    options.resourceDirectory = dir.path() + u'/';
    options.executablePath = QStringLiteral("/usr/bin/kalvento");
    options.autostartEntry = dir.filePath(QStringLiteral("autostart/kalvento.desktop"));
    // Nothing stops to wait for a user who is not there.
    options.dialogs = std::make_shared<test::RecordingDialogs>();
    return options;
}

// A log.rtf of at least `bytes`, written by the chat view from coloured lines of every kind.
void writeLog(const QString& path, qint64 bytes) {
    app::TChatView view;
    const QStringList names = {"Anna", "Bertil", "Cecilia", "Dawit"};
    view.appendWelcome();
    view.setLogBaseline(0);
    for (int i = 0;; ++i) {
        for (int k = 0; k < 1000; ++k, ++i) {
            messaging::ReceivedLine line;
            line.kind = i % 7 == 3 ? messaging::ReceivedLine::Kind::Private
                                   : messaging::ReceivedLine::Kind::Public;
            line.own = i % 3 == 0;
            line.senderName = names[i % names.size()];
            line.text = QStringLiteral("message %1 café, {braces} € Ω").arg(i);
            view.appendReceived(line);
        }
        const QString error = view.writeBackLog(path, true).error;
        if (!error.isEmpty())
            qFatal("%s", qPrintable(error));
        if (QFileInfo(path).size() >= bytes)
            return;
    }
}

// (a) From constructing the window to its being shown, with a 10 MB log to load.
void BM_StartUpWithLog(benchmark::State& state) {
    QTemporaryDir dir;
    writeSettings(dir.filePath(QStringLiteral("Options.ini")), true);
    const QString logPath = dir.filePath(QStringLiteral("log.rtf"));
    writeLog(logPath, state.range(0) << 20);
    const QByteArray log = [&] {
        QFile file(logPath);
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }();

    network::InMemoryHub hub;
    network::InMemoryNetwork network(hub, QStringLiteral("PCA"), Group);
    int chatLength = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        app::TMainForm form(network, optionsIn(dir));
        form.show();
        QCoreApplication::processEvents(); // the first paint
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        chatLength = form.Chat()->textLength();
        state.PauseTiming();
        form.hide();
        state.ResumeTiming();
    }
    state.counters["log_MB"] = double(log.size()) / (1 << 20);
    state.counters["chat_chars"] = chatLength;
}
BENCHMARK(BM_StartUpWithLog)
    ->Arg(10)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// (a2) Start and end with 16,000 friends in Options.ini: reading the Friends section, marking
// the list, and writing the section back at the end.
void BM_StartAndEndWithFriends(benchmark::State& state) {
    QTemporaryDir dir;
    const QString settingsPath = dir.filePath(QStringLiteral("Options.ini"));
    writeSettings(settingsPath, false);
    {
        platform::IniDocument ini = platform::ini::load(settingsPath);
        std::vector<platform::IniDocument::Entry> friends;
        friends.reserve(std::size_t(state.range(0)));
        for (int i = 0; i < state.range(0); ++i)
            friends.push_back({QStringLiteral("Friend%1").arg(i + 1),
                               QStringLiteral("user%1@PC%2").arg(i).arg(i % 997)});
        ini.replaceSection(QStringLiteral("Friends"), friends);
        platform::ini::save(settingsPath, ini);
    }
    network::InMemoryHub hub;
    network::InMemoryNetwork network(hub, QStringLiteral("PCA"), Group);
    double start = 0, end = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        app::TMainForm form(network, optionsIn(dir));
        form.show();
        QCoreApplication::processEvents();
        start = double(clock.nsecsElapsed()) / 1e9;
        clock.restart();
        form.SessionEnding(); // the goodbye, Options.ini and the log, as at the end
        end = double(clock.nsecsElapsed()) / 1e9;
        state.SetIterationTime(start + end);
        form.hide();
    }
    if (platform::ini::load(settingsPath).keys(u"Friends").size() != state.range(0))
        state.SkipWithError("friends went missing");
    state.counters["start_ms"] = start * 1000;
    state.counters["end_ms"] = end * 1000;
}
BENCHMARK(BM_StartAndEndWithFriends)
    ->Arg(16000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A copy without a window that sends public lines to the window's computer.
struct Talker {
    network::InMemoryNetwork network;
    messaging::ChatNode node;
    test::ChatNodeProbe probe;
    messaging::TMailslotTerminal& terminal;
    network::PeerList& peers;
    network::TNetUsers& netUsers;
    messaging::ChatSession& session;

    explicit Talker(network::InMemoryHub& hub)
        : network(hub, QStringLiteral("PCB"), Group), node(network), probe(node),
          terminal(probe.terminal()), peers(probe.peers()), netUsers(probe.netUsers()),
          session(probe.session()) {}
};

// (b) 10,000 public lines from a peer through the window's reception and chat.
void BM_ReceiveTenThousandLines(benchmark::State& state) {
    constexpr int kLines = 10000;
    constexpr int kBatch = 1000;
    double total = 0, first = 0, last = 0;
    for (auto _ : state) {
        QTemporaryDir dir;
        writeSettings(dir.filePath(QStringLiteral("Options.ini")), false);
        network::InMemoryHub hub;
        network::InMemoryNetwork network(hub, QStringLiteral("PCA"), Group);
        app::TMainForm form(network, optionsIn(dir));
        form.show();
        Talker talker(hub);
        talker.netUsers.Enumerate();
        talker.session.SendGreeting();
        test::ChatNodeProbe(form.node()).receive(); // lists the talker and answers it
        talker.terminal.ReceiveMessages();          // the talker lists the window
        test::ChatNodeProbe(form.node()).receive();
        if (talker.peers.indexOfComputer(u"PCA") < 0)
            state.SkipWithError("the talker never heard the window");

        total = 0;
        for (int batch = 0; batch < kLines / kBatch; ++batch) {
            for (int i = 0; i < kBatch; ++i) {
                talker.session.sendPublic(QStringLiteral("line %1 of a busy afternoon on the LAN")
                                              .arg(batch * kBatch + i));
            }
            talker.terminal.ReceiveMessages(); // its own copies
            QElapsedTimer clock;
            clock.start();
            test::ChatNodeProbe(form.node()).receive();
            const double seconds = double(clock.nsecsElapsed()) / 1e9;
            total += seconds;
            if (batch == 0)
                first = seconds;
            last = seconds;
        }
        state.SetIterationTime(total);
        if (form.Chat()->document()->blockCount() < kLines)
            state.SkipWithError("lines went missing");
    }
    state.counters["first_1000_ms"] = first * 1000;
    state.counters["last_1000_ms"] = last * 1000;
    state.counters["per_line_us"] = total / kLines * 1e6;
}
BENCHMARK(BM_ReceiveTenThousandLines)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

using kalvento::bench::cpuSeconds;
using kalvento::bench::residentMegabytes;

// Runs the event loop as the program does, sleeping until something is due (QTest::qWait
// would wake every 10 ms and measure itself).
void runEventLoop(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Context switches of this process so far: each is a wake-up of one of its threads (or a
// preemption, which an idle process does not see).
long contextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// (c) A shown window with nothing to do: nothing should wake it.
void BM_IdleShownWindow(benchmark::State& state) {
    const int seconds = int(state.range(0));
    double cpuPercent = 0;
    double wakeups = 0;
    double rss = 0;
    for (auto _ : state) {
        QTemporaryDir dir;
        writeSettings(dir.filePath(QStringLiteral("Options.ini")), false);
        network::InMemoryHub hub;
        network::InMemoryNetwork network(hub, QStringLiteral("PCA"), Group);
        app::TMainForm form(network, optionsIn(dir));
        form.show();
        // Settle: the greeting, the first paint, and the text cursor's blinking, which stops
        // after a while without input.
        runEventLoop(widgets::CursorBlinkTimeout::kDefaultTimeout + 1000);

        QElapsedTimer wall;
        wall.start();
        const double cpuBefore = cpuSeconds();
        const long switchesBefore = contextSwitches();
        runEventLoop(seconds * 1000);
        const double cpu = cpuSeconds() - cpuBefore;
        const double elapsed = double(wall.nsecsElapsed()) / 1e9;
        // The loop's own end (one timer) is not the window's.
        wakeups = double(contextSwitches() - switchesBefore - 1) / elapsed;
        state.SetIterationTime(elapsed);
        cpuPercent = cpu / elapsed * 100;
        rss = residentMegabytes();
    }
    state.counters["cpu_percent_of_core"] = cpuPercent;
    state.counters["wakeups_per_s"] = wakeups;
    state.counters["VmRSS_MB"] = rss;
}
BENCHMARK(BM_IdleShownWindow)
    ->Arg(10)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// (d) The sender's own public line on the real datagram service over loopback: from
// Return in the message box until the line stands in the chat view.
void BM_OwnLineOnLoopback(benchmark::State& state) {
    constexpr int kLines = 200;
    std::vector<double> took;
    for (auto _ : state) {
        QTemporaryDir dir;
        writeSettings(dir.filePath(QStringLiteral("Options.ini")), false);
        const test::LoopbackLan lan;
        const auto network = lan.computer(1, QStringLiteral("PCA"), Group);
        app::TMainForm form(*network, optionsIn(dir));
        form.show();
        QElapsedTimer waited;
        waited.start();
        while (form.node().peers().count() < 1 && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (form.node().peers().count() < 1) {
            state.SkipWithError("the window never listed itself");
            break;
        }
        took.clear();
        double total = 0;
        for (int i = 0; i < kLines; ++i) {
            const QString text = QStringLiteral("own line %1").arg(i);
            form.Message()->setText(text);
            QElapsedTimer clock;
            clock.start();
            form.btnSendClick(); // what Return in the message box does
            while (!form.Chat()->toPlainText().endsWith(text) && clock.elapsed() < 2000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            const double ms = double(clock.nsecsElapsed()) / 1e6;
            took.push_back(ms);
            total += ms / 1000;
        }
        state.SetIterationTime(total);
    }
    if (took.empty())
        return;
    std::sort(took.begin(), took.end());
    state.counters["median_ms"] = took[took.size() / 2];
    state.counters["p99_ms"] = took[took.size() * 99 / 100];
    state.counters["max_ms"] = took.back();
}
BENCHMARK(BM_OwnLineOnLoopback)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return kalvento::bench::runBenchmarks(argc, argv);
}
