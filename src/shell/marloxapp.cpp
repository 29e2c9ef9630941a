#include "shell/marloxapp.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/appstate.h"
#include "app/updatecontroller.h"
#include "library/librarywindow.h"
#include "platform/log.h"
#include "platform/sessionplatform.h"
#include "platform/singleinstance.h"
#include "shell/appicons.h"
#include "shell/captureprompt.h"
#include "shell/commandline.h"
#include "shell/onboardingwindow.h"
#include "shell/settingswindow.h"
#include "shell/traymenu.h"
#include "shell/traypresence.h"
#include "shell/undotoast.h"
#include "shell/updatenotices.h"
#include "shell/widgetdialogs.h"
#include "widgets/windowrules.h"

namespace marlox {

namespace {
// Debian's Tesseract asks OpenMP for one thread per core and runs several
// times slower for it; the limit only works when set before the runtime loads.
void reexecWithThreadLimit(char **argv)
{
    if (!qEnvironmentVariableIsEmpty("OMP_THREAD_LIMIT"))
        return;
    qputenv("OMP_THREAD_LIMIT", "1");
    execv("/proc/self/exe", argv);
}

// Panels often start after the session's autostart programs: give a tray
// that may still come a few seconds before falling back to a window with
// the menu.
constexpr int trayPollIntervalMs = 500;
constexpr int trayPollAttempts = 10;

void showFallback(WindowManager *windows, TrayMenu *menu)
{
    qCInfo(lcShell, "No system tray: the library window carries the menu");
    OnboardingWindowController::setTrayAbsent(true);
    menu->setShortcutsEnabled(true);
    windows->setFallbackMenu(menu->menu());
    // The welcome window may be up already: a library opening over it, or
    // taking its focus, hides the one thing a new user has to act on.
    QWidget *welcome = OnboardingWindowController::window();
    if (!welcome || !welcome->isVisible()) {
        windows->openLibrary();
        return;
    }
    windows->openWindow(WindowManager::library, WindowManager::Raise::no);
    // Raised once the window manager has mapped the library.
    QTimer::singleShot(0, windows, [] {
        QWidget *shown = OnboardingWindowController::window();
        if (shown && shown->isVisible())
            WindowRules::bringForward(shown);
    });
}

// Logout, shutdown and kill end Marlox through the same quit as its menu: the
// handler only writes to a socket, and the event loop ends after the step it
// is in, so a file being moved into the library arrives whole.
class TerminationSignals
{
public:
    bool install()
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, s_fds) != 0)
            return false;
        m_notifier = std::make_unique<QSocketNotifier>(s_fds[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [] {
            unsigned char number = 0;
            while (::read(s_fds[0], &number, 1) == 1)
                qCInfo(lcShell, "Received signal %d; quitting", int(number));
            QCoreApplication::quit();
        });
        struct sigaction action = {};
        action.sa_handler = handle;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int number : { SIGTERM, SIGINT, SIGHUP })
            ::sigaction(number, &action, nullptr);
        return true;
    }

private:
    static void handle(int number)
    {
        const int saved = errno;
        const unsigned char byte = static_cast<unsigned char>(number);
        [[maybe_unused]] const ssize_t written = ::write(s_fds[1], &byte, 1);
        errno = saved;
    }

    static inline int s_fds[2] = { -1, -1 };
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace

