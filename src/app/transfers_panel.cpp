#include "app/transfers_panel.h"

#include "app/chat_text.h"
#include "app/transfer_text.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "uisupport/apply_language.h"
#include "widgets/elided_label.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace kalvento::app {

using lang::MessageId;
using transfer::TransferState;

namespace {

constexpr int kPermille = 1000;
constexpr int kShownRows = 3;

QString text(MessageId id) {
    return lang::GetMessageText(id);
}

// Progress as a share of a thousand: a bar's int range holds no byte counts of big files.
int permille(quint64 done, quint64 total) {
    if (total == 0)
        return 0;
    return int(std::min<quint64>(kPermille, quint64(double(done) / double(total) * kPermille)));
}

QByteArray idKey(const transfer::TransferId& id) {
    return QByteArray(reinterpret_cast<const char*>(id.data()), qsizetype(id.size()));
}

QProgressBar* bar(QWidget* parent) {
    auto* progress = new QProgressBar(parent);
    progress->setRange(0, kPermille);
    progress->setTextVisible(true);
    progress->setFormat(QStringLiteral("%p%"));
    progress->setMaximumHeight(16);
    return progress;
}

} // namespace

TransfersPanel::TransfersPanel(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("TransfersPanel"));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    auto* title = new QLabel(text(MessageId::M148), this);
    m_title = title;
    title->setObjectName(QStringLiteral("TransfersTitle"));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    m_hide = new QToolButton(this);
    m_hide->setObjectName(QStringLiteral("TransfersHide"));
    m_hide->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
    m_hide->setAutoRaise(true);
    m_hide->setToolTip(text(MessageId::M149));
    connect(m_hide, &QToolButton::clicked, this, [this] {
        hide();
        emit layoutChanged();
    });

    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff); // the rows fit its width
    m_listWidget = new QWidget(scroll);
    m_list = new QVBoxLayout(m_listWidget);
    m_list->setContentsMargins(0, 0, 0, 0);
    m_list->addStretch();
    scroll->setWidget(m_listWidget);

    auto* heading = new QHBoxLayout;
    heading->addWidget(title);
    heading->addStretch();
    heading->addWidget(m_hide);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 4);
    layout->setSpacing(2);
    layout->addLayout(heading);
    layout->addWidget(scroll, 1);
    hide();
}

// The rows' widgets are the panel's children; the records that point at them are its own.
TransfersPanel::~TransfersPanel() {
    qDeleteAll(m_rows);
}

const TransfersPanel::Row* TransfersPanel::row(const transfer::TransferId& id) const {
    return m_rows.value(idKey(id), nullptr);
}

void TransfersPanel::retranslate() {
    m_title->setText(text(MessageId::M148));
    m_hide->setToolTip(text(MessageId::M149));
    for (Row* row : std::as_const(m_rows)) {
        row->cancel->setText(text(MessageId::M165));
        row->open->setText(text(MessageId::M166));
        row->showInFolder->setText(text(MessageId::M167));
        row->clear->setText(text(MessageId::M168));
        fillRow(*row, row->computerShown); // the labels and the pause button
    }
}

int TransfersPanel::wantedHeight() const {
    // The newest rows stand first; those shown without scrolling decide.
    int height = 0;
    for (int i = 0, shown = 0; i < m_list->count() && shown < kShownRows; ++i) {
        const QWidget* w = m_list->itemAt(i)->widget();
        if (w == nullptr || w->isHidden())
            continue;
        height += w->sizeHint().height() + m_list->spacing();
        ++shown;
    }
    return m_hide->sizeHint().height() + height + 12;
}

void TransfersPanel::showTransfer(const transfer::TransferInfo& info, const QString& computer) {
    const QByteArray key = idKey(info.id);
    Row* row = m_rows.value(key, nullptr);
    const bool added = row == nullptr;
    if (added) {
        row = makeRow(info);
        m_rows.insert(key, row);
    }
    row->info = info;
    row->computerShown = computer;
    fillRow(*row, computer);
    // A line shown or hidden (the file in progress, the rate) changes the row's height.
    const int height = row->widget->sizeHint().height();
    const bool resized = height != row->height;
    row->height = height;
    if (added)
        show();
    if (added || resized)
        emit layoutChanged();
}

void TransfersPanel::removeTransfer(const transfer::TransferId& id) {
    Row* row = m_rows.take(idKey(id));
    if (row == nullptr)
        return;
    row->widget->deleteLater();
    row->widget->hide();
    delete row;
    emit layoutChanged();
}

