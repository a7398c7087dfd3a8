#include "app/main_toolbar.h"

#include "app/main_layout.h"
#include "widgets/artwork.h"
#include "widgets/glyph_button.h"
#include "widgets/toolbar.h"

#include <algorithm>

namespace kalvento::app {

namespace {

// The buttons: name, hint and the picture at rest.
constexpr std::array<widgets::ToolbarButton, MainToolbar::Count> kButtons = {{
    {"btnSend", "Send message (ENTER)", widgets::kuvatSend},
    {"btnBigMessage", "Allows you to send big, multilined messages", widgets::kuvatBigMessage},
    {"btnComment", "Add as a comment", widgets::kuvatComment},
    {"btnPrint", "Print content of the chat", widgets::kuvatPrint},
    {"btnUpdate", "Check for Kalvento updates", widgets::kuvatUpdate},
    {"btnOptions", "Modify options", widgets::kuvatOptions},
    {"btnInfo", "About Kalvento...", widgets::kuvatInfo},
    {"btnHelp", "Help on Kalvento (F1)", widgets::kuvatHelp},
    {"btnClose", "Close Kalvento (ESC)", widgets::kuvatClose},
    {"btnSendFiles", "Send files to the ticked computers (or drop them on the window)",
     widgets::kuvatOpen},
}};

} // namespace

MainToolbar::MainToolbar(QWidget& window) : QObject(&window), m_kuvat(widgets::makeKuvat()) {
    const QList<widgets::TGlyphButton*> made = widgets::makeToolbar(&window, kButtons, m_kuvat);
    std::copy(made.begin(), made.end(), m_buttons.begin());
}

void MainToolbar::layOut(const MainLayout& layout) {
    const auto rects = layout.buttons();
    for (size_t i = 0; i < m_buttons.size(); ++i)
        m_buttons[i]->setGeometry(rects[i]);
}

void MainToolbar::messageChanged(const QString& text) {
    m_buttons[Send]->setEnabled(!text.trimmed().isEmpty());
    m_buttons[Comment]->setEnabled(!text.isEmpty());
}

void MainToolbar::chatHasText(bool hasText) {
    m_buttons[Print]->setEnabled(hasText);
}

} // namespace kalvento::app
