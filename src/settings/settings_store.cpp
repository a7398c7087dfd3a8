#include "settings/settings_store.h"

#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "settings/value_encoding.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <limits>

namespace kalvento::settings {

using platform::IniDocument;

namespace {

const QString General = QStringLiteral("General");
const QString Messages = QStringLiteral("Messages");
const QString Update = QStringLiteral("Update");
const QString Advanced = QStringLiteral("Advanced");
const QString Friends = QStringLiteral("Friends");
const QString Network = QStringLiteral("Network");

constexpr int IntMax = std::numeric_limits<int>::max();

class Reader {
public:
    explicit Reader(const IniDocument& document) : m_document(document) {}

    // Values outside min..max are held to the nearest end: a hand-edited size or count
    // must not make the program flood the network or draw an absurd window.
    int integer(const QString& section, const char* key, int fallback, int min = -IntMax - 1,
                int max = IntMax) const {
        const std::optional<qint32> value = parseInteger(text(section, key));
        return value ? std::clamp<int>(*value, min, max) : fallback;
    }
    bool boolean(const QString& section, const char* key, bool fallback) const {
        return parseBoolean(text(section, key)).value_or(fallback);
    }
    quint32 color(const QString& section, const char* key, quint32 fallback) const {
        return colorFromString(text(section, key)).value_or(fallback);
    }
    QString string(const QString& section, const char* key, const QString& fallback) const {
        return m_document.value(section, QString::fromLatin1(key)).value_or(fallback);
    }
    // An empty directory would put the files in whatever the working directory is.
    QString directory(const QString& section, const char* key, const QString& fallback) const {
        const QString value = string(section, key, QString());
        return value.isEmpty() ? fallback : platform::withTrailingSlash(value);
    }

private:
    QString text(const QString& section, const char* key) const {
        return m_document.value(section, QString::fromLatin1(key)).value_or(QString());
    }
    const IniDocument& m_document;
};

class Writer {
public:
    explicit Writer(IniDocument& document) : m_document(document) {}
    void integer(const QString& section, const char* key, int value) {
        string(section, key, QString::number(value));
    }
    void boolean(const QString& section, const char* key, bool value) {
        string(section, key, booleanToString(value));
    }
    void color(const QString& section, const char* key, quint32 value) {
        string(section, key, colorToString(value));
    }
    void string(const QString& section, const char* key, const QString& value) {
        m_document.setValue(section, QString::fromLatin1(key), value);
    }
    IniDocument& document() { return m_document; }

private:
    IniDocument& m_document;
};

QString directoryOf(const QString& path) {
    return platform::withTrailingSlash(QFileInfo(path).absolutePath());
}

// One batch: the file as it stands, the batch's changes, one atomic save. A file that
// exists but cannot be read is left alone rather than replaced by the batch's keys only.
WriteResult writeBatch(const QString& path, const std::function<void(Writer&)>& change) {
    try {
        IniDocument document;
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            document = IniDocument::parse(file.readAll());
        } else if (file.exists()) {
            throw platform::SystemError(errno ? errno : EACCES);
        }
        file.close();
        Writer writer(document);
        change(writer);
        platform::ini::save(path, document);
        return {};
    } catch (const platform::SystemError& e) {
        // The reason alone would leave the user guessing which file it was.
        return {QCoreApplication::translate("SettingsStore",
                                            "The settings file %1 could not be written: %2")
                    .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()), e.text())};
    }
}

// A list in one value: its items separated by commas, each trimmed, empty ones left out.
QStringList splitList(const QString& value) {
    QStringList items;
    for (const QString& item : value.split(u',', Qt::SkipEmptyParts))
        if (const QString trimmed = item.trimmed(); !trimmed.isEmpty())
            items.append(trimmed);
    return items;
}

QString joinList(const QStringList& items) {
    return splitList(items.join(u',')).join(u',');
}

