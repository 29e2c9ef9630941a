#include "filing/libraryreconciler.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <optional>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThread>
#include <QtConcurrent>

#include "filing/contenthash.h"
#include "filing/libraryfileservice.h"
#include "filing/libraryrootguard.h"
#include "platform/imagecompleteness.h"
#include "platform/log.h"
#include "platform/workpools.h"

namespace marlox::LibraryReconciler {

namespace {

// An index write the tree's truth can wait for: the next reconcile tries it
// again. Logged, so a failing index never passes for a clean one.
void writeSkipped(const char *what, const std::exception &e)
{
    qCWarning(lcDatabase, "Reconcile couldn't %s: %s", what, qUtf8Printable(describe(e)));
}

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

// Seconds since the file's inode last changed: a rename or link sets it, so
// a file just moved into the library is young however old its content.
double ageOf(const QString &path)
{
    struct stat info;
    if (::lstat(encoded(path).constData(), &info) != 0)
        return 0;
    const double changed = double(info.st_ctim.tv_sec) + double(info.st_ctim.tv_nsec) / 1e9;
    return secondsSince1970(QDateTime::currentDateTimeUtc()) - changed;
}

bool stopped(const Options &options)
{
    return options.stop && options.stop->load();
}

ScreenshotDatabase::NewFile newFile(const QString &path, const QFileInfo &info, const QString &root)
{
    ScreenshotDatabase::NewFile f;
    f.path = path;
    f.folder = LibraryFileService::libraryFolderName(path, root).value_or(QString());
    f.title = info.completeBaseName();
    f.createdAt = creationTime(info);
    f.status = f.folder.isEmpty() ? ScreenshotStatus::inbox : ScreenshotStatus::filed;
    f.fileSize = info.size();
    return f;
}

// Inserts the batch as one transaction; if the transaction itself fails, file
// by file, so that one bad row costs only itself.
void insertBatch(ScreenshotDatabase &database, const QList<ScreenshotDatabase::NewFile> &batch,
    QList<qint64> &ids)
{
    try {
        ids.append(database.insertNewFiles(batch));
        return;
    } catch (const std::exception &e) {
        qCWarning(lcDatabase, "Indexing %d library files at once failed (%s); one by one now",
            int(batch.size()), qUtf8Printable(describe(e)));
    }
    for (const ScreenshotDatabase::NewFile &f : batch) {
        try {
            ids.append(database.insertNewFiles({ f }));
        } catch (const std::exception &e) {
            writeSkipped(qPrintable(QStringLiteral("index ") + f.path), e);
        }
    }
}

// One batch's hashing, shared by the pool's threads and whoever else joins.
class BatchHashing
{
public:
    BatchHashing(QList<ScreenshotDatabase::NewFile> files, const Options &options)
        : m_files(std::move(files)), m_options(options)
    {
        const int helpers = std::max(1, WorkPools::background().maxThreadCount());
        for (int i = 0; i < helpers; ++i) {
            m_helpers.append(QtConcurrent::run(&WorkPools::background(), [this] {
                WorkPools::yieldToInteractiveWork();
                hashSome();
            }));
        }
    }
    ~BatchHashing() { waitForHelpers(); }
    BatchHashing(const BatchHashing &) = delete;
    BatchHashing &operator=(const BatchHashing &) = delete;

    // Hashes alongside the pool until nothing is left, and returns the batch.
    QList<ScreenshotDatabase::NewFile> &finish()
    {
        hashSome();
        waitForHelpers();
        return m_files;
    }

private:
    void hashSome()
    {
        for (qsizetype i = m_next++; i < m_files.size(); i = m_next++) {
            if (!stopped(m_options))
                m_files[i].contentHash = ContentHash::ofFile(m_files[i].path).value_or(QString());
        }
    }
    void waitForHelpers()
    {
        for (QFuture<void> &helper : m_helpers)
            helper.waitForFinished();
        m_helpers.clear();
    }

