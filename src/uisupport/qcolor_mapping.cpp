#include "uisupport/qcolor_mapping.h"

#include "settings/colors.h"

namespace kalvento::uisupport {

using namespace settings;

namespace {

QColor systemColor(int index, const QPalette& palette) {
    using R = QPalette::ColorRole;
    switch (index) {
    case 0: // scroll bar
        return palette.color(R::Mid);
    case 1:  // desktop
    case 12: // application workspace
    case 16: // button shadow
        return palette.color(R::Dark);
    case 2:  // active caption
    case 13: // highlight
    case 27: // gradient of the active caption
    case 29: // menu highlight
        return palette.color(R::Highlight);
    case 3: // inactive caption
    case 28:
        return palette.color(QPalette::Inactive, R::Highlight);
    case 5: // window (the background of text views)
        return palette.color(R::Base);
    case 6:  // window frame
    case 21: // 3D dark shadow
        return palette.color(R::Shadow);
    case 7: // menu text
        return palette.color(R::WindowText);
    case 8: // window text
        return palette.color(R::Text);
    case 9:  // caption text
    case 14: // highlighted text
        return palette.color(R::HighlightedText);
    case 15: // button face
        return palette.color(R::Button);
    case 17: // grey text
        return palette.color(QPalette::Disabled, R::Text);
    case 18: // button text
        return palette.color(R::ButtonText);
    case 19: // inactive caption text
        return palette.color(QPalette::Inactive, R::HighlightedText);
    case 20: // button highlight
        return palette.color(R::Light);
    case 22: // 3D light
        return palette.color(R::Midlight);
    case 23: // tooltip text
        return palette.color(R::ToolTipText);
    case 24: // tooltip background
        return palette.color(R::ToolTipBase);
    case 26: // hot-tracked item, a link
        return palette.color(R::Link);
    default: // menu, borders, menu bar and unknown indexes
        return palette.color(R::Window);
    }
}

} // namespace

QColor toQColor(quint32 value, const QPalette& palette) {
    if (value == clNone)
        return QColor(Qt::transparent);
    if (value == clDefault)
        return QColor();
    if (isSystemColor(value))
        return systemColor(int(value & 0xFF), palette);
    return QColor(int(value & 0xFF), int(value >> 8 & 0xFF), int(value >> 16 & 0xFF));
}

quint32 fromQColor(const QColor& color) {
    const QColor rgb = color.toRgb();
    return plainColor(rgb.red(), rgb.green(), rgb.blue());
}

} // namespace kalvento::uisupport
