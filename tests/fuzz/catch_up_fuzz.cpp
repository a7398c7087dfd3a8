// The catch-up record a peer hands on: any bytes are taken apart without harm, a record
// that reads is exactly the bytes it came from, and a line that reads is taken by the
// history and the collector only when its signature holds over every field.

#include "fuzz_support.h"

#include "messaging/catch_up.h"

using namespace kalvento;
using namespace kalvento::messaging;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto input = kalvento::fuzz::bytes(data, size);
    const std::optional<SignedLine> line = decodeRecord(input);
    if (!line)
        return 0;
    KALVENTO_FUZZ_CHECK(encodeRecord(*line) == input);
    KALVENTO_FUZZ_CHECK(lineFits(*line));

    const bool genuine = verifyLine(*line);
    SignedLine moved = *line;
    ++moved.lineId;
    KALVENTO_FUZZ_CHECK(!verifyLine(moved) || !genuine);

    const bool kept = isPublicLine(line->text) && genuine;
    LineHistory history;
    KALVENTO_FUZZ_CHECK(history.add(*line) == kept);
    KALVENTO_FUZZ_CHECK(!history.add(*line));
    const quint64 now = line->lineId;
    const QList<SignedLine> offered = history.since(0, now);
    KALVENTO_FUZZ_CHECK(offered.size() == (kept && now > 0 ? 1 : 0));
    if (!offered.isEmpty())
        KALVENTO_FUZZ_CHECK(offered.front() == *line);

    CatchUpCollector collector(0, [&](const QString&) { return line->author; });
    const CatchUpCollector::Verdict verdict = collector.offer(*line, now);
    KALVENTO_FUZZ_CHECK((verdict == CatchUpCollector::Verdict::Accepted) == (kept && now > 0));
    KALVENTO_FUZZ_CHECK(collector.offer(*line, now) != CatchUpCollector::Verdict::Accepted);
    return 0;
}
