#pragma once
// The icon of the main window and the tray. An installed program takes it from the icon
// theme ("kalvento" in hicolor, or the user's theme when it draws one), so the window, the
// tray, the menu and the task switcher show the same picture. A program unpacked somewhere
// the desktop does not look takes the hicolor files installed beside it, and one run from
// its build folder draws the built-in picture.

#include <QIcon>
#include <QString>

namespace kalvento::desktop {

enum class ProgramIconSource { Theme, InstalledFiles, BuiltIn };

struct ProgramIcon {
    QIcon icon;
    ProgramIconSource source = ProgramIconSource::BuiltIn;
};

// The icon theme's name for the program, as in the menu entry's Icon key.
inline constexpr const char* kProgramIconName = "kalvento";

// <programDirectory>/../share/icons/hicolor/, where an installed program's icons are.
QString installedIconDirectory(const QString& programDirectory);

// An icon of every <size>x<size>/apps/kalvento.png and scalable/apps/kalvento.svg under a
// hicolor directory; a null icon when there is none.
QIcon iconFromHicolorDirectory(const QString& hicolorDirectory);

// The choice above, for the running program; needs a QGuiApplication. Looked up once.
const ProgramIcon& programIcon();

// "theme", "installed files" or "built-in", as the trace writes it.
QString describe(ProgramIconSource source);

} // namespace kalvento::desktop