void writeFriends(Writer& writer, const QStringList& friends) {
    const QStringList sorted = normalizeFriends(friends);
    std::vector<IniDocument::Entry> entries;
    entries.reserve(size_t(sorted.size()));
    // The empty name is not stored, and its number is not given to anyone else.
    for (qsizetype i = 0; i < sorted.size(); ++i) {
        if (!sorted[i].isEmpty())
            entries.push_back({QStringLiteral("Friend%1").arg(i + 1), sorted[i]});
    }
    writer.document().replaceSection(Friends, entries);
}

} // namespace

Settings Settings::defaults(const QString& directory) {
    Settings settings;
    settings.saveMessagesPath = platform::withTrailingSlash(directory);
    // An installed program's own folder is not the user's to write: downloads go where the
    // user's other downloads go.
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    settings.saveUpdateDirectory =
        platform::withTrailingSlash(downloads.isEmpty() ? directory : downloads);
    return settings;
}

QStringList normalizeFriends(const QStringList& names) {
    QStringList result;
    QSet<QString> seen; // case-folded
    for (const QString& name : names) {
        const QString folded = name.toCaseFolded();
        if (seen.contains(folded))
            continue;
        seen.insert(folded);
        result.append(name);
    }
    std::stable_sort(result.begin(), result.end(), [](const QString& a, const QString& b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    });
    return result;
}

Settings readAll(const QString& path, const QString& autostartEntry) {
    const IniDocument document = platform::ini::load(path);
    const Reader in(document);
    Settings s = Settings::defaults(directoryOf(path));
    const Settings d = s;

    s.height = in.integer(General, "Height", d.height, 100, 10000);
    s.width = in.integer(General, "Width", d.width, 100, 10000);
    // A place far beyond any desktop is no place: the window then opens centred.
    constexpr int placeLimit = 100000;
    const int left = in.integer(General, "Left", IntMax);
    const int top = in.integer(General, "Top", IntMax);
    const auto onDesktop = [](int value) { return value >= -placeLimit && value <= placeLimit; };
    if (onDesktop(left) && onDesktop(top))
        s.position = QPoint(left, top);
    s.screen = in.string(General, "Screen", d.screen);
    s.maximized = in.boolean(General, "Maximized", d.maximized);
    s.showSplashscreen = in.boolean(General, "Show splashscreen", d.showSplashscreen);
    s.languageIndexMissing =
        in.integer(Advanced, "Language index", LanguageIndexMissing) == LanguageIndexMissing;
    s.deliveries = in.integer(General, "Deliveries", d.deliveries, 1, 10);
    s.startWithSystem = platform::isAutostartEnabled(autostartEntry);
    s.hideToTray = in.boolean(General, "Hide to tray", d.hideToTray);
    s.alwaysShowTrayIcon = in.boolean(General, "Always show tray icon", d.alwaysShowTrayIcon);
    s.saveMessagesLog = in.boolean(General, "Save messages log", d.saveMessagesLog);
    s.automaticUpdate = in.boolean(General, "Automatic update", d.automaticUpdate);
    s.alwaysConnected = in.boolean(General, "Always connected to the Internet", d.alwaysConnected);
    s.saveMessagesPath = in.directory(General, "Save messages path", d.saveMessagesPath);

    s.showMessageTime = in.boolean(Messages, "Show message time", d.showMessageTime);
    s.ownMessageColor = in.color(Messages, "Own message color", d.ownMessageColor);
    s.showSenderName = in.boolean(Messages, "Show sender's name", d.showSenderName);
    s.otherMessageColor = in.color(Messages, "Other message color", d.otherMessageColor);
    s.showPrivateItalic =
        in.boolean(Messages, "Show private messages in italic", d.showPrivateItalic);
    s.privateMessageColor = in.color(Messages, "Private message color", d.privateMessageColor);
    s.messageFontName = in.string(Messages, "Message font name", d.messageFontName);
    if (s.messageFontName.trimmed().isEmpty())
        s.messageFontName = d.messageFontName;
    s.messageFontSize = in.integer(Messages, "Message font size", d.messageFontSize, 1, 400);
    s.showAlert = in.boolean(Messages, "Show alert", d.showAlert);
    s.flashingIcon = in.boolean(Messages, "Flashing icon", d.flashingIcon);
    s.bringOnTop = in.boolean(Messages, "Bring on top", d.bringOnTop);
    s.playSound = in.boolean(Messages, "Play a sound", d.playSound);
    s.soundName = in.string(Messages, "Sound name", d.soundName);
    s.soundIndex = in.integer(Messages, "Sound index", d.soundIndex, 0, 100000);
    s.desktopNotification = in.boolean(Messages, "Desktop notification", d.desktopNotification);

    s.proxyServer = in.string(Update, "Proxy server", d.proxyServer);
    s.proxyPort = in.integer(Update, "Proxy port", d.proxyPort, 0, 32767);
    s.useProxy = in.boolean(Update, "Use proxy", d.useProxy);
    s.port = in.integer(Update, "Port", d.port, 0, 32767);
    s.updateAddress = in.string(Update, "Update address", d.updateAddress);
    s.saveUpdateDirectory = in.directory(Update, "Save update directory", d.saveUpdateDirectory);

    s.backgroundIndex = in.integer(Advanced, "Background index", d.backgroundIndex);
    s.background = in.string(Advanced, "Background", d.background);
    s.backgroundStyle = in.integer(Advanced, "Background style", d.backgroundStyle);
    if (s.backgroundStyle < 0 || s.backgroundStyle > 2)
        s.backgroundStyle = d.backgroundStyle; // not a style at all
    s.backgroundColor = in.color(Advanced, "Background color", d.backgroundColor);
    s.disableBackground = in.boolean(Advanced, "Disable background", d.disableBackground);
    s.identity = in.string(Advanced, "Identity", d.identity);
    s.languageIndex = in.integer(Advanced, "Language index", d.languageIndex);
    s.language = in.string(Advanced, "Language", d.language);

    // A port out of range is no port at all: the default, not the nearest one.
    const int port = in.integer(Network, "Port", d.networkPort);
    s.networkPort = port >= 1 && port <= 65535 ? port : d.networkPort;
    s.networkInterfaces = splitList(in.string(Network, "Interfaces", QString()));
    s.networkPeers = splitList(in.string(Network, "Peers", QString()));

    // Every key of the section counts, whatever its name.
    QStringList friends;
    for (const IniDocument::Entry& entry : document.entries(Friends))
        friends.append(entry.value);
    s.friends = normalizeFriends(friends);
    return s;
}

