#pragma once
// KALVENTO_TRACE: one line on stderr for each change of the list and each chat line shown,
// so that a test driving real windows can tell what they display.

class QObject;

namespace kalvento::messaging {
class ChatNode;
}
namespace kalvento::widgets {
class TTitlebtn;
}

namespace kalvento::app {

// Traces the platform and the title button at once, then what node reports for as long as
// context lives. Installed after the window's own handler, a line is traced once shown.
void installWindowTrace(messaging::ChatNode& node, const widgets::TTitlebtn* titleButton,
                        QObject& context);

} // namespace kalvento::app
