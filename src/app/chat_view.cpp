#include "app/chat_view.h"

#include "app/chat_find_bar.h"
#include "app/chat_text.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/qt_translation.h"
#include "platform/atomic_file.h"
#include "platform/system_error.h"
#include "richtext/rtf_log.h"
#include "richtext/rtf_reader.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetricsF>
#include <QKeySequence>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPrinter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>

#include <utility>

namespace kalvento::app {
namespace {

using messaging::ReceivedLine;

// The marks of a line's provenance: quiet for what is only not verified, the warning
// colour for what needs the user.
const QColor kQuietMark(0x80, 0x80, 0x80);
const QColor kWarning(0xB0, 0x20, 0x20);
// The character property that names a line mark (appendLineMark).
constexpr int kLineMarkKey = QTextFormat::UserProperty + 1;

// A tooltip as the text it is: names in it are peer data, and Qt would take a text that
// looks like markup for markup.
QString plainToolTip(const QString& tip) {
    return QStringLiteral("<p style='white-space:pre-wrap'>") + tip.toHtmlEscaped() +
           QStringLiteral("</p>");
}

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
    EditBlock(QTextCursor& view, QTextCursor& unsaved) : m_view(view), m_unsaved(unsaved) {
        m_view.beginEditBlock();
        m_unsaved.beginEditBlock();
    }
    ~EditBlock() {
        m_unsaved.endEditBlock();
        m_view.endEditBlock();
    }
    EditBlock(const EditBlock&) = delete;
    EditBlock& operator=(const EditBlock&) = delete;

private:
    QTextCursor& m_view;
    QTextCursor& m_unsaved;
};

// The user state of a block whose links are set.
constexpr int kLinksSet = 1;
// The margin left of the text, and the bar in it beside lines that go on with a message.
constexpr qreal kDocumentMargin = 8;
constexpr qreal kBarLeft = 2;
constexpr qreal kBarWidth = 2;
// A search of the history not yet shown takes the GUI thread for this long at a time.
constexpr qint64 kSearchSliceMs = 30;

QTextCharFormat fontChangeTo(const QFont& font) {
    QTextCharFormat change;
    change.setFontFamilies(QStringList{font.family()});
    if (font.pointSizeF() > 0)
        change.setFontPointSize(font.pointSizeF());
    return change;
}

// Where needle stands in text, as QTextDocument::find compares: without regard to case, a
// no-break space as a space.
QList<qsizetype> matchesIn(QString text, const QString& needle) {
    QList<qsizetype> at;
    text.replace(QChar::Nbsp, u' ');
    for (qsizetype i = text.indexOf(needle, 0, Qt::CaseInsensitive); i >= 0;
         i = text.indexOf(needle, i + qMax<qsizetype>(1, needle.size()), Qt::CaseInsensitive))
        at.append(i);
    return at;
}

} // namespace

TChatView::TChatView(QWidget* parent)
    : QPlainTextEdit(parent), m_unsaved(std::make_unique<QTextDocument>()),
      m_openLink([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("Chat"));
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Nothing is ever undone in a read-only view; an undo stack would double the memory of
    // a long chat.
    document()->setUndoRedoEnabled(false);
    m_unsaved->setUndoRedoEnabled(false);
    resetInsertionPoint();
    m_unsavedCursor = QTextCursor(m_unsaved.get());
    connect(m_unsaved.get(), &QTextDocument::contentsChanged, this, [this] {
        if (hasLinesToSave())
            emit linesToSave();
    });
    viewport()->setMouseTracking(true);
    createPopup();
    createFind();
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &TChatView::onScrolled);

    m_copy->setEnabled(false);
    const bool hasText = !isChatEmpty();
    m_selectAll->setEnabled(hasText);
    m_clearChat->setEnabled(hasText);
}

// The popup of the chat, with its shortcuts.
void TChatView::createPopup() {
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
}

void TChatView::createFind() {
    // Find: from anywhere in the window, the message box included.
    m_find = new QAction(this);
    m_find->setObjectName(QStringLiteral("Find1"));
    m_find->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    m_findAgain = new QAction(this);
    m_findAgain->setObjectName(QStringLiteral("FindAgain1"));
    m_findAgain->setShortcut(QKeySequence(Qt::Key_F3));
    m_findAgainNewer = new QAction(this);
    m_findAgainNewer->setObjectName(QStringLiteral("FindAgainNewer1"));
    m_findAgainNewer->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3));
    for (QAction* action : {m_find, m_findAgain, m_findAgainNewer}) {
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
    }
    m_findBar = new ChatFindBar(this);
    m_searchStep = new QTimer(this);
    m_searchStep->setSingleShot(true);
    m_searchStep->setInterval(0);
    connect(m_searchStep, &QTimer::timeout, this, &TChatView::continueHistorySearch);
    connect(m_find, &QAction::triggered, this, &TChatView::openFindBar);
    connect(m_findAgain, &QAction::triggered, this, &TChatView::findOlder);
    connect(m_findAgainNewer, &QAction::triggered, this, &TChatView::findNewer);
    connect(m_findBar, &ChatFindBar::olderRequested, this, &TChatView::findOlder);
    connect(m_findBar, &ChatFindBar::newerRequested, this, &TChatView::findNewer);
    connect(m_findBar, &ChatFindBar::closeRequested, this, &TChatView::closeFindBar);
    connect(m_findBar, &ChatFindBar::textChanged, this, &TChatView::findTextChanged);
}

