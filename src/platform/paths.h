#pragma once
// Where the program finds its own files and keeps the user's. Every directory is returned
// with a trailing "/", so a file name can be appended directly.

#include <QString>

namespace kalvento::platform {

// Directory of the running executable.
QString programDirectory();

// Where "Languages/" and "Helps/" are found: the program directory when a Languages
// folder stands beside the executable (a build tree or an unpacked archive), else the
// installed data directory /usr/share/kalvento/.
QString resourceDirectory();

// Where Options.ini lives. KALVENTO_CONFIG_DIR when set; else the program directory when
// an Options.ini already stands there (a portable copy on a stick keeps its settings);
// else $XDG_CONFIG_HOME/kalvento/ (~/.config/kalvento/ by default), because an installed
// program's directory is not writable by its users. Created when missing.
QString settingsDirectory();
QString settingsFilePath();

// The choice of settingsDirectory() with its inputs given: overrideDirectory is the
// environment's KALVENTO_CONFIG_DIR (empty when unset), configHome $XDG_CONFIG_HOME
// (empty when unset), home the user's home directory. Creates nothing.
QString chooseSettingsDirectory(const QString& overrideDirectory, const QString& programDir,
                                const QString& configHome, const QString& home);

// The XDG configuration directory: $XDG_CONFIG_HOME when it holds an absolute path, else
// ~/.config/. With a trailing "/".
QString configHomeDirectory();

// path with a trailing "/" (unchanged when empty or already there).
QString withTrailingSlash(const QString& path);

} // namespace kalvento::platform
