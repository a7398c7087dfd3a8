#include "app/transfer_offer_dialog.h"

#include "app/chat_text.h"
#include "app/transfer_text.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"

#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kalvento::app {

using lang::MessageId;

namespace {

QString text(MessageId id) {
    return lang::GetMessageText(id);
}

QLabel* plainLabel(const QString& value, const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText); // the peer's words: never markup
    label->setText(value);
    return label;
}

} // namespace

TransferOfferDialog::TransferOfferDialog(const transfer::TransferInfo& info,
                                         const QString& computer, const QString& saveFolder,
                                         Answers answers, QWidget* parent)
    : QDialog(parent), m_info(info), m_answers(std::move(answers)),
      m_saveFolder(info.folder.isEmpty() ? saveFolder : info.folder) {
    setObjectName(QStringLiteral("TransferOfferDialog"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::NonModal);
    if (!m_answers.chooseFolder)
        m_answers.chooseFolder = [](QWidget* over, const QString& title,
                                    const QString& start) -> std::optional<QString> {
            const QString folder = QFileDialog::getExistingDirectory(over, title, start);
            if (folder.isEmpty())
                return std::nullopt;
            return folder;
        };
    const QString who = headingName(computer);
    setWindowTitle(lang::FormatMessage(text(MessageId::M139), {who}));
    m_offer = plainLabel(lang::FormatMessage(text(MessageId::M140), {who}), "Offer", this);
    m_name = plainLabel(isolateDirection(oneLine(info.name)), "OfferName", this);
    m_name->setWordWrap(true);
    m_files = plainLabel(QString::number(info.files), "OfferFiles", this);
    m_size = plainLabel(humanSize(info.totalBytes), "OfferSize", this);
    m_folder = plainLabel(QDir::toNativeSeparators(m_saveFolder), "OfferFolder", this);
    m_folder->setWordWrap(true);
    m_error = plainLabel(QString(), "OfferError", this);
    m_error->setWordWrap(true);
    QPalette warning = m_error->palette();
    warning.setColor(QPalette::WindowText, QColor(0xB0, 0x20, 0x20));
    m_error->setPalette(warning);
    m_error->hide();

    m_accept = new QPushButton(text(MessageId::M145), this);
    m_accept->setObjectName(QStringLiteral("btnAccept"));
    m_decline = new QPushButton(text(MessageId::M146), this);
    m_decline->setObjectName(QStringLiteral("btnDecline"));
    m_choose = new QPushButton(text(MessageId::M147), this);
    m_choose->setObjectName(QStringLiteral("btnChooseFolder"));
    for (QPushButton* b : {m_decline, m_choose})
        b->setAutoDefault(false);
    m_accept->setDefault(true);

    auto* form = new QFormLayout;
    form->addRow(text(MessageId::M141), m_name);
    form->addRow(text(MessageId::M142), m_files);
    form->addRow(text(MessageId::M143), m_size);
    form->addRow(text(MessageId::M144), m_folder);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_choose);
    buttons->addStretch();
    buttons->addWidget(m_accept);
    buttons->addWidget(m_decline);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_offer);
    layout->addLayout(form);
    layout->addWidget(m_error);
    layout->addLayout(buttons);

    connect(m_accept, &QPushButton::clicked, this, &TransferOfferDialog::btnAcceptClick);
    connect(m_decline, &QPushButton::clicked, this, &TransferOfferDialog::btnDeclineClick);
    connect(m_choose, &QPushButton::clicked, this, &TransferOfferDialog::btnChooseClick);
    m_accept->setFocus();
}

void TransferOfferDialog::btnAcceptClick() {
    acceptInto(QString());
}

void TransferOfferDialog::btnChooseClick() {
    const std::optional<QString> folder =
        m_answers.chooseFolder(this, text(MessageId::M173), m_saveFolder);
    if (!folder || folder->isEmpty())
        return;
    acceptInto(*folder);
}

void TransferOfferDialog::acceptInto(const QString& folder) {
    const QString error = m_answers.accept ? m_answers.accept(folder) : QString();
    if (!error.isEmpty()) {
        // No space, a folder that cannot be written: the user may choose another one.
        m_error->setText(error);
        m_error->show();
        return;
    }
    if (!folder.isEmpty())
        m_folder->setText(QDir::toNativeSeparators(folder));
    m_answered = true;
    accept();
}

void TransferOfferDialog::btnDeclineClick() {
    reject();
}

void TransferOfferDialog::reject() {
    if (!m_answered) {
        m_answered = true;
        if (m_answers.decline)
            m_answers.decline();
    }
    QDialog::reject();
}

void TransferOfferDialog::offerEnded() {
    m_answered = true;
    QDialog::reject();
}

} // namespace kalvento::app
