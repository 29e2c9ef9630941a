#include "app/appstate.h"
#include "filing/foldermanagementservice.h"
#include "filing/libraryfileservice.h"
#include "platform/errors.h"
#include "platform/log.h"

namespace marlox {

namespace {

constexpr qsizetype recentFolderLimit = 5;

QStringList withoutLaterDuplicates(const QStringList &names)
{
    QStringList unique;
    for (const QString &name : names) {
        if (!unique.contains(name))
            unique.append(name);
    }
    return unique;
}

} // namespace

ScreenshotRecord AppState::fileRecord(
    const ScreenshotRecord &record, const QString &title, const QString &folder)
{
    ScreenshotRecord filed;
    try {
        filed = LibraryFileService::fileRecord(record, title, folder, libraryRoot(), *m_database);
    } catch (const std::exception &) {
        // A refused index write moves the file back to where its row points:
        // for an Inbox capture the screenshot folder, where it is no new capture.
        m_selfPlaced.note(record.path);
        throw;
    }
    noteFolderUsed(folder);
    refreshRecord(filed.id);
    setLastSavedAt(QDateTime::currentDateTime());
    return filed;
}

void AppState::noteFolderUsed(const QString &folder)
{
    QStringList folders = m_recentFolders;
    folders.removeAll(folder);
    folders.prepend(folder);
    setRecentFolders(folders.mid(0, recentFolderLimit), true);
}

QStringList AppState::folderNames() const
{
    return FolderManagementService::folderNames(libraryRoot(), m_recordList->folders());
}

bool AppState::folderIsEmpty(const QString &name)
{
    return FolderManagementService::folderIsEmpty(name, libraryRoot(), *m_database);
}

void AppState::createFolder(const QString &name)
{
    if (libraryRoot().isEmpty())
        throw FileError::noSuchFile();
    FolderManagementService::createFolderDirectory(name, libraryRoot());
    reloadRecords();
}

void AppState::renameFolder(const QString &oldName, const QString &newName)
{
    if (libraryRoot().isEmpty())
        throw FileError::noSuchFile();
    const QString trimmed = newName.trimmed();
    if (trimmed.isEmpty())
        throw FolderManagementService::ServiceError(
            FolderManagementService::ServiceError::Kind::emptyName);
    if (trimmed != oldName)
        FolderManagementService::mergeFolder(oldName, trimmed, libraryRoot(), *m_database);

    QStringList folders = m_recentFolders;
    for (QString &folder : folders) {
        if (folder == oldName)
            folder = trimmed;
    }
    setRecentFolders(withoutLaterDuplicates(folders), true);
    reloadRecords();
}

void AppState::deleteFolder(const QString &name)
{
    if (libraryRoot().isEmpty())
        throw FileError::noSuchFile();
    if (name == generalFolder) {
        qCWarning(lcAppState, "Refused to delete the default folder \"%s\"",
            qUtf8Printable(generalFolder));
        return;
    }
    if (!FolderManagementService::folderIsEmpty(name, libraryRoot(), *m_database))
        FolderManagementService::mergeFolder(name, generalFolder, libraryRoot(), *m_database);
    FolderManagementService::removeFolderDirectory(name, libraryRoot());
    reloadRecords();
}

} // namespace marlox
