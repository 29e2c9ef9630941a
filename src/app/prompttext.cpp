#include "app/prompttext.h"

#include "filing/foldermanagementservice.h"
#include "filing/libraryfileservice.h"
#include "platform/errors.h"

namespace marlox {

QString defaultTitle(const std::optional<QString> &appName, const QDateTime &createdAt)
{
    // QDateTime::toString formats in the C locale: "AP" gives AM/PM in capitals.
    return appName.value_or(QStringLiteral("Screenshot")) + QLatin1Char(' ')
        + createdAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd 'at' h.mm AP"));
}

QString errorText(const std::exception &error)
{
    // Only the library root's absence comes without a path; a missing file
    // with one is the capture's own, gone since it was detected.
    if (const auto *file = dynamic_cast<const FileError *>(&error);
        file && file->isNoSuchFile() && file->path().isEmpty())
        return QStringLiteral(
            "No library folder set — choose one from the menu bar, then try again.");
    const QString invalidFolder
        = QStringLiteral("Folder names can't contain “/” or begin with “.”.");
    if (const auto *filing = dynamic_cast<const LibraryFileService::ServiceError *>(&error)) {
        switch (filing->kind()) {
        case LibraryFileService::ServiceError::Kind::emptyTitle:
            return QStringLiteral("Title can't be empty.");
        case LibraryFileService::ServiceError::Kind::invalidFolderName:
            return invalidFolder;
        case LibraryFileService::ServiceError::Kind::captureGone:
            return filing->description();
        }
    }
    if (const auto *folders = dynamic_cast<const FolderManagementService::ServiceError *>(&error);
        folders && folders->kind() == FolderManagementService::ServiceError::Kind::invalidName)
        return invalidFolder;
    return QStringLiteral("Couldn't save: ") + describe(error);
}

} // namespace marlox
