// Renders the settings window and each onboarding step to PNG files for the
// README: bench_shell_screens <output-folder>. Runs offscreen on a throwaway
// profile. The screenshot folder holds earlier screenshots, so the guide's
// last step and the settings offer to add them.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLayout>
#include <QTemporaryDir>
#include <QTimer>

#include "app/appstate.h"
#include "app/backlogimport.h"
#include "app/updatecontroller.h"
#include "filing/ocrengine.h"
#include "shell/onboardingwindow.h"
#include "shell/settingswindow.h"
#include "shell/widgetdialogs.h"

using namespace marlox;

namespace {
void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

void waitForCount(BacklogImport &backlog)
{
    QElapsedTimer timer;
    timer.start();
    while (!backlog.waitingCount() && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void save(QWidget &widget, const QString &path)
{
    widget.show();
    settle();
    widget.grab().save(path);
}
} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir profile;
    qputenv("HOME", profile.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (profile.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DATA_HOME", (profile.path() + QStringLiteral("/.local/share")).toUtf8());
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("quorvintesha"));
    QApplication::setApplicationName(QStringLiteral("Marlox"));
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);

    AppStateDependencies deps;
    deps.dialogs = std::make_shared<WidgetDialogs>();
    deps.installSystemObservers = false;
    AppState state(deps);

    const QString shots = profile.path() + QStringLiteral("/Pictures/Screenshots");
    QDir().mkpath(shots);
    // Taken before Marlox watched the folder: offered at the last step.
    QImage tiny(16, 10, QImage::Format_RGB32);
    tiny.fill(Qt::gray);
    for (int i = 0; i < 1284; ++i)
        tiny.save(shots + QStringLiteral("/Screenshot %1.png").arg(i));
    OnboardingView welcome(state, false, OnboardingStep::welcome, {}, {});
    welcome.setFixedSize(520, 400);
    save(welcome, out + QStringLiteral("/onboarding-1-welcome.png"));
    welcome.setStep(OnboardingStep::screenshotFolder);
    save(welcome, out + QStringLiteral("/onboarding-2-screenshot-folder.png"));

    state.setScreenshotFolder(shots);
    state.setLibraryRoot(profile.path() + QStringLiteral("/Pictures/Marlox"), true);
    welcome.setStep(OnboardingStep::libraryFolder);
    save(welcome, out + QStringLiteral("/onboarding-3-library-folder.png"));
    welcome.setStep(OnboardingStep::tryIt);
    save(welcome, out + QStringLiteral("/onboarding-4-try-it.png"));
    welcome.setStep(OnboardingStep::done);
    waitForCount(state.backlogImport());
    save(welcome, out + QStringLiteral("/onboarding-5-done.png"));

    // A second recognition language chosen, as after installing its data.
    if (OCREngine::installedLanguages().contains(QStringLiteral("deu")))
        state.setOcrLanguages({ QStringLiteral("eng"), QStringLiteral("deu") });
    UpdateController updates;
    SettingsWindow settings(state.appSettings(), updates, {});
    // The whole form, even where the offscreen screen would make it scroll.
    settings.resize(settings.sizeHint());
    waitForCount(state.backlogImport());
    save(settings, out + QStringLiteral("/settings.png"));

    // Caught as the first rows go in, before the next batch is taken.
    BacklogImport &backlog = state.backlogImport();
    bool saved = false;
    QObject::connect(&backlog, &BacklogImport::changed, &settings, [&] {
        if (saved || backlog.progress().phase != BacklogImport::Phase::adding
            || backlog.progress().added == 0)
            return;
        saved = true;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        settings.grab().save(out + QStringLiteral("/settings-adding-screenshots.png"));
        backlog.cancel();
    });
    backlog.start();
    QElapsedTimer timer;
    timer.start();
    while (!saved && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return 0;
}
