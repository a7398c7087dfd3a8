#pragma once
// Colours as the settings file stores them: a 32-bit value with red in the low byte,
// green in the next and blue in the third. A top byte of 0xFF marks a system colour whose
// low byte indexes the desktop's colour scheme. Colours with a name are stored by name.

#include <QString>
#include <QtGlobal>

#include <optional>
#include <span>

namespace kalvento::settings {

inline constexpr quint32 SystemColorFlag = 0xFF000000;

inline constexpr quint32 clBlack = 0x000000;
inline constexpr quint32 clMaroon = 0x000080;
inline constexpr quint32 clGreen = 0x008000;
inline constexpr quint32 clOlive = 0x008080;
inline constexpr quint32 clNavy = 0x800000;
inline constexpr quint32 clPurple = 0x800080;
inline constexpr quint32 clTeal = 0x808000;
inline constexpr quint32 clGray = 0x808080;
inline constexpr quint32 clSilver = 0xC0C0C0;
inline constexpr quint32 clRed = 0x0000FF;
inline constexpr quint32 clLime = 0x00FF00;
inline constexpr quint32 clYellow = 0x00FFFF;
inline constexpr quint32 clBlue = 0xFF0000;
inline constexpr quint32 clFuchsia = 0xFF00FF;
inline constexpr quint32 clAqua = 0xFFFF00;
inline constexpr quint32 clWhite = 0xFFFFFF;
inline constexpr quint32 clMoneyGreen = 0xC0DCC0;
inline constexpr quint32 clSkyBlue = 0xF0CAA6;
inline constexpr quint32 clCream = 0xF0FBFF;
inline constexpr quint32 clMedGray = 0xA4A0A0;

inline constexpr quint32 clScrollBar = SystemColorFlag | 0;
inline constexpr quint32 clBackground = SystemColorFlag | 1;
inline constexpr quint32 clActiveCaption = SystemColorFlag | 2;
inline constexpr quint32 clInactiveCaption = SystemColorFlag | 3;
inline constexpr quint32 clMenu = SystemColorFlag | 4;
inline constexpr quint32 clWindow = SystemColorFlag | 5;
inline constexpr quint32 clWindowFrame = SystemColorFlag | 6;
inline constexpr quint32 clMenuText = SystemColorFlag | 7;
inline constexpr quint32 clWindowText = SystemColorFlag | 8;
inline constexpr quint32 clCaptionText = SystemColorFlag | 9;
inline constexpr quint32 clActiveBorder = SystemColorFlag | 10;
inline constexpr quint32 clInactiveBorder = SystemColorFlag | 11;
inline constexpr quint32 clAppWorkSpace = SystemColorFlag | 12;
inline constexpr quint32 clHighlight = SystemColorFlag | 13;
inline constexpr quint32 clHighlightText = SystemColorFlag | 14;
inline constexpr quint32 clBtnFace = SystemColorFlag | 15;
inline constexpr quint32 clBtnShadow = SystemColorFlag | 16;
inline constexpr quint32 clGrayText = SystemColorFlag | 17;
inline constexpr quint32 clBtnText = SystemColorFlag | 18;
inline constexpr quint32 clInactiveCaptionText = SystemColorFlag | 19;
inline constexpr quint32 clBtnHighlight = SystemColorFlag | 20;
inline constexpr quint32 cl3DDkShadow = SystemColorFlag | 21;
inline constexpr quint32 cl3DLight = SystemColorFlag | 22;
inline constexpr quint32 clInfoText = SystemColorFlag | 23;
inline constexpr quint32 clInfoBk = SystemColorFlag | 24;
inline constexpr quint32 clHotLight = SystemColorFlag | 26;
inline constexpr quint32 clGradientActiveCaption = SystemColorFlag | 27;
inline constexpr quint32 clGradientInactiveCaption = SystemColorFlag | 28;
inline constexpr quint32 clMenuHighlight = SystemColorFlag | 29;
inline constexpr quint32 clMenuBar = SystemColorFlag | 30;

inline constexpr quint32 clNone = 0x1FFFFFFF;
inline constexpr quint32 clDefault = 0x20000000;

struct NamedColor {
    const char* name;
    quint32 value;
};

// Every colour with a name: the plain colours, the system colours, clNone and clDefault.
std::span<const NamedColor> colorTable();

// The name when the colour has one, else "$" and eight upper-case hexadecimal digits.
QString colorToString(quint32 color);

// A name of the table (any letter case) or an integer: decimal, "$hex" or "0xhex".
// Nothing for anything else.
std::optional<quint32> colorFromString(const QString& text);

// red | green << 8 | blue << 16, the form a colour picked in a dialog is stored in.
constexpr quint32 plainColor(int red, int green, int blue) {
    return quint32(red & 0xFF) | quint32(green & 0xFF) << 8 | quint32(blue & 0xFF) << 16;
}

constexpr bool isSystemColor(quint32 color) {
    return (color & 0xFF000000) == SystemColorFlag;
}

} // namespace kalvento::settings
