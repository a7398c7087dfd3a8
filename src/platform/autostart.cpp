#include "platform/autostart.h"

#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/system_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace kalvento::platform {

namespace {

// Inside a double-quoted argument these four keep their literal meaning only escaped.
QString quoteArgument(const QString& argument) {
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    return quoted + u'"';
}

// The general escapes of a string value, which a reader undoes before the quoting above;
// "%" would otherwise start a field code.
QString escapeStringValue(const QString& text) {
    QString escaped;
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            escaped += QStringLiteral("\\\\");
            break;
        case '\n':
            escaped += QStringLiteral("\\n");
            break;
        case '\r':
            escaped += QStringLiteral("\\r");
            break;
        case '\t':
            escaped += QStringLiteral("\\t");
            break;
        case '%':
            escaped += QStringLiteral("%%");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

// Hidden=true in the [Desktop Entry] group switches the entry off.
bool isHidden(const QByteArray& contents) {
    bool inMainGroup = false;
    for (const QByteArray& raw : contents.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (!inMainGroup || equals < 0)
            continue;
        if (line.left(equals).trimmed() == "Hidden")
            return line.mid(equals + 1).trimmed() == "true";
    }
    return false;
}

} // namespace

QString autostartEntryPath() {
    return configHomeDirectory() + QStringLiteral("autostart/kalvento.desktop");
}

QString autostartExec(const QString& executablePath) {
    return escapeStringValue(quoteArgument(executablePath) + QStringLiteral(" -s"));
}

bool isAutostartEnabled() {
    return isAutostartEnabled(autostartEntryPath());
}

bool isAutostartEnabled(const QString& entryPath) {
    QFile file(entryPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return !isHidden(file.readAll());
}

Result setAutostartEnabled(bool enabled, const QString& executablePath) {
    return setAutostartEnabled(enabled, executablePath, autostartEntryPath());
}

Result setAutostartEnabled(bool enabled, const QString& executablePath, const QString& entryPath) {
    const auto failed = [&](const QString& why) {
        return Result::failure(QStringLiteral("%1: %2").arg(entryPath, why));
    };
    if (!enabled) {
        const QFileInfo entry(entryPath);
        if (!entry.exists() && !entry.isSymLink())
            return Result::success();
        QFile file(entryPath);
        return file.remove() ? Result::success() : failed(file.errorString());
    }
    // The same identity as the menu entry (kalvento.desktop, its name and its icon), so the
    // desktop shows the started copy as the program the menu starts.
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Kalvento\n"
                                         "GenericName=LAN Chat\n"
                                         "Comment=Chat with the computers of your local "
                                         "network, without a server\n"
                                         "Icon=kalvento\n"
                                         "Exec=") +
                          autostartExec(executablePath) +
                          QStringLiteral("\nTerminal=false\n"
                                         "Categories=Network;InstantMessaging;Chat;\n"
                                         "StartupNotify=false\n"
                                         "X-GNOME-Autostart-enabled=true\n");
    const QString folder = QFileInfo(entryPath).absolutePath();
    if (!QDir().mkpath(folder))
        return failed(QStringLiteral("cannot create the folder %1").arg(folder));
    try {
        writeFileAtomically(entryPath, entry.toUtf8());
    } catch (const SystemError& e) {
        return failed(e.text());
    }
    return Result::success();
}

} // namespace kalvento::platform