int MarloxApp::run(int argc, char **argv)
{
    if (const auto status = CommandLine::handle(argc, argv))
        return *status;
    reexecWithThreadLimit(argv);
    const QString platform
        = SessionPlatform::chosenPlatform(SessionPlatform::fromProcess(argc, argv));
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform.toLatin1());
    QApplication app(argc, argv);
    if (!platform.isEmpty()) {
        // Marlox's choice alone: the file manager and anything else it
        // starts pick their own platform.
        qunsetenv("QT_QPA_PLATFORM");
        qCInfo(lcShell, "Wayland session: running on XWayland (%s=1 runs natively)",
            SessionPlatform::nativeWaylandVariable);
    }
    QApplication::setOrganizationName(QStringLiteral("quorvintesha"));
    QApplication::setApplicationName(QStringLiteral("Marlox"));
    QApplication::setApplicationVersion(QStringLiteral(MARLOX_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("com.quorvintesha.Marlox"));
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    if (!instance.acquire()) {
        SingleInstance::notifyPrimary();
        return 0;
    }

    AppStateDependencies deps;
    deps.dialogs = std::make_shared<WidgetDialogs>();
    deps.makeCapturePrompt = [] { return std::make_unique<CapturePromptController>(); };
    deps.undoToast = std::make_shared<UndoToastController>();
    AppState state(std::move(deps));

    TerminationSignals terminationSignals;
    if (!terminationSignals.install())
        qCWarning(lcShell, "Couldn't install the signal handlers: %s", strerror(errno));
    // Whatever ends the session, a capture still being read or recognised
    // stays in the Inbox rather than unindexed in the screenshot folder.
    QObject::connect(
        &app, &QCoreApplication::aboutToQuit, &state, [&state] { state.finishPendingCaptures(); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &state,
        [&state](QSessionManager &) { state.finishPendingCaptures(); });

    UpdateController updates;
    showUpdateNotices(updates);

    WindowManager windows;
    const auto showLibraryWindow = [&windows] { windows.openLibrary(); };
    windows.setFactory(WindowManager::library, [&state] { return new LibraryWindow(&state); });
    windows.setFactory(WindowManager::settings, [&state, &updates, &windows] {
        return new SettingsWindow(
            state.appSettings(), updates, [&windows] { windows.presentOnboarding(); });
    });
    windows.setOnboardingPresenter(
        [&state, showLibraryWindow] {
            OnboardingWindowController::showIfNeeded(state, showLibraryWindow);
        },
        [&state, showLibraryWindow] {
            OnboardingWindowController::present(state, showLibraryWindow);
        });

    // A later launch asks for the library window.
    QObject::connect(&instance, &SingleInstance::activationRequested, &app, showLibraryWindow);
    QObject::connect(&state, &AppState::launchCheckFinished, &windows,
        [&windows] { windows.showOnboardingIfNeeded(); });

    TrayMenuActions actions;
    actions.openLibrary = showLibraryWindow;
    actions.openSettings = [&windows] { windows.openSettings(); };
    actions.checkForUpdates = [&updates] { updates.checkForUpdates(true); };
    actions.showWaitingCaptures = [&state] { state.reopenPrompt(); };
    actions.quit = [] { QCoreApplication::quit(); };
    TrayMenu trayMenu(&state, actions);
    trayMenu.setUpdatesEnabled([&updates] { return updates.isEnabled(); },
        [&updates] { return updates.canCheckForUpdates(); });
    QObject::connect(&updates, &UpdateController::canCheckForUpdatesChanged, &trayMenu,
        &TrayMenu::scheduleRebuild);

    QSystemTrayIcon tray(AppIcons::tray());
    tray.setToolTip(QStringLiteral("Marlox"));
    tray.setContextMenu(trayMenu.menu());
    // A plain click opens the same menu, as a menu-bar item would. A native
    // Wayland client cannot know where the pointer is, so there the click
    // opens the library instead of a menu far from the icon.
    const bool canPlaceMenu = !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    QObject::connect(&tray, &QSystemTrayIcon::activated, &tray,
        [&trayMenu, canPlaceMenu, showLibraryWindow](QSystemTrayIcon::ActivationReason reason) {
            if (reason != QSystemTrayIcon::Trigger)
                return;
            if (canPlaceMenu)
                trayMenu.menu()->popup(QCursor::pos());
            else
                showLibraryWindow();
        });
    TrayWait trayWait(TrayProbe::system(), trayPollIntervalMs, trayPollAttempts);
    trayWait.start(
        [&tray, &windows] {
            tray.show();
            qCInfo(lcShell, "Tray icon shown");
            if (windows.usesFallbackMenu()) {
                // Late, but the way back from now on: the window may close.
                qCInfo(lcShell, "A system tray appeared");
                windows.setFallbackMenu(nullptr);
                OnboardingWindowController::setTrayAbsent(false);
            }
        },
        [&windows, &trayMenu] { showFallback(&windows, &trayMenu); });
    return app.exec();
}

} // namespace marlox
