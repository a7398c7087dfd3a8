#pragma once
// A toolbar of glyph buttons, made from a table of the buttons: each button's object name,
// its hint and its picture at rest among the toolbar pictures.

#include "widgets/artwork.h"

#include <QImage>
#include <QList>

#include <span>

class QWidget;

namespace kalvento::widgets {

class TGlyphButton;

struct ToolbarButton {
    const char* name;
    const char* hint;
    KuvatPicture picture;
};

// The buttons of the table on parent, in its order, each at the glyph button's default size,
// showing its picture of pictures.
QList<TGlyphButton*> makeToolbar(QWidget* parent, std::span<const ToolbarButton> buttons,
                                 const QList<QImage>& pictures);

} // namespace kalvento::widgets
