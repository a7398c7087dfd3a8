#pragma once
// What the pages of the options window share: each shows its part of the settings
// (fill) and gives it back (takeBack), and builds its controls with the same few helpers
// so that every control carries the name the language files translate it by.

#include "dialogs/options_window.h"
#include "settings/settings_store.h"

#include <QCheckBox>
#include <QLabel>
#include <QSpinBox>
#include <QToolButton>
#include <QWidget>

class QLineEdit;

namespace kalvento::dialogs {

class OptionsPage : public QWidget {
public:
    using QWidget::QWidget;
    // Shows the settings in the page's controls, then runs its enabling rules once.
    virtual void fill(const settings::Settings& settings) = 0;
    // Replaces in settings every value the page edits by its controls' values.
    virtual void takeBack(settings::Settings& settings) const = 0;
};

namespace options {

// The pictures of the lists (languages, colours).
inline constexpr int PictureSize = 16;

template <typename W> W* named(W* widget, const char* name, const QString& hint = QString()) {
    widget->setObjectName(QString::fromLatin1(name));
    if (!hint.isEmpty())
        widget->setToolTip(hint);
    return widget;
}

QLabel* plainLabel(const QString& text, const char* name, QWidget* parent);
QCheckBox* checkBox(const QString& caption, const char* name, QWidget* parent,
                    const QString& hint = QString());
QSpinBox* numberEdit(const char* name, int minimum, int maximum, QWidget* parent);
QToolButton* smallButton(const char* name, const QString& hint, QWidget* parent);

// Asks for a folder and puts it, with a trailing "/", into edit; cancelling changes nothing.
void browseFolder(const TOptionsIkkuna::Pickers& pickers, QWidget* parent, QLineEdit* edit);

} // namespace options
} // namespace kalvento::dialogs
