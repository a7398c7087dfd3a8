#pragma once

#include <QtGlobal>

namespace kalvento::messaging {

// A non-zero number that stands for an open mailslot or mailslot file, as a system handle
// would; 0 means none is open.
inline quint32 nextMailslotHandle() {
    static quint32 last = 0;
    if (++last == 0)
        ++last;
    return last;
}

} // namespace kalvento::messaging
