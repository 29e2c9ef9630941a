#include "support/appstatescene.h"

#include <QDir>
#include <QFile>
#include <QThreadPool>

#include "platform/workpools.h"
#include "storage/bookmarkstore.h"
#include "storage/preferences.h"

namespace marlox::test {

AppStateScene::AppStateScene()
    : shots(dir.filePath(QStringLiteral("Shots"))),
      library(dir.filePath(QStringLiteral("Library"))),
      databasePath(dir.filePath(QStringLiteral("Index/library.sqlite3")))
{
    QDir().mkpath(shots);
    QDir().mkpath(library);
    QDir().mkpath(dir.filePath(QStringLiteral("Index")));
    QFile::remove(Preferences::filePath());
}

void AppStateScene::rememberShots() const
{
    BookmarkStore().save(shots, Preferences::screenshotFolderBookmark);
}

void AppStateScene::rememberLibrary() const
{
    BookmarkStore().save(library, Preferences::libraryRootBookmark);
}

AppStateDependencies AppStateScene::dependencies() const
{
    AppStateDependencies deps;
    deps.dialogs = dialogs;
    deps.makeCapturePrompt = [] { return std::make_unique<RecordingPrompt>(); };
    deps.undoToast = std::make_shared<RecordingToast>();
    deps.databasePath = databasePath;
    deps.installSystemObservers = false;
    deps.exit = [](int) {};
    return deps;
}

std::unique_ptr<AppState> AppStateScene::makeState(
    const std::function<void(AppStateDependencies &)> &adjust) const
{
    AppStateDependencies deps = dependencies();
    if (adjust)
        adjust(deps);
    return std::make_unique<AppState>(std::move(deps));
}

void AppStateScene::finish(std::unique_ptr<AppState> &state)
{
    state.reset();
    for (QThreadPool *pool : { &WorkPools::capture(), &WorkPools::interactive(),
             &WorkPools::background(), QThreadPool::globalInstance() })
        pool->waitForDone();
}

} // namespace marlox::test
