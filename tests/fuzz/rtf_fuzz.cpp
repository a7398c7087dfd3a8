// The chat log's RTF reader: any bytes read into a document (or are refused), and what the
// writer makes of that document reads back to the same text and is in the log form. Any
// bytes may also stand where the header of a log is looked for.

#include "fuzz_support.h"

#include "richtext/rtf_log.h"
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
    const QByteArrayView input = fuzz::bytes(data, size);
    if (const auto header = richtext::parseLogHeader(input))
        KALVENTO_FUZZ_CHECK(header->headerBytes <= input.size());
    QTextDocument document;
    if (!richtext::readRtf(input, document))
        return 0;
    const QByteArray written = richtext::writeRtf(document);
    const auto header = richtext::parseLogHeader(written);
    KALVENTO_FUZZ_CHECK(header && header->headerBytes + header->bodyBytes + 2 == written.size());
    QTextDocument back;
    KALVENTO_FUZZ_CHECK(richtext::readRtf(written, back));
    KALVENTO_FUZZ_CHECK(back.toPlainText() == document.toPlainText());
    // Written twice, the same bytes.
    KALVENTO_FUZZ_CHECK(richtext::writeRtf(back) == written);
    return 0;
}
