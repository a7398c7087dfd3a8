// The chat view under load: a long run of received lines (the cost of a line must not grow
// with the chat), the start and the end of a run with a large log file, and a search of the
// history not yet shown.

#include "app/chat_view.h"

#include "app/chat_find_bar.h"
#include "richtext/rtf_writer.h"
#include "run_benchmarks.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFont>
#include <QLineEdit>
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

// A log in the log form of at least megabytes: coloured lines, private ones in italic, some
// text outside ASCII, and "needle" only in its first line. Whole lines of the log form read
// on their own, so the body is one block of lines written again and again.
QString writeLog(const QString& folder, qint64 megabytes) {
    QTextDocument document;
    document.setUndoRedoEnabled(false);
    QTextCursor cursor(&document);
    QTextCharFormat format;
    const QColor own(0xFF, 0, 0), other(0, 0, 0xFF), priv(0, 0x80, 0);
    for (int i = 0; i < 20000; ++i) {
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
    kalvento::richtext::RtfLogWriter writer(QFont(QStringLiteral("DejaVu Sans"), 10));
    const QByteArray lines = writer.paragraphs(document);
    QByteArray first = lines.left(lines.indexOf('\n') + 1);
    first.replace("Gr", "needle Gr");
    const qint64 target = megabytes * 1024 * 1024;
    const qint64 copies = (target + lines.size() - 1) / lines.size();
    const qint64 body = first.size() + copies * lines.size();
    const QString path = TChatView::logFilePath(folder + u'/');
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    bool ok = file.write(writer.header(body)) > 0 && file.write(first) == first.size();
    for (qint64 i = 0; ok && i < copies; ++i)
        ok = file.write(lines) == lines.size();
    ok = ok && file.write(kalvento::richtext::RtfLogWriter::trailer()) == 2;
    return ok ? path : QString();
}

// The start of a run with a log of range(0) MB: load, welcome line, chat font, first show.
void BM_StartOfRunWithLog(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = writeLog(dir.path(), state.range(0));
    if (path.isEmpty()) {
        state.SkipWithError("could not write the log");
        return;
    }
    double load = 0, shown = 0;
    qint64 chars = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto view = std::make_unique<TChatView>();
        view->resize(600, 400);
        state.ResumeTiming();
        double t = cpuMs();
        const QString error =
            view->startOfRunContent(path, true, QFont(QStringLiteral("DejaVu Sans"), 10)).error;
        view->setLogBaseline();
        load = cpuMs() - t;
        t = cpuMs();
        view->show();
        view->ChatChange();
        QApplication::processEvents();
        shown = cpuMs() - t;
        chars = view->textLength();
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
    state.counters["show_cpu_ms"] = shown;
    state.counters["shown_chars"] = double(chars);
}
BENCHMARK(BM_StartOfRunWithLog)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(2);

// The end of such a run with 1,000 new lines: the log copied behind its new header.
void BM_WriteBackToLog(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = writeLog(dir.path(), state.range(0));
    if (path.isEmpty()) {
        state.SkipWithError("could not write the log");
        return;
    }
    double written = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto view = std::make_unique<TChatView>();
        view->setDisplaySettings(ChatDisplaySettings{});
        (void)view->startOfRunContent(path, true, QFont(QStringLiteral("DejaVu Sans"), 10));
        view->setLogBaseline();
        for (int i = 0; i < 1000; ++i)
            view->appendReceived(publicLine(i));
        state.ResumeTiming();
        QElapsedTimer wall;
        wall.start();
        const QString error = view->writeBackLog(path, true).error;
        written = double(wall.nsecsElapsed()) / 1e6;
        if (!error.isEmpty()) {
            state.SkipWithError(qPrintable(error));
            return;
        }
    }
    state.counters["log_MB"] = double(QFile(path).size()) / 1e6;
    state.counters["write_wall_ms"] = written;
}
BENCHMARK(BM_WriteBackToLog)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(2);

// Finding a word that only the first line of a 10 MB log holds: the whole history read back
// in pieces, then shown.
void BM_FindInHistoryNotShown(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = writeLog(dir.path(), 10);
    if (path.isEmpty()) {
        state.SkipWithError("could not write the log");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        auto view = std::make_unique<TChatView>();
        view->resize(600, 400);
        (void)view->startOfRunContent(path, true, QFont(QStringLiteral("DejaVu Sans"), 10));
        view->show();
        QApplication::processEvents();
        state.ResumeTiming();
        view->openFindBar();
        view->findBar()->field()->setText(QStringLiteral("needle"));
        while (view->textCursor().selectedText().isEmpty())
            QApplication::processEvents();
        state.PauseTiming();
        view.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FindInHistoryNotShown)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return kalvento::bench::runBenchmarks(argc, argv);
}
