#include "app/send_to_dialog.h"

#include "app/chat_text.h"
#include "app/transfer_text.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

namespace kalvento::app {

using lang::MessageId;

namespace {

QString text(MessageId id) {
    return lang::GetMessageText(id);
}

// A path's last name, as a file manager shows it; the whole path when it has none ("/").
QString shownPath(const QString& path) {
    QString name = QFileInfo(path).fileName();
    if (name.isEmpty())
        name = QFileInfo(path).absoluteDir().dirName();
    return isolateDirection(oneLine(name.isEmpty() ? path : name));
}

} // namespace

SendToDialog::SendToDialog(QStringList paths, Computers computers, Send send, QWidget* parent)
    : QDialog(parent), m_paths(std::move(paths)), m_computers(std::move(computers)),
      m_sendTo(std::move(send)) {
    setObjectName(QStringLiteral("SendToDialog"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::NonModal);

    m_files = new QLabel(this);
    m_files->setObjectName(QStringLiteral("SendWhat"));
    m_files->setTextFormat(Qt::PlainText); // file names are no markup either
    m_files->setWordWrap(true);
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("SendToComputers"));
    m_nobody = new QLabel(this);
    m_nobody->setObjectName(QStringLiteral("SendToNobody"));
    m_nobody->setWordWrap(true);
    m_send = new QPushButton(this);
    m_send->setObjectName(QStringLiteral("btnSendTo"));
    m_send->setDefault(true);
    m_cancel = new QPushButton(this);
    m_cancel->setObjectName(QStringLiteral("btnCancelSend"));
    m_cancel->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_send);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_files);
    layout->addWidget(m_list);
    layout->addWidget(m_nobody);
    layout->addLayout(buttons);

    connect(m_list, &QListWidget::itemChanged, this, &SendToDialog::updateButtons);
    connect(m_send, &QPushButton::clicked, this, &SendToDialog::btnSendClick);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    retranslate();
    refresh();
    m_list->setFocus();
}

void SendToDialog::refresh() {
    const QStringList ticked = tickedComputers();
    const QString current =
        m_list->currentItem() ? m_list->currentItem()->data(Qt::UserRole).toString() : QString();
    const QSignalBlocker quiet(m_list);
    m_list->clear();
    for (const Computer& computer : m_computers ? m_computers() : QList<Computer>()) {
        auto* item = new QListWidgetItem(isolateDirection(oneLine(computer.shown)), m_list);
        item->setData(Qt::UserRole, computer.computer);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(ticked.contains(computer.computer) ? Qt::Checked : Qt::Unchecked);
        if (computer.computer == current)
            m_list->setCurrentItem(item);
    }
    // The keyboard ticks at once: Space on the entry that has it.
    if (m_list->currentItem() == nullptr && m_list->count() > 0)
        m_list->setCurrentRow(0);
    updateButtons();
}

void SendToDialog::retranslate() {
    setWindowTitle(text(MessageId::M171));
    QString what = shownPath(m_paths.value(0));
    if (m_paths.size() > 1)
        what =
            lang::FormatMessage(text(MessageId::M176), {what, QString::number(m_paths.size() - 1)});
    m_files->setText(lang::FormatMessage(text(MessageId::M175), {what}));
    m_nobody->setText(text(MessageId::M177));
    m_send->setText(text(MessageId::M178));
    m_cancel->setText(text(MessageId::M165));
}

QStringList SendToDialog::tickedComputers() const {
    QStringList computers;
    for (int i = 0; i < m_list->count(); ++i)
        if (m_list->item(i)->checkState() == Qt::Checked)
            computers.append(m_list->item(i)->data(Qt::UserRole).toString());
    return computers;
}

void SendToDialog::btnSendClick() {
    const QStringList computers = tickedComputers();
    if (computers.isEmpty())
        return;
    if (m_sendTo)
        m_sendTo(m_paths, computers);
    accept();
}

void SendToDialog::updateButtons() {
    m_send->setEnabled(!tickedComputers().isEmpty());
    m_nobody->setVisible(m_list->count() == 0);
}

} // namespace kalvento::app
