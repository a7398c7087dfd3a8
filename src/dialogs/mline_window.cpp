#include "dialogs/mline_window.h"

#include "lang/language_file.h"
#include "lang/message_table.h"
#include "platform/text_codec.h"
#include "uisupport/apply_language.h"
#include "widgets/glyph_button.h"
#include "widgets/toolbar.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QScreen>
#include <QShortcut>

#include <cmath>

namespace kalvento::dialogs {

namespace {

int roundHalfEven(double value) {
    return int(std::nearbyint(value)); // the default rounding mode takes halves to even
}

// In the order of the two rows.
constexpr widgets::ToolbarButton kButtons[] = {
    {"btnCut", "Cut selected text to clipboard (CTRL + X)", widgets::kuvatCut},
    {"btnCopy", "Copy selected text to clipboard (CTRL + C)", widgets::kuvatCopy},
    {"btnPaste", "Paste text from clipboard (CTRL + V)", widgets::kuvatPaste},
    {"btnSelectAll", "Select all (CTRL + A)", widgets::kuvatSelectAll},
    {"btnPrint", "Print text", widgets::kuvatPrint},
    {"btnOpen", "Open existing text document", widgets::kuvatOpen},
    {"btnSend", "Send message", widgets::kuvatSend},
    {"btnClose", "Close this dialog (ESC)", widgets::kuvatClose},
};

} // namespace

MLineLayout computeMLineLayout(QSize client) {
    const int w = client.width();
    const int h = client.height();
    const int b = widgets::TGlyphButton::defaultWidth;
    const int bh = widgets::TGlyphButton::defaultHeight;
    constexpr int left = 8;
    constexpr int top = 8;
    MLineLayout layout;
    layout.RE = QRect(left, top, w - 2 * left, h - 3 * top - 2 * bh);
    const int firstRow = layout.RE.height() + 2 * top;
    int x = roundHalfEven((w - 6 * b) / 2.0);
    for (QRect* r : {&layout.btnCut, &layout.btnCopy, &layout.btnPaste, &layout.btnSelectAll,
                     &layout.btnPrint, &layout.btnOpen}) {
        *r = QRect(x, firstRow, b, bh);
        x += b;
    }
    const int secondRow = firstRow + bh;
    const int send = roundHalfEven((w - 2 * b) / 2.0);
    layout.btnSend = QRect(send, secondRow, b, bh);
    layout.btnClose = QRect(send + b, secondRow, b, bh);
    return layout;
}

QStringList linesOfText(const QString& text) {
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() > 1 && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

TMLineIkkuna::TMLineIkkuna(Host host, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      m_host(std::move(host)) {
    setObjectName(QStringLiteral("MLineIkkuna"));
    setWindowTitle(QStringLiteral("Send multilined messages"));
    setAttribute(Qt::WA_DeleteOnClose);
    QPalette colour = palette();
    colour.setColor(QPalette::Window, m_host.color);
    setPalette(colour);
    setAutoFillBackground(true);

    m_re = new QPlainTextEdit(this);
    m_re->setObjectName(QStringLiteral("RE"));
    // What the user writes here is never a text to translate, whatever language comes.
    m_re->setProperty(uisupport::TextIsDataProperty, true);
    m_re->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_re->setContextMenuPolicy(Qt::CustomContextMenu);

    widgets::makeToolbar(this, kButtons, m_host.kuvat);
    m_btnCut = button("btnCut");
    m_btnCopy = button("btnCopy");
    m_btnPaste = button("btnPaste");
    m_btnSelectAll = button("btnSelectAll");
    m_btnPrint = button("btnPrint");
    m_btnOpen = button("btnOpen");
    m_btnSend = button("btnSend");
    m_btnClose = button("btnClose");
    m_btnCut->setEnabled(false);
    m_btnCopy->setEnabled(false);

    m_popup = new QMenu(this);
    m_popup->setObjectName(QStringLiteral("REPopup"));
    const struct {
        const char* name;
        const char* caption;
        QKeySequence keys;
        void (TMLineIkkuna::*handler)();
    } items[] = {
        {"Cut1", "Cut", QKeySequence(Qt::CTRL | Qt::Key_X), &TMLineIkkuna::btnCutClick},
        {"Copy1", "Copy", QKeySequence(Qt::CTRL | Qt::Key_C), &TMLineIkkuna::btnCopyClick},
        {"Paste1", "Paste", QKeySequence(Qt::CTRL | Qt::Key_V), &TMLineIkkuna::btnPasteClick},
        {"SelectAll1", "Select All", QKeySequence(Qt::CTRL | Qt::Key_A),
         &TMLineIkkuna::btnSelectAllClick},
    };
    for (const auto& item : items) {
        auto* a = new QAction(QString::fromLatin1(item.caption), this);
        a->setObjectName(QString::fromLatin1(item.name));
        a->setShortcut(item.keys);
        // The editor handles the keys itself; the shortcut is shown in the menu only.
        a->setShortcutContext(Qt::WidgetShortcut);
        connect(a, &QAction::triggered, this, item.handler);
        m_popup->addAction(a);
    }
    connect(m_popup, &QMenu::aboutToShow, this, &TMLineIkkuna::REPopupPopup);
    connect(m_re, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { m_popup->popup(m_re->mapToGlobal(at)); });

    connect(m_re, &QPlainTextEdit::textChanged, this, &TMLineIkkuna::REChange);
    connect(m_re, &QPlainTextEdit::selectionChanged, this, &TMLineIkkuna::RESelectionChange);
    connect(m_btnCut, &QAbstractButton::clicked, this, &TMLineIkkuna::btnCutClick);
    connect(m_btnCopy, &QAbstractButton::clicked, this, &TMLineIkkuna::btnCopyClick);
    connect(m_btnPaste, &QAbstractButton::clicked, this, &TMLineIkkuna::btnPasteClick);
    connect(m_btnSelectAll, &QAbstractButton::clicked, this, &TMLineIkkuna::btnSelectAllClick);
    connect(m_btnPrint, &QAbstractButton::clicked, this, &TMLineIkkuna::btnPrintClick);
    connect(m_btnOpen, &QAbstractButton::clicked, this, &TMLineIkkuna::btnOpenClick);
    connect(m_btnSend, &QAbstractButton::clicked, this, &TMLineIkkuna::btnSendClick);
    connect(m_btnClose, &QAbstractButton::clicked, this, &TMLineIkkuna::btnCloseClick);
    // The paste button follows the clipboard, also while the window is active.
    connect(QApplication::clipboard(), &QClipboard::dataChanged, this, &TMLineIkkuna::FormActivate);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &TMLineIkkuna::btnCloseClick);

    chooseFile = [](QWidget* owner) {
        return QFileDialog::getOpenFileName(owner, QStringLiteral("Open text-file"), QString(),
                                            QStringLiteral("Text files (*.txt);;All files (*)"));
    };
    confirmPrint = [](QPrinter* printer, QWidget* owner) {
        QPrintDialog dialog(printer, owner);
        return dialog.exec() == QDialog::Accepted;
    };
    reportError = [this](const QString& error) {
        QMessageBox box(QMessageBox::Warning, windowTitle(), error, QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    };
    askToLose = [this](const QString& question) {
        QMessageBox box(QMessageBox::Question, windowTitle(), question,
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::No); // Enter or Escape keeps the text
        return box.exec() == QMessageBox::Yes;
    };

    // FormCreate: the design size, the chat font, an empty editor.
    resize(kDesignWidth, kDesignHeight);
    m_re->setFont(m_host.chatFont);
    m_re->clear();
    REChange();
    FormResize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

widgets::TGlyphButton* TMLineIkkuna::button(const char* name) const {
    return findChild<widgets::TGlyphButton*>(QString::fromLatin1(name));
}

QAction* TMLineIkkuna::action(const char* name) const {
    return findChild<QAction*>(QString::fromLatin1(name));
}

void TMLineIkkuna::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous() && m_host.translate)
        uisupport::ApplyLanguage(this, lang::CurrentLanguageFile().get());
}

bool TMLineIkkuna::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate)
        FormActivate();
    return QWidget::event(event);
}

