#include "app/chat_find_bar.h"

#include "lang/language_file.h"
#include "lang/message_table.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QToolButton>

namespace kalvento::app {

ChatFindBar::ChatFindBar(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("FindBar"));
    setAutoFillBackground(true);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 2, 2, 2);
    row->setSpacing(2);

    auto* label = new QLabel(QStringLiteral("Find:"), this);
    label->setObjectName(QStringLiteral("FindLabel"));
    label->setTextFormat(Qt::PlainText);
    m_field = new QLineEdit(this);
    m_field->setObjectName(QStringLiteral("FindText"));
    label->setBuddy(m_field);
    m_field->setToolTip(QStringLiteral("Find in the chat and its history (Ctrl+F)"));
    m_field->setClearButtonEnabled(true);
    m_field->installEventFilter(this);

    m_older = new QToolButton(this);
    m_older->setObjectName(QStringLiteral("FindOlder"));
    m_older->setArrowType(Qt::UpArrow);
    m_older->setToolTip(QStringLiteral("Older match (Enter, F3)"));
    m_newer = new QToolButton(this);
    m_newer->setObjectName(QStringLiteral("FindNewer"));
    m_newer->setArrowType(Qt::DownArrow);
    m_newer->setToolTip(QStringLiteral("Newer match (Shift+Enter, Shift+F3)"));

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("FindStatus"));
    m_status->setTextFormat(Qt::PlainText);

    m_close = new QToolButton(this);
    m_close->setObjectName(QStringLiteral("FindClose"));
    m_close->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
    m_close->setAutoRaise(true);
    m_close->setToolTip(QStringLiteral("Close (Esc)"));

    row->addWidget(label);
    row->addWidget(m_field, 3);
    row->addWidget(m_older);
    row->addWidget(m_newer);
    row->addWidget(m_status, 2);
    row->addWidget(m_close);

    connect(m_field, &QLineEdit::textChanged, this, &ChatFindBar::textChanged);
    connect(m_older, &QToolButton::clicked, this, &ChatFindBar::olderRequested);
    connect(m_newer, &QToolButton::clicked, this, &ChatFindBar::newerRequested);
    connect(m_close, &QToolButton::clicked, this, &ChatFindBar::closeRequested);
    hide();
}

QString ChatFindBar::text() const {
    return m_field->text();
}

void ChatFindBar::open() {
    show();
    raise();
    m_field->setFocus(Qt::ShortcutFocusReason);
    m_field->selectAll();
}

void ChatFindBar::setStatus(Status status, const QString& detail) {
    m_state = status;
    QString text;
    switch (status) {
    case Status::None:
        break;
    case Status::Searching:
        text = lang::GetMessageText(lang::MessageId::M053);
        break;
    case Status::NoMatch:
        text = lang::GetMessageText(lang::MessageId::M050);
        break;
    case Status::NoOlder:
        text = lang::GetMessageText(lang::MessageId::M051);
        break;
    case Status::NoNewer:
        text = lang::GetMessageText(lang::MessageId::M052);
        break;
    case Status::Failed:
        text = detail;
        break;
    }
    m_status->setText(text);
    m_status->setToolTip(text);
}

bool ChatFindBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_field)
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::ShortcutOverride) {
        // Esc belongs to the bar while the field has the focus, not to the window's own
        // Esc (which closes the window).
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
            event->accept();
            return true;
        }
    } else if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool shift = key->modifiers() & Qt::ShiftModifier;
        switch (key->key()) {
        case Qt::Key_Escape:
            emit closeRequested();
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (shift)
                emit newerRequested();
            else
                emit olderRequested();
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kalvento::app
