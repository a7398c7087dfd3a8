#pragma once
// Qt's own texts (the buttons and labels of its print, colour, font and file dialogs) in
// the language in use: a language file names its locale in "[Language] Locale=fi", and
// Qt's translation for it is loaded when one is installed (Debian: qt6-translations-l10n).

#include <QLocale>
#include <QString>

namespace kalvento::lang {

class LanguageFile;

// The locale a language file names; empty when it names none.
QString languageLocale(const LanguageFile* file);

// The locale whose names of weekdays and months, and whose date formats, the program's
// texts use: the one file names, in the territory of the system when that has the language
// (fi on a Swedish system of Finland: fi_FI); without one (the built-in English), the
// system's when it speaks English, else English in the system's territory.
QLocale displayLocale(const LanguageFile* file);

// Installs Qt's translation for file's locale in place of the one installed before (none
// when file is null or names no locale). False when a locale was named but Qt has no
// translation for it here.
bool installQtTranslation(const LanguageFile* file);

} // namespace kalvento::lang
