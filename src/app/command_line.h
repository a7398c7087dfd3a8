#pragma once
// The program's command line: "-s" starts it hidden in the tray; "--help" and "--version"
// answer on standard output and end it before anything else happens (no display, no second
// copy, no settings touched); "--send PATH... [--to COMPUTER]..." sends files and folders
// through the running copy (or the one it starts); anything else is refused.

#include <QDir>
#include <QString>
#include <QStringList>

namespace kalvento::app {

// Files and folders the command line asks to send: absolute paths, and the computers (none:
// the ticked ones).
struct SendRequest {
    QStringList paths;
    QStringList computers;
    // No paths: the program was started again, and the running copy is to show its window.
    bool show = false;
    bool operator==(const SendRequest&) const = default;
};

struct CommandLine {
    enum class Action { Run, Help, Version, Refuse };
    Action action = Action::Run;
    QString text;     // what to print: the help, the version, or why the line is refused
    int exitCode = 0; // for Help and Version 0, for Refuse 2
    SendRequest send; // Run with paths: send them
};

// arguments without the program's name; relative paths are taken from currentDirectory.
CommandLine parseCommandLine(const QStringList& arguments, const QString& programName,
                             const QString& currentDirectory = QDir::currentPath());

} // namespace kalvento::app
