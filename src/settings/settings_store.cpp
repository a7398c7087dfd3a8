#include "settings/settings_store.h"

#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "settings/settings_keys.h"
#include "settings/value_encoding.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <limits>

namespace kalvento::settings {

using platform::IniDocument;

namespace {

constexpr char General[] = "General";
constexpr char Messages[] = "Messages";
constexpr char Update[] = "Update";
constexpr char Advanced[] = "Advanced";
constexpr char Friends[] = "Friends";
constexpr char Network[] = "Network";
constexpr char Status[] = "Status";
constexpr char Transfers[] = "Transfers";

using namespace keys;

// A place far beyond any desktop is no place: the window then opens centred.
constexpr int PlaceLimit = 100000;

// clang-format off
const Key<Settings> SettingsKeys[] = {
    {General, "Maximized", Boolean<Settings>{&Settings::maximized}, Close},
    {General, "Width", Integer<Settings>{&Settings::width, 100, 10000}, Close, 0, When::NormalWindow},
    {General, "Height", Integer<Settings>{&Settings::height, 100, 10000}, Close, 0, When::NormalWindow},
    {General, "Left", Coordinate<Settings>{&Settings::position, 0}, Close, 0, When::KnownPlace},
    {General, "Top", Coordinate<Settings>{&Settings::position, 1}, Close, 0, When::KnownPlace},
    {General, "Screen", Text<Settings>{&Settings::screen}, Close, 0, When::KnownPlace},
    {General, "Show splashscreen", Boolean<Settings>{&Settings::showSplashscreen}, Options},
    {General, "Deliveries", Integer<Settings>{&Settings::deliveries, 1, 10}, Options},
    {General, "Hide to tray", Boolean<Settings>{&Settings::hideToTray}, Options | TrayItem},
    {General, "Always show tray icon", Boolean<Settings>{&Settings::alwaysShowTrayIcon}, Options},
    {General, "Save messages log", Boolean<Settings>{&Settings::saveMessagesLog}, Options},
    {General, "Automatic update", Boolean<Settings>{&Settings::automaticUpdate}, Options | FirstRun},
    {General, "Always connected to the Internet", Boolean<Settings>{&Settings::alwaysConnected}, Options | FirstRun},
    {General, "Save messages path", Text<Settings>{&Settings::saveMessagesPath, Blank::Directory}, Options},

    {Messages, "Show message time", Boolean<Settings>{&Settings::showMessageTime}, Options},
    {Messages, "Own message color", Color<Settings>{&Settings::ownMessageColor}, Options},
    {Messages, "Show sender's name", Boolean<Settings>{&Settings::showSenderName}, Options},
    {Messages, "Other message color", Color<Settings>{&Settings::otherMessageColor}, Options},
    {Messages, "Show private messages in italic", Boolean<Settings>{&Settings::showPrivateItalic}, Options},
    {Messages, "Private message color", Color<Settings>{&Settings::privateMessageColor}, Options},
    {Messages, "Message font name", Text<Settings>{&Settings::messageFontName, Blank::Default}, Options},
    {Messages, "Message font size", Integer<Settings>{&Settings::messageFontSize, 1, 400}, Options},
    {Messages, "Show alert", Boolean<Settings>{&Settings::showAlert}, Options},
    {Messages, "Flashing icon", Boolean<Settings>{&Settings::flashingIcon}, Options},
    {Messages, "Bring on top", Boolean<Settings>{&Settings::bringOnTop}, Options},
    {Messages, "Play a sound", Boolean<Settings>{&Settings::playSound}, Options},
    {Messages, "Sound name", Text<Settings>{&Settings::soundName}, Options},
    {Messages, "Sound index", Integer<Settings>{&Settings::soundIndex, 0, 100000}, Options},
    {Messages, "Desktop notification", Boolean<Settings>{&Settings::desktopNotification}, Options},

    {Update, "Proxy server", Text<Settings>{&Settings::proxyServer}, Options},
    {Update, "Proxy port", Integer<Settings>{&Settings::proxyPort, 0, 32767}, Options},
    {Update, "Use proxy", Boolean<Settings>{&Settings::useProxy}, Options},
    {Update, "Port", Integer<Settings>{&Settings::port, 0, 32767}, Options},
    {Update, "Update address", Text<Settings>{&Settings::updateAddress}, Options},
    {Update, "Save update directory", Text<Settings>{&Settings::saveUpdateDirectory, Blank::Directory}, Options},

    {Advanced, "Background index", Integer<Settings>{&Settings::backgroundIndex}, Options},
    {Advanced, "Background", Text<Settings>{&Settings::background}, Options},
    {Advanced, "Background style", Integer<Settings>{&Settings::backgroundStyle, 0, 2, OutOfRange::Default}, Options},
    {Advanced, "Background color", Color<Settings>{&Settings::backgroundColor}, Options},
    {Advanced, "Disable background", Boolean<Settings>{&Settings::disableBackground}, Options},
    {Advanced, "Identity", Text<Settings>{&Settings::identity}, Options | FirstRun, FirstRun},
    {Advanced, "Language index", Integer<Settings>{&Settings::languageIndex, IntMin, IntMax, OutOfRange::Clamp, &Settings::languageIndexMissing}, Options | FirstRun},
    {Advanced, "Language", Text<Settings>{&Settings::language}, Options | FirstRun},

    {Network, "Port", Integer<Settings>{&Settings::networkPort, 1, 65535, OutOfRange::Default}, Options},
    {Network, "Interfaces", List<Settings>{&Settings::networkInterfaces}, Options},
    {Network, "Peers", List<Settings>{&Settings::networkPeers}, Options},
    {Network, "Send private lines unencrypted to older copies", Boolean<Settings>{&Settings::plainPrivateLines}, Options},

    {Status, "Status", Integer<Settings>{&Settings::status, 0, 2, OutOfRange::Default}, Options | StatusChoice},
    {Status, "Status text", Text<Settings>{&Settings::statusText}, Options | StatusChoice},
    {Status, "Away after minutes", Integer<Settings>{&Settings::awayAfterMinutes, 0, 1440}, Options},
    {Status, "Show join and leave notices", Boolean<Settings>{&Settings::joinLeaveNotices}, Options},

    {Transfers, "SaveFolder", Text<Settings>{&Settings::transferSaveFolder, Blank::Directory}, Options},
    {Transfers, "AcceptFromFriends", Boolean<Settings>{&Settings::acceptFromFriends}, Options},
    {Transfers, "Port", Integer<Settings>{&Settings::transferPort, 0, 65535, OutOfRange::Default}, Options},

    {Friends, nullptr, NameSection<Settings>{&Settings::friends}, Options | Close | FriendsEdit, Close},
};

const Key<UpdateState> UpdateKeys[] = {
    {Update, "Last checked", Date<UpdateState>{&UpdateState::lastChecked}, LastChecked},
    {Update, "Error type 1 count", Integer<UpdateState>{&UpdateState::errorCount, 0}, ErrorCount},
};
// clang-format on

template <class... Ts> struct Overloaded : Ts... { using Ts::operator()...; };
// Spelled out for compilers that do not deduce an aggregate's arguments (clang before 17).
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

// A list in one value: its items separated by commas, each trimmed, empty ones left out.
QStringList splitList(const QString& value) {
    QStringList items;
    for (const QString& item : value.split(u',', Qt::SkipEmptyParts))
        if (const QString trimmed = item.trimmed(); !trimmed.isEmpty())
            items.append(trimmed);
    return items;
}

// Reads one key into owner, which holds the defaults; a missing or unreadable value leaves
// the default. Coordinates gather in place until both are known.
template <class Owner>
void readKey(const IniDocument& document, const Key<Owner>& key, Owner& owner,
             std::array<std::optional<int>, 2>& place) {
    const QString section = QString::fromLatin1(key.section);
    const std::optional<QString> text =
        key.name ? document.value(section, QString::fromLatin1(key.name)) : std::nullopt;
    const QString value = text.value_or(QString());
    std::visit(Overloaded{
                   [&](const Integer<Owner>& v) {
                       const std::optional<qint32> number = parseInteger(value);
                       if (v.missing)
                           owner.*v.missing = !number || *number == LanguageIndexMissing;
                       if (!number)
                           return;
                       if (v.rule == OutOfRange::Clamp)
                           owner.*v.member = std::clamp<int>(*number, v.min, v.max);
                       else if (*number >= v.min && *number <= v.max)
                           owner.*v.member = *number;
                   },
                   [&](const Boolean<Owner>& v) {
                       if (const std::optional<bool> flag = parseBoolean(value))
                           owner.*v.member = *flag;
                   },
                   [&](const Color<Owner>& v) {
                       if (const std::optional<quint32> color = colorFromString(value))
                           owner.*v.member = *color;
                   },
                   [&](const Text<Owner>& v) {
                       if (!text)
                           return;
                       switch (v.blank) {
                       case Blank::Kept:
                           owner.*v.member = *text;
                           break;
                       case Blank::Default:
                           if (!text->trimmed().isEmpty())
                               owner.*v.member = *text;
                           break;
                       case Blank::Directory:
                           // An empty directory would put the files in whatever the working
                           // directory is.
                           if (!text->isEmpty())
                               owner.*v.member = platform::withTrailingSlash(*text);
                           break;
                       }
                   },
                   [&](const List<Owner>& v) { owner.*v.member = splitList(value); },
                   [&](const Date<Owner>& v) {
                       if (const std::optional<QDate> day = parseDate(value))
                           owner.*v.member = *day;
                   },
                   [&](const Coordinate<Owner>& v) {
                       const std::optional<qint32> number = parseInteger(value);
                       if (number && *number >= -PlaceLimit && *number <= PlaceLimit)
                           place[size_t(v.axis)] = *number;
                       if (v.axis == 1 && place[0] && place[1])
                           owner.*v.member = QPoint(*place[0], *place[1]);
                   },
                   [&](const NameSection<Owner>& v) {
                       // Every key of the section counts, whatever its name.
                       QStringList names;
                       for (const IniDocument::Entry& entry : document.entries(section))
                           names.append(entry.value);
                       owner.*v.member = normalizeFriends(names);
                   },
               },
               key.value);
}

template <class Owner>
void readKeys(const IniDocument& document, std::span<const Key<Owner>> table, Owner& owner) {
    std::array<std::optional<int>, 2> place;
    for (const Key<Owner>& key : table)
        readKey(document, key, owner, place);
}

template <class Owner> bool writtenNow(const Key<Owner>& key, const Owner& owner) {
    if constexpr (std::is_same_v<Owner, Settings>) {
        switch (key.when) {
        case When::Always:
            return true;
        case When::NormalWindow:
            return !owner.maximized;
        case When::KnownPlace:
            return !owner.maximized && owner.position.has_value();
        }
    }
    return key.when == When::Always;
}

template <class Owner>
void writeKey(IniDocument& document, const Key<Owner>& key, const Owner& owner) {
    const QString section = QString::fromLatin1(key.section);
    const auto set = [&](const QString& value) {
        document.setValue(section, QString::fromLatin1(key.name), value);
    };
    std::visit(
        Overloaded{
            [&](const Integer<Owner>& v) { set(QString::number(owner.*v.member)); },
            [&](const Boolean<Owner>& v) { set(booleanToString(owner.*v.member)); },
            [&](const Color<Owner>& v) { set(colorToString(owner.*v.member)); },
            [&](const Text<Owner>& v) { set(owner.*v.member); },
            [&](const List<Owner>& v) { set(splitList((owner.*v.member).join(u',')).join(u',')); },
            [&](const Date<Owner>& v) { set(dateToString(owner.*v.member)); },
            [&](const Coordinate<Owner>& v) {
                const QPoint point = (owner.*v.member).value_or(QPoint());
                set(QString::number(v.axis == 0 ? point.x() : point.y()));
            },
            [&](const NameSection<Owner>& v) {
                const QStringList sorted = normalizeFriends(owner.*v.member);
                std::vector<IniDocument::Entry> entries;
                entries.reserve(size_t(sorted.size()));
                // The empty name is not stored, and its number is not given to
                // anyone else.
                for (qsizetype i = 0; i < sorted.size(); ++i) {
                    if (!sorted[i].isEmpty())
                        entries.push_back({QStringLiteral("Friend%1").arg(i + 1), sorted[i]});
                }
                document.replaceSection(section, entries);
            },
        },
        key.value);
}

// The batch's keys: those it writes first, then the others, each group in table order.
template <class Owner>
void writeKeys(IniDocument& document, std::span<const Key<Owner>> table, Batch batch,
               const Owner& owner) {
    for (const bool leading : {true, false}) {
        for (const Key<Owner>& key : table) {
            if ((key.batches & batch) && bool(key.leading & batch) == leading &&
                writtenNow(key, owner))
                writeKey(document, key, owner);
        }
    }
}

QString directoryOf(const QString& path) {
    return platform::withTrailingSlash(QFileInfo(path).absolutePath());
}

// One batch: the file as it stands, the batch's changes, one atomic save. A file that
// exists but cannot be read is left alone rather than replaced by the batch's keys only.
WriteResult writeBatch(const QString& path, const std::function<void(IniDocument&)>& change) {
    try {
        IniDocument document;
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            document = IniDocument::parse(file.readAll());
        } else if (file.exists()) {
            throw platform::SystemError(errno ? errno : EACCES);
        }
        file.close();
        change(document);
        platform::ini::save(path, document);
        return {};
    } catch (const platform::SystemError& e) {
        // The reason alone would leave the user guessing which file it was.
        return {QCoreApplication::translate("SettingsStore",
                                            "The settings file %1 could not be written: %2")
                    .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()), e.text())};
    }
}

