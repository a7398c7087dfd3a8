#include "widgets/toolbar.h"

#include "widgets/glyph_button.h"

namespace kalvento::widgets {

QList<TGlyphButton*> makeToolbar(QWidget* parent, std::span<const ToolbarButton> buttons,
                                 const QList<QImage>& pictures) {
    QList<TGlyphButton*> made;
    for (const ToolbarButton& design : buttons) {
        auto* b = new TGlyphButton(parent);
        b->setObjectName(QString::fromLatin1(design.name));
        b->setHint(QString::fromLatin1(design.hint));
        b->setImages(pictures);
        b->setImageIndex(design.picture);
        b->resize(TGlyphButton::defaultWidth, TGlyphButton::defaultHeight);
        made.append(b);
    }
    return made;
}

} // namespace kalvento::widgets
