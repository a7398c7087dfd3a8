// The outbox file as any bytes: loading never reads past them, and a file it reads as a
// whole is written back byte for byte (an unreadable line included), then read the same
// again. A file it cannot read is never written over.

#include "fuzz_support.h"

#include "messaging/outbox.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

using namespace kalvento;
using messaging::Outbox;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

namespace {

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool sameLines(const Outbox& a, const Outbox& b) {
    const QList<Outbox::Entry> x = a.entries(), y = b.entries();
    if (x.size() != y.size())
        return false;
    for (qsizetype i = 0; i < x.size(); ++i) {
        if (x[i].lineId != y[i].lineId || x[i].readable != y[i].readable ||
            x[i].plainTexts != y[i].plainTexts || x[i].text != y[i].text ||
            x[i].recipientKey != y[i].recipientKey || x[i].queuedAt != y[i].queuedAt)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The key the seed corpus was sealed with: this identity and each recipient's.
    static const crypto::IdentityKey own = crypto::IdentityKey::fromSeed(QByteArray(32, '\x07'));
    static const Outbox::KeyFor keyFor =
        [](const crypto::PublicKey& recipient) -> std::optional<crypto::SessionKey> {
        const auto pair = crypto::PairKeys::derive(own, recipient);
        return pair ? std::optional(Outbox::restKey(*pair)) : std::nullopt;
    };
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("outbox.dat"));
    const QString copy = dir.filePath(QStringLiteral("copy.dat"));
    const auto input = fuzz::bytes(data, size);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(input.data(), input.size());
    }
    QFile::remove(copy);

    Outbox::Loaded loaded = Outbox::load(path, keyFor);
    // A line takes at least a header with a one-byte name and two lengths in the file.
    KALVENTO_FUZZ_CHECK(qsizetype(loaded.outbox.size()) * (4 + 49 + 4) <= input.size());
    KALVENTO_FUZZ_CHECK(loaded.outbox.size() <= Outbox::kMaxEntries);
    KALVENTO_FUZZ_CHECK(!loaded.outbox.changed());
    KALVENTO_FUZZ_CHECK((loaded.unreadable > 0 || loaded.outbox.memoryOnly()) ==
                        !loaded.error.isEmpty());
    if (loaded.outbox.memoryOnly()) {
        KALVENTO_FUZZ_CHECK(loaded.outbox.size() == 0);
        KALVENTO_FUZZ_CHECK(!loaded.outbox.save(path, keyFor));
        KALVENTO_FUZZ_CHECK(contentOf(path) == input);
        return 0;
    }
    int unreadable = 0;
    for (const Outbox::Entry& entry : loaded.outbox.entries())
        unreadable += entry.readable ? 0 : 1;
    KALVENTO_FUZZ_CHECK(unreadable == loaded.unreadable);

    KALVENTO_FUZZ_CHECK(loaded.outbox.save(copy, keyFor).ok());
    KALVENTO_FUZZ_CHECK(contentOf(copy) == input);
    const Outbox::Loaded again = Outbox::load(copy, keyFor);
    KALVENTO_FUZZ_CHECK(again.error == QString(loaded.error).replace(path, copy));
    KALVENTO_FUZZ_CHECK(sameLines(again.outbox, loaded.outbox));
    return 0;
}
