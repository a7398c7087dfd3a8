#pragma once
// Loads rich text (RTF) such as the chat log into a text document.

#include "platform/result.h"

#include <QByteArrayView>
#include <QString>

class QTextCursor;
class QTextDocument;

namespace kalvento::richtext {

// Inserts the text of rtf at the cursor with its fonts, sizes, colours (the colour table's
// "automatic" entry leaves the colour unset), highlight, bold, italic, underline and
// strike-out. Text is only ever inserted as plain text. Picture, header, information and
// unknown "\*" groups are skipped. The last \par of the data closes the last paragraph and
// adds no empty line, as in a rich-text control. Data that does not start with "{\rtf" is
// taken as plain text (UTF-8 when valid, else Windows-1252).
//
// Damaged data never stops the reader: what could be read is inserted, and the result
// describes the damage. The whole insertion is one edit block.
platform::Result readRtf(QByteArrayView rtf, QTextCursor& cursor);

// The text readRtf would insert, paragraphs separated by QChar::ParagraphSeparator, without
// a document to hold it: for looking through a log.
QString readRtfText(QByteArrayView rtf);

// Replaces the content of document with rtf as above. Undo/redo history is dropped; loading
// does not record undo steps (which would double the memory of a large log).
platform::Result readRtf(QByteArrayView rtf, QTextDocument& document);

} // namespace kalvento::richtext