    QList<ScreenshotDatabase::NewFile> m_files;
    const Options &m_options;
    std::atomic<qsizetype> m_next = 0;
    QList<QFuture<void>> m_helpers;
};

// Hashes and indexes the files in batches, until a stop. Hashing is most of
// a rebuild's time: the pool hashes the next batch while this thread writes
// the one before, then this thread helps with what is left of it.
void indexFiles(ScreenshotDatabase &database, const QList<ScreenshotDatabase::NewFile> &files,
    QList<qint64> &ids, const Options &options, const std::function<void()> &oneDone)
{
    if (files.isEmpty())
        return;
    auto hashing = std::make_unique<BatchHashing>(files.mid(0, kBatchSize), options);
    for (qsizetype from = 0; from < files.size() && !stopped(options); from += kBatchSize) {
        QList<ScreenshotDatabase::NewFile> hashed = std::move(hashing->finish());
        hashing.reset();
        if (from + kBatchSize < files.size())
            hashing
                = std::make_unique<BatchHashing>(files.mid(from + kBatchSize, kBatchSize), options);
        // Files after a stop are left to the next rebuild.
        QList<ScreenshotDatabase::NewFile> batch;
        for (ScreenshotDatabase::NewFile &f : hashed) {
            if (stopped(options))
                break;
            batch.append(std::move(f));
            oneDone();
        }
        if (!batch.isEmpty())
            insertBatch(database, batch, ids);
    }
}

QSet<QString> knownPaths(ScreenshotDatabase &database)
{
    QSet<QString> known;
    try {
        for (const ScreenshotRecord &r : database.allRecordsForList())
            known.insert(r.path);
    } catch (const std::exception &e) {
        writeSkipped("list the indexed paths", e);
    }
    return known;
}

constexpr QLatin1String kMoveTemporary(".marlox-move-");

// Removes the hidden copies a move between disks leaves behind when killed
// before its link; a young one may belong to a move running right now.
int removeMoveTemporaries(const QStringList &directories, double quietSeconds)
{
    int removed = 0;
    for (const QString &directory : directories) {
        const QStringList names = QDir(directory).entryList(
            { kMoveTemporary + QLatin1Char('*') }, QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &name : names) {
            const QString path = directory + u'/' + name;
            if (ageOf(path) < quietSeconds)
                continue;
            if (::unlink(encoded(path).constData()) == 0) {
                ++removed;
                qCInfo(lcDatabase, "Removed %s, left by an interrupted move", qUtf8Printable(path));
            }
        }
    }
    return removed;
}

struct ModificationTime
{
    qint64 seconds = -1;
    qint64 nanoseconds = -1;
    bool operator==(const ModificationTime &) const = default;
};

std::optional<std::pair<qint64, ModificationTime>> sizeAndTime(const QString &path)
{
    struct stat info;
    if (::lstat(encoded(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return std::make_pair(
        qint64(info.st_size), ModificationTime { info.st_mtim.tv_sec, info.st_mtim.tv_nsec });
}

} // namespace

QList<qint64> rebuild(const QString &libraryRoot, ScreenshotDatabase &database,
    const Progress &progress, const Options &options)
{
    const QString root = QDir::cleanPath(libraryRoot);
    const QSet<QString> known = knownPaths(database);

    QList<ScreenshotDatabase::NewFile> ready;
    QList<ScreenshotDatabase::NewFile> young;
    double youngest = options.quietSeconds;
    enumerateFiles(root, [&](const QString &path, const QFileInfo &info) {
        if (known.contains(path) || !isScreenshotExtension(info.suffix().toLower()))
            return;
        const double age = options.quietSeconds > 0 ? ageOf(path) : 0;
        if (age < options.quietSeconds) {
            young.append(newFile(path, info, root));
            youngest = std::min(youngest, std::max(0.0, age));
        } else {
            ready.append(newFile(path, info, root));
        }
    });

    const qsizetype total = ready.size() + young.size();
    qsizetype done = 0;
    const auto oneDone = [&] {
        ++done;
        if (progress)
            progress(done, total);
    };
    if (progress)
        progress(0, total);
    QList<qint64> ids;
    indexFiles(database, ready, ids, options, oneDone);
    if (young.isEmpty() || stopped(options))
        return ids;

    // Files that just arrived: wait until a filing of this process would
    // have written their rows, then index those still without one.
    QElapsedTimer waited;
    waited.start();
    const qint64 waitMs = qint64((options.quietSeconds - youngest) * 1000) + 50;
    while (waited.elapsed() < waitMs && !stopped(options))
        QThread::msleep(50);
    const QSet<QString> knownNow = knownPaths(database);
    QList<ScreenshotDatabase::NewFile> stillNew;
    for (const ScreenshotDatabase::NewFile &f : std::as_const(young)) {
        if (knownNow.contains(f.path) || !QFileInfo(f.path).isFile())
            oneDone();
        else
            stillNew.append(f);
    }
    indexFiles(database, stillNew, ids, options, oneDone);
    return ids;
}

Report reconcileTree(
    const QString &libraryRoot, ScreenshotDatabase &database, const Options &options)
{
    Report report;
    const QString root = QDir::cleanPath(libraryRoot);
    QList<ScreenshotRecord> records;
    try {
        records = database.allRecordsForList();
    } catch (const std::exception &) {
        return report;
    }
    // An unmounted disk, another disk in its place, or a root that is not a
    // folder: no listing says anything about any file, so nothing may be
    // taken as gone, and nothing is written there.
    if (const auto reason = LibraryRootGuard::unreachableReason(root, database)) {
        qCInfo(lcDatabase, "Library left alone: %s", qUtf8Printable(*reason));
        return report;
    }

    // Folders outside the library that hold Inbox files: judged the same way.
    QHash<QString, bool> outsideReachable;
    for (const ScreenshotRecord &r : std::as_const(records)) {
        const QString path = QDir::cleanPath(r.path);
        if (isStrictlyInside(path, root))
            continue;
        const QString directory = parentOf(path);
        if (!outsideReachable.contains(directory)) {
            outsideReachable.insert(
                directory, !LibraryRootGuard::unreachableReason(directory, database));
        }
    }

    QStringList temporaryPlaces { root };
    for (const QString &folder : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        temporaryPlaces.append(root + u'/' + folder);
    for (auto it = outsideReachable.cbegin(); it != outsideReachable.cend(); ++it) {
        if (it.value())
            temporaryPlaces.append(it.key());
    }
    report.temporariesRemoved = removeMoveTemporaries(temporaryPlaces, options.quietSeconds);

    QSet<QString> recordPaths;
    QList<ScreenshotRecord> missing;
    // Missing from a folder outside the library that may be a disk that is
    // away: such a row may follow its content into the library, never go.
    QSet<qint64> keepUnlessFound;
    // Records whose file lies outside the library, by the file's size: the
    // sources a move into the library may have left behind.
    QHash<qint64, QList<ScreenshotRecord>> outsideBySize;
    for (const ScreenshotRecord &r : std::as_const(records)) {
        recordPaths.insert(r.path);
        const bool inside = isStrictlyInside(QDir::cleanPath(r.path), root);
        if (!inside && !outsideReachable.value(parentOf(QDir::cleanPath(r.path))))
            keepUnlessFound.insert(r.id);
        switch (presenceOf(r.path, root)) {
        case Presence::present: {
            const QFileInfo info(r.path);
            if (r.fileSize == 0 && info.exists() && info.size() > 0) {
                try {
                    database.updateFileSize(r.id, info.size());
                } catch (const std::exception &e) {
                    writeSkipped("record a file's size", e);
                    ++report.failedWrites;
                }
            }
            if (!inside && info.isFile() && !keepUnlessFound.contains(r.id))
                outsideBySize[info.size()].append(r);
            break;
        }
        case Presence::absent:
            missing.append(r);
            break;
        case Presence::unknown:
            break;
        }
    }

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
    const auto hashOf = [&](qsizetype i) {
        if (!hashes[i])
            hashes[i] = ContentHash::ofFile(candidates[i].url);
        return *hashes[i];
    };
    QList<bool> young(candidates.size(), false);
    if (options.quietSeconds > 0) {
        for (qsizetype i = 0; i < candidates.size(); ++i) {
            young[i] = ageOf(candidates[i].url) < options.quietSeconds;
            report.deferred += young[i] ? 1 : 0;
        }
    }

    // The list was read before the folders were walked: the user may have
    // moved the record since. Only a row that still names the file goes.
    const auto stillAt = [&](const ScreenshotRecord &r) {
        const std::optional<ScreenshotRecord> now = database.record(r.id);
        return now && now->path == r.path;
    };
    const auto folderOf = [&](const QString &path, ScreenshotStatus status) {
        return LibraryFileService::libraryFolderName(path, root)
            .value_or(status == ScreenshotStatus::filed ? QStringLiteral("General") : QString());
    };

    // A move between disks killed after the copy was linked into the library
    // and before the source was removed: the same bytes (and the copied
    // modification time) in both places. Finish it.
    QSet<qint64> finished;
    for (qsizetype i = 0; i < candidates.size() && !outsideBySize.isEmpty(); ++i) {
        if (young[i])
            continue;
        const Candidate &c = candidates[i];
        const auto copy = sizeAndTime(c.url);
        if (!copy)
            continue;
        for (const ScreenshotRecord &r : outsideBySize.value(copy->first)) {
            if (finished.contains(r.id) || sizeAndTime(r.path) != copy)
                continue;
            const std::optional<QString> copyHash = hashOf(i);
            if (!copyHash || ContentHash::ofFile(r.path) != copyHash)
                continue;
            const QString folder
                = LibraryFileService::libraryFolderName(c.url, root).value_or(QString());
            const ScreenshotStatus status
                = folder.isEmpty() ? ScreenshotStatus::inbox : ScreenshotStatus::filed;
            bool done = false;
            try {
                database.runInTransaction([&] {
                    if (!stillAt(r))
                        return;
                    // The source goes first: a kill before the row is written
                    // leaves a missing row and its file, which the relink finds.
                    if (::unlink(encoded(r.path).constData()) != 0)
                        throw FileError(errno, r.path, QStringLiteral("remove"));
                    database.updateLocation(
                        r.id, c.url, QFileInfo(c.url).completeBaseName(), folder, status);
                    database.updateFileSize(r.id, copy->first);
                    done = true;
                });
            } catch (const std::exception &e) {
                qCWarning(lcDatabase, "Couldn't finish the move of %s to %s: %s",
                    qUtf8Printable(r.path), qUtf8Printable(c.url), qUtf8Printable(describe(e)));
            }
            if (done) {
                qCInfo(lcDatabase, "Finished the interrupted move of %s to %s",
                    qUtf8Printable(r.path), qUtf8Printable(c.url));
                finished.insert(r.id);
                claimed[i] = true;
                ++report.finishedMoves;
                break;
            }
        }
    }

    // The disk may have gone since the folders were judged: judge again right
    // before a row goes.
    const auto stillThere = [&](const ScreenshotRecord &r) {
        const QString path = QDir::cleanPath(r.path);
        return !LibraryRootGuard::unreachableReason(
            isStrictlyInside(path, root) ? root : parentOf(path), database);
    };
    // A file that left its folder a moment ago may be in the middle of being
    // filed by this process, its row about to follow it: not gone yet.
    const auto leftJustNow = [&](const ScreenshotRecord &r) {
        return options.quietSeconds > 0 && ageOf(parentOf(r.path)) < options.quietSeconds;
    };
    const auto remove = [&](const ScreenshotRecord &r) {
        if (leftJustNow(r)) {
            ++report.deferred;
            return;
        }
        try {
            database.runInTransaction([&] {
                if (!stillAt(r) || presenceOf(r.path, root) != Presence::absent || !stillThere(r))
                    return;
                database.deleteRow(r.id);
                ++report.removed;
            });
        } catch (const std::exception &e) {
            writeSkipped("remove the row of a missing file", e);
            ++report.failedWrites;
        }
    };
    for (const ScreenshotRecord &r : std::as_const(missing)) {
        if (r.contentHash.isEmpty()) {
            if (!keepUnlessFound.contains(r.id))
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
            if (claimed[i] || hashOf(i) != r.contentHash)
                continue;
            claimed[i] = true;
            const Candidate &c = candidates[i];
            const QString folder = folderOf(c.url, r.status);
            // A capture whose filing was cut short lands in a folder: filed.
            const ScreenshotStatus status
                = folder.isEmpty() ? ScreenshotStatus::inbox : ScreenshotStatus::filed;
            try {
                database.runInTransaction([&] {
                    if (stillAt(r) && presenceOf(r.path, root) == Presence::absent)
                        database.updateLocation(r.id, c.url, r.title, folder, status);
                });
            } catch (const std::exception &e) {
                writeSkipped("relink a moved file", e);
                ++report.failedWrites;
            }
            if (c.size >= 1) {
                try {
                    database.updateFileSize(r.id, c.size);
                } catch (const std::exception &e) {
                    writeSkipped("record a file's size", e);
                    ++report.failedWrites;
                }
            }
            ++report.relinked;
            found = true;
            break;
        }
        if (!found && !keepUnlessFound.contains(r.id))
            remove(r);
    }

    // Images put into the tree by hand: indexed as if filed there.
    QList<ScreenshotDatabase::NewFile> adopt;
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        const QFileInfo info(candidates[i].url);
        if (claimed[i] || young[i] || !isScreenshotExtension(info.suffix().toLower()))
            continue;
        ScreenshotDatabase::NewFile f = newFile(candidates[i].url, info, root);
        f.contentHash = hashOf(i).value_or(QString());
        adopt.append(f);
    }
    for (qsizetype from = 0; from < adopt.size(); from += kBatchSize)
        insertBatch(database, adopt.mid(from, kBatchSize), report.adoptedIds);
    report.adopted = int(report.adoptedIds.size());
    return report;
}

std::pair<int, int> reconcile(const QString &libraryRoot, ScreenshotDatabase &database)
{
    const Report report = reconcileTree(libraryRoot, database);
    return { report.relinked + report.finishedMoves + report.adopted, report.removed };
}

} // namespace marlox::LibraryReconciler
