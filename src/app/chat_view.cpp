#include "app/chat_view.h"

#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/qt_translation.h"
#include "platform/atomic_file.h"
#include "platform/system_error.h"
#include "richtext/rtf_reader.h"
#include "richtext/rtf_writer.h"

#include <QContextMenuEvent>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QKeySequence>
#include <QLocale>
#include <QMenu>
#include <QPrinter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

namespace kalvento::app {
namespace {

using messaging::ReceivedLine;

QString effectiveFamily(const QTextCharFormat& format, const QFont& fallback) {
    const QStringList families = format.fontFamilies().toStringList();
    if (!families.isEmpty() && !families.first().isEmpty())
        return families.first();
    return fallback.family();
}

qreal effectivePointSize(const QTextCharFormat& format, const QFont& fallback) {
    if (format.hasProperty(QTextFormat::FontPointSize))
        return format.fontPointSize();
    return fallback.pointSizeF();
}

// Everything one message inserts is laid out once, when the block ends, instead of once per
// run of text.
class EditBlock {
public:
    explicit EditBlock(QTextCursor& cursor) : m_cursor(cursor) { m_cursor.beginEditBlock(); }
    ~EditBlock() { m_cursor.endEditBlock(); }
    EditBlock(const EditBlock&) = delete;
    EditBlock& operator=(const EditBlock&) = delete;

private:
    QTextCursor& m_cursor;
};

} // namespace

TChatView::TChatView(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(QStringLiteral("Chat"));
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Nothing is ever undone in a read-only view; an undo stack would double the memory of
    // a long chat.
    document()->setUndoRedoEnabled(false);
    resetInsertionPoint();

    m_popup = new QMenu(this);
    m_popup->setObjectName(QStringLiteral("ChatPopup"));
    m_copy = m_popup->addAction(tr("Copy"));
    m_copy->setObjectName(QStringLiteral("Copy1"));
    m_copy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    m_selectAll = m_popup->addAction(tr("Select All"));
    m_selectAll->setObjectName(QStringLiteral("SelectAll1"));
    m_selectAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    m_clearChat = m_popup->addAction(tr("Clear Chat"));
    m_clearChat->setObjectName(QStringLiteral("Clearchat1"));
    m_clearChat->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Delete));
    for (QAction* action : {m_copy, m_selectAll, m_clearChat}) {
        // The shortcuts work while the view has the focus, as the menu's owner.
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        addAction(action);
    }
    connect(m_copy, &QAction::triggered, this, &TChatView::Copy1Click);
    connect(m_selectAll, &QAction::triggered, this, &TChatView::SelectAll1Click);
    connect(m_clearChat, &QAction::triggered, this, &TChatView::Clearchat1Click);
    connect(this, &QPlainTextEdit::selectionChanged, this, &TChatView::ChatSelectionChange);

    m_copy->setEnabled(false);
    const bool hasText = !isChatEmpty();
    m_selectAll->setEnabled(hasText);
    m_clearChat->setEnabled(hasText);
}