void TMLineIkkuna::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FormResize();
}

void TMLineIkkuna::paintEvent(QPaintEvent*) {
    if (!m_host.paintBackground)
        return;
    QPainter painter(this);
    m_host.paintBackground(painter, *this);
}

void TMLineIkkuna::FormResize() {
    const MLineLayout layout = computeMLineLayout(size());
    m_re->setGeometry(layout.RE);
    m_btnCut->setGeometry(layout.btnCut);
    m_btnCopy->setGeometry(layout.btnCopy);
    m_btnPaste->setGeometry(layout.btnPaste);
    m_btnSelectAll->setGeometry(layout.btnSelectAll);
    m_btnPrint->setGeometry(layout.btnPrint);
    m_btnOpen->setGeometry(layout.btnOpen);
    m_btnSend->setGeometry(layout.btnSend);
    m_btnClose->setGeometry(layout.btnClose);
    update();
}

void TMLineIkkuna::FormActivate() {
    m_btnPaste->setEnabled(!QApplication::clipboard()->text().isEmpty());
}

void TMLineIkkuna::REChange() {
    const bool hasText = !m_re->document()->isEmpty();
    m_unsent = hasText;
    m_btnPrint->setEnabled(hasText);
    m_btnSelectAll->setEnabled(hasText);
    action("SelectAll1")->setEnabled(hasText);
    m_btnSend->setEnabled(hasText);
}