// Each change of the text searches anew from the newest line back.
void TChatView::findTextChanged(const QString& text) {
    m_match = QTextCursor();
    m_searchStep->stop();
    m_searchEnd = -1;
    m_findBar->setStatus(ChatFindBar::Status::None);
    if (text.isEmpty())
        decorateVisibleBlocks();
    else
        findOlder();
}

TChatView::~TChatView() = default;

QDateTime TChatView::now() const {
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

QString TChatView::timeText() const {
    return QLocale::system().toString(now().time(), QLocale::LongFormat);
}

QString TChatView::timeText(const QDateTime& moment) const {
    const QDateTime local = moment.toLocalTime();
    QString time = QLocale::system().toString(local.time(), QLocale::LongFormat);
    if (local.date() == now().date())
        return time;
    return QLocale::system().toString(local.date(), QLocale::ShortFormat) + u' ' + time;
}

void TChatView::resetInsertionPoint() {
    document()->setDocumentMargin(kDocumentMargin); // a cleared document may have lost it
    m_cursor = QTextCursor(document());
    m_cursor.movePosition(QTextCursor::End);
}

int TChatView::textLength() const {
    // characterCount() is kept by the document: no walk over the text.
    return qMax(0, document()->characterCount() - 1);
}

int TChatView::unsavedLength() const {
    return qMax(0, m_unsaved->characterCount() - 1);
}

bool TChatView::isChatEmpty() const {
    return document()->isEmpty();
}

void TChatView::setLogBaseline() {
    m_logBaseline = unsavedLength();
}

void TChatView::insertPlain(const QString& text) {
    // Peer text is data: inserted as characters, never parsed as markup. Its line breaks
    // are gone before (insertText), so it cannot start a block of its own.
    if (text.isEmpty())
        return;
    m_cursor.insertText(text, m_format);
    m_cursor.block().setUserState(-1); // its links are looked for again when it is shown
    m_unsavedCursor.insertText(text, m_format);
}

void TChatView::insertText(const QString& text) {
    const QStringList lines = splitAtLineBreaks(text);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            lineBreak();
            insertPlain(kContinuationMark);
        }
        insertPlain(isolateDirection(lines[i]));
    }
}

void TChatView::lineBreak() {
    m_cursor.insertBlock(m_cursor.blockFormat(), m_format);
    m_unsavedCursor.insertBlock(m_unsavedCursor.blockFormat(), m_format);
}

void TChatView::insertMark(const QString& text, const QString& toolTip, const QColor& color) {
    const QTextCharFormat saved = m_format;
    m_format.setForeground(color);
    m_format.setToolTip(toolTip);
    insertPlain(QStringLiteral(" (") + text + u')');
    m_format = saved;
}

