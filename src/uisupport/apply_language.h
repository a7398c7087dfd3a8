#pragma once
// Puts the texts of a language file on a window: its caption, and the captions, hints,
// memo lines and list items of the components it owns, by the keys
// "<window>.Caption", "<window>.<component>.Caption", ".Hint", ".lines[i]", ".items[i]" of
// the section named after the window. Names are QObject::objectName.
//
// A window remembers the built-in texts a language replaced, so that the next language (or
// none: the built-in English) starts from them: switching languages back and forth, or
// back to English, needs no restart.

#include <QString>
#include <QStringView>

class QObject;
class QWidget;

namespace kalvento::lang {
class LanguageFile;
}

namespace kalvento::uisupport {

using lang::LanguageFile;

// A component whose lines or items are the user's data (a chat, a list of computers) and
// never a text to translate carries this property set to true; its caption and hint still
// follow the language.
inline constexpr char TextIsDataProperty[] = "kalventoTextIsData";

// A tool tip that reads as written: tool tips take text that looks like markup for markup,
// so such text is given as plain text (a peer's or a server's, the user's own).
QString plainToolTip(const QString& text);

// First puts back the built-in texts an earlier call replaced on this window, where the
// program has not changed them since; then, with a file, applies its texts. Without a file
// (the built-in English) only the first step runs. Only texts the file gives replace the
// window's own; lines and items are replaced, never added or removed. Components are the
// window's descendants (widgets, actions, menus...) in creation order, up to but not into
// other windows.
void ApplyLanguage(QWidget* window, const LanguageFile* file);

// Sets the text property that propertyName ("Caption" or "Hint") stands for on obj, as
// plain text: "Caption" is a button's, label's or action's text, a group box's or menu's
// title, a window's title, a tab page's tab text; "Hint" is the tool tip and status tip.
// Any other name sets the writable string property of that name. Returns false, changing
// nothing, when obj has no such property (an edit field has no caption).
bool SetTextProperty(QObject* obj, QStringView propertyName, const QString& text);

} // namespace kalvento::uisupport
