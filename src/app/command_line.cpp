#include "app/command_line.h"

#include "update/version.h"

namespace kalvento::app {

namespace {

QString helpText(const QString& program) {
    return QStringLiteral(
               "Usage: %1 [-s]\n"
               "A chat for the computers of a local network, without a server.\n"
               "\n"
               "  -s             start hidden in the tray (as at login)\n"
               "  -h, --help     show this help and exit\n"
               "  -V, --version  show the version and exit\n"
               "\n"
               "Kalvento talks to the other copies on the LAN over UDP port 5737 (see\n"
               "KALVENTO_PORT in the manual page, kalvento(1)). One copy runs per session;\n"
               "starting another brings nothing new up.\n")
        .arg(program);
}

// Options QApplication takes itself; the first group is followed by a value.
const QStringList kToolkitOptionsWithValue = {
    "-platform",    "-platformpluginpath", "-platformtheme", "-plugin",  "-qwindowgeometry",
    "-qwindowicon", "-qwindowtitle",       "-session",       "-display", "-geometry",
    "-style",       "-stylesheet",         "-name",          "-title",   "-visual"};
const QStringList kToolkitFlags = {"-reverse", "-widgetcount", "-nograb", "-dograb", "-sync"};

} // namespace

CommandLine parseCommandLine(const QStringList& arguments, const QString& programName) {
    CommandLine line;
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            return {CommandLine::Action::Help, helpText(programName), 0};
        }
        if (argument == QLatin1String("--version") || argument == QLatin1String("-V")) {
            return {CommandLine::Action::Version,
                    QStringLiteral("Kalvento %1\n").arg(update::GetVersion()), 0};
        }
    }
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("-s") || kToolkitFlags.contains(argument) ||
            argument.startsWith(QLatin1String("-style=")) ||
            argument.startsWith(QLatin1String("-stylesheet=")) ||
            argument.startsWith(QLatin1String("-qmljsdebugger=")))
            continue;
        if (kToolkitOptionsWithValue.contains(argument) && i + 1 < arguments.size()) {
            ++i;
            continue;
        }
        return {CommandLine::Action::Refuse,
                QStringLiteral("%1: unknown option '%2'\nTry '%1 --help' for more information.\n")
                    .arg(programName, argument),
                2};
    }
    return line;
}

} // namespace kalvento::app
