#include "desktop/wayland_activation.h"

#include <QGuiApplication>
#include <QWindow>

#ifdef KALVENTO_WAYLAND_ACTIVATION
#include <qpa/qplatformnativeinterface.h>

#include "xdg-activation-v1-client-protocol.h"

#include <wayland-client.h>

#include <cstring>
#endif

namespace kalvento::desktop {

#ifdef KALVENTO_WAYLAND_ACTIVATION
namespace {

// Our own objects on Qt's connection, on a queue of our own so that Qt's dispatching never
// sees their events and ours never runs Qt's.
struct Session {
    wl_event_queue* queue = nullptr;
    wl_display* wrapper = nullptr;
    wl_registry* registry = nullptr;
    xdg_activation_v1* activation = nullptr;
    xdg_activation_token_v1* token = nullptr;
    QByteArray tokenText; // empty until the compositor answers

    ~Session() {
        if (token)
            xdg_activation_token_v1_destroy(token);
        if (activation)
            xdg_activation_v1_destroy(activation);
        if (registry)
            wl_registry_destroy(registry);
        if (wrapper)
            wl_proxy_wrapper_destroy(wrapper);
        if (queue)
            wl_event_queue_destroy(queue);
    }
};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    auto* session = static_cast<Session*>(data);
    if (!session->activation && std::strcmp(interface, xdg_activation_v1_interface.name) == 0)
        session->activation = static_cast<xdg_activation_v1*>(
            wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

void onTokenDone(void* data, xdg_activation_token_v1*, const char* token) {
    auto* session = static_cast<Session*>(data);
    session->tokenText = token;
}

const xdg_activation_token_v1_listener kTokenListener = {onTokenDone};

} // namespace
#endif

bool onWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

QString waylandActivationName(WaylandActivation result) {
    switch (result) {
    case WaylandActivation::Unsupported:
        return QStringLiteral("unsupported");
    case WaylandActivation::Failed:
        return QStringLiteral("failed");
    case WaylandActivation::Requested:
        break;
    }
    return QStringLiteral("requested");
}

WaylandActivation requestWaylandActivation(QWindow* window, const QByteArray& token) {
    if (!onWayland())
        return WaylandActivation::Unsupported;
#ifdef KALVENTO_WAYLAND_ACTIVATION
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    if (!native || !window || !window->handle())
        return WaylandActivation::Unsupported;
    auto* display = static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display"));
    auto* surface = static_cast<wl_surface*>(native->nativeResourceForWindow("surface", window));
    if (!display || !surface)
        return WaylandActivation::Unsupported;

    Session session;
    session.queue = wl_display_create_queue(display);
    session.wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(display));
    if (!session.queue || !session.wrapper)
        return WaylandActivation::Unsupported;
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(session.wrapper), session.queue);
    session.registry = wl_display_get_registry(session.wrapper);
    wl_registry_add_listener(session.registry, &kRegistryListener, &session);
    if (wl_display_roundtrip_queue(display, session.queue) < 0 || !session.activation)
        return WaylandActivation::Unsupported;
    if (!token.isEmpty()) {
        xdg_activation_v1_activate(session.activation, token.constData(), surface);
        wl_display_flush(display);
        return WaylandActivation::Requested;
    }

    session.token = xdg_activation_v1_get_activation_token(session.activation);
    xdg_activation_token_v1_add_listener(session.token, &kTokenListener, &session);
    QByteArray appId = QGuiApplication::desktopFileName().toUtf8();
    if (appId.isEmpty())
        appId = "kalvento";
    xdg_activation_token_v1_set_app_id(session.token, appId.constData());
    xdg_activation_token_v1_set_surface(session.token, surface);
    xdg_activation_token_v1_commit(session.token);
    // The token comes in one round trip; a second one is for a slow compositor.
    for (int round = 0; round < 2 && session.tokenText.isEmpty(); ++round) {
        if (wl_display_roundtrip_queue(display, session.queue) < 0)
            break;
    }
    if (session.tokenText.isEmpty())
        return WaylandActivation::Failed;
    xdg_activation_v1_activate(session.activation, session.tokenText.constData(), surface);
    wl_display_flush(display);
    return WaylandActivation::Requested;
#else
    Q_UNUSED(window);
    Q_UNUSED(token);
    return WaylandActivation::Unsupported;
#endif
}

} // namespace kalvento::desktop
