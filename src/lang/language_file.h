#pragma once
// Language files: "Languages/<language>.txt" beside the program, an INI file that
// translates window texts by window and component name and messages by identifier.

#include "lang/message_table.h"
#include "platform/ini_file.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QUrl>

#include <memory>
#include <optional>

namespace kalvento::lang {

// Entry 0 of every language list: the built-in English, for which no file is read.
inline constexpr char DefaultLanguageName[] = "Default (English)";
inline constexpr char LanguagesFolder[] = "Languages";
inline constexpr char HelpsFolder[] = "Helps";
inline constexpr char MiscSection[] = "Misc";
// A line break inside a message value.
inline constexpr char MessageLineBreakMarker[] = "*|*";

// One language file, read whole into memory (UTF-8 when valid, else Windows-1252; lines
// beginning with ';' are comments; section and key names ignore letter case).
class LanguageFile {
public:
    explicit LanguageFile(platform::IniDocument document) : m_document(std::move(document)) {}
    static LanguageFile fromBytes(QByteArrayView bytes);

    // The value of key in section, or none when the key is absent.
    std::optional<QString> readString(QStringView section, QStringView key) const {
        return m_document.value(section, key);
    }
    QString readString(QStringView section, QStringView key, const QString& fallback) const {
        return m_document.value(section, key, fallback);
    }
    const platform::IniDocument& document() const { return m_document; }

private:
    platform::IniDocument m_document;
};

// "Languages/<language>.txt", relative to the program's folder.
QString languageFileName(const QString& language);

// Reads baseDirectory/relativeName; nullptr when there is no such regular file or it
// cannot be read. A missing language is not an error: the built-in English stays.
std::shared_ptr<const LanguageFile> LoadLanguageFile(const QString& relativeName,
                                                     const QString& baseDirectory);

// The language file in use by the whole process; nullptr until a load found a file.
std::shared_ptr<const LanguageFile> CurrentLanguageFile();
void SetCurrentLanguageFile(std::shared_ptr<const LanguageFile> file);

// Message identifier in section "Misc" of file. No file: the English default. A file that
// lacks the identifier gives an empty text. Each "*|*" becomes CR LF.
QString messageText(const LanguageFile* file, const QString& englishDefault,
                    QStringView identifier);
// The same with CurrentLanguageFile().
QString GetMessageText(const QString& englishDefault, QStringView identifier);
QString GetMessageText(MessageId id);

// Names (without ".txt") of the "*.txt" files in folder, in the order the file system
// lists them, each in double quotes, separated by commas; empty when there are none.
// A double quote inside a name is doubled so that the list splits back unchanged.
QString GetFiles(const QString& folder);
// Splits a list made by GetFiles back into its names.
QStringList splitQuotedCommaText(QStringView text);
// The language list of the wizard and the options window: DefaultLanguageName, then the
// languages of folder in file-system order.
QStringList languageList(const QString& folder);

// "Languages/<name>.bmp", the picture shown beside a language in the lists; joined to
// baseDirectory when one is given.
QString languagePicturePath(const QString& name, const QString& baseDirectory = QString());

// The help file for a language. The help is HTML: the file a Windows build would have
// named "Helps\KV<language>.hlp" is "Helps/KV<language>.html" here, same base name. Index 0
// (the built-in English), or a language without its own help file, gives
// "Helps/KVEnglish.html". The result is the full path under baseDirectory.
QString chooseHelpFile(int languageIndex, const QString& language, const QString& baseDirectory);
// A help topic is an anchor of that number in the help file.
QUrl helpUrl(const QString& helpFile, int topic);

} // namespace kalvento::lang
