#include "app/appstate.h"

// PROVISIONAL: replaced by the folder actions' owner.
namespace marlox {

ScreenshotRecord AppState::fileRecord(
    const ScreenshotRecord &record, const QString &, const QString &)
{
    return record;
}
void AppState::noteFolderUsed(const QString &)
{ }
QStringList AppState::folderNames() const
{
    return { QStringLiteral("General") };
}
bool AppState::folderIsEmpty(const QString &)
{
    return true;
}
void AppState::createFolder(const QString &)
{ }
void AppState::renameFolder(const QString &, const QString &)
{ }
void AppState::deleteFolder(const QString &)
{ }

} // namespace marlox
