#pragma once
// Saves the chat view as rich text (RTF) for the log file.

#include <QByteArray>

class QTextDocument;

namespace kalvento::richtext {

// The whole document as RTF: Windows-1252 text with \'hh for its upper half and \uN? for
// characters outside it, one font and colour table, and per run the font, size, colour,
// highlight, bold, italic, underline and strike-out that differ from the run before.
// Every paragraph ends in \par, as a rich-text control writes it; the reader takes the
// last one as the document's closing mark. The output is plain ASCII and depends only on
// the document, and the time taken grows linearly with it.
QByteArray writeRtf(const QTextDocument& document);

} // namespace kalvento::richtext
