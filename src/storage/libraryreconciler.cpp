#include "storage/libraryreconciler.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <optional>
#include <sys/stat.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include "detection/detection.h"
#include "filing/contenthash.h"
#include "filing/libraryfileservice.h"

namespace marlox::LibraryReconciler {

namespace {

// Rows per transaction in a rebuild: one commit (and one flush of the log)
// per batch instead of per file.
constexpr int kBatchSize = 100;

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// Sets errno when it answers false.
bool canList(const QString &directory)
{
    DIR *dir = ::opendir(encoded(directory).constData());
    if (!dir)
        return false;
    ::closedir(dir);
    return true;
}

bool isEmptyDirectory(const QString &directory)
{
    DIR *dir = ::opendir(encoded(directory).constData());
    if (!dir)
        return false;
    bool empty = true;
    while (const dirent *entry = ::readdir(dir)) {
        if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    return empty;
}

bool isStrictlyInside(const QString &path, const QString &root)
{
    return path.startsWith(root) && path.size() > root.size()
        && (root.endsWith(QLatin1Char('/')) || path.at(root.size()) == QLatin1Char('/'));
}

QString parentOf(const QString &path)
{
    return QFileInfo(path).path();
}

enum class Presence { present, absent, unknown };

// Whether a record's file is there. "absent" only on the word of a folder
// listing we could read: the file's own folder, or, when that folder is gone
// too, the nearest folder still there inside the library (a folder renamed or
// deleted by hand). A folder that cannot be listed, or a link to a folder on a
// disk that is away, proves nothing.
Presence presenceOf(const QString &path, const QString &root)
{
    struct stat info;
    if (::stat(encoded(path).constData(), &info) == 0)
        return Presence::present;
    if (errno != ENOENT && errno != ENOTDIR)
        return Presence::unknown;
    if (::lstat(encoded(path).constData(), &info) == 0)
        return Presence::unknown; // a link whose target is away
    QString directory = parentOf(path);
    bool ownFolder = true;
    for (;;) {
        if (canList(directory)) {
            return (ownFolder || directory == root || isStrictlyInside(directory, root))
                ? Presence::absent
                : Presence::unknown;
        }
        if (errno != ENOENT && errno != ENOTDIR)
            return Presence::unknown;
        if (!isStrictlyInside(directory, root))
            return Presence::unknown;
        if (::lstat(encoded(directory).constData(), &info) == 0 && S_ISLNK(info.st_mode))
            return Presence::unknown;
        directory = parentOf(directory);
        ownFolder = false;
    }
}

// The earliest time the file is known to have existed: its birth time where
// the file system keeps one, but a copy that kept the modification time (a
// restore from backup) is older than its birth.
double creationTime(const QFileInfo &info)
{
    QDateTime earliest = info.birthTime();
    const QDateTime modified = info.lastModified();
    if (modified.isValid() && (!earliest.isValid() || modified < earliest))
        earliest = modified;
    return secondsSince1970(earliest.isValid() ? earliest : QDateTime::currentDateTimeUtc());
}

// Regular files below root, hidden files and folders skipped, links not followed.
template <typename Visit> void enumerateFiles(const QString &root, Visit visit)
{
    QDirIterator it(
        root, QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        if (!info.exists() || !info.isFile() || info.isSymLink())
            continue;
        visit(path, info);
    }
}

struct NewRecord
{
    QString path;
    QString folder;
    QString title;
    double createdAt = 0;
    QString contentHash;
    qint64 fileSize = 0;
};

std::optional<qint64> insert(ScreenshotDatabase &database, const NewRecord &r)
{
    try {
        return database.insertOrUpdate(r.path, r.title, r.folder, r.createdAt, QString(),
            r.contentHash, r.folder.isEmpty() ? ScreenshotStatus::inbox : ScreenshotStatus::filed,
            r.fileSize);
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

// Inserts the batch as one transaction; if the transaction itself fails, row
// by row, so that the outcome is the same as without batching.
void insertBatch(ScreenshotDatabase &database, const QList<NewRecord> &batch, QList<qint64> &ids)
{
    QList<qint64> inserted;
    try {
        database.runInTransaction([&] {
            for (const NewRecord &r : batch) {
                if (const auto id = insert(database, r))
                    inserted.append(*id);
            }
        });
    } catch (const std::exception &) {
        inserted.clear();
        for (const NewRecord &r : batch) {
            if (const auto id = insert(database, r))
                inserted.append(*id);
        }
    }
    ids.append(inserted);
}

} // namespace

QList<qint64> rebuild(
    const QString &libraryRoot, ScreenshotDatabase &database, const Progress &progress)
{
    const QString root = QDir::cleanPath(libraryRoot);
    QSet<QString> known;
    try {
        for (const ScreenshotRecord &r : database.allRecordsForList())
            known.insert(r.path);
    } catch (const std::exception &) { }

    QList<NewRecord> found;
    enumerateFiles(root, [&](const QString &path, const QFileInfo &info) {
        if (known.contains(path) || !isScreenshotExtension(info.suffix().toLower()))
            return;
        NewRecord r;
        r.path = path;
        r.folder = LibraryFileService::libraryFolderName(path, root).value_or(QString());
        r.title = info.completeBaseName();
        r.createdAt = creationTime(info);
        r.fileSize = info.size();
        found.append(r);
    });

    QList<qint64> ids;
    QList<NewRecord> batch;
    if (progress)
        progress(0, found.size());
    for (qsizetype i = 0; i < found.size(); ++i) {
        NewRecord &r = found[i];
        r.contentHash = ContentHash::ofFile(r.path).value_or(QString());
        batch.append(r);
        if (batch.size() == kBatchSize || i + 1 == found.size()) {
            insertBatch(database, batch, ids);
            batch.clear();
        }
        if (progress)
            progress(i + 1, found.size());
    }
    return ids;
}

std::pair<int, int> reconcile(const QString &libraryRoot, ScreenshotDatabase &database)
{
    const QString root = QDir::cleanPath(libraryRoot);
    QList<ScreenshotRecord> records;
    try {
        records = database.allRecordsForList();
    } catch (const std::exception &) {
        return { 0, 0 };
    }
    // An unmounted disk or a root that is not a folder: no listing says
    // anything about any file, so nothing may be taken as gone.
    if (!canList(root))
        return { 0, 0 };
    // A disk unmounted from under the root leaves the bare, empty mount
    // point: empty while records say files are inside is taken as away.
    const bool anyInside = std::any_of(records.cbegin(), records.cend(),
        [&](const ScreenshotRecord &r) { return isStrictlyInside(QDir::cleanPath(r.path), root); });
    if (anyInside && isEmptyDirectory(root))
        return { 0, 0 };

    QSet<QString> recordPaths;
    QList<ScreenshotRecord> missing;
    for (const ScreenshotRecord &r : records) {
        recordPaths.insert(r.path);
        switch (presenceOf(r.path, root)) {
        case Presence::present:
            if (r.fileSize == 0) {
                const QFileInfo info(r.path);
                if (info.exists() && info.size() > 0) {
                    try {
                        database.updateFileSize(r.id, info.size());
                    } catch (const std::exception &) { }
                }
            }
            break;
        case Presence::absent:
            missing.append(r);
            break;
        case Presence::unknown:
            break;
        }
    }
    if (missing.isEmpty())
        return { 0, 0 };

    QList<Candidate> candidates;
    enumerateFiles(root, [&](const QString &path, const QFileInfo &info) {
        if (!recordPaths.contains(path))
            candidates.append({ path, info.size() });
    });
    QHash<qint64, QList<qsizetype>> bySize;
    for (qsizetype i = 0; i < candidates.size(); ++i)
        bySize[candidates[i].size].append(i);
    QList<bool> claimed(candidates.size(), false);
    // Outer: hashed yet; inner: the hash, none when the file could not be read.
    QList<std::optional<std::optional<QString>>> hashes(candidates.size());

    int relinked = 0;
    int removed = 0;
    // The list was read before the folders were walked: the user may have
    // moved the record since. Only a row that still names the missing file goes.
    const auto stillMissing = [&](const ScreenshotRecord &r) {
        const std::optional<ScreenshotRecord> now = database.record(r.id);
        return now && now->path == r.path && presenceOf(r.path, root) == Presence::absent;
    };
    const auto remove = [&](const ScreenshotRecord &r) {
        try {
            database.runInTransaction([&] {
                if (!stillMissing(r))
                    return;
                database.deleteRow(r.id);
                ++removed;
            });
        } catch (const std::exception &) { }
    };
    for (const ScreenshotRecord &r : missing) {
        if (r.contentHash.isEmpty()) {
            remove(r);
            continue;
        }
        QList<qsizetype> positions;
        if (r.fileSize >= 1) {
            positions = bySize.value(r.fileSize);
        } else {
            const QString name = r.fileName();
            QList<qsizetype> rest;
            for (qsizetype i = 0; i < candidates.size(); ++i)
                (QFileInfo(candidates[i].url).fileName() == name ? positions : rest).append(i);
            positions.append(rest);
        }

        bool found = false;
        for (const qsizetype i : std::as_const(positions)) {
            if (claimed[i])
                continue;
            if (!hashes[i])
                hashes[i] = ContentHash::ofFile(candidates[i].url);
            if (*hashes[i] != r.contentHash)
                continue;
            claimed[i] = true;
            const Candidate &c = candidates[i];
            const QString folder
                = LibraryFileService::libraryFolderName(c.url, root)
                      .value_or(r.status == ScreenshotStatus::filed ? QStringLiteral("General")
                                                                    : QString());
            try {
                database.runInTransaction([&] {
                    if (stillMissing(r))
                        database.updateLocation(r.id, c.url, r.title, folder, r.status);
                });
            } catch (const std::exception &) { }
            if (c.size >= 1) {
                try {
                    database.updateFileSize(r.id, c.size);
                } catch (const std::exception &) { }
            }
            ++relinked;
            found = true;
            break;
        }
        if (!found)
            remove(r);
    }
    return { relinked, removed };
}

} // namespace marlox::LibraryReconciler
