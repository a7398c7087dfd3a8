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
