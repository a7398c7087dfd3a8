#include "app/command_line.h"

#include "update/version.h"

namespace kalvento::app {

namespace {

QString helpText(const QString& program) {
    return QStringLiteral(
               "Usage: %1 [-s]\n"
               "       %1 --send PATH... [--to COMPUTER]...\n"
               "A chat for the computers of a local network, without a server.\n"
               "\n"
               "  -s             start hidden in the tray (as at login)\n"
               "  --send PATH... offer these files and folders to the ticked computers, or\n"
               "                 to those named with --to; the running copy sends them (one\n"
               "                 is started when none runs, and sends once they are listed)\n"
               "  --to COMPUTER  send to this computer (its name in the list); repeatable\n"
               "  -h, --help     show this help and exit\n"
               "  -V, --version  show the version and exit\n"
               "\n"
               "Kalvento talks to the other copies on the LAN over UDP port 5737 (see\n"
               "KALVENTO_PORT in the manual page, kalvento(1)). One copy runs per session;\n"
               "starting another brings nothing new up. Files go over TCP, on the same port\n"
               "number unless the options say otherwise. With --send, the exit status is 0\n"
               "when the files were offered to at least one computer, 1 when not.\n")
        .arg(program);
}

// Options QApplication takes itself; the first group is followed by a value.
const QStringList kToolkitOptionsWithValue = {
    "-platform",    "-platformpluginpath", "-platformtheme", "-plugin",  "-qwindowgeometry",
    "-qwindowicon", "-qwindowtitle",       "-session",       "-display", "-geometry",
    "-style",       "-stylesheet",         "-name",          "-title",   "-visual"};
const QStringList kToolkitFlags = {"-reverse", "-widgetcount", "-nograb", "-dograb", "-sync"};

CommandLine refuse(const QString& programName, const QString& why) {
    return {CommandLine::Action::Refuse,
            QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n").arg(programName, why),
            2,
            {}};
}

} // namespace

CommandLine parseCommandLine(const QStringList& arguments, const QString& programName,
                             const QString& currentDirectory) {
    CommandLine line;
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            return {CommandLine::Action::Help, helpText(programName), 0, {}};
        }
        if (argument == QLatin1String("--version") || argument == QLatin1String("-V")) {
            return {CommandLine::Action::Version,
                    QStringLiteral("Kalvento %1\n").arg(update::GetVersion()),
                    0,
                    {}};
        }
    }
    const QDir here(currentDirectory);
    bool sending = false;   // after --send: what is no option is a path
    bool onlyPaths = false; // after "--" following --send: everything is a path
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (sending && (onlyPaths || !argument.startsWith(u'-'))) {
            if (argument.isEmpty())
                return refuse(programName, QStringLiteral("an empty path after '--send'"));
            line.send.paths.append(QDir::cleanPath(here.absoluteFilePath(argument)));
            continue;
        }
        if (argument == QLatin1String("--send")) {
            sending = true;
            continue;
        }
        if (sending && argument == QLatin1String("--")) {
            onlyPaths = true;
            continue;
        }
        if (argument == QLatin1String("--to") || argument.startsWith(QLatin1String("--to="))) {
            QString computer;
            if (argument == QLatin1String("--to")) {
                if (i + 1 >= arguments.size())
                    return refuse(programName, QStringLiteral("option '--to' needs a computer"));
                computer = arguments[++i];
            } else {
                computer = argument.mid(5);
            }
            if (computer.trimmed().isEmpty())
                return refuse(programName, QStringLiteral("option '--to' needs a computer"));
            line.send.computers.append(computer.trimmed());
            continue;
        }
        if (argument == QLatin1String("-s") || kToolkitFlags.contains(argument) ||
            argument.startsWith(QLatin1String("-style=")) ||
            argument.startsWith(QLatin1String("-stylesheet=")) ||
            argument.startsWith(QLatin1String("-qmljsdebugger=")))
            continue;
        if (kToolkitOptionsWithValue.contains(argument) && i + 1 < arguments.size()) {
            ++i;
            continue;
        }
        return refuse(programName, QStringLiteral("unknown option '%1'").arg(argument));
    }
    if (sending && line.send.paths.isEmpty())
        return refuse(programName, QStringLiteral("option '--send' needs a file or folder"));
    if (!sending && !line.send.computers.isEmpty())
        return refuse(programName, QStringLiteral("option '--to' goes with '--send'"));
    return line;
}

} // namespace kalvento::app
