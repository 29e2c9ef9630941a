#include "filing/legacymigration.h"

#include <cerrno>
#include <memory>

#include <dirent.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include "filing/libraryfileservice.h"
#include "platform/errors.h"
#include "platform/filemoves.h"
#include "platform/log.h"

namespace marlox::LegacyMigration {

namespace {

const QString kLegacy = QStringLiteral("Unfiled");
const QString kGeneral = QStringLiteral("General");

// The names in a folder, hidden ones skipped. Throws FileError.
QStringList listNames(const QString &directory)
{
    std::unique_ptr<DIR, int (*)(DIR *)> dir(
        ::opendir(QFile::encodeName(directory).constData()), &::closedir);
    if (!dir)
        throw FileError(errno, directory, QStringLiteral("list"));
    QStringList names;
    errno = 0;
    while (const dirent *entry = ::readdir(dir.get())) {
        if (entry->d_name[0] != '.')
            names.append(QFile::decodeName(entry->d_name));
        errno = 0;
    }
    if (errno != 0)
        throw FileError(errno, directory, QStringLiteral("list"));
    names.sort();
    return names;
}

} // namespace

void migrateUnfiledFolder(const QString &libraryRoot, ScreenshotDatabase &database)
{
    const QDir root(libraryRoot);
    const QString legacy = root.filePath(kLegacy);
    if (!QFileInfo(legacy).isDir()) {
        database.renameFolder(kLegacy, kGeneral);
        return;
    }

    const QString general = root.filePath(kGeneral);
    errno = 0;
    if (!QDir().mkpath(general))
        throw FileError(errno ? errno : EIO, general, QStringLiteral("create"));

    QHash<QString, ScreenshotRecord> byPath;
    for (const ScreenshotRecord &r : database.allRecords())
        byPath.insert(r.path, r);

    for (const QString &name : listNames(legacy)) {
        const QString from = QDir(legacy).filePath(name);
        const QString to = LibraryFileService::uniqueFileURL(general, name);
        FileMoves::moveFile(from, to);
        const auto record = byPath.constFind(from);
        if (record != byPath.constEnd())
            database.updateLocation(record->id, to, record->title, kGeneral, record->status);
    }

    try {
        if (listNames(legacy).isEmpty())
            QDir(root).rmdir(kLegacy); // a folder still holding hidden items stays
    } catch (const FileError &e) {
        qCWarning(lcAppState, "Left the old folder in place: %s", qUtf8Printable(describe(e)));
    }

    database.renameFolder(kLegacy, kGeneral);
}

QStringList migrateRecentFolders(const QStringList &names)
{
    QStringList migrated;
    for (const QString &name : names) {
        const QString mapped = name == kLegacy ? kGeneral : name;
        if (!migrated.contains(mapped))
            migrated.append(mapped);
    }
    return migrated;
}

} // namespace marlox::LegacyMigration