void TChatView::startNewLine() {
    for (QTextCursor* cursor : {&m_cursor, &m_unsavedCursor}) {
        if (cursor->document()->isEmpty())
            continue;
        cursor->movePosition(QTextCursor::End);
        // A last line that is still empty already is the new line.
        if (cursor->block().length() > 1)
            cursor->insertBlock(cursor->blockFormat(), m_format);
    }
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
            EditBlock block(m_cursor, m_unsavedCursor);
            m_cursor.movePosition(QTextCursor::End);
            m_unsavedCursor.movePosition(QTextCursor::End);
            lineBreak();
            insertPlain(kContinuationMark);
            insertText(line.text);
        }
        ChatChange();
        return false;
    }

    {
        EditBlock block(m_cursor, m_unsavedCursor);
        startNewLine();
        if (isPrivate) {
            m_format.setForeground(m_settings.privateColor);
        } else {
            m_format.setForeground(line.own ? m_settings.ownColor : m_settings.otherColor);
            m_format.setFontItalic(false);
        }
        QString heading;
        if (m_settings.showSenderName)
            heading = headingName(line.senderName);
        // A line caught up after an absence carries the time its author said it.
        const bool caughtUp = line.caughtUp && line.sentAt.isValid();
        if (m_settings.showMessageTime) {
            if (m_settings.showSenderName)
                heading += u' ';
            heading += u'(' + (caughtUp ? timeText(line.sentAt) : timeText()) + u')';
        }
        insertPlain(heading);
        if (line.own) {
            // what this copy wrote carries no mark
        } else if (line.senderTrust == network::PeerTrust::Changed) {
            insertMark(lang::GetMessageText(lang::MessageId::M072),
                       lang::FormatMessage(lang::GetMessageText(lang::MessageId::M073),
                                           {line.senderComputer}),
                       kWarning);
        } else if (m_trustMarks && line.senderTrust == network::PeerTrust::Plain) {
            insertMark(lang::GetMessageText(lang::MessageId::M070),
                       lang::GetMessageText(lang::MessageId::M071), kQuietMark);
        }
        if (caughtUp)
            insertMark(lang::GetMessageText(lang::MessageId::M113),
                       lang::FormatMessage(lang::GetMessageText(lang::MessageId::M114),
                                           {timeText(line.sentAt)}),
                       kQuietMark);
        insertPlain(QStringLiteral(": "));
        if (line.multiLineStart) {
            lineBreak();
            insertPlain(kContinuationMark);
        }
        insertText(line.text);
    }
    ChatChange();
    return true;
}

void TChatView::appendPrivateEcho(const QStringList& headingNames, const QString& text,
                                  bool multiLine, const QStringList& lines,
                                  const QStringList& plainNames) {
    QStringList names;
    for (const QString& name : headingNames)
        names.append(headingName(name));
    QString heading =
        lang::GetMessageText(lang::MessageId::M005) + u' ' + names.join(QStringLiteral(", "));
    if (m_settings.showMessageTime)
        heading += QStringLiteral(" (") + timeText() + u')';

    {
        EditBlock block(m_cursor, m_unsavedCursor);
        startNewLine();
        m_format.setForeground(m_settings.privateColor);
        m_format.setFontItalic(m_settings.privateItalic);
        insertPlain(heading);
        if (!plainNames.isEmpty()) {
            QStringList shown;
            for (const QString& name : plainNames)
                shown.append(headingName(name));
            insertMark(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M074),
                                           {shown.join(QStringLiteral(", "))}),
                       lang::GetMessageText(lang::MessageId::M075), kQuietMark);
        }
        if (multiLine) {
            insertPlain(QStringLiteral(":"));
            const qsizetype count = qMin<qsizetype>(lines.size(), 100);
            for (qsizetype k = 0; k < count; ++k) {
                lineBreak();
                insertPlain(kContinuationMark);
                insertText(lines[k]);
            }
        } else {
            insertPlain(QStringLiteral(": "));
            insertText(text);
        }
    }
    ChatChange();
}

void TChatView::appendWarning(const QString& textTemplate, const QStringList& args) {
    {
        EditBlock block(m_cursor, m_unsavedCursor);
        startNewLine();
        const QTextCharFormat saved = m_format;
        m_format.setForeground(kWarning);
        m_format.setFontItalic(false);
        insertTemplate(textTemplate, args);
        m_format = saved;
    }
    ChatChange();
}

void TChatView::insertTemplate(const QString& textTemplate, const QStringList& args) {
    qsizetype next = 0;
    const QStringList lines = textTemplate.split(QStringLiteral("\r\n"));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            lineBreak();
            insertPlain(kContinuationMark);
        }
        const QStringList pieces = lines[i].split(QStringLiteral("%s"));
        for (qsizetype k = 0; k < pieces.size(); ++k) {
            if (k > 0)
                insertText(args.value(next++));
            insertPlain(pieces[k]);
        }
    }
}

void TChatView::appendNotice(const QString& textTemplate, const QStringList& args) {
    {
        EditBlock block(m_cursor, m_unsavedCursor);
        startNewLine();
        const QTextCharFormat saved = m_format;
        m_format.setForeground(kQuietMark);
        m_format.setFontItalic(false);
        insertPlain(QStringLiteral("--- "));
        insertTemplate(textTemplate, args);
        insertPlain(QStringLiteral(" ---"));
        m_format = saved;
    }
    ChatChange();
}

