#include "lang/language_file.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <mutex>

using namespace Qt::StringLiterals;

namespace kalvento::lang {

namespace {

std::mutex currentMutex;
std::shared_ptr<const LanguageFile> currentFile;

QString joinPath(const QString& baseDirectory, const QString& relative) {
    if (baseDirectory.isEmpty())
        return relative;
    if (baseDirectory.endsWith(u'/'))
        return baseDirectory + relative;
    return baseDirectory + u'/' + relative;
}

} // namespace

LanguageFile LanguageFile::fromBytes(QByteArrayView bytes) {
    return LanguageFile(platform::IniDocument::parse(
        bytes, platform::IniDocument::ParseOptions{.semicolonComments = true}));
}

QString languageFileName(const QString& language) {
    return QLatin1StringView(LanguagesFolder) + u'/' + language + u".txt"_s;
}

std::shared_ptr<const LanguageFile> LoadLanguageFile(const QString& relativeName,
                                                     const QString& baseDirectory) {
    const QString path = joinPath(baseDirectory, relativeName);
    // Only regular files: opening a FIFO of that name would block the window being built.
    if (!QFileInfo(path).isFile())
        return nullptr;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return nullptr;
    return std::make_shared<const LanguageFile>(LanguageFile::fromBytes(bytes));
}

std::shared_ptr<const LanguageFile> CurrentLanguageFile() {
    std::lock_guard lock(currentMutex);
    return currentFile;
}

void SetCurrentLanguageFile(std::shared_ptr<const LanguageFile> file) {
    std::lock_guard lock(currentMutex);
    currentFile = std::move(file);
}

QString messageText(const LanguageFile* file, const QString& englishDefault,
                    QStringView identifier) {
    if (file == nullptr)
        return englishDefault;
    QString value = file->readString(QString::fromLatin1(MiscSection), identifier, QString());
    const QLatin1StringView marker(MessageLineBreakMarker);
    if (!value.contains(marker))
        return value;

    // Taken apart piece by piece as translators have always seen it work: a marker at the
    // very start gives a leading break, two in a row an empty line.
    QString result;
    qsizetype at;
    while ((at = value.indexOf(marker)) >= 0) {
        const QString piece = value.left(at);
        if (!result.isEmpty())
            result += u"\r\n"_s + piece;
        else
            result = piece;
        value.remove(0, at + marker.size());
    }
    result += u"\r\n"_s + value;
    return result;
}

QString GetMessageText(const QString& englishDefault, QStringView identifier) {
    const auto file = CurrentLanguageFile();
    return messageText(file.get(), englishDefault, identifier);
}

QString GetMessageText(MessageId id) {
    return GetMessageText(messageDefault(id), messageIdentifier(id));
}

QString GetFiles(const QString& folder) {
    // Pending events are not processed between entries: listing a local folder is quick,
    // and the callers are windows still being built, whose handlers must not run yet.
    //
    // Case-sensitive, so that every listed name loads again as "<name>.txt"; regular files
    // and links to them only (hidden ones too), never directories or special files.
    QDirIterator it(folder, {QStringLiteral("*.txt")},
                    QDir::Files | QDir::Hidden | QDir::CaseSensitive);
    QString result;
    while (it.hasNext()) {
        it.next();
        QString name = it.fileName();
        name.chop(4);
        if (name.isEmpty())
            continue;
        name.replace(u'"', u"\"\""_s);
        result += u",\""_s + name + u'"';
    }
    if (!result.isEmpty())
        result.remove(0, 1);
    return result;
}

QStringList splitQuotedCommaText(QStringView text) {
    QStringList names;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        QString name;
        if (text[i] == u'"') {
            ++i;
            while (i < n) {
                if (text[i] == u'"') {
                    if (i + 1 < n && text[i + 1] == u'"') {
                        name += u'"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                name += text[i++];
            }
            // Anything between the closing quote and the next comma belongs to the name.
            while (i < n && text[i] != u',')
                name += text[i++];
        } else {
            while (i < n && text[i] != u',')
                name += text[i++];
        }
        names.append(name);
        if (i < n && text[i] == u',') {
            ++i;
            if (i == n)
                names.append(QString());
        }
    }
    return names;
}

QStringList languageList(const QString& folder) {
    QStringList list{QString::fromLatin1(DefaultLanguageName)};
    const QString files = GetFiles(folder);
    if (!files.isEmpty())
        list += splitQuotedCommaText(files);
    return list;
}

QString languagePicturePath(const QString& name, const QString& baseDirectory) {
    return joinPath(baseDirectory, QLatin1StringView(LanguagesFolder) + u'/' + name + u".bmp"_s);
}

QString chooseHelpFile(int languageIndex, const QString& language, const QString& baseDirectory) {
    const QString helps = QLatin1StringView(HelpsFolder) + u"/KV"_s;
    QString english = joinPath(baseDirectory, helps + u"English.html"_s);
    if (languageIndex == 0)
        return english;
    const QString own = joinPath(baseDirectory, helps + language + u".html"_s);
    return QFileInfo(own).isFile() ? own : english;
}

QUrl helpUrl(const QString& helpFile, int topic) {
    QUrl url = QUrl::fromLocalFile(helpFile);
    url.setFragment(QString::number(topic));
    return url;
}

} // namespace kalvento::lang
