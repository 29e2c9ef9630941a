#include "filing/recordtrashservice.h"

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "filing/libraryfileservice.h"
#include "platform/errors.h"
#include "platform/filemoves.h"
#include "platform/log.h"

namespace marlox::RecordTrashService {

namespace {

// The file is gone either way; a row left behind is picked up by the next
// reconciliation.
void dropRow(qint64 id, ScreenshotDatabase &database)
{
    try {
        database.deleteRow(id);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Failed to delete record %lld: %s", static_cast<long long>(id),
            qUtf8Printable(describe(e)));
    }
}

} // namespace

QString Outcome::errorDescription() const
{
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return describe(e);
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void Outcome::rethrow() const
{
    std::rethrow_exception(error);
}

Outcome trash(const ScreenshotRecord &record, ScreenshotDatabase &database, FileTrashing &trasher)
{
    if (!FileMoves::entryExists(record.path)) {
        dropRow(record.id, database);
        return Outcome::fileAlreadyMissing();
    }

    std::optional<QString> trashedPath;
    try {
        trashedPath = trasher.trash(record.path);
    } catch (...) {
        if (FileMoves::entryExists(record.path))
            return Outcome::failed(std::current_exception());
        dropRow(record.id, database);
        return Outcome::fileAlreadyMissing();
    }

    // The record list carries no text; the database holds the real one.
    QString ocrText = record.ocrText;
    try {
        if (auto stored = database.ocrText(record.id))
            ocrText = *stored;
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Failed to read the text of record %lld: %s",
            static_cast<long long>(record.id), qUtf8Printable(describe(e)));
    }
    dropRow(record.id, database);

    if (!trashedPath)
        return Outcome::trashed(std::nullopt);
    PendingUndo undo;
    undo.id = record.id;
    undo.originalPath = record.path;
    undo.trashedURL = *trashedPath;
    undo.title = record.title;
    undo.createdAt = record.createdAt;
    undo.ocrText = ocrText;
    undo.contentHash = record.contentHash;
    return Outcome::trashed(undo);
}

void deletePermanently(const ScreenshotRecord &record, ScreenshotDatabase &database)
{
    const QByteArray path = QFile::encodeName(record.path);
    struct stat info;
    if (::lstat(path.constData(), &info) == 0) {
        const int result
            = S_ISDIR(info.st_mode) ? ::rmdir(path.constData()) : ::unlink(path.constData());
        if (result != 0 && errno != ENOENT)
            throw FileError(errno, record.path, QStringLiteral("delete"));
    }
    database.deleteRow(record.id);
}

ScreenshotRecord restore(const PendingUndo &undo, ScreenshotDatabase &database)
{
    const QFileInfo original(undo.originalPath);
    const QString directory = original.absolutePath();
    // The test and the move are separate steps; the move never replaces, so a
    // name taken in between just means trying the next one.
    QString destination;
    for (int attempt = 0;; ++attempt) {
        destination = FileMoves::entryExists(undo.originalPath)
            ? LibraryFileService::uniqueFileURL(directory, original.fileName())
            : undo.originalPath;
        try {
            FileMoves::moveFile(undo.trashedURL, destination);
            break;
        } catch (const FileError &error) {
            if (error.code() != EEXIST || error.path() != destination || attempt >= 20)
                throw;
        }
    }

    ScreenshotRecord record;
    record.path = destination;
    record.title = undo.title;
    record.createdAt = undo.createdAt;
    record.ocrText = undo.ocrText;
    record.contentHash = undo.contentHash;
    record.status = ScreenshotStatus::inbox;
    record.fileSize = 0;
    try {
        // Under its old id, so whatever still refers to the record (a
        // recognition finishing late, a selection) finds it again.
        record.id = undo.id > 0
            ? database.insertOrUpdateKeepingId(undo.id, record.path, record.title, record.folder,
                record.createdAt, record.ocrText, record.contentHash, record.status,
                record.fileSize)
            : database.insertOrUpdate(record.path, record.title, record.folder, record.createdAt,
                record.ocrText, record.contentHash, record.status, record.fileSize);
    } catch (const std::exception &error) {
        // Unindexed outside the library, nothing would ever find the file
        // again; in the Trash the user still can.
        LibraryFileService::moveBack(destination, undo.trashedURL, error);
        throw;
    }
    SystemFileTrasher::forgetTrashedFile(undo.trashedURL);
    return record;
}

} // namespace marlox::RecordTrashService
