#include "uisupport/apply_language.h"

#include "lang/language_file.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDockWidget>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMetaProperty>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolBox>

#include <vector>

using namespace Qt::StringLiterals;

namespace kalvento::uisupport {

namespace {

// The value that leaves a memo line as it is; an empty value empties the line.
constexpr char KeepLine[] = "fsdef";

bool setStringProperty(QObject* obj, const char* name, const QString& text) {
    const QMetaObject* meta = obj->metaObject();
    const int index = meta->indexOfProperty(name);
    if (index < 0)
        return false;
    const QMetaProperty property = meta->property(index);
    if (!property.isWritable() || property.metaType().id() != QMetaType::QString)
        return false;
    return property.write(obj, text);
}

// A page of a tab widget or tool box shows its caption on the tab.
bool setPageCaption(QWidget* page, const QString& text) {
    for (QWidget* up = page->parentWidget(); up != nullptr && !up->isWindow();
         up = up->parentWidget()) {
        if (auto* tabs = qobject_cast<QTabWidget*>(up)) {
            const int index = tabs->indexOf(page);
            if (index < 0)
                return false;
            tabs->setTabText(index, text);
            return true;
        }
        if (auto* box = qobject_cast<QToolBox*>(up)) {
            const int index = box->indexOf(page);
            if (index < 0)
                return false;
            box->setItemText(index, text);
            return true;
        }
    }
    return false;
}

bool setCaption(QObject* obj, const QString& text) {
    if (auto* menu = qobject_cast<QMenu*>(obj)) {
        menu->setTitle(text);
        return true;
    }
    if (auto* action = qobject_cast<QAction*>(obj)) {
        action->setText(text);
        return true;
    }
    auto* widget = qobject_cast<QWidget*>(obj);
    if (widget == nullptr)
        return false;
    if (widget->isWindow() || qobject_cast<QDockWidget*>(widget) != nullptr) {
        widget->setWindowTitle(text);
        return true;
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        // A translation is text, never markup.
        label->setTextFormat(Qt::PlainText);
        label->setText(text);
        return true;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(text);
        return true;
    }
    if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        group->setTitle(text);
        return true;
    }
    return setPageCaption(widget, text);
}

bool setHint(QObject* obj, const QString& text) {
    // Tool tips take text that looks like markup for markup; keep it reading as written.
    const QString tip =
        Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
    const bool tipSet = setStringProperty(obj, "toolTip", tip);
    const bool statusSet = setStringProperty(obj, "statusTip", text);
    return tipSet || statusSet;
}

// The present lines of a memo, as a line list counts them: a final empty paragraph is the
// end of the text, not a line.
int lineCount(const QTextDocument* document) {
    int count = document->blockCount();
    if (count > 0 && document->lastBlock().text().isEmpty())
        --count;
    return count;
}

QString oneLine(QString text) {
    // A line stays one line: no value may add paragraphs to the memo.
    for (QChar& c : text) {
        if (c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator || c == QChar::LineSeparator)
            c = u' ';
    }
    return text;
}

void translateLines(QTextDocument* document, const LanguageFile& file, const QString& section,
                    const QString& prefix) {
    const int count = lineCount(document);
    const QString keep = QString::fromLatin1(KeepLine);
    QTextCursor cursor(document);
    bool editing = false;
    for (int i = 0; i < count; ++i) {
        const QString value =
            file.readString(section, prefix + u"lines["_s + QString::number(i) + u']', keep);
        if (value == keep)
            continue;
        if (!editing) {
            cursor.beginEditBlock();
            editing = true;
        }
        const QTextBlock block = document->findBlockByNumber(i);
        cursor.setPosition(block.position());
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        cursor.insertText(oneLine(value));
    }
    if (editing)
        cursor.endEditBlock();
}

template <typename SetItem>
void translateItems(int count, const LanguageFile& file, const QString& section,
                    const QString& prefix, SetItem setItem) {
    for (int i = 0; i < count; ++i) {
        const QString value =
            file.readString(section, prefix + u"items["_s + QString::number(i) + u']', QString());
        if (!value.isEmpty())
            setItem(i, value);
    }
}

// Everything the window owns, parents before children, each parent's children in the order
// they were made. Other windows (dialogs, drop-down lists) are theirs, not this window's;
// menus pop up as windows but belong to the window that made them.
void collectComponents(const QObject* parent, std::vector<QPointer<QObject>>& out) {
    for (QObject* child : parent->children()) {
        if (auto* widget = qobject_cast<QWidget*>(child);
            widget != nullptr && widget->isWindow() && qobject_cast<QMenu*>(widget) == nullptr)
            continue;
        out.emplace_back(child);
        collectComponents(child, out);
    }
}

void translateComponent(QObject* component, const LanguageFile& file, const QString& section) {
    const QString name = component->objectName();
    // Unnamed objects and the ones Qt makes for itself ("qt_...") are no components.
    if (name.isEmpty() || name.startsWith(u"qt_"_s))
        return;
    const QString prefix = section + u'.' + name + u'.';

    const QString caption = file.readString(section, prefix + u"Caption"_s, QString());
    if (!caption.isEmpty())
        SetTextProperty(component, u"Caption", caption);
    const QString hint = file.readString(section, prefix + u"Hint"_s, QString());
    if (!hint.isEmpty())
        SetTextProperty(component, u"Hint", hint);

    if (auto* memo = qobject_cast<QPlainTextEdit*>(component))
        translateLines(memo->document(), file, section, prefix);
    else if (auto* rich = qobject_cast<QTextEdit*>(component))
        translateLines(rich->document(), file, section, prefix);
    else if (auto* combo = qobject_cast<QComboBox*>(component))
        translateItems(combo->count(), file, section, prefix,
                       [combo](int i, const QString& text) { combo->setItemText(i, text); });
    else if (auto* list = qobject_cast<QListWidget*>(component))
        translateItems(list->count(), file, section, prefix,
                       [list](int i, const QString& text) { list->item(i)->setText(text); });
}

} // namespace

bool SetTextProperty(QObject* obj, QStringView propertyName, const QString& text) {
    if (obj == nullptr)
        return false;
    if (propertyName == u"Caption")
        return setCaption(obj, text);
    if (propertyName == u"Hint")
        return setHint(obj, text);
    return setStringProperty(obj, propertyName.toLatin1().constData(), text);
}

void ApplyLanguage(QWidget* window, const LanguageFile* file) {
    if (window == nullptr || file == nullptr)
        return;
    const QString section = window->objectName();
    if (section.isEmpty())
        return;

    const QString caption = file->readString(section, section + u".Caption"_s, QString());
    if (!caption.isEmpty())
        window->setWindowTitle(caption);

    std::vector<QPointer<QObject>> components;
    collectComponents(window, components);
    for (const QPointer<QObject>& component : components) {
        if (component != nullptr)
            translateComponent(component, *file, section);
    }
}

} // namespace kalvento::uisupport