void TMLineIkkuna::RESelectionChange() {
    const bool selected = m_re->textCursor().hasSelection();
    m_btnCut->setEnabled(selected);
    m_btnCopy->setEnabled(m_btnCut->isEnabled());
}

void TMLineIkkuna::REPopupPopup() {
    action("Cut1")->setEnabled(m_btnCut->isEnabled());
    action("Copy1")->setEnabled(m_btnCopy->isEnabled());
    action("Paste1")->setEnabled(m_btnPaste->isEnabled());
    action("SelectAll1")->setEnabled(m_btnSelectAll->isEnabled());
}

void TMLineIkkuna::btnCutClick() {
    m_re->cut();
    m_btnPaste->setEnabled(true);
}

void TMLineIkkuna::btnCopyClick() {
    m_re->copy();
    m_btnPaste->setEnabled(true);
}

void TMLineIkkuna::btnPasteClick() {
    m_re->paste(); // plain text only: the editor is a plain-text one
}

void TMLineIkkuna::btnSelectAllClick() {
    m_re->selectAll();
}

QString TMLineIkkuna::printJobTitle() const {
    const QDate today = m_host.today ? m_host.today() : QDate::currentDate();
    return QStringLiteral("Kalvento by Fennrake (") +
           QLocale::system().toString(today, QLocale::ShortFormat) + u')';
}

void TMLineIkkuna::print(QPrinter* printer) {
    printer->setDocName(printJobTitle());
    m_re->print(printer);
}

void TMLineIkkuna::btnPrintClick() {
    QPrinter printer;
    if (confirmPrint(&printer, this))
        print(&printer);
}

bool TMLineIkkuna::loadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        reportError(tr("The file %1 could not be opened: %2").arg(path, file.errorString()));
        return false;
    }
    // A message is not a file of any size: a huge one would freeze the window for nothing.
    if (file.size() > kMaxFileSize) {
        reportError(tr("The file %1 is too large for a message (%2 KB; at most %3 KB).")
                        .arg(path)
                        .arg(QLocale().toString(file.size() / 1024))
                        .arg(kMaxFileSize / 1024));
        return false;
    }
    const QByteArray bytes = file.read(kMaxFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        reportError(tr("The file %1 could not be read: %2").arg(path, file.errorString()));
        return false;
    }
    if (bytes.contains('\0')) {
        reportError(tr("The file %1 is not a text file.").arg(path));
        return false;
    }
    m_re->setPlainText(platform::decodeUtf8OrAnsi(bytes));
    return true;
}

void TMLineIkkuna::btnOpenClick() {
    const QString path = chooseFile(this);
    if (!path.isEmpty())
        loadFile(path);
}

void TMLineIkkuna::btnSendClick() {
    // The window stays open with its text: the same message can be sent again.
    if (m_host.send && m_host.send(linesOfText(m_re->toPlainText())))
        m_unsent = false;
}

void TMLineIkkuna::btnCloseClick() {
    close();
}

void TMLineIkkuna::closeEvent(QCloseEvent* event) {
    // A long message is work: it is not lost to a stray Escape without a word.
    if (m_unsent && askToLose && !askToLose(lang::GetMessageText(lang::MessageId::M180))) {
        event->ignore();
        return;
    }
    event->accept();
}

} // namespace kalvento::dialogs
