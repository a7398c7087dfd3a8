#include "platform/idle_monitor.h"

#include <dlfcn.h>

namespace kalvento::platform {

IdleMonitor::IdleMonitor(IdleSource& source, std::chrono::milliseconds awayPoll, QObject* parent)
    : QObject(parent), m_source(source), m_awayPoll(awayPoll) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, &m_source, &IdleSource::askIdleTime);
    connect(&m_source, &IdleSource::idleTimeKnown, this, &IdleMonitor::idleTimeKnown);
    connect(&m_source, &IdleSource::lockedChanged, this, &IdleMonitor::lockedChanged);
}

bool IdleMonitor::away() const {
    return m_limit.count() > 0 && (m_idleAway || m_locked);
}

void IdleMonitor::setLimit(std::chrono::milliseconds limit) {
    const bool wasAway = away();
    m_limit = std::max(limit, std::chrono::milliseconds{0});
    m_idleAway = false;
    if (m_limit.count() > 0)
        askIn(std::chrono::milliseconds{0});
    else
        m_timer.stop();
    tellIfChanged(wasAway);
}

void IdleMonitor::userActive() {
    if (!m_idleAway)
        return;
    const bool wasAway = away();
    m_idleAway = false;
    askIn(m_limit);
    tellIfChanged(wasAway);
}

void IdleMonitor::idleTimeKnown(qint64 milliseconds) {
    if (m_limit.count() <= 0)
        return;
    if (milliseconds < 0) {
        // The desktop cannot tell now; it may later (a service that starts late).
        askIn(m_limit);
        return;
    }
    const bool wasAway = away();
    const std::chrono::milliseconds idle{milliseconds};
    if (!m_idleAway && idle >= m_limit)
        m_idleAway = true;
    else if (m_idleAway && idle < m_limit)
        m_idleAway = false;
    // Away: a return shows only by asking again. Here: the limit cannot be reached before
    // the rest of it has passed.
    askIn(m_idleAway ? m_awayPoll : m_limit - idle);
    tellIfChanged(wasAway);
}

void IdleMonitor::lockedChanged(bool locked) {
    const bool wasAway = away();
    m_locked = locked;
    if (!locked) {
        // Unlocking is using the computer: the idle time starts again.
        m_idleAway = false;
        if (m_limit.count() > 0)
            askIn(m_limit);
    }
    tellIfChanged(wasAway);
}

void IdleMonitor::askIn(std::chrono::milliseconds wait) {
    m_timer.start(std::max(wait, std::chrono::milliseconds{0}));
}

void IdleMonitor::tellIfChanged(bool wasAway) {
    if (away() != wasAway)
        emit awayChanged(away());
}

// ---- The X screen saver extension

namespace {

// The library's XScreenSaverInfo, as its header lays it out.
struct ScreenSaverInfo {
    unsigned long window;
    int state;
    int kind;
    unsigned long tilOrSince;
    unsigned long idle;
    unsigned long eventMask;
};

void* libX11() {
    static void* const library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    return library;
}

// Loaded once and never unloaded: the extension leaves hooks in every display it has
// seen, which closing the display later runs.
void* libXss() {
    static void* const library = dlopen("libXss.so.1", RTLD_NOW | RTLD_LOCAL);
    return library;
}

template <class F> F symbol(void* library, const char* name) {
    return library ? reinterpret_cast<F>(dlsym(library, name)) : nullptr;
}

} // namespace

struct X11ScreenSaverIdle::Functions {
    int (*queryExtension)(void*, int*, int*) = nullptr;
    ScreenSaverInfo* (*allocInfo)() = nullptr;
    int (*queryInfo)(void*, unsigned long, ScreenSaverInfo*) = nullptr;
    unsigned long (*defaultRootWindow)(void*) = nullptr;
    int (*free)(void*) = nullptr;
};

X11ScreenSaverIdle::X11ScreenSaverIdle(void* display)
    : m_display(display), m_functions(std::make_unique<Functions>()) {
    if (!display) {
        m_error = QStringLiteral("no X display");
        return;
    }
    m_library = libXss();
    if (!m_library) {
        m_error = QStringLiteral("libXss.so.1 cannot be loaded");
        return;
    }
    Functions& f = *m_functions;
    f.queryExtension = symbol<decltype(f.queryExtension)>(m_library, "XScreenSaverQueryExtension");
    f.allocInfo = symbol<decltype(f.allocInfo)>(m_library, "XScreenSaverAllocInfo");
    f.queryInfo = symbol<decltype(f.queryInfo)>(m_library, "XScreenSaverQueryInfo");
    f.defaultRootWindow = symbol<decltype(f.defaultRootWindow)>(libX11(), "XDefaultRootWindow");
    f.free = symbol<decltype(f.free)>(libX11(), "XFree");
    if (!f.queryExtension || !f.allocInfo || !f.queryInfo || !f.defaultRootWindow || !f.free) {
        m_error = QStringLiteral("the X screen saver functions are missing");
        return;
    }
    int eventBase = 0;
    int errorBase = 0;
    if (!f.queryExtension(display, &eventBase, &errorBase)) {
        m_error = QStringLiteral("the X server has no screen saver extension");
        return;
    }
    m_root = f.defaultRootWindow(display);
    m_info = f.allocInfo();
    if (!m_info)
        m_error = QStringLiteral("out of memory");
}

X11ScreenSaverIdle::~X11ScreenSaverIdle() {
    if (m_info)
        m_functions->free(m_info);
}

std::optional<qint64> X11ScreenSaverIdle::idleTime() const {
    if (!m_info)
        return std::nullopt;
    auto* info = static_cast<ScreenSaverInfo*>(m_info);
    if (!m_functions->queryInfo(m_display, m_root, info))
        return std::nullopt;
    return qint64(info->idle);
}

void* X11ScreenSaverIdle::openDisplay(const QByteArray& name) {
    const auto open = symbol<void* (*)(const char*)>(libX11(), "XOpenDisplay");
    return open ? open(name.constData()) : nullptr;
}

void X11ScreenSaverIdle::closeDisplay(void* display) {
    if (const auto close = symbol<int (*)(void*)>(libX11(), "XCloseDisplay"); close && display)
        close(display);
}

} // namespace kalvento::platform