WriteResult writeSettings(const QString& path, Batch batch, const Settings& settings) {
    return writeBatch(
        path, [&](IniDocument& document) { writeKeys(document, settingsKeys(), batch, settings); });
}

WriteResult writeUpdateState(const QString& path, Batch batch, const UpdateState& state) {
    return writeBatch(
        path, [&](IniDocument& document) { writeKeys(document, updateKeys(), batch, state); });
}

} // namespace

namespace keys {

std::span<const Key<Settings>> settingsKeys() {
    return SettingsKeys;
}

std::span<const Key<UpdateState>> updateKeys() {
    return UpdateKeys;
}

} // namespace keys

Settings Settings::defaults(const QString& directory) {
    Settings settings;
    settings.saveMessagesPath = platform::withTrailingSlash(directory);
    // An installed program's own folder is not the user's to write: downloads go where the
    // user's other downloads go.
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    settings.saveUpdateDirectory =
        platform::withTrailingSlash(downloads.isEmpty() ? directory : downloads);
    settings.transferSaveFolder = settings.saveUpdateDirectory + QStringLiteral("Kalvento/");
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
    Settings settings = Settings::defaults(directoryOf(path));
    readKeys(document, settingsKeys(), settings);
    settings.startWithSystem = platform::isAutostartEnabled(autostartEntry);
    return settings;
}

