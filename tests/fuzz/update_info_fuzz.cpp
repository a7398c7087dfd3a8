// The update description the server offers, as any file: every value is one line or "N/A",
// and reading is repeatable.

#include "fuzz_support.h"

#include "update/update_info.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

using namespace kalvento;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Tolmirant.upd"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    const update::TUpdateInfo info = update::readUpdateInfo(path);
    for (const QString* value : {&info.Version, &info.UpdateURL, &info.ReadmeURL, &info.Details})
        KALVENTO_FUZZ_CHECK(!value->contains(u'\n') && !value->contains(u'\r'));
    KALVENTO_FUZZ_CHECK(update::readUpdateInfo(path).Version == info.Version);
    return 0;
}
