#pragma once
// Stored colour values as the colours a widget paints with. System colours follow the
// palette given (the desktop's scheme by default).

#include <QColor>
#include <QPalette>

namespace kalvento::uisupport {

// clNone gives a transparent colour, clDefault an invalid one (the widget's own colour);
// a system colour index without a counterpart gives the palette's window colour.
QColor toQColor(quint32 value, const QPalette& palette = QPalette());

// A colour picked in a dialog, as a plain colour value.
quint32 fromQColor(const QColor& color);

} // namespace kalvento::uisupport
