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

#include <optional>
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
    const bool tipSet = setStringProperty(obj, "toolTip", plainToolTip(text));
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

QTextDocument* documentOf(QObject* component) {
    if (auto* memo = qobject_cast<QPlainTextEdit*>(component))
        return memo->document();
    if (auto* rich = qobject_cast<QTextEdit*>(component))
        return rich->document();
    return nullptr;
}

// One text of a component that a language may replace.
enum class Text { Caption, ToolTip, StatusTip, Item, Line };

std::optional<QString> captionOf(QObject* obj) {
    if (auto* menu = qobject_cast<QMenu*>(obj))
        return menu->title();
    if (auto* action = qobject_cast<QAction*>(obj))
        return action->text();
    auto* widget = qobject_cast<QWidget*>(obj);
    if (widget == nullptr)
        return std::nullopt;
    if (widget->isWindow() || qobject_cast<QDockWidget*>(widget) != nullptr)
        return widget->windowTitle();
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return button->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget))
        return group->title();
    for (QWidget* up = widget->parentWidget(); up != nullptr && !up->isWindow();
         up = up->parentWidget()) {
        if (auto* tabs = qobject_cast<QTabWidget*>(up))
            return tabs->indexOf(widget) >= 0 ? std::optional(tabs->tabText(tabs->indexOf(widget)))
                                              : std::nullopt;
        if (auto* box = qobject_cast<QToolBox*>(up))
            return box->indexOf(widget) >= 0 ? std::optional(box->itemText(box->indexOf(widget)))
                                             : std::nullopt;
    }
    return std::nullopt;
}

std::optional<QString> stringProperty(QObject* obj, const char* name) {
    const QMetaObject* meta = obj->metaObject();
    const int index = meta->indexOfProperty(name);
    if (index < 0)
        return std::nullopt;
    const QMetaProperty property = meta->property(index);
    if (!property.isWritable() || property.metaType().id() != QMetaType::QString)
        return std::nullopt;
    return property.read(obj).toString();
}

// What the component shows now; none when it has no such text.
std::optional<QString> readText(QObject* obj, Text text, int index) {
    switch (text) {
    case Text::Caption:
        return captionOf(obj);
    case Text::ToolTip:
        return stringProperty(obj, "toolTip");
    case Text::StatusTip:
        return stringProperty(obj, "statusTip");
    case Text::Item:
        if (auto* combo = qobject_cast<QComboBox*>(obj); combo && index < combo->count())
            return combo->itemText(index);
        if (auto* list = qobject_cast<QListWidget*>(obj); list && index < list->count())
            return list->item(index)->text();
        return std::nullopt;
    case Text::Line:
        if (QTextDocument* document = documentOf(obj); document && index < lineCount(document))
            return document->findBlockByNumber(index).text();
        return std::nullopt;
    }
    return std::nullopt;
}

void writeText(QObject* obj, Text text, int index, const QString& value) {
    switch (text) {
    case Text::Caption:
        setCaption(obj, value);
        break;
    case Text::ToolTip:
        setStringProperty(obj, "toolTip", value);
        break;
    case Text::StatusTip:
        setStringProperty(obj, "statusTip", value);
        break;
    case Text::Item:
        if (auto* combo = qobject_cast<QComboBox*>(obj))
            combo->setItemText(index, value);
        else if (auto* list = qobject_cast<QListWidget*>(obj))
            list->item(index)->setText(value);
        break;
    case Text::Line:
        if (QTextDocument* document = documentOf(obj)) {
            QTextCursor cursor(document);
            cursor.setPosition(document->findBlockByNumber(index).position());
            cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
            cursor.insertText(oneLine(value));
        }
        break;
    }
}

// The built-in texts a language replaced on one window, kept by the window itself (as a
// child that translation passes over) so that they go with it.
class BuiltInTexts : public QObject {
public:
    struct Record {
        QPointer<QObject> object;
        Text text;
        int index;
        QString builtIn;
        QString applied;       // what the language put there
        Qt::TextFormat format; // a label's, which a translation sets to plain text
    };

    explicit BuiltInTexts(QWidget* window) : QObject(window) {
        setObjectName(u"qt_kalvento_builtin_texts"_s);
    }

