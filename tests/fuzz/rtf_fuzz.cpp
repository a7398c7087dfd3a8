// The chat log's RTF reader: any bytes read into a document (or are refused), and what the
// writer makes of that document reads back to the same text.

#include "fuzz_support.h"

#include "richtext/rtf_reader.h"
#include "richtext/rtf_writer.h"

#include <QGuiApplication>
#include <QTextDocument>

using namespace kalvento;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QTextDocument document;
    if (!richtext::readRtf(fuzz::bytes(data, size), document))
        return 0;
    const QByteArray written = richtext::writeRtf(document);
    QTextDocument back;
    KALVENTO_FUZZ_CHECK(richtext::readRtf(written, back));
    KALVENTO_FUZZ_CHECK(back.toPlainText() == document.toPlainText());
    // Written twice, the same bytes.
    KALVENTO_FUZZ_CHECK(richtext::writeRtf(back) == written);
    return 0;
}
