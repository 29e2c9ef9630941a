#include "app/appstate.h"

// PROVISIONAL: replaced by the folder watcher's owner.
namespace marlox {

void AppState::startWatching(const QString &folder)
{
    setWatchStatus(WatchStatus::watching(folder));
}
void AppState::installObservers()
{ }
void AppState::enterNotWatching(const QString &message)
{
    setWatchStatus(WatchStatus::notWatching(message));
}
void AppState::recoverWatcher(WatchTrigger)
{ }
void AppState::handleVolumeUnmount(const QString &)
{ }

} // namespace marlox