    static BuiltInTexts* of(QWidget* window) {
        return window->findChild<BuiltInTexts*>(u"qt_kalvento_builtin_texts"_s,
                                                Qt::FindDirectChildrenOnly);
    }

    // Puts the text on the component and remembers what it replaced.
    void change(QObject* obj, Text text, int index, const QString& value) {
        const std::optional<QString> before = readText(obj, text, index);
        if (!before)
            return;
        const auto* label = qobject_cast<QLabel*>(obj);
        const Qt::TextFormat format = label != nullptr ? label->textFormat() : Qt::PlainText;
        writeText(obj, text, index, value);
        m_records.push_back(
            {obj, text, index, *before, readText(obj, text, index).value_or(value), format});
    }

    // Back to the built-in texts, last change first; a text the program has changed since
    // (a status, a line the user typed) is the program's now and stays.
    void restore() {
        for (auto it = m_records.rbegin(); it != m_records.rend(); ++it) {
            if (it->object == nullptr || readText(it->object, it->text, it->index) != it->applied)
                continue;
            writeText(it->object, it->text, it->index, it->builtIn);
            if (auto* label = qobject_cast<QLabel*>(it->object.data());
                label != nullptr && it->text == Text::Caption)
                label->setTextFormat(it->format);
        }
        m_records.clear();
    }

private:
    std::vector<Record> m_records;
};

template <typename Change>
void translateIndexed(int count, const LanguageFile& file, const QString& section,
                      const QString& key, const QString& missing, Change change) {
    for (int i = 0; i < count; ++i) {
        const QString value =
            file.readString(section, key + u'[' + QString::number(i) + u']', missing);
        if (value != missing)
            change(i, value);
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

void translateComponent(QObject* component, const LanguageFile& file, const QString& section,
                        BuiltInTexts& texts) {
    const QString name = component->objectName();
    // Unnamed objects and the ones Qt makes for itself ("qt_...") are no components.
    if (name.isEmpty() || name.startsWith(u"qt_"_s))
        return;
    const QString prefix = section + u'.' + name + u'.';

    const QString caption = file.readString(section, prefix + u"Caption"_s, QString());
    if (!caption.isEmpty())
        texts.change(component, Text::Caption, 0, caption);
    const QString hint = file.readString(section, prefix + u"Hint"_s, QString());
    if (!hint.isEmpty()) {
        texts.change(component, Text::ToolTip, 0, plainToolTip(hint));
        texts.change(component, Text::StatusTip, 0, hint);
    }

    if (component->property(TextIsDataProperty).toBool())
        return;
    if (QTextDocument* document = documentOf(component)) {
        // "fsdef" leaves a line as it is; an empty value empties the line.
        const QString keep = QString::fromLatin1(KeepLine);
        translateIndexed(
            lineCount(document), file, section, prefix + u"lines"_s, keep,
            [&](int i, const QString& value) { texts.change(component, Text::Line, i, value); });
    } else if (auto* combo = qobject_cast<QComboBox*>(component)) {
        translateIndexed(
            combo->count(), file, section, prefix + u"items"_s, QString(),
            [&](int i, const QString& value) { texts.change(component, Text::Item, i, value); });
    } else if (auto* list = qobject_cast<QListWidget*>(component)) {
        translateIndexed(
            list->count(), file, section, prefix + u"items"_s, QString(),
            [&](int i, const QString& value) { texts.change(component, Text::Item, i, value); });
    }
}

} // namespace

QString plainToolTip(const QString& text) {
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}

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
    if (window == nullptr)
        return;
    BuiltInTexts* texts = BuiltInTexts::of(window);
    if (texts != nullptr)
        texts->restore();
    const QString section = window->objectName();
    if (file == nullptr || section.isEmpty())
        return;
    if (texts == nullptr)
        texts = new BuiltInTexts(window);

    const QString caption = file->readString(section, section + u".Caption"_s, QString());
    if (!caption.isEmpty())
        texts->change(window, Text::Caption, 0, caption);

    std::vector<QPointer<QObject>> components;
    collectComponents(window, components);
    for (const QPointer<QObject>& component : components) {
        if (component != nullptr)
            translateComponent(component, *file, section, *texts);
    }
}

} // namespace kalvento::uisupport