WriteResult writeFirstRun(const QString& path, const Settings& s) {
    return writeBatch(path, [&](Writer& out) {
        out.string(Advanced, "Identity", s.identity);
        out.boolean(General, "Automatic update", s.automaticUpdate);
        out.boolean(General, "Always connected to the Internet", s.alwaysConnected);
        out.integer(Advanced, "Language index", s.languageIndex);
        out.string(Advanced, "Language", s.language);
    });
}

WriteResult writeAll(const QString& path, const Settings& s, const QString& executablePath,
                     const QString& autostartEntry) {
    WriteResult result = writeBatch(path, [&](Writer& out) {
        out.boolean(General, "Show splashscreen", s.showSplashscreen);
        out.integer(General, "Deliveries", s.deliveries);
        out.boolean(General, "Hide to tray", s.hideToTray);
        out.boolean(General, "Always show tray icon", s.alwaysShowTrayIcon);
        out.boolean(General, "Save messages log", s.saveMessagesLog);
        out.boolean(General, "Automatic update", s.automaticUpdate);
        out.boolean(General, "Always connected to the Internet", s.alwaysConnected);
        out.string(General, "Save messages path", s.saveMessagesPath);

        out.boolean(Messages, "Show message time", s.showMessageTime);
        out.color(Messages, "Own message color", s.ownMessageColor);
        out.boolean(Messages, "Show sender's name", s.showSenderName);
        out.color(Messages, "Other message color", s.otherMessageColor);
        out.boolean(Messages, "Show private messages in italic", s.showPrivateItalic);
        out.color(Messages, "Private message color", s.privateMessageColor);
        out.string(Messages, "Message font name", s.messageFontName);
        out.integer(Messages, "Message font size", s.messageFontSize);
        out.boolean(Messages, "Show alert", s.showAlert);
        out.boolean(Messages, "Flashing icon", s.flashingIcon);
        out.boolean(Messages, "Bring on top", s.bringOnTop);
        out.boolean(Messages, "Play a sound", s.playSound);
        out.string(Messages, "Sound name", s.soundName);
        out.integer(Messages, "Sound index", s.soundIndex);
        out.boolean(Messages, "Desktop notification", s.desktopNotification);

        out.string(Update, "Proxy server", s.proxyServer);
        out.integer(Update, "Proxy port", s.proxyPort);
        out.boolean(Update, "Use proxy", s.useProxy);
        out.integer(Update, "Port", s.port);
        out.string(Update, "Update address", s.updateAddress);
        out.string(Update, "Save update directory", s.saveUpdateDirectory);

        out.integer(Advanced, "Background index", s.backgroundIndex);
        out.string(Advanced, "Background", s.background);
        out.integer(Advanced, "Background style", s.backgroundStyle);
        out.color(Advanced, "Background color", s.backgroundColor);
        out.boolean(Advanced, "Disable background", s.disableBackground);
        out.string(Advanced, "Identity", s.identity);
        out.integer(Advanced, "Language index", s.languageIndex);
        out.string(Advanced, "Language", s.language);

        out.integer(Network, "Port", s.networkPort);
        out.string(Network, "Interfaces", joinList(s.networkInterfaces));
        out.string(Network, "Peers", joinList(s.networkPeers));

        writeFriends(out, s.friends);
    });
    const platform::Result entry =
        platform::setAutostartEnabled(s.startWithSystem, executablePath, autostartEntry);
    if (entry.ok())
        return result;
    return WriteResult::failure(result.ok() ? entry.error : result.error + u'\n' + entry.error);
}