QDateTime TChatView::now() const {
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

QString TChatView::timeText() const {
    return QLocale::system().toString(now().time(), QLocale::LongFormat);
}

void TChatView::resetInsertionPoint() {
    m_cursor = QTextCursor(document());
    m_cursor.movePosition(QTextCursor::End);
}

int TChatView::textLength() const {
    // characterCount() is kept by the document: no walk over the text.
    return qMax(0, document()->characterCount() - 1);
}

bool TChatView::isChatEmpty() const {
    return document()->isEmpty();
}

void TChatView::insertPlain(const QString& text) {
    // Peer text is data: inserted as characters, never parsed as markup.
    if (!text.isEmpty())
        m_cursor.insertText(text, m_format);
}

void TChatView::lineBreak() {
    m_cursor.insertBlock(m_cursor.blockFormat(), m_format);
}

void TChatView::startNewLine() {
    if (isChatEmpty())
        return;
    m_cursor.movePosition(QTextCursor::End);
    // A last line that is still empty already is the new line.
    if (m_cursor.block().length() > 1)
        lineBreak();
}

bool TChatView::appendReceived(const ReceivedLine& line) {
    const bool isPrivate = line.kind == ReceivedLine::Kind::Private;
    // Private lines follow the italic setting both ways, so that an italic left over from
    // before the setting was turned off does not stick.
    if (isPrivate)
        m_format.setFontItalic(m_settings.privateItalic);

    if (line.continuation) {
        // Lines 1 onwards follow the line before them, whatever it was.
        if (isPrivate)
            m_format.setForeground(m_settings.privateColor);
        {
            EditBlock block(m_cursor);
            m_cursor.movePosition(QTextCursor::End);
            lineBreak();
            insertPlain(line.text);
        }
        ChatChange();
        return false;
    }

    {
        EditBlock block(m_cursor);
        startNewLine();
        if (isPrivate) {
            m_format.setForeground(m_settings.privateColor);
        } else {
            m_format.setForeground(line.own ? m_settings.ownColor : m_settings.otherColor);
            m_format.setFontItalic(false);
        }
        QString heading;
        if (m_settings.showSenderName)
            heading = line.senderName;
        if (m_settings.showMessageTime) {
            if (m_settings.showSenderName)
                heading += u' ';
            heading += u'(' + timeText() + u')';
        }
        insertPlain(heading + QStringLiteral(": "));
        if (line.multiLineStart)
            lineBreak();
        insertPlain(line.text);
    }
    ChatChange();
    return true;
}

void TChatView::appendPrivateEcho(const QStringList& headingNames, const QString& text,
                                  bool multiLine, const QStringList& lines) {
    QString heading = lang::GetMessageText(lang::MessageId::M005) + u' ' +
                      headingNames.join(QStringLiteral(", "));
    if (m_settings.showMessageTime)
        heading += QStringLiteral(" (") + timeText() + u')';

    {
        EditBlock block(m_cursor);
        startNewLine();
        m_format.setForeground(m_settings.privateColor);
        m_format.setFontItalic(m_settings.privateItalic);
        if (multiLine) {
            insertPlain(heading + u':');
            const qsizetype count = qMin<qsizetype>(lines.size(), 100);
            for (qsizetype k = 0; k < count; ++k) {
                lineBreak();
                insertPlain(lines[k]);
            }
        } else {
            insertPlain(heading + QStringLiteral(": ") + text);
        }
    }
    ChatChange();
}

void TChatView::appendComment(const QString& text) {
    {
        EditBlock block(m_cursor);
        startNewLine();
        m_format.setForeground(m_settings.ownColor);
        insertPlain(QStringLiteral("--- ") + text + QStringLiteral(" ---"));
    }
    ChatChange();
}

void TChatView::appendUnsent(const QString& sender, const QStringList& lines, const QString& mark) {
    QString heading = sender;
    if (m_settings.showMessageTime)
        heading += QStringLiteral(" (") + timeText() + u')';
    {
        EditBlock block(m_cursor);
        startNewLine();
        m_format.setForeground(m_settings.ownColor);
        m_format.setFontItalic(false);
        insertPlain(heading + QStringLiteral(": ") + lines.value(0));
        for (qsizetype k = 1; k < lines.size(); ++k) {
            lineBreak();
            insertPlain(lines[k]);
        }
        lineBreak();
        m_format.setFontItalic(true);
        insertPlain(mark);
        m_format.setFontItalic(false);
    }
    ChatChange();
}

platform::Result TChatView::startOfRunContent(const QString& logPath, bool saveOn,
                                              const QFont& chatFont) {
    // The window empties the view before (QPlainTextEdit::clear passes by the insertion point).
    resetInsertionPoint();
    platform::Result loaded;
    if (saveOn)
        loaded = loadLog(logPath);
    appendWelcome();
    applyChatFont(chatFont);
    return loaded;
}

platform::Result TChatView::loadLog(const QString& path) {
    m_logLoadFailed = false;
    QFileInfo info(path);
    if (!info.exists())
        return platform::Result::success();

    QString error;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
    } else {
        const QByteArray bytes = file.readAll();
        if (file.error() != QFile::NoError) {
            error = file.errorString();
        } else if (const platform::Result read = richtext::readRtf(bytes, *document()); !read) {
            error = read.error;
        }
    }
    if (!error.isEmpty()) {
        // Half a history would be mistaken for all of it: start without it, and keep the
        // file from being overwritten at close.
        document()->clear();
        m_logLoadFailed = true;
    }
    resetInsertionPoint();
    m_format = m_cursor.charFormat();
    ChatChange();
    if (error.isEmpty())
        return platform::Result::success();
    return platform::Result::failure(
        tr("The chat log %1 could not be loaded: %2").arg(path, error));
}

