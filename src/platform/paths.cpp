#include "platform/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace kalvento::platform {

namespace {

QString environment(const char* name) {
    return qEnvironmentVariable(name);
}

} // namespace

QString withTrailingSlash(const QString& path) {
    if (path.isEmpty() || path.endsWith(u'/'))
        return path;
    return path + u'/';
}

QString programDirectory() {
    if (QCoreApplication::instance())
        return withTrailingSlash(QCoreApplication::applicationDirPath());
    // Before the application object exists (and in tests without one).
    return withTrailingSlash(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath());
}

QString resourceDirectory() {
    QString program = programDirectory();
    if (QFileInfo(program + QStringLiteral("Languages")).isDir())
        return program;
    // An installed program: <prefix>/bin/kalvento with <prefix>/share/kalvento beside it.
    QString installed =
        withTrailingSlash(QDir(program + QStringLiteral("../share/kalvento")).absolutePath());
    if (QFileInfo(installed + QStringLiteral("Languages")).isDir())
        return installed;
    return QStringLiteral("/usr/share/kalvento/");
}

QString chooseSettingsDirectory(const QString& overrideDirectory, const QString& programDir,
                                const QString& configHome, const QString& home) {
    if (!overrideDirectory.isEmpty())
        return withTrailingSlash(QDir(overrideDirectory).absolutePath());
    QString program = withTrailingSlash(programDir);
    if (!program.isEmpty() && QFileInfo(program + QStringLiteral("Options.ini")).isFile())
        return program;
    // A relative XDG_CONFIG_HOME is invalid and is ignored.
    const QString base = QDir::isAbsolutePath(configHome)
                             ? withTrailingSlash(configHome)
                             : withTrailingSlash(home) + QStringLiteral(".config/");
    return base + QStringLiteral("kalvento/");
}

QString configHomeDirectory() {
    const QString configHome = environment("XDG_CONFIG_HOME");
    if (QDir::isAbsolutePath(configHome))
        return withTrailingSlash(configHome);
    return withTrailingSlash(QDir::homePath()) + QStringLiteral(".config/");
}

QString settingsDirectory() {
    QString directory =
        chooseSettingsDirectory(environment("KALVENTO_CONFIG_DIR"), programDirectory(),
                                environment("XDG_CONFIG_HOME"), QDir::homePath());
    // A failure shows later, when the settings cannot be written.
    QDir().mkpath(directory);
    return directory;
}

QString settingsFilePath() {
    return settingsDirectory() + QStringLiteral("Options.ini");
}

} // namespace kalvento::platform
