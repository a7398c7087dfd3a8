#include "desktop/program_icon.h"

#include "platform/paths.h"
#include "platform/trace.h"
#include "widgets/artwork.h"

#include <QDir>
#include <QFileInfo>

namespace kalvento::desktop {

using widgets::makeProgramIcon;
using widgets::programIconSizes;

QString installedIconDirectory(const QString& programDirectory) {
    return platform::withTrailingSlash(QDir(platform::withTrailingSlash(programDirectory) +
                                            QStringLiteral("../share/icons/hicolor"))
                                           .absolutePath());
}

QIcon iconFromHicolorDirectory(const QString& hicolorDirectory) {
    const QString base = platform::withTrailingSlash(hicolorDirectory);
    const QString file = QString::fromLatin1(kProgramIconName);
    QIcon icon;
    for (int size : programIconSizes()) {
        const QString png =
            base + QStringLiteral("%1x%1/apps/%2.png").arg(QString::number(size), file);
        if (QFileInfo(png).isFile())
            icon.addFile(png, QSize(size, size));
    }
    const QString svg = base + QStringLiteral("scalable/apps/%1.svg").arg(file);
    if (QFileInfo(svg).isFile())
        icon.addFile(svg);
    return icon;
}

namespace {

ProgramIcon lookUpProgramIcon() {
    const QString name = QString::fromLatin1(kProgramIconName);
    if (QIcon::hasThemeIcon(name))
        return {QIcon::fromTheme(name), ProgramIconSource::Theme};
    QIcon files = iconFromHicolorDirectory(installedIconDirectory(platform::programDirectory()));
    if (!files.isNull())
        return {files, ProgramIconSource::InstalledFiles};
    return {makeProgramIcon(), ProgramIconSource::BuiltIn};
}

} // namespace

const ProgramIcon& programIcon() {
    static const ProgramIcon icon = [] {
        ProgramIcon found = lookUpProgramIcon();
        platform::trace(QStringLiteral("program icon: ") + describe(found.source));
        return found;
    }();
    return icon;
}

QString describe(ProgramIconSource source) {
    switch (source) {
    case ProgramIconSource::Theme:
        return QStringLiteral("theme");
    case ProgramIconSource::InstalledFiles:
        return QStringLiteral("installed files");
    case ProgramIconSource::BuiltIn:
        break;
    }
    return QStringLiteral("built-in");
}

} // namespace kalvento::desktop