void TChatView::appendWelcome() {
    const QDateTime moment = now();
    // The weekday and the date in the language of the welcome text around them.
    const QLocale locale = lang::displayLocale(lang::CurrentLanguageFile().get());
    const QString weekday =
        locale.standaloneDayName(moment.date().dayOfWeek(), QLocale::LongFormat);
    const QString dateTime = locale.toString(moment.date(), QLocale::ShortFormat) + u' ' +
                             locale.toString(moment.time(), QLocale::LongFormat);
    {
        EditBlock block(m_cursor);
        startNewLine();
        // No colour of its own: the text follows the window text colour of the desktop.
        m_format.clearForeground();
        m_format.setFontItalic(false);
        insertPlain(
            lang::FormatMessage(lang::GetMessageText(lang::MessageId::M006), {weekday, dateTime}));
    }
    ChatChange();
}

void TChatView::applyChatFont(const QFont& font) {
    const QFont base = document()->defaultFont();
    const bool hasSize = font.pointSizeF() > 0;
    const bool sameFamily = effectiveFamily(m_format, base) == font.family();
    const bool sameSize =
        !hasSize || qFuzzyCompare(effectivePointSize(m_format, base), font.pointSizeF());
    if (sameFamily && sameSize)
        return;

    QTextCharFormat change;
    change.setFontFamilies(QStringList{font.family()});
    if (hasSize)
        change.setFontPointSize(font.pointSizeF());
    QTextCursor all(document());
    all.select(QTextCursor::Document);
    all.mergeCharFormat(change);
    m_format.merge(change);
    resetInsertionPoint();
}

QString TChatView::logFilePath(const QString& saveMessagesPath) {
    return saveMessagesPath + QStringLiteral("log.rtf");
}

platform::Result TChatView::writeBackLog(const QString& path, bool saveOn) {
    if (saveOn && textLength() >= m_logBaseline + 2) {
        if (m_logLoadFailed && QFileInfo(path).isFile()) {
            // The history that could not be read at start stays beside the new log.
            const QString aside = path + QStringLiteral(".bak");
            QFile::remove(aside);
            QFile old(path);
            if (!old.rename(aside)) {
                return platform::Result::failure(tr("The chat log %1 could not be kept as %2: %3")
                                                     .arg(path, aside, old.errorString()));
            }
        }
        m_logLoadFailed = false;
        // Not QSaveFile: Qt 6.4's commits a cut-off file when a write fails during its flush.
        try {
            platform::writeFileAtomically(path, richtext::writeRtf(*document()));
        } catch (const platform::SystemError& e) {
            return platform::Result::failure(
                tr("The chat log %1 could not be saved: %2").arg(path, e.text()));
        }
        return platform::Result::success();
    }
    if (!saveOn) {
        QFile file(path);
        if (file.exists() && !file.remove())
            return platform::Result::failure(
                tr("The chat log %1 could not be deleted: %2").arg(path, file.errorString()));
    }
    return platform::Result::success();
}

QString TChatView::printJobTitle() const {
    return QStringLiteral("Kalvento by Fennrake (") +
           QLocale::system().toString(now().date(), QLocale::ShortFormat) + u')';
}

void TChatView::print(QPrinter* printer) {
    printer->setDocName(printJobTitle());
    document()->print(printer);
}

void TChatView::ChatChange() {
    if (!hasFocus())
        scrollToInsertionPoint();
    const bool hasText = !isChatEmpty();
    m_selectAll->setEnabled(hasText);
    m_clearChat->setEnabled(hasText);
    emit hasTextChanged(hasText);
}

void TChatView::scrollToInsertionPoint() {
    // The insertion point is the end: show the bottom of the chat. The plain-text layout
    // scrolls by lines and lays out only what is shown, so this stays cheap however long
    // the chat has grown.
    QScrollBar* bar = verticalScrollBar();
    if (bar->value() != bar->maximum())
        bar->setValue(bar->maximum());
}

void TChatView::ChatSelectionChange() {
    m_copy->setEnabled(textCursor().hasSelection());
}

void TChatView::Copy1Click() {
    copy();
}

void TChatView::SelectAll1Click() {
    selectAll();
}

void TChatView::Clearchat1Click() {
    clear();
    document()->setUndoRedoEnabled(false);
    resetInsertionPoint();
    ChatSelectionChange();
    ChatChange();
}

void TChatView::contextMenuEvent(QContextMenuEvent* event) {
    ChatSelectionChange();
    m_popup->popup(event->globalPos());
    event->accept();
}

} // namespace kalvento::app
