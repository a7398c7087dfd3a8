#include "app/waiting_lines_dialog.h"

#include "app/chat_text.h"
#include "app/delivery_state.h"
#include "lang/language_file.h"
#include "lang/message_table.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <utility>

namespace kalvento::app {
namespace {

QString text(lang::MessageId id) {
    return lang::GetMessageText(id);
}

} // namespace

WaitingLinesDialog::WaitingLinesDialog(const QList<messaging::WaitingLine>& lines,
                                       std::function<bool(const messaging::WaitingLine&)> cancel,
                                       const std::function<QString(const QString&)>& names,
                                       QWidget* parent)
    : QDialog(parent), m_lines(lines), m_cancelLine(std::move(cancel)) {
    setObjectName(QStringLiteral("WaitingLines"));
    setWindowTitle(text(lang::MessageId::M117));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(text(lang::MessageId::M124), this);
    intro->setTextFormat(Qt::PlainText);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("WaitingList"));
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setHeaderLabels(
        {text(lang::MessageId::M118), text(lang::MessageId::M119), text(lang::MessageId::M120)});
    const QLocale locale = QLocale::system();
    for (const messaging::WaitingLine& line : m_lines) {
        // Item texts are shown as plain text; names and text are isolated all the same, so
        // that one cannot reorder the columns' reading.
        auto* row =
            new QTreeWidgetItem({headingName(names ? names(line.computer) : line.computer),
                                 locale.toString(line.queuedAt.toLocalTime(), QLocale::ShortFormat),
                                 isolateDirection(textStart(line.text, 60))});
        m_list->addTopLevelItem(row);
    }
    m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(m_list);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("WaitingStatus"));
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);

    auto* buttons = new QDialogButtonBox(this);
    m_cancel = buttons->addButton(text(lang::MessageId::M121), QDialogButtonBox::ActionRole);
    m_cancel->setObjectName(QStringLiteral("CancelLine"));
    QPushButton* close =
        buttons->addButton(text(lang::MessageId::M122), QDialogButtonBox::RejectRole);
    close->setObjectName(QStringLiteral("CloseWaiting"));
    layout->addWidget(buttons);
    connect(m_cancel, &QPushButton::clicked, this, &WaitingLinesDialog::cancelSelected);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this,
            &WaitingLinesDialog::selectionChanged);
    if (m_list->topLevelItemCount() > 0)
        m_list->setCurrentItem(m_list->topLevelItem(0));
    selectionChanged();
    resize(560, 300);
}

void WaitingLinesDialog::selectionChanged() {
    m_cancel->setEnabled(m_list->currentItem() != nullptr && !m_list->selectedItems().isEmpty());
}

void WaitingLinesDialog::cancelSelected() {
    QTreeWidgetItem* current = m_list->currentItem();
    if (current == nullptr || m_list->selectedItems().isEmpty())
        return;
    const int row = m_list->indexOfTopLevelItem(current);
    if (row < 0 || row >= m_lines.size())
        return;
    const messaging::WaitingLine line = m_lines.takeAt(row);
    delete m_list->takeTopLevelItem(row);
    // Either way it waits no more; a line that left meanwhile is said to have gone.
    const bool cancelled = m_cancelLine && m_cancelLine(line);
    m_status->setText(cancelled ? QString() : text(lang::MessageId::M123));
    selectionChanged();
}

} // namespace kalvento::app
