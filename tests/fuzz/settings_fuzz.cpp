// Options.ini as any file: the INI reader, and the settings store over it. What the reader
// gives is written and read back unchanged; the settings read from any file are written
// and read back the same.

#include "fuzz_support.h"

#include "platform/ini_file.h"
#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

using namespace kalvento;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto input = fuzz::bytes(data, size);
    const platform::IniDocument document = platform::IniDocument::parse(input);
    const platform::IniDocument again = platform::IniDocument::parse(document.serialize());
    KALVENTO_FUZZ_CHECK(again.serialize() == document.serialize());
    for (const QString& section : document.sections()) {
        for (const auto& entry : document.entries(section))
            KALVENTO_FUZZ_CHECK(again.value(section, entry.key) == entry.value);
    }

    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Options.ini"));
    const QString copy = dir.filePath(QStringLiteral("Copy.ini"));
    const QString autostart = dir.filePath(QStringLiteral("autostart/kalvento.desktop"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(input.data(), input.size());
    }
    QFile::remove(copy);
    const settings::Settings read = settings::readAll(path, autostart);
    if (!settings::writeAll(copy, read, QStringLiteral("/usr/bin/kalvento"), autostart))
        return 0;
    const settings::Settings back = settings::readAll(copy, autostart);
    // An empty friend is read (as the empty name) but never written.
    QStringList named = read.friends;
    named.removeAll(QString());
    KALVENTO_FUZZ_CHECK(back.friends == named);
    KALVENTO_FUZZ_CHECK(back.identity == read.identity);
    KALVENTO_FUZZ_CHECK(back.saveMessagesPath == read.saveMessagesPath);
    KALVENTO_FUZZ_CHECK(back.deliveries == read.deliveries);
    return 0;
}
