#include "shell/marloxapp.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

#include "app/appstate.h"
#include "platform/singleinstance.h"
#include "shell/captureprompt.h"
#include "shell/undotoast.h"
#include "shell/widgetdialogs.h"

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
} // namespace

int MarloxApp::run(int argc, char **argv)
{
    reexecWithThreadLimit(argv);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("quorvintesha"));
    QApplication::setApplicationName(QStringLiteral("Marlox"));
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

    // A later launch asks for the library window.
    const auto showLibraryWindow = [] { };
    QObject::connect(&instance, &SingleInstance::activationRequested, &app, showLibraryWindow);

    QMenu menu;
    QAction *quit = menu.addAction(QStringLiteral("Quit Marlox"), &app, &QCoreApplication::quit);
    quit->setObjectName(QStringLiteral("menuBar.quit"));
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    QSystemTrayIcon tray(QIcon::fromTheme(QStringLiteral("camera-photo")));
    tray.setToolTip(QStringLiteral("Marlox"));
    tray.setContextMenu(&menu);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        tray.show();
    return app.exec();
}

} // namespace marlox
