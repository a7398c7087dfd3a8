// Writing and loading a chat log of realistic shape: thousands of coloured lines, private
// ones in italic, an empty line between messages. The largest size is a ~10 MB log.rtf.

#include "richtext/rtf_reader.h"
#include "richtext/rtf_writer.h"
#include "run_benchmarks.h"

#include <QFont>
#include <QGuiApplication>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <benchmark/benchmark.h>

#include <map>
#include <memory>

namespace {

using kalvento::richtext::readRtf;
using kalvento::richtext::writeRtf;

std::unique_ptr<QTextDocument> chatDocument(int messages) {
    auto document = std::make_unique<QTextDocument>();
    document->setUndoRedoEnabled(false);
    document->setDefaultFont(QFont("Courier New", 9));
    const QColor own(0x00, 0x00, 0x80), other(0x80, 0x00, 0x00), priv(0x00, 0x80, 0x00);
    const QStringList names = {"Anna", "Bertil", "Cecilia", "Dawit"};
    QTextCharFormat format;
    QTextCursor cursor(document.get());
    cursor.beginEditBlock();
    for (int i = 0; i < messages; ++i) {
        if (i > 0)
            cursor.insertText("\n\n", format);
        const bool isPrivate = i % 7 == 3;
        format.setForeground(isPrivate ? priv : (i % 3 == 0 ? own : other));
        format.setFontItalic(isPrivate);
        const QString time = QString("%1:%2:%3")
                                 .arg(i / 3600 % 24, 2, 10, QChar('0'))
                                 .arg(i / 60 % 60, 2, 10, QChar('0'))
                                 .arg(i % 60, 2, 10, QChar('0'));
        cursor.insertText(names[i % names.size()] + " (" + time + "): message " +
                              QString::number(i) + QString::fromUtf8(" café, {braces} € Ω"),
                          format);
    }
    cursor.endEditBlock();
    return document;
}

struct Log {
    std::unique_ptr<QTextDocument> document;
    QByteArray rtf;
};

const Log& log(int messages) {
    static std::map<int, Log> logs;
    auto it = logs.find(messages);
    if (it == logs.end()) {
        Log created{chatDocument(messages), {}};
        created.rtf = writeRtf(*created.document);
        it = logs.emplace(messages, std::move(created)).first;
    }
    return it->second;
}

void BM_WriteRtf(benchmark::State& state) {
    const Log& source = log(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(writeRtf(*source.document));
    state.SetBytesProcessed(state.iterations() * source.rtf.size());
    state.SetComplexityN(source.rtf.size());
    state.counters["rtf_MB"] = double(source.rtf.size()) / 1e6;
}

void BM_ReadRtf(benchmark::State& state) {
    const Log& source = log(int(state.range(0)));
    for (auto _ : state) {
        auto document = std::make_unique<QTextDocument>();
        if (!readRtf(source.rtf, *document))
            state.SkipWithError("read failed");
        state.PauseTiming();
        document.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * source.rtf.size());
    state.SetComplexityN(source.rtf.size());
    state.counters["rtf_MB"] = double(source.rtf.size()) / 1e6;
}

// Loading plus laying out every line at a window's width: an upper bound of what a chat
// view does with the log at start.
void BM_ReadRtfAndLayOut(benchmark::State& state) {
    const Log& source = log(int(state.range(0)));
    for (auto _ : state) {
        auto document = std::make_unique<QTextDocument>();
        document->setDefaultFont(QFont("Courier New", 9));
        document->setTextWidth(640);
        (void)readRtf(source.rtf, *document);
        benchmark::DoNotOptimize(document->size());
        state.PauseTiming();
        document.reset();
        state.ResumeTiming();
    }
    state.counters["rtf_MB"] = double(source.rtf.size()) / 1e6;
}

BENCHMARK(BM_WriteRtf)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(50000)
    ->Arg(132000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_ReadRtf)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(50000)
    ->Arg(132000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_ReadRtfAndLayOut)->Arg(1000)->Arg(132000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // Text documents need a GUI application for their fonts; no display is needed.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    return kalvento::bench::runBenchmarks(argc, argv);
}
