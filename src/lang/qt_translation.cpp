#include "lang/qt_translation.h"

#include "lang/language_file.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <memory>

namespace kalvento::lang {

namespace {

std::unique_ptr<QTranslator>& installed() {
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

} // namespace

QString languageLocale(const LanguageFile* file) {
    if (file == nullptr)
        return QString();
    return file->readString(u"Language", u"Locale", QString()).trimmed();
}

QLocale displayLocale(const LanguageFile* file) {
    const QLocale system = QLocale::system();
    const QString name = languageLocale(file);
    QLocale::Language language = QLocale::English;
    if (!name.isEmpty()) {
        const QLocale named(name);
        if (named.language() == QLocale::C)
            return system; // a locale Qt does not know: the system's names at least read
        if (named.territory() != QLocale::AnyTerritory && name.contains(u'_'))
            return named;
        language = named.language();
    }
    if (system.language() == language ||
        (language == QLocale::English && system.language() == QLocale::C))
        return system;
    // Qt falls back on the language's main territory when the pair does not exist.
    return QLocale(language, system.territory());
}

bool installQtTranslation(const LanguageFile* file) {
    std::unique_ptr<QTranslator>& current = installed();
    if (current) {
        QCoreApplication::removeTranslator(current.get());
        current.reset();
    }
    const QString locale = languageLocale(file);
    if (locale.isEmpty())
        return true;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral("qtbase_") + locale,
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    QCoreApplication::installTranslator(translator.get());
    current = std::move(translator);
    return true;
}

} // namespace kalvento::lang