WriteResult writeFirstRun(const QString& path, const Settings& settings) {
    return writeSettings(path, FirstRun, settings);
}

WriteResult writeAll(const QString& path, const Settings& settings, const QString& executablePath,
                     const QString& autostartEntry) {
    WriteResult result = writeSettings(path, Options, settings);
    const platform::Result entry =
        platform::setAutostartEnabled(settings.startWithSystem, executablePath, autostartEntry);
    if (entry.ok())
        return result;
    return WriteResult::failure(result.ok() ? entry.error : result.error + u'\n' + entry.error);
}

WriteResult writeClose(const QString& path, const Settings& settings) {
    return writeSettings(path, Close, settings);
}

WriteResult writeFriendsSection(const QString& path, const Settings& settings) {
    return writeSettings(path, FriendsEdit, settings);
}

WriteResult writeStatus(const QString& path, const Settings& settings) {
    return writeSettings(path, StatusChoice, settings);
}

WriteResult writeHideToTray(const QString& path, bool hideToTray) {
    Settings settings;
    settings.hideToTray = hideToTray;
    return writeSettings(path, TrayItem, settings);
}

platform::Result setStartWithSystem(bool enabled, const QString& executablePath,
                                    const QString& autostartEntry) {
    return platform::setAutostartEnabled(enabled, executablePath, autostartEntry);
}

UpdateState readUpdateState(const QString& path, QDate today) {
    UpdateState state;
    state.lastChecked = today.addDays(-1);
    readKeys(platform::ini::load(path), updateKeys(), state);
    // A day still to come was written while the clock ran ahead (a wrong date, a clock read
    // as local time by another system): taken as it stands, no check would run until that
    // day came, perhaps years on. It counts as yesterday, as a value that is no date does.
    if (state.lastChecked > today)
        state.lastChecked = today.addDays(-1);
    return state;
}

WriteResult writeLastChecked(const QString& path, QDate day) {
    return writeUpdateState(path, LastChecked, UpdateState{day, 0});
}

WriteResult writeErrorCount(const QString& path, int count) {
    return writeUpdateState(path, ErrorCount, UpdateState{QDate(), count});
}

} // namespace kalvento::settings
