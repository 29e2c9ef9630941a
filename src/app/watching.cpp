#include "app/appstate.h"

// Provisional until the folder watcher lands: records the status only.
namespace marlox {

void AppState::startWatching(const QString &folder)
{
    setWatchStatus(WatchStatus::watching(folder));
}

void AppState::installObservers() {}

} // namespace marlox
