#include "widgets/windowrules.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QWindow>

#include "platform/log.h"
#include "platform/x11session.h"

namespace marlox {

namespace WindowRules {

void bringForward(QWidget *window)
{
    if (!window)
        return;
    window = window->window();
    if (window->isMinimized())
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    if (!window->isVisible())
        window->show();
    X11::moveToCurrentWorkspace(window->windowHandle());
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
