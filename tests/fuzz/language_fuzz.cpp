// A language file as any bytes, applied to a window with every kind of control the program
// translates: nothing it holds may break the window, and message texts are read from it.

#include "fuzz_support.h"

#include "lang/language_file.h"
#include "uisupport/apply_language.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

using namespace kalvento;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const lang::LanguageFile file = lang::LanguageFile::fromBytes(fuzz::bytes(data, size));
    QWidget window;
    window.setObjectName(QStringLiteral("MainForm"));
    auto* layout = new QVBoxLayout(&window);
    const auto named = [](QWidget* widget, const char* name) {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    };
    layout->addWidget(named(new QLabel, "Label1"));
    layout->addWidget(named(new QPushButton, "btnSend"));
    layout->addWidget(named(new QCheckBox, "cbPrivate"));
    layout->addWidget(named(new QRadioButton, "rbOne"));
    layout->addWidget(named(new QLineEdit, "Message"));
    auto* combo = new QComboBox;
    combo->addItems({QStringLiteral("a"), QStringLiteral("b")});
    layout->addWidget(named(combo, "cbStyle"));
    layout->addWidget(named(new QGroupBox, "GroupBox1"));
    auto* menu = new QMenu(&window);
    menu->setObjectName(QStringLiteral("Popup"));
    menu->addAction(QStringLiteral("x"))->setObjectName(QStringLiteral("Close1"));
    uisupport::ApplyLanguage(&window, &file);
    for (const QString& section : file.document().sections()) {
        for (const auto& entry : file.document().entries(section))
            (void)lang::messageText(&file, QStringLiteral("default"), entry.key);
    }
    (void)lang::splitQuotedCommaText(file.readString(u"Misc", u"Languages", QString()));
    return 0;
}
