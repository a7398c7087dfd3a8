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

#include <utility>

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
    m_who = headingName(computer);
    m_offer = plainLabel(QString(), "Offer", this);
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

    m_accept = new QPushButton(this);
    m_accept->setObjectName(QStringLiteral("btnAccept"));
    m_decline = new QPushButton(this);
    m_decline->setObjectName(QStringLiteral("btnDecline"));
    m_choose = new QPushButton(this);
    m_choose->setObjectName(QStringLiteral("btnChooseFolder"));
    for (QPushButton* b : {m_decline, m_choose})
        b->setAutoDefault(false);
    m_accept->setDefault(true);

    auto* form = new QFormLayout;
    m_form = form;
    for (QLabel* field : {m_name, m_files, m_size, m_folder})
        form->addRow(new QLabel(this), field);
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

    retranslate();

    connect(m_accept, &QPushButton::clicked, this, &TransferOfferDialog::btnAcceptClick);
    connect(m_decline, &QPushButton::clicked, this, &TransferOfferDialog::btnDeclineClick);
    connect(m_choose, &QPushButton::clicked, this, &TransferOfferDialog::btnChooseClick);
    m_accept->setFocus();
}

void TransferOfferDialog::retranslate() {
    setWindowTitle(lang::FormatMessage(text(MessageId::M139), {m_who}));
    m_offer->setText(lang::FormatMessage(text(MessageId::M140), {m_who}));
    const std::pair<QLabel*, MessageId> rows[] = {{m_name, MessageId::M141},
                                                  {m_files, MessageId::M142},
                                                  {m_size, MessageId::M143},
                                                  {m_folder, MessageId::M144}};
    for (const auto& [field, caption] : rows)
        if (auto* label = qobject_cast<QLabel*>(m_form->labelForField(field)))
            label->setText(text(caption));
    m_accept->setText(text(MessageId::M145));
    m_decline->setText(text(MessageId::M146));
    m_choose->setText(text(MessageId::M147));
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
