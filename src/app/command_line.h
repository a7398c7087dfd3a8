#pragma once
// The program's command line: "-s" starts it hidden in the tray; "--help" and "--version"
// answer on standard output and end it before anything else happens (no display, no second
// copy, no settings touched); anything else is refused.

#include <QString>
#include <QStringList>

namespace kalvento::app {

struct CommandLine {
    enum class Action { Run, Help, Version, Refuse };
    Action action = Action::Run;
    QString text;     // what to print: the help, the version, or why the line is refused
    int exitCode = 0; // for Help and Version 0, for Refuse 2
};

// arguments without the program's name.
CommandLine parseCommandLine(const QStringList& arguments, const QString& programName);

} // namespace kalvento::app