WriteResult writeClose(const QString& path, const Settings& s) {
    return writeBatch(path, [&](Writer& out) {
        writeFriends(out, s.friends);
        out.boolean(General, "Maximized", s.maximized);
        if (!s.maximized) {
            out.integer(General, "Width", s.width);
            out.integer(General, "Height", s.height);
            if (s.position) {
                out.integer(General, "Left", s.position->x());
                out.integer(General, "Top", s.position->y());
                out.string(General, "Screen", s.screen);
            }
        }
    });
}

WriteResult writeFriendsSection(const QString& path, const Settings& settings) {
    return writeBatch(path, [&](Writer& out) { writeFriends(out, settings.friends); });
}

WriteResult writeHideToTray(const QString& path, bool hideToTray) {
    return writeBatch(path, [&](Writer& out) { out.boolean(General, "Hide to tray", hideToTray); });
}

platform::Result setStartWithSystem(bool enabled, const QString& executablePath,
                                    const QString& autostartEntry) {
    return platform::setAutostartEnabled(enabled, executablePath, autostartEntry);
}

UpdateState readUpdateState(const QString& path, QDate today) {
    const IniDocument document = platform::ini::load(path);
    const Reader in(document);
    UpdateState state;
    state.lastChecked =
        parseDate(in.string(Update, "Last checked", QString())).value_or(today.addDays(-1));
    state.errorCount = in.integer(Update, "Error type 1 count", 0, 0);
    return state;
}

WriteResult writeLastChecked(const QString& path, QDate day) {
    return writeBatch(path,
                      [&](Writer& out) { out.string(Update, "Last checked", dateToString(day)); });
}

WriteResult writeErrorCount(const QString& path, int count) {
    return writeBatch(path, [&](Writer& out) { out.integer(Update, "Error type 1 count", count); });
}

} // namespace kalvento::settings