QTextCursor TChatView::appendLineMark(quint64 key, const QString& text, const QString& toolTip,
                                      bool warning) {
    QTextCharFormat format = m_format;
    format.setForeground(warning ? kWarning : kQuietMark);
    format.setToolTip(toolTip);
    format.setProperty(kLineMarkKey, QVariant::fromValue<qulonglong>(key));
    m_cursor.movePosition(QTextCursor::End);
    const int start = m_cursor.position();
    // On screen only: the unsaved lines, and so the log, do not get it.
    m_cursor.insertText(u' ' + text, format);
    QTextCursor mark(document());
    mark.setPosition(start);
    mark.setPosition(m_cursor.position(), QTextCursor::KeepAnchor);
    // What is added after it (the next line) stays out of it; what is added before it (the
    // history above) moves it along.
    mark.setKeepPositionOnInsert(true);
    ChatChange();
    return mark;
}

bool TChatView::replaceLineMark(QTextCursor& mark, quint64 key, const QString& text,
                                const QString& toolTip, bool warning) {
    if (mark.isNull() || !mark.hasSelection() || mark.document() != document())
        return false;
    const int start = mark.selectionStart();
    QTextCursor first(document());
    first.setPosition(start + 1);
    QTextCharFormat format = first.charFormat();
    if (format.property(kLineMarkKey).toULongLong() != key)
        return false;
    format.setForeground(warning ? kWarning : kQuietMark);
    format.setToolTip(toolTip);
    const QString shown = u' ' + text;
    mark.insertText(shown, format);
    mark.setPosition(start);
    mark.setPosition(start + int(shown.size()), QTextCursor::KeepAnchor);
    return true;
}

quint64 TChatView::lineMarkAt(const QPoint& viewportPoint) const {
    // The message's blocks: its heading line and the continuation lines under it.
    QTextBlock block = cursorForPosition(viewportPoint).block();
    while (block.isValid() && block.text().startsWith(kContinuationMark) &&
           block.previous().isValid())
        block = block.previous();
    for (bool first = true; block.isValid(); block = block.next(), first = false) {
        if (!first && !block.text().startsWith(kContinuationMark))
            break;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.hasProperty(kLineMarkKey))
                return format.property(kLineMarkKey).toULongLong();
        }
    }
    return 0;
}

QString TChatView::toolTipAt(const QPoint& viewportPoint) const {
    QTextCursor at = cursorForPosition(viewportPoint);
    // The character under the point, not the one before the nearest boundary.
    if (!at.atBlockEnd() && cursorRect(at).left() <= viewportPoint.x())
        at.movePosition(QTextCursor::NextCharacter);
    return at.charFormat().toolTip();
}

bool TChatView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QString tip = toolTipAt(help->pos());
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), plainToolTip(tip), viewport());
        return true;
    }
    return QPlainTextEdit::viewportEvent(event);
}

void TChatView::appendComment(const QString& text) {
    {
        EditBlock block(m_cursor, m_unsavedCursor);
        startNewLine();
        m_format.setForeground(m_settings.ownColor);
        insertPlain(QStringLiteral("--- "));
        insertText(text);
        insertPlain(QStringLiteral(" ---"));
    }
    ChatChange();
}

