#include "dialogs/options_page.h"

#include "lang/language_file.h"
#include "lang/message_table.h"
#include "platform/paths.h"

#include <QLineEdit>

using namespace Qt::StringLiterals;

namespace kalvento::dialogs::options {

QLabel* plainLabel(const QString& text, const char* name, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    return label;
}

QCheckBox* checkBox(const QString& caption, const char* name, QWidget* parent,
                    const QString& hint) {
    return named(new QCheckBox(caption, parent), name, hint);
}

QSpinBox* numberEdit(const char* name, int minimum, int maximum, QWidget* parent) {
    auto* box = named(new QSpinBox(parent), name);
    box->setRange(minimum, maximum);
    return box;
}

QToolButton* smallButton(const char* name, const QString& hint, QWidget* parent) {
    auto* button = named(new QToolButton(parent), name, hint);
    button->setText(u"..."_s);
    return button;
}

void browseFolder(const TOptionsIkkuna::Pickers& pickers, QWidget* parent, QLineEdit* edit) {
    const std::optional<QString> folder =
        pickers.folder(parent, lang::GetMessageText(lang::MessageId::M001));
    if (folder)
        edit->setText(platform::withTrailingSlash(*folder));
}

} // namespace kalvento::dialogs::options