TransfersPanel::Row* TransfersPanel::makeRow(const transfer::TransferInfo& info) {
    auto* row = new Row;
    row->info = info;
    auto* w = new QFrame(m_listWidget);
    w->setObjectName(QStringLiteral("TransferRow"));
    row->widget = w;
    // Names are the peer's: every label is plain text, never markup, and cut with "..." so
    // that a row fits the chat's width however long its names and reasons.
    row->name = new widgets::ElidedLabel(w);
    QFont bold = row->name->font();
    bold.setBold(true);
    row->name->setFont(bold);
    row->computer = new widgets::ElidedLabel(w);
    row->total = bar(w);
    row->currentFile = new widgets::ElidedLabel(w, Qt::ElideMiddle);
    row->current = bar(w);
    row->rate = new widgets::ElidedLabel(w);
    row->timeLeft = new widgets::ElidedLabel(w);
    row->state = new widgets::ElidedLabel(w);
    const auto button = [w](MessageId caption) {
        auto* b = new QPushButton(text(caption), w);
        b->setAutoDefault(false);
        return b;
    };
    row->pause = button(MessageId::M163);
    row->cancel = button(MessageId::M165);
    row->open = button(MessageId::M166);
    row->showInFolder = button(MessageId::M167);
    row->clear = button(MessageId::M168);

    const QByteArray key = idKey(info.id);
    // The buttons act on what the row shows when clicked, looked up by the transfer's id:
    // the row may be gone by then.
    const auto on = [this, key](QPushButton* b, auto choose) {
        connect(b, &QPushButton::clicked, this, [this, key, choose] {
            if (const Row* r = m_rows.value(key, nullptr))
                emit actionRequested(choose(*r), r->info);
        });
    };
    on(row->pause, [](const Row& r) {
        return r.info.state == TransferState::Paused ? Action::Resume : Action::Pause;
    });
    on(row->cancel, [](const Row&) { return Action::Cancel; });
    on(row->open, [](const Row&) { return Action::Open; });
    on(row->showInFolder, [](const Row&) { return Action::ShowInFolder; });
    on(row->clear, [](const Row&) { return Action::Clear; });

    auto* grid = new QGridLayout(w);
    grid->setContentsMargins(0, 2, 0, 2);
    grid->setVerticalSpacing(1);
    // What and with whom; the whole; the file in hand; rate and time left; the state and the
    // buttons. Room to spare goes to the name and the file in hand.
    grid->addWidget(row->name, 0, 0);
    grid->addWidget(row->computer, 0, 1);
    grid->addWidget(row->total, 1, 0, 1, 2);
    grid->addWidget(row->currentFile, 2, 0);
    grid->addWidget(row->current, 2, 1);
    grid->addWidget(row->rate, 3, 0);
    grid->addWidget(row->timeLeft, 3, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(row->state, 1);
    for (QPushButton* b : {row->pause, row->cancel, row->open, row->showInFolder, row->clear})
        buttons->addWidget(b);
    grid->addLayout(buttons, 4, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    // The newest first.
    m_list->insertWidget(0, w);
    return row;
}

void TransfersPanel::fillRow(Row& row, const QString& computer) {
    const transfer::TransferInfo& info = row.info;
    const auto set = [](QLabel* label, const QString& value) {
        if (label->text() != value) // a few times a second: only what changed is redrawn
            label->setText(value);
    };
    const auto setBar = [](QProgressBar* progress, int value) {
        if (progress->value() != value)
            progress->setValue(value);
    };
    const QString shownName = isolateDirection(oneLine(info.name));
    const QString after = countAndSize(info);
    if (row.name->text() != shownName + after)
        row.name->setText(shownName + after, after.size());
    set(row.computer, lang::FormatMessage(text(info.outgoing ? MessageId::M150 : MessageId::M151),
                                          {isolateDirection(oneLine(computer))}));
    // Only the side that paused can resume: the other is told who that was.
    QString state =
        info.state == TransferState::Paused && info.pausedByOther
            ? lang::FormatMessage(text(MessageId::M179), {isolateDirection(oneLine(computer))})
            : stateText(info.state);
    if (const QString why = endReason(info); !why.isEmpty() && transfer::isFinished(info.state))
        state += QStringLiteral(": ") + why;
    set(row.state, state);
    row.state->setToolTip(uisupport::plainToolTip(state)); // a reason may be the peer's
    setBar(row.total, info.state == TransferState::Done
                          ? kPermille
                          : permille(info.doneBytes, info.totalBytes));

    const bool finished = transfer::isFinished(info.state);
    const bool running = info.state == TransferState::Running;
    const bool current = !finished && !info.currentFile.isEmpty();
    set(row.currentFile, current ? isolateDirection(oneLine(info.currentFile)) : QString());
    setBar(row.current, current ? permille(info.currentFileBytes, info.currentFileSize) : 0);
    row.current->setVisible(current);
    row.currentFile->setVisible(current);
    set(row.rate,
        running && info.bytesPerSecond >= 1.0
            ? lang::FormatMessage(text(MessageId::M169), {humanSize(quint64(info.bytesPerSecond))})
            : QString());
    const qint64 left = info.secondsLeft();
    set(row.timeLeft,
        left >= 0 ? lang::FormatMessage(text(MessageId::M170), {durationText(left)}) : QString());
    const bool timing = !row.rate->text().isEmpty() || !row.timeLeft->text().isEmpty();
    row.rate->setVisible(timing);
    row.timeLeft->setVisible(timing);

    const bool paused = info.state == TransferState::Paused;
    const bool pausable = (paused && !info.pausedByOther) ||
                          info.state == TransferState::Connecting || running ||
                          info.state == TransferState::Waiting;
    row.pause->setText(text(paused ? MessageId::M164 : MessageId::M163));
    row.pause->setVisible(!finished);
    row.pause->setEnabled(pausable);
    row.cancel->setVisible(!finished);
    const bool done = info.state == TransferState::Done;
    row.open->setVisible(done);
    row.showInFolder->setVisible(done);
    row.open->setEnabled(done && !info.firstPath.isEmpty());
    row.showInFolder->setEnabled(done && !info.firstPath.isEmpty());
    row.clear->setVisible(finished);
}

} // namespace kalvento::app
