#include "shell/windowrules.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QWindow>

#ifdef MARLOX_HAVE_XCB
#include <xcb/xcb.h>
#endif

#include "platform/log.h"

namespace marlox {

namespace WindowRules {

namespace {
#ifdef MARLOX_HAVE_XCB
xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie
        = xcb_intern_atom(connection, 0, uint16_t(qstrlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t result = reply ? reply->atom : XCB_ATOM_NONE;
    free(reply);
    return result;
}

// EWMH: ask the window manager to put the window on the desktop the user is
// looking at, instead of switching the user to the window's desktop.
void moveToCurrentDesktop(QWidget *window)
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection || !window->windowHandle())
        return;
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen)
        return;
    const xcb_atom_t current = atom(connection, "_NET_CURRENT_DESKTOP");
    const xcb_atom_t desktop = atom(connection, "_NET_WM_DESKTOP");
    if (current == XCB_ATOM_NONE || desktop == XCB_ATOM_NONE)
        return;
    const xcb_get_property_cookie_t cookie
        = xcb_get_property(connection, 0, screen->root, current, XCB_ATOM_CARDINAL, 0, 1);
    xcb_get_property_reply_t *reply = xcb_get_property_reply(connection, cookie, nullptr);
    if (!reply)
        return;
    const bool known = xcb_get_property_value_length(reply) >= 4;
    const uint32_t number = known ? *static_cast<uint32_t *>(xcb_get_property_value(reply)) : 0;
    free(reply);
    if (!known)
        return;
    xcb_client_message_event_t event = {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = xcb_window_t(window->windowHandle()->winId());
    event.type = desktop;
    event.data.data32[0] = number;
    event.data.data32[1] = 2; // from a pager-like source: honoured by most window managers
    xcb_send_event(connection, 0, screen->root,
        XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
        reinterpret_cast<const char *>(&event));
    xcb_flush(connection);
}
#endif
} // namespace

void bringForward(QWidget *window)
{
    if (!window)
        return;
    window = window->window();
    if (window->isMinimized())
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    if (!window->isVisible())
        window->show();
#ifdef MARLOX_HAVE_XCB
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        moveToCurrentDesktop(window);
#endif
    window->raise();
    window->activateWindow();
}

} // namespace WindowRules

WindowManager::WindowManager(QObject *parent) : QObject(parent)
{ }

WindowManager::~WindowManager()
{
    for (const QPointer<QWidget> &window : std::as_const(m_windows))
        delete window.data();
}

void WindowManager::setFactory(const QString &identifier, Factory factory)
{
    m_factories.insert(identifier, std::move(factory));
}

QWidget *WindowManager::window(const QString &identifier) const
{
    return m_windows.value(identifier).data();
}

QWidget *WindowManager::openWindow(const QString &identifier, Raise raise)
{
    QPointer<QWidget> window = m_windows.value(identifier);
    if (!window) {
        const Factory factory = m_factories.value(identifier);
        if (!factory) {
            qCInfo(lcShell, "No window is available for “%s” yet", qUtf8Printable(identifier));
            return nullptr;
        }
        window = factory();
        if (!window)
            return nullptr;
        window->setAttribute(Qt::WA_DeleteOnClose);
        m_windows.insert(identifier, window);
        if (identifier == library && m_fallbackMenu)
            attachFallbackMenu(window);
        Q_EMIT windowOpened(identifier, window);
    }
    if (raise == Raise::no) {
        window->setAttribute(Qt::WA_ShowWithoutActivating);
        window->show();
        window->setAttribute(Qt::WA_ShowWithoutActivating, false);
        return window;
    }
    window->show();
    // Raised on the next turn, once the window manager has mapped the window.
    QTimer::singleShot(0, this, [window] { WindowRules::bringForward(window); });
    return window;
}

void WindowManager::setOnboardingPresenter(
    std::function<void()> showIfNeeded, std::function<void()> present)
{
    m_onboardingIfNeeded = std::move(showIfNeeded);
    m_onboardingPresent = std::move(present);
}

void WindowManager::showOnboardingIfNeeded()
{
    if (m_onboardingIfNeeded)
        m_onboardingIfNeeded();
    else
        qCInfo(lcShell, "Onboarding is not available yet");
}

void WindowManager::presentOnboarding()
{
    if (m_onboardingPresent)
        m_onboardingPresent();
    else
        qCInfo(lcShell, "Onboarding is not available yet");
}

void WindowManager::setFallbackMenu(QMenu *menu)
{
    m_fallbackMenu = menu;
    // Application-wide, to see the quit request itself whoever makes it: the
    // menu, a signal, the end of the session or the fatal start-up alert.
    if (menu)
        QCoreApplication::instance()->installEventFilter(this);
    if (QWidget *open = window(library))
        attachFallbackMenu(open);
}

void WindowManager::attachFallbackMenu(QWidget *window)
{
    if (!m_fallbackMenu || !window->layout())
        return;
    auto *bar = new QMenuBar(window);
    bar->setObjectName(QStringLiteral("menuBar.fallback"));
    bar->addMenu(m_fallbackMenu);
    window->layout()->setMenuBar(bar);
    m_fallbackBar = bar;
}

bool WindowManager::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
        // Quitting closes every window first and gives up when one refuses.
        m_quitting = true;
        // Should something else refuse, closing this window minimises it again.
        QTimer::singleShot(0, this, [this] { m_quitting = false; });
        return false;
    }
    if (event->type() == QEvent::Close && m_fallbackMenu && !m_quitting
        && watched == window(library) && !QCoreApplication::closingDown()) {
        // With no tray to come back through, this window is the way back.
        event->ignore();
        static_cast<QWidget *>(watched)->showMinimized();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace marlox
