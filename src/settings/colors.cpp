#include "settings/colors.h"

#include "settings/value_encoding.h"

#include <array>

namespace kalvento::settings {

namespace {

constexpr std::array<NamedColor, 52> Table = {{
    {"clBlack", clBlack},
    {"clMaroon", clMaroon},
    {"clGreen", clGreen},
    {"clOlive", clOlive},
    {"clNavy", clNavy},
    {"clPurple", clPurple},
    {"clTeal", clTeal},
    {"clGray", clGray},
    {"clSilver", clSilver},
    {"clRed", clRed},
    {"clLime", clLime},
    {"clYellow", clYellow},
    {"clBlue", clBlue},
    {"clFuchsia", clFuchsia},
    {"clAqua", clAqua},
    {"clWhite", clWhite},
    {"clMoneyGreen", clMoneyGreen},
    {"clSkyBlue", clSkyBlue},
    {"clCream", clCream},
    {"clMedGray", clMedGray},
    {"clScrollBar", clScrollBar},
    {"clBackground", clBackground},
    {"clActiveCaption", clActiveCaption},
    {"clInactiveCaption", clInactiveCaption},
    {"clMenu", clMenu},
    {"clWindow", clWindow},
    {"clWindowFrame", clWindowFrame},
    {"clMenuText", clMenuText},
    {"clWindowText", clWindowText},
    {"clCaptionText", clCaptionText},
    {"clActiveBorder", clActiveBorder},
    {"clInactiveBorder", clInactiveBorder},
    {"clAppWorkSpace", clAppWorkSpace},
    {"clHighlight", clHighlight},
    {"clHighlightText", clHighlightText},
    {"clBtnFace", clBtnFace},
    {"clBtnShadow", clBtnShadow},
    {"clGrayText", clGrayText},
    {"clBtnText", clBtnText},
    {"clInactiveCaptionText", clInactiveCaptionText},
    {"clBtnHighlight", clBtnHighlight},
    {"cl3DDkShadow", cl3DDkShadow},
    {"cl3DLight", cl3DLight},
    {"clInfoText", clInfoText},
    {"clInfoBk", clInfoBk},
    {"clHotLight", clHotLight},
    {"clGradientActiveCaption", clGradientActiveCaption},
    {"clGradientInactiveCaption", clGradientInactiveCaption},
    {"clMenuHighlight", clMenuHighlight},
    {"clMenuBar", clMenuBar},
    {"clNone", clNone},
    {"clDefault", clDefault},
}};

} // namespace

std::span<const NamedColor> colorTable() {
    return Table;
}

QString colorToString(quint32 color) {
    for (const NamedColor& entry : Table) {
        if (entry.value == color)
            return QString::fromLatin1(entry.name);
    }
    return u'$' + QStringLiteral("%1").arg(color, 8, 16, QChar(u'0')).toUpper();
}

std::optional<quint32> colorFromString(const QString& text) {
    const QString name = text.trimmed();
    for (const NamedColor& entry : Table) {
        if (name.compare(QLatin1StringView(entry.name), Qt::CaseInsensitive) == 0)
            return entry.value;
    }
    if (const std::optional<qint32> number = parseInteger(name))
        return quint32(*number);
    return std::nullopt;
}

} // namespace kalvento::settings