void TChatView::appendUnsent(const QString& sender, const QStringList& lines, const QString& mark) {
    QString heading = headingName(sender);
    if (m_settings.showMessageTime)
        heading += QStringLiteral(" (") + timeText() + u')';
    {
        EditBlock block(m_cursor, m_unsavedCursor);
        startNewLine();
        m_format.setForeground(m_settings.ownColor);
        m_format.setFontItalic(false);
        insertPlain(heading + QStringLiteral(": "));
        insertText(lines.value(0));
        for (qsizetype k = 1; k < lines.size(); ++k) {
            lineBreak();
            insertPlain(kContinuationMark);
            insertText(lines[k]);
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
    m_chatFont = chatFont;
    platform::Result loaded;
    if (saveOn)
        loaded = loadLog(logPath);
    appendWelcome();
    applyChatFont(chatFont);
    return loaded;
}

platform::Result TChatView::loadLog(const QString& path) {
    dropHistory();
    m_logLoadFailed = false;
    m_historyPath = path;
    if (!QFileInfo::exists(path))
        return platform::Result::success();

    QString error;
    auto history = std::make_unique<richtext::LogHistoryFile>();
    document()->clear();
    if (const platform::Result opened = history->open(path); !opened) {
        error = opened.error;
    } else if (history->isLogForm()) {
        // Only the last part now; the rest when the user goes there.
        m_history = std::move(history);
        m_loadedFrom = m_history->bodyEnd();
        qint64 begin = m_loadedFrom;
        QByteArray lines;
        if (const platform::Result read =
                m_history->readLinesBefore(m_loadedFrom, m_historyChunkBytes, begin, lines);
            !read)
            error = read.error;
        else if (const platform::Result inserted = insertHistory(begin, lines); !inserted)
            error = inserted.error;
    } else {
        QByteArray bytes;
        if (const platform::Result read = history->readAll(bytes); !read)
            error = read.error;
        else if (const platform::Result parsed = richtext::readRtf(bytes, *document()); !parsed)
            error = parsed.error;
    }
    if (!error.isEmpty()) {
        // Half a history would be mistaken for all of it: start without it, and keep the
        // file from being overwritten at close.
        dropHistory();
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

bool TChatView::hasEarlierHistory() const {
    return m_history != nullptr && m_loadedFrom > m_history->bodyBegin();
}

bool TChatView::loadEarlierHistory() {
    if (!hasEarlierHistory())
        return false;
    qint64 begin = m_loadedFrom;
    QByteArray lines;
    platform::Result result =
        m_history->readLinesBefore(m_loadedFrom, m_historyChunkBytes, begin, lines);
    if (result)
        result = insertHistory(begin, lines);
    if (!result) {
        historyFailed(result);
        return false;
    }
    return true;
}

void TChatView::loadWholeHistory() {
    if (!hasEarlierHistory())
        return;
    QByteArray lines;
    platform::Result result = m_history->read(m_history->bodyBegin(), m_loadedFrom, lines);
    if (result)
        result = insertHistory(m_history->bodyBegin(), lines);
    if (!result)
        historyFailed(result);
}

platform::Result TChatView::insertHistory(qint64 begin, const QByteArray& lines) {
    // What the user looks at stays where it is: the same block at the top, counted from
    // the end, which the insertion above does not move.
    QScrollBar* bar = verticalScrollBar();
    const bool wasEmpty = isChatEmpty();
    const int blocksBefore = document()->blockCount();
    const QTextBlock top = firstVisibleBlock();
    const int topFromEnd = blocksBefore - top.blockNumber();
    const int lineInTop = qMax(0, bar->value() - top.firstLineNumber());
    const int charsBefore = document()->characterCount();

    QTextCursor at(document());
    at.beginEditBlock();
    if (!wasEmpty) {
        // The history's last line ends before the first line shown.
        at.insertBlock();
        at.setPosition(0);
    }
    platform::Result read = richtext::readRtf(m_history->documentOf(lines), at);
    const int inserted = document()->characterCount() - charsBefore - (wasEmpty ? 0 : 1);
    if (!m_chatFont.family().isEmpty()) {
        QTextCursor range(document());
        range.setPosition(inserted, QTextCursor::KeepAnchor);
        range.mergeCharFormat(fontChangeTo(m_chatFont));
    }
    at.endEditBlock();
    m_loadedFrom = begin;

    if (!wasEmpty) {
        const QTextBlock same =
            document()->findBlockByNumber(document()->blockCount() - topFromEnd);
        bar->setValue(same.firstLineNumber() + lineInTop);
    }
    scheduleDecoration();
    return read;
}

void TChatView::historyFailed(const platform::Result& result) {
    const QString message =
        tr("The history of the chat log %1 could not be read: %2").arg(m_historyPath, result.error);
    if (m_searchEnd >= 0)
        m_findBar->setStatus(ChatFindBar::Status::Failed, message);
    dropHistory();
    emit historyError(message);
}

void TChatView::dropHistory() {
    m_history.reset();
    m_searchEnd = -1;
    if (m_searchStep != nullptr)
        m_searchStep->stop();
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
        EditBlock block(m_cursor, m_unsavedCursor);
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
    m_chatFont = font;
    const QFont base = document()->defaultFont();
    const bool hasSize = font.pointSizeF() > 0;
    const bool sameFamily = effectiveFamily(m_format, base) == font.family();
    const bool sameSize =
        !hasSize || qFuzzyCompare(effectivePointSize(m_format, base), font.pointSizeF());
    if (sameFamily && sameSize)
        return;

    const QTextCharFormat change = fontChangeTo(font);
    for (QTextDocument* target : {document(), m_unsaved.get()}) {
        QTextCursor all(target);
        all.select(QTextCursor::Document);
        all.mergeCharFormat(change);
    }
    m_format.merge(change);
    resetInsertionPoint();
    m_unsavedCursor.movePosition(QTextCursor::End);
}

QString TChatView::logFilePath(const QString& saveMessagesPath) {
    return saveMessagesPath + QStringLiteral("log.rtf");
}

platform::Result TChatView::writeBackLog(const QString& path, bool saveOn) {
    if (!saveOn) {
        QFile file(path);
        if (file.exists() && !file.remove())
            return platform::Result::failure(
                tr("The chat log %1 could not be deleted: %2").arg(path, file.errorString()));
        return platform::Result::success();
    }
    if (!hasLinesToSave())
        return platform::Result::success();

    // The history that could not be read stays beside the new log.
    const auto keepAside = [&path](const QString& source) {
        const QString aside = path + QStringLiteral(".bak");
        QFile::remove(aside);
        QFile old(source);
        if (!old.rename(aside))
            return platform::Result::failure(tr("The chat log %1 could not be kept as %2: %3")
                                                 .arg(source, aside, old.errorString()));
        return platform::Result::success();
    };
    if (m_logLoadFailed && QFileInfo(path).isFile()) {
        if (platform::Result kept = keepAside(path); !kept)
            return kept;
    }
    m_logLoadFailed = false;

    // The old log: the file at path, or, when the log moved, the one this run last wrote,
    // else the one the history came from.
    QString source = path;
    const QString& before = m_writtenPath.isEmpty() ? m_historyPath : m_writtenPath;
    if (!QFileInfo::exists(path) && !before.isEmpty() && before != path)
        source = before;
    m_unsaved->setDefaultFont(document()->defaultFont());
    richtext::AppendOutcome outcome = richtext::appendToLog(path, source, *m_unsaved);
    if (outcome.sourceDamaged) {
        if (source == path) {
            if (platform::Result kept = keepAside(path); !kept)
                return kept;
        }
        outcome = richtext::appendToLog(path, QString(), *m_unsaved);
    }
    if (!outcome.result)
        return outcome.result;
    m_writtenPath = path;
    m_unsaved->clear();
    m_unsavedCursor = QTextCursor(m_unsaved.get());
    m_logBaseline = 0;
    return platform::Result::success();
}

QString TChatView::printJobTitle() const {
    return QStringLiteral("Kalvento by Fennrake (") +
           QLocale::system().toString(now().date(), QLocale::ShortFormat) + u')';
}

void TChatView::print(QPrinter* printer) {
    printer->setDocName(printJobTitle());
    loadWholeHistory();
    // On paper as on screen, a message's later lines cannot pass for the first line of
    // another: they stand indented under its first, whether wrapped or broken.
    const std::unique_ptr<QTextDocument> paper(document()->clone());
    const qreal indent = QFontMetricsF(document()->defaultFont()).horizontalAdvance(u'M') * 2;
    QTextCursor cursor(paper.get());
    for (QTextBlock block = paper->begin(); block.isValid(); block = block.next()) {
        QTextBlockFormat format = block.blockFormat();
        format.setLeftMargin(indent);
        if (!block.text().startsWith(kContinuationMark))
            format.setTextIndent(-indent);
        cursor.setPosition(block.position());
        cursor.setBlockFormat(format);
    }
    paper->print(printer);
}

void TChatView::paintEvent(QPaintEvent* event) {
    QPlainTextEdit::paintEvent(event);
    // Beside every line on screen that goes on with a message rather than beginning one
    // (the lines a long line wraps into, and continuation lines): a bar in the margin. A
    // line that does not begin a message thus cannot pass for one, however it begins.
    QPainter painter(viewport());
    const QColor color = palette().color(QPalette::Mid);
    const QPointF offset = contentOffset();
    const qreal height = viewport()->height();
    for (QTextBlock block = firstVisibleBlock(); block.isValid(); block = block.next()) {
        const QRectF box = blockBoundingGeometry(block).translated(offset);
        if (box.top() > height)
            break;
        const QTextLayout* layout = block.layout();
        if (layout == nullptr || !block.isVisible())
            continue;
        const bool continues = block.text().startsWith(kContinuationMark);
        for (int i = continues ? 0 : 1; i < layout->lineCount(); ++i) {
            const QTextLine line = layout->lineAt(i);
            painter.fillRect(QRectF(kBarLeft, box.top() + line.y(), kBarWidth, line.height()),
                             color);
        }
    }
}

bool TChatView::userIsInView() const {
    const QWidget* focus = QApplication::focusWidget();
    return focus != nullptr && (focus == this || isAncestorOf(focus));
}

void TChatView::ChatChange() {
    if (!userIsInView())
        scrollToInsertionPoint();
    scheduleDecoration();
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

void TChatView::onScrolled(int value) {
    scheduleDecoration();
    // At the top of what is shown: the history goes on above it. Queued, so that the
    // scroll that got here ends first.
    if (value == verticalScrollBar()->minimum() && hasEarlierHistory() && isVisible() &&
        !m_loadQueued) {
        m_loadQueued = true;
        QTimer::singleShot(0, this, [this] {
            m_loadQueued = false;
            if (verticalScrollBar()->value() == verticalScrollBar()->minimum())
                loadEarlierHistory();
        });
    }
}

void TChatView::wheelEvent(QWheelEvent* event) {
    // A history too short to scroll still goes on above when the wheel turns up.
    const QScrollBar* bar = verticalScrollBar();
    if (event->angleDelta().y() > 0 && bar->value() == bar->minimum() && hasEarlierHistory())
        loadEarlierHistory();
    QPlainTextEdit::wheelEvent(event);
}

void TChatView::scheduleDecoration() {
    // Once per turn of the event loop, however many lines a flood brings in it.
    if (m_decorationQueued)
        return;
    m_decorationQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_decorationQueued = false;
        decorateVisibleBlocks();
    });
}

void TChatView::decorateVisibleBlocks() {
    // Setting a link changes the document, which may scroll and come back here.
    if (m_decorating)
        return;
    m_decorating = true;
    const QString needle = m_findBar->isVisible() ? m_findBar->text() : QString();
    QList<QTextEdit::ExtraSelection> marks;
    QTextCharFormat matchFormat;
    matchFormat.setBackground(QColor(0xFF, 0xD8, 0x00, 0x90));
    // No block is lower than a line, and no line of the chat lower than half a line of the
    // smaller of its fonts: this many blocks from the top cover the screen, without asking
    // the layout where each one stands.
    qreal lineSpacing = QFontMetricsF(font()).lineSpacing();
    if (!m_chatFont.family().isEmpty())
        lineSpacing = qMin(lineSpacing, QFontMetricsF(m_chatFont).lineSpacing());
    const int screenLines = int(viewport()->height() / qMax(1.0, lineSpacing / 2)) + 2;
    int count = 0;
    for (QTextBlock block = firstVisibleBlock(); block.isValid() && count < screenLines;
         block = block.next(), ++count) {
        if (block.userState() != kLinksSet) {
            block.setUserState(kLinksSet);
            for (const TextLink& link : findLinks(block.text())) {
                QTextCursor range(block);
                range.setPosition(block.position() + int(link.start));
                range.setPosition(block.position() + int(link.start + link.length),
                                  QTextCursor::KeepAnchor);
                QTextCharFormat anchor;
                anchor.setAnchor(true);
                anchor.setAnchorHref(link.url.toString(QUrl::FullyEncoded));
                anchor.setFontUnderline(true);
                range.mergeCharFormat(anchor);
            }
        }
        if (needle.isEmpty())
            continue;
        for (const qsizetype at : matchesIn(block.text(), needle)) {
            QTextEdit::ExtraSelection mark;
            mark.cursor = QTextCursor(block);
            mark.cursor.setPosition(block.position() + int(at));
            mark.cursor.setPosition(block.position() + int(at + needle.size()),
                                    QTextCursor::KeepAnchor);
            mark.format = matchFormat;
            marks.append(mark);
        }
    }
    // Most lines arrive with no search open: nothing to mark, nothing to repaint.
    if (!marks.isEmpty() || !extraSelections().isEmpty())
        setExtraSelections(marks);
    m_decorating = false;
}

void TChatView::openFindBar() {
    QWidget* focus = QApplication::focusWidget();
    if (focus != nullptr && !m_findBar->isAncestorOf(focus))
        m_focusBeforeFind = focus;
    m_findBar->open();
    placeFindBar();
    decorateVisibleBlocks();
}

void TChatView::closeFindBar() {
    m_searchStep->stop();
    m_searchEnd = -1;
    m_findBar->hide();
    placeFindBar();
    decorateVisibleBlocks();
    if (m_focusBeforeFind != nullptr)
        m_focusBeforeFind->setFocus(Qt::OtherFocusReason);
    else
        setFocus(Qt::OtherFocusReason);
}

void TChatView::placeFindBar() {
    if (!m_findBar->isVisible()) {
        setViewportMargins(0, 0, 0, 0);
        return;
    }
    const int height = m_findBar->sizeHint().height();
    setViewportMargins(0, 0, 0, height);
    const QRect area = viewport()->geometry();
    m_findBar->setGeometry(area.left(), area.bottom() + 1, area.width(), height);
}

void TChatView::findOlder() {
    if (!m_findBar->isVisible())
        openFindBar();
    if (m_findBar->text().isEmpty())
        return;
    QTextCursor from = m_match;
    if (from.isNull()) {
        from = QTextCursor(document());
        from.movePosition(QTextCursor::End);
    }
    findFrom(from, true);
}

void TChatView::findNewer() {
    if (!m_findBar->isVisible())
        openFindBar();
    if (m_findBar->text().isEmpty())
        return;
    if (m_match.isNull()) {
        // The search starts at the newest line: nothing is newer.
        m_findBar->setStatus(ChatFindBar::Status::NoMatch);
        return;
    }
    findFrom(m_match, false);
}

void TChatView::findFrom(const QTextCursor& from, bool older) {
    m_searchStep->stop();
    m_searchEnd = -1;
    const QString needle = m_findBar->text();
    const QTextCursor found = document()->find(
        needle, from, older ? QTextDocument::FindBackward : QTextDocument::FindFlags());
    if (!found.isNull()) {
        showMatch(found);
        return;
    }
    if (older && hasEarlierHistory()) {
        m_searchEnd = m_loadedFrom;
        m_findBar->setStatus(ChatFindBar::Status::Searching);
        m_searchStep->start();
        return;
    }
    if (m_match.isNull())
        m_findBar->setStatus(ChatFindBar::Status::NoMatch);
    else
        m_findBar->setStatus(older ? ChatFindBar::Status::NoOlder : ChatFindBar::Status::NoNewer);
}

void TChatView::continueHistorySearch() {
    if (m_searchEnd < 0 || !hasEarlierHistory())
        return;
    const QString needle = m_findBar->text();
    QElapsedTimer slice;
    slice.start();
    while (slice.elapsed() < kSearchSliceMs) {
        if (m_searchEnd <= m_history->bodyBegin()) {
            m_searchEnd = -1;
            m_findBar->setStatus(m_match.isNull() ? ChatFindBar::Status::NoMatch
                                                  : ChatFindBar::Status::NoOlder);
            return;
        }
        qint64 begin = m_searchEnd;
        QByteArray lines;
        if (const platform::Result read =
                m_history->readLinesBefore(m_searchEnd, m_historyChunkBytes, begin, lines);
            !read) {
            historyFailed(read);
            return;
        }
        if (matchesIn(richtext::readRtfText(m_history->documentOf(lines)), needle).isEmpty()) {
            m_searchEnd = begin;
            continue;
        }
        // Found: everything from there on is shown, so that the view stays one piece of
        // the log, and the match is the last one of that piece.
        m_searchEnd = -1;
        if (begin < m_loadedFrom && lines.size() < m_loadedFrom - begin) {
            lines.clear();
            if (const platform::Result read = m_history->read(begin, m_loadedFrom, lines); !read) {
                historyFailed(read);
                return;
            }
        }
        const int charsBefore = document()->characterCount();
        if (const platform::Result inserted = insertHistory(begin, lines); !inserted)
            emit historyError(tr("The history of the chat log %1 could not be read: %2")
                                  .arg(m_historyPath, inserted.error));
        QTextCursor from(document());
        from.setPosition(
            qMin(document()->characterCount() - charsBefore, document()->characterCount() - 1));
        findFrom(from, true);
        return;
    }
    m_searchStep->start();
}

void TChatView::showMatch(const QTextCursor& match) {
    m_match = match;
    m_findBar->setStatus(ChatFindBar::Status::None);
    setTextCursor(match);
    centerCursor();
    decorateVisibleBlocks();
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
    // What was cleared does not come back by scrolling up; the log keeps it.
    dropHistory();
    m_match = QTextCursor();
    clear();
    document()->setUndoRedoEnabled(false);
    resetInsertionPoint();
    ChatSelectionChange();
    ChatChange();
}

void TChatView::contextMenuEvent(QContextMenuEvent* event) {
    ChatSelectionChange();
    emit popupRequested(event->pos());
    m_popup->popup(event->globalPos());
    event->accept();
}

void TChatView::mousePressEvent(QMouseEvent* event) {
    m_pressedAnchor =
        event->button() == Qt::LeftButton ? anchorAt(event->position().toPoint()) : QString();
    QPlainTextEdit::mousePressEvent(event);
}

void TChatView::mouseMoveEvent(QMouseEvent* event) {
    QPlainTextEdit::mouseMoveEvent(event);
    if (anchorAt(event->position().toPoint()).isEmpty())
        viewport()->setCursor(Qt::IBeamCursor);
    else
        viewport()->setCursor(Qt::PointingHandCursor);
}

void TChatView::mouseReleaseEvent(QMouseEvent* event) {
    QPlainTextEdit::mouseReleaseEvent(event);
    const QString anchor = std::exchange(m_pressedAnchor, QString());
    // A click, not the end of a selection that began on a link.
    if (event->button() != Qt::LeftButton || anchor.isEmpty() || textCursor().hasSelection() ||
        anchorAt(event->position().toPoint()) != anchor)
        return;
    const QUrl url(anchor, QUrl::StrictMode);
    if (url.isValid() && m_openLink)
        m_openLink(url);
}

void TChatView::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    placeFindBar();
    scheduleDecoration();
}

void TChatView::showEvent(QShowEvent* event) {
    QPlainTextEdit::showEvent(event);
    scheduleDecoration();
}

} // namespace kalvento::app
