#pragma once
// How text from peers is made safe to stand among other lines of the chat: cut at its line
// breaks, its directional controls closed and the whole isolated, and the web and mail
// addresses in it found. Pure functions of the text; the chat view applies them on screen,
// and through the view the printout and the log get the same text.

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QUrl>

namespace kalvento::app {

// What begins every line of a message after its first one, on screen, in the printout and
// in the log: the lines after a line break in a received text, and the lines of a
// multi-line message. A line that a peer wrote can thus never begin where a sender's name
// begins, however much it looks like another sender's heading.
inline const QString kContinuationMark = QStringLiteral("    \u21B3 ");

// The pieces of text between its line breaks of every kind: CR LF, LF, CR, vertical tab,
// form feed, NEL (U+0085), line and paragraph separator (U+2028, U+2029). One piece when
// there is none. The characters a text document would take for the marks of a frame
// (U+FDD0, U+FDD1), and so for a line break too, become U+FFFD.
QStringList splitAtLineBreaks(QStringView text);

// text that can neither reorder the text around it nor be reordered by it. Explicit
// embeddings, overrides and isolates it leaves open are closed at its end (PDF, PDI), and
// closers without an opener are dropped; then, when the text holds anything that is not
// left-to-right (right-to-left or Arabic letters, Arabic digits, explicit controls), it is
// wrapped in FIRST STRONG ISOLATE ... POP DIRECTIONAL ISOLATE. Left-to-right text comes
// back as it was, so that copies of ordinary lines carry no invisible characters.
QString isolateDirection(QStringView text);

// A peer's name for a heading: on one line (line breaks become blanks), without blanks at
// its ends, isolated as above.
QString headingName(QStringView name);

struct TextLink {
    qsizetype start = 0;
    qsizetype length = 0;
    QUrl url;
    bool operator==(const TextLink&) const = default;
};

// The web and mail addresses in text, in order: http:// and https:// addresses, addresses
// that begin with "www." (opened as http://), mailto: addresses and plain e-mail addresses
// (opened as mailto:). An address ends at a blank, a control or formatting character,
// '<', '>' or '"'; punctuation that ends a sentence and an unmatched closing bracket are not
// part of it.
QList<TextLink> findLinks(QStringView text);

} // namespace kalvento::app
