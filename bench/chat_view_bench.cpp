// The chat view under load: a long run of received lines (the cost of a line must not grow
// with the chat) and the start of a run with a large log file.

#include "app/chat_view.h"

#include "richtext/rtf_writer.h"
#include "run_benchmarks.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFont>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTextDocument>

#include <benchmark/benchmark.h>

#include <memory>

#include <time.h>

namespace {

// The machine is shared: CPU time of this thread says more than the wall clock.
double cpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

using kalvento::app::ChatDisplaySettings;
using kalvento::app::TChatView;
using kalvento::messaging::ReceivedLine;

const QStringList senders = {QStringLiteral("Anna"), QStringLiteral("Bertil"),
                             QStringLiteral("Cecilia"), QStringLiteral("Dawit")};

ReceivedLine publicLine(int i) {
    ReceivedLine line;
    line.own = i % 5 == 0;
    line.senderName = senders[i % senders.size()];
    line.text =
        QStringLiteral("Message number %1: the build is green again, lunch at twelve?").arg(i);
    return line;
}

std::unique_ptr<TChatView> shownView() {
    auto view = std::make_unique<TChatView>();
    view->resize(600, 400);
    view->setDisplaySettings(ChatDisplaySettings{});
    view->show();
    QApplication::processEvents();
    return view;
}

// 10,000 public lines into a visible view that follows the end, in thousands.
void BM_ReceiveTenThousandLines(benchmark::State& state) {
    constexpr int total = 10000, chunk = 1000;
    double first = 0, last = 0, all = 0, allWall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto view = shownView();
        state.ResumeTiming();
        const double wholeStart = cpuMs();
        QElapsedTimer wall;
        wall.start();
        for (int c = 0; c < total / chunk; ++c) {
            const double chunkStart = cpuMs();
            for (int i = c * chunk; i < (c + 1) * chunk; ++i) {
                view->appendReceived(publicLine(i));
                // As between datagrams: paint and the rest of the event loop get their turn.
                if (i % 50 == 49)
                    QApplication::processEvents();
            }
            const double ms = cpuMs() - chunkStart;
            if (c == 0)
                first = ms;
            if (c == total / chunk - 1)
                last = ms;
        }
        all = cpuMs() - wholeStart;
        allWall = double(wall.nsecsElapsed()) / 1e6;
        state.PauseTiming();
        view.reset();
        state.ResumeTiming();
    }
    state.counters["total_cpu_ms"] = all;
    state.counters["total_wall_ms"] = allWall;
    state.counters["first_1000_cpu_ms"] = first;
    state.counters["last_1000_cpu_ms"] = last;
    state.counters["last_over_first"] = last / first;
    if (last > 2 * first)
        state.SkipWithError("the last thousand lines cost more than twice the first");
}
BENCHMARK(BM_ReceiveTenThousandLines)->Unit(benchmark::kMillisecond)->Iterations(3);

// A log of the shape the view writes: coloured lines, private ones in italic, some text
// outside ASCII; at least minBytes of RTF.
QString writeLog(const QString& folder, qsizetype minBytes) {
    QTextDocument document;
    document.setUndoRedoEnabled(false);
    QTextCursor cursor(&document);
    QTextCharFormat format;
    const QColor own(0xFF, 0, 0), other(0, 0, 0xFF), priv(0, 0x80, 0);
    QByteArray rtf;
    int i = 0;
    for (int round = 0; rtf.size() < minBytes; ++round) {
        cursor.beginEditBlock();
        for (int n = 0; n < 20000; ++n, ++i) {
            if (i > 0)
                cursor.insertBlock(QTextBlockFormat(), format);
            const bool isPrivate = i % 7 == 3;
            format.setForeground(isPrivate ? priv : (i % 3 == 0 ? own : other));
            format.setFontItalic(isPrivate);
            cursor.insertText(senders[i % senders.size()] +
                                  QStringLiteral(" (12:%1:%2): Grüße, the € report #%3 is "
                                                 "ready for review in the usual place")
                                      .arg(i / 60 % 60, 2, 10, QChar(u'0'))
                                      .arg(i % 60, 2, 10, QChar(u'0'))
                                      .arg(i),
                              format);
        }
        cursor.endEditBlock();
        rtf = kalvento::richtext::writeRtf(document);
    }
    const QString path = TChatView::logFilePath(folder + u'/');
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(rtf) != rtf.size())
        return {};
    return path;
}

// The start of a run with a 10 MB log: load, welcome line, chat font.
void BM_StartOfRunWithTenMegabyteLog(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = writeLog(dir.path(), 10 * 1024 * 1024);
    if (path.isEmpty()) {
        state.SkipWithError("could not write the log");
        return;
    }
    double load = 0, welcome = 0, font = 0, shown = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto view = std::make_unique<TChatView>();
        view->resize(600, 400);
        state.ResumeTiming();
        double t = cpuMs();
        const QString error = view->loadLog(path).error;
        load = cpuMs() - t;
        t = cpuMs();
        view->appendWelcome();
        welcome = cpuMs() - t;
        t = cpuMs();
        view->applyChatFont(QFont(QStringLiteral("DejaVu Sans"), 10));
        font = cpuMs() - t;
        t = cpuMs();
        view->setLogBaseline();
        view->show();
        view->ChatChange();
        QApplication::processEvents();
        shown = cpuMs() - t;
        if (!error.isEmpty()) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        state.PauseTiming();
        view.reset();
        state.ResumeTiming();
    }
    state.counters["log_MB"] = double(QFile(path).size()) / 1e6;
    state.counters["load_cpu_ms"] = load;
    state.counters["welcome_cpu_ms"] = welcome;
    state.counters["font_cpu_ms"] = font;
    state.counters["show_cpu_ms"] = shown;
}
BENCHMARK(BM_StartOfRunWithTenMegabyteLog)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return kalvento::bench::runBenchmarks(argc, argv);
}
