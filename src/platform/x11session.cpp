#include "platform/x11session.h"

#include <array>

#include <QByteArray>
#include <QGuiApplication>
#include <QList>
#include <QWindow>

#if defined(MARLOX_HAVE_XCB)
#include <QtGui/qguiapplication_platform.h>
#if QT_CONFIG(xcb)
#include <xcb/xcb.h>
#define MARLOX_X11 1
#endif
#endif

namespace marlox::X11 {

#if defined(MARLOX_X11)
namespace {

xcb_connection_t *connection()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !qGuiApp)
        return nullptr;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *c = x11 ? x11->connection() : nullptr;
    return c && !xcb_connection_has_error(c) ? c : nullptr;
}

const xcb_screen_t *rootScreen(xcb_connection_t *c)
{
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data;
}

// Names that do not exist yet answer none rather than being created.
xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    const auto cookie = xcb_intern_atom(c, 1, uint16_t(qstrlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(c, cookie, nullptr);
    const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return value;
}

QByteArray property(
    xcb_connection_t *c, xcb_window_t window, xcb_atom_t name, xcb_atom_t type, uint32_t length)
{
    const auto cookie = xcb_get_property(c, 0, window, name, type, 0, length);
    xcb_get_property_reply_t *reply = xcb_get_property_reply(c, cookie, nullptr);
    if (!reply)
        return {};
    const QByteArray value(static_cast<const char *>(xcb_get_property_value(reply)),
        xcb_get_property_value_length(reply));
    free(reply);
    return value;
}

std::optional<uint32_t> cardinal(const QByteArray &value)
{
    if (value.size() < int(sizeof(uint32_t)))
        return std::nullopt;
    return *reinterpret_cast<const uint32_t *>(value.constData());
}

// EWMH requests go to the root window; source 2 ("pager") is honoured by most
// window managers where an application's own request may be ignored.
void sendToRoot(
    xcb_connection_t *c, xcb_window_t window, xcb_atom_t type, const std::array<uint32_t, 5> &data)
{
    xcb_client_message_event_t message {};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = type;
    std::copy(data.begin(), data.end(), message.data.data32);
    xcb_send_event(c, false, rootScreen(c)->root,
        XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
        reinterpret_cast<const char *>(&message));
}

} // namespace

bool isSession()
{
    return connection() != nullptr;
}

bool compositorRunning()
{
    xcb_connection_t *c = connection();
    const xcb_atom_t selection = c ? atom(c, "_NET_WM_CM_S0") : xcb_atom_t(XCB_ATOM_NONE);
    if (selection == XCB_ATOM_NONE)
        return false;
    xcb_get_selection_owner_reply_t *owner
        = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    const bool owned = owner && owner->owner != XCB_NONE;
    free(owner);
    return owned;
}

void moveToCurrentWorkspace(QWindow *window)
{
    xcb_connection_t *c = connection();
    if (!c || !window || !rootScreen(c))
        return;
    const xcb_atom_t current = atom(c, "_NET_CURRENT_DESKTOP");
    const xcb_atom_t desktop = atom(c, "_NET_WM_DESKTOP");
    if (current == XCB_ATOM_NONE || desktop == XCB_ATOM_NONE)
        return;
    const std::optional<uint32_t> number
        = cardinal(property(c, rootScreen(c)->root, current, XCB_ATOM_CARDINAL, 1));
    if (!number)
        return;
    sendToRoot(c, xcb_window_t(window->winId()), desktop, { *number, 2, 0, 0, 0 });
    xcb_flush(c);
}

void showOnAllWorkspaces(QWindow *window, bool mapped)
{
    xcb_connection_t *c = connection();
    if (!c || !window || !rootScreen(c))
        return;
    const xcb_window_t id = xcb_window_t(window->winId());
    const xcb_atom_t desktop = atom(c, "_NET_WM_DESKTOP");
    const xcb_atom_t state = atom(c, "_NET_WM_STATE");
    const xcb_atom_t sticky = atom(c, "_NET_WM_STATE_STICKY");
    if (desktop == XCB_ATOM_NONE || state == XCB_ATOM_NONE || sticky == XCB_ATOM_NONE)
        return;
    const uint32_t allWorkspaces = 0xFFFFFFFF;
    if (!mapped) {
        xcb_change_property(
            c, XCB_PROP_MODE_REPLACE, id, desktop, XCB_ATOM_CARDINAL, 32, 1, &allWorkspaces);
        xcb_change_property(c, XCB_PROP_MODE_APPEND, id, state, XCB_ATOM_ATOM, 32, 1, &sticky);
    } else {
        sendToRoot(c, id, desktop, { allWorkspaces, 1, 0, 0, 0 });
        sendToRoot(c, id, state, { 1 /* add */, sticky, 0, 1, 0 });
    }
    xcb_flush(c);
}

std::optional<ActiveWindow> activeWindow()
{
    xcb_connection_t *c = connection();
    const xcb_atom_t active = c ? atom(c, "_NET_ACTIVE_WINDOW") : xcb_atom_t(XCB_ATOM_NONE);
    if (active == XCB_ATOM_NONE || !rootScreen(c))
        return std::nullopt;
    const std::optional<uint32_t> window
        = cardinal(property(c, rootScreen(c)->root, active, XCB_ATOM_WINDOW, 1));
    if (!window || *window == XCB_WINDOW_NONE)
        return std::nullopt;

    ActiveWindow result;
    const xcb_atom_t pid = atom(c, "_NET_WM_PID");
    if (pid != XCB_ATOM_NONE)
        result.pid = cardinal(property(c, *window, pid, XCB_ATOM_CARDINAL, 1)).value_or(0);
    // WM_CLASS is "instance\0class\0".
    const QList<QByteArray> parts
        = property(c, *window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256).split('\0');
    result.instance = QString::fromLocal8Bit(parts.value(0));
    result.windowClass = QString::fromLocal8Bit(parts.value(1));
    return result;
}

#else

bool isSession()
{
    return false;
}

bool compositorRunning()
{
    return false;
}

void moveToCurrentWorkspace(QWindow *)
{ }

void showOnAllWorkspaces(QWindow *, bool)
{ }

std::optional<ActiveWindow> activeWindow()
{
    return std::nullopt;
}

#endif

} // namespace marlox::X11
