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

// An index read or write the tree's truth can wait for: the next reconcile
// tries it again. Logged, so a failing index never passes for a clean one.
void skipped(const char *what, const std::exception &e)
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

// The clock is read to the millisecond and the change time to a finer tick,
// so a file made a moment ago can look a little younger than zero: with no
// quiet period asked for, nothing is young.
bool changedWithin(const QString &path, double quietSeconds)
{
    return quietSeconds > 0 && ageOf(path) < quietSeconds;
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
// by file, so that one bad row costs only itself. Answers the files left out.
int insertBatch(ScreenshotDatabase &database, const QList<ScreenshotDatabase::NewFile> &batch,
    QList<qint64> &ids)
{
    try {
        ids.append(database.insertNewFiles(batch));
        return 0;
    } catch (const std::exception &e) {
        qCWarning(lcDatabase, "Indexing %d library files at once failed (%s); one by one now",
            int(batch.size()), qUtf8Printable(describe(e)));
    }
    int failed = 0;
    for (const ScreenshotDatabase::NewFile &f : batch) {
        try {
            ids.append(database.insertNewFiles({ f }));
        } catch (const std::exception &e) {
            skipped(qPrintable(QStringLiteral("index ") + f.path), e);
            ++failed;
        }
    }
    return failed;
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
        skipped("list the indexed paths", e);
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
            if (changedWithin(path, quietSeconds))
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

namespace {

// What the walk of the tree says about the records and the files.
struct Survey
{
    // Records whose file is gone from a folder we could list.
    QList<ScreenshotRecord> missing;
    // Missing from a folder outside the library that may be a disk that is
    // away: such a row may follow its content into the library, never go.
    QSet<qint64> keepUnlessFound;
    // Records whose file lies outside the library, by the file's size: the
    // sources a move into the library may have left behind.
    QHash<qint64, QList<ScreenshotRecord>> outsideBySize;
    // Library files no record points to.
    QList<Candidate> untracked;
};

// The untracked files, and for each missing record those that could be it.
struct Candidates
{
    QList<Candidate> files;
    // Changed too recently to adopt or to take for a move's copy.
    QList<bool> young;
    // Taken by a record this run.
    QList<bool> claimed;
    // For each missing record (same order as Survey::missing), the files to
    // try, best first; a record without a hash has none.
    QList<QList<qsizetype>> couldBe;

    // Hashed on first need: hashing is most of a reconcile's time.
    std::optional<QString> hashOf(qsizetype i)
    {
        if (!hashes[i])
            hashes[i] = ContentHash::ofFile(files[i].url);
        return *hashes[i];
    }

    // Outer: hashed yet; inner: the hash, none when the file could not be read.
    QList<std::optional<std::optional<QString>>> hashes;
};

// One reconcile, in the three steps reconcileTree runs: each can be read, and
// changed, without holding the others in mind.
class Reconciliation
{
public:
    Reconciliation(const QString &libraryRoot, ScreenshotDatabase &database, const Options &options)
        : m_root(QDir::cleanPath(libraryRoot)), m_database(database), m_options(options)
    { }

    Report report;

    // Sorts the records into there, gone, and not to be judged (their
    // folder's disk may be away), and lists the files no record points to;
    // on the way, removes move temporaries and fills unknown sizes, which need
    // no matching. None when the library itself cannot be judged.
    std::optional<Survey> classify()
    {
        QList<ScreenshotRecord> records;
        try {
            records = m_database.allRecordsForList();
        } catch (const std::exception &e) {
            skipped("list the index, so left the library alone", e);
            return std::nullopt;
        }
        // An unmounted disk, another disk in its place, or a root that is not
        // a folder: no listing says anything about any file, so nothing may
        // be taken as gone, and nothing is written there.
        if (const auto reason = LibraryRootGuard::unreachableReason(m_root, m_database)) {
            qCInfo(lcDatabase, "Library left alone: %s", qUtf8Printable(*reason));
            return std::nullopt;
        }
        const QHash<QString, bool> outsideReachable = reachableOutsideFolders(records);

        QStringList temporaryPlaces { m_root };
        for (const QString &folder : QDir(m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            temporaryPlaces.append(m_root + u'/' + folder);
        for (auto it = outsideReachable.cbegin(); it != outsideReachable.cend(); ++it) {
            if (it.value())
                temporaryPlaces.append(it.key());
        }
        report.temporariesRemoved = removeMoveTemporaries(temporaryPlaces, m_options.quietSeconds);

        Survey survey;
        QSet<QString> recordPaths;
        for (const ScreenshotRecord &r : std::as_const(records)) {
            recordPaths.insert(r.path);
            const QString path = QDir::cleanPath(r.path);
            const bool inside = isStrictlyInside(path, m_root);
            if (!inside && !outsideReachable.value(parentOf(path)))
                survey.keepUnlessFound.insert(r.id);
            switch (presenceOf(r.path, m_root)) {
            case Presence::present: {
                const QFileInfo info(r.path);
                if (r.fileSize == 0 && info.exists() && info.size() > 0)
                    recordSize(r.id, info.size());
                if (!inside && info.isFile() && !survey.keepUnlessFound.contains(r.id))
                    survey.outsideBySize[info.size()].append(r);
                break;
            }
            case Presence::absent:
                survey.missing.append(r);
                break;
            case Presence::unknown:
                break;
            }
        }

        enumerateFiles(m_root, [&](const QString &path, const QFileInfo &info) {
            if (!recordPaths.contains(path))
                survey.untracked.append({ path, info.size() });
        });
        return survey;
    }

    // Narrows the untracked files down per missing record, so that matching
    // tries the likely ones first and hashes as few as it can; marks the
    // young ones, which may be filings of this process whose rows are coming.
    Candidates gatherCandidates(const Survey &survey)
    {
        Candidates c;
        c.files = survey.untracked;
        c.claimed.resize(c.files.size(), false);
        c.hashes.resize(c.files.size());
        c.young.resize(c.files.size(), false);
        for (qsizetype i = 0; i < c.files.size(); ++i) {
            c.young[i] = changedWithin(c.files[i].url, m_options.quietSeconds);
            report.deferred += c.young[i] ? 1 : 0;
        }

        QHash<qint64, QList<qsizetype>> bySize;
        for (qsizetype i = 0; i < c.files.size(); ++i)
            bySize[c.files[i].size].append(i);
        for (const ScreenshotRecord &r : survey.missing) {
            QList<qsizetype> positions;
            if (r.contentHash.isEmpty()) {
                // Nothing to recognise its file by.
            } else if (r.fileSize >= 1) {
                positions = bySize.value(r.fileSize);
            } else {
                // Size unknown: every file, those with the record's name first.
                const QString name = r.fileName();
                QList<qsizetype> rest;
                for (qsizetype i = 0; i < c.files.size(); ++i)
                    (QFileInfo(c.files[i].url).fileName() == name ? positions : rest).append(i);
                positions.append(rest);
            }
            c.couldBe.append(positions);
        }
        return c;
    }

    // Writes the verdicts: interrupted moves first, so that their copies pass
    // neither for moved files nor for new ones; then relinks and removals;
    // then the files nobody claimed.
    void match(const Survey &survey, Candidates &candidates)
    {
        finishInterruptedMoves(survey, candidates);
        relinkOrRemove(survey, candidates);
        adoptTheRest(candidates);
    }

private:
    // Folders outside the library that hold Inbox files, each with whether it
    // can be judged: the same test as for the library root.
    QHash<QString, bool> reachableOutsideFolders(const QList<ScreenshotRecord> &records)
    {
        QHash<QString, bool> reachable;
        for (const ScreenshotRecord &r : records) {
            const QString path = QDir::cleanPath(r.path);
            if (isStrictlyInside(path, m_root))
                continue;
            const QString directory = parentOf(path);
            if (!reachable.contains(directory))
                reachable.insert(
                    directory, !LibraryRootGuard::unreachableReason(directory, m_database));
        }
        return reachable;
    }

    // A move between disks killed after the copy was linked into the library
    // and before the source was removed: the same bytes (and the copied
    // modification time) in both places. Finish it.
    void finishInterruptedMoves(const Survey &survey, Candidates &candidates)
    {
        QSet<qint64> finished;
        for (qsizetype i = 0; i < candidates.files.size() && !survey.outsideBySize.isEmpty(); ++i) {
            if (candidates.young[i])
                continue;
            const Candidate &c = candidates.files[i];
            const auto copy = sizeAndTime(c.url);
            if (!copy)
                continue;
            for (const ScreenshotRecord &r : survey.outsideBySize.value(copy->first)) {
                if (finished.contains(r.id) || sizeAndTime(r.path) != copy)
                    continue;
                const std::optional<QString> copyHash = candidates.hashOf(i);
                if (!copyHash || ContentHash::ofFile(r.path) != copyHash)
                    continue;
                if (finishMove(r, c.url, copy->first)) {
                    finished.insert(r.id);
                    candidates.claimed[i] = true;
                    ++report.finishedMoves;
                    break;
                }
            }
        }
    }

    bool finishMove(const ScreenshotRecord &r, const QString &copy, qint64 size)
    {
        const QString folder
            = LibraryFileService::libraryFolderName(copy, m_root).value_or(QString());
        const ScreenshotStatus status
            = folder.isEmpty() ? ScreenshotStatus::inbox : ScreenshotStatus::filed;
        bool done = false;
        try {
            m_database.runInTransaction([&] {
                if (!stillAt(r))
                    return;
                // The source goes first: a kill before the row is written
                // leaves a missing row and its file, which the relink finds.
                if (::unlink(encoded(r.path).constData()) != 0)
                    throw FileError(errno, r.path, QStringLiteral("remove"));
                m_database.updateLocation(
                    r.id, copy, QFileInfo(copy).completeBaseName(), folder, status);
                m_database.updateFileSize(r.id, size);
                done = true;
            });
        } catch (const std::exception &e) {
            qCWarning(lcDatabase, "Couldn't finish the move of %s to %s: %s",
                qUtf8Printable(r.path), qUtf8Printable(copy), qUtf8Printable(describe(e)));
            ++report.failedWrites;
        }
        if (done) {
            qCInfo(lcDatabase, "Finished the interrupted move of %s to %s", qUtf8Printable(r.path),
                qUtf8Printable(copy));
        }
        return done;
    }

    // A missing record follows the first unclaimed file with its content; one
    // without such a file goes, unless its folder may be on a disk that is away.
    void relinkOrRemove(const Survey &survey, Candidates &candidates)
    {
        for (qsizetype m = 0; m < survey.missing.size(); ++m) {
            const ScreenshotRecord &r = survey.missing[m];
            const auto found = std::find_if(
                candidates.couldBe[m].cbegin(), candidates.couldBe[m].cend(), [&](qsizetype i) {
                    return !candidates.claimed[i] && candidates.hashOf(i) == r.contentHash;
                });
            if (found != candidates.couldBe[m].cend()) {
                candidates.claimed[*found] = true;
                relink(r, candidates.files[*found]);
            } else if (!survey.keepUnlessFound.contains(r.id)) {
                remove(r);
            }
        }
    }

    void relink(const ScreenshotRecord &r, const Candidate &c)
    {
        const QString folder
            = LibraryFileService::libraryFolderName(c.url, m_root)
                  .value_or(
                      r.status == ScreenshotStatus::filed ? QStringLiteral("General") : QString());
        // A capture whose filing was cut short lands in a folder: filed.
        const ScreenshotStatus status
            = folder.isEmpty() ? ScreenshotStatus::inbox : ScreenshotStatus::filed;
        try {
            m_database.runInTransaction([&] {
                if (stillAt(r) && presenceOf(r.path, m_root) == Presence::absent)
                    m_database.updateLocation(r.id, c.url, r.title, folder, status);
            });
        } catch (const std::exception &e) {
            skipped("relink a moved file", e);
            ++report.failedWrites;
        }
        if (c.size >= 1)
            recordSize(r.id, c.size);
        ++report.relinked;
    }

    void remove(const ScreenshotRecord &r)
    {
        if (leftJustNow(r)) {
            ++report.deferred;
            return;
        }
        try {
            m_database.runInTransaction([&] {
                if (!stillAt(r) || presenceOf(r.path, m_root) != Presence::absent || !stillThere(r))
                    return;
                m_database.deleteRow(r.id);
                ++report.removed;
            });
        } catch (const std::exception &e) {
            skipped("remove the row of a missing file", e);
            ++report.failedWrites;
        }
    }

    // Images put into the tree by hand: indexed as if filed there.
    void adoptTheRest(Candidates &candidates)
    {
        QList<ScreenshotDatabase::NewFile> adopt;
        for (qsizetype i = 0; i < candidates.files.size(); ++i) {
            const QFileInfo info(candidates.files[i].url);
            if (candidates.claimed[i] || candidates.young[i]
                || !isScreenshotExtension(info.suffix().toLower()))
                continue;
            ScreenshotDatabase::NewFile f = newFile(candidates.files[i].url, info, m_root);
            f.contentHash = candidates.hashOf(i).value_or(QString());
            adopt.append(f);
        }
        for (qsizetype from = 0; from < adopt.size(); from += kBatchSize) {
            report.failedWrites
                += insertBatch(m_database, adopt.mid(from, kBatchSize), report.adoptedIds);
        }
        report.adopted = int(report.adoptedIds.size());
    }

    // The list was read before the folders were walked: the user may have
    // moved the record since. Only a row that still names the file changes.
    bool stillAt(const ScreenshotRecord &r)
    {
        const std::optional<ScreenshotRecord> now = m_database.record(r.id);
        return now && now->path == r.path;
    }

    // The disk may have gone since the folders were judged: judge again right
    // before a row goes.
    bool stillThere(const ScreenshotRecord &r)
    {
        const QString path = QDir::cleanPath(r.path);
        return !LibraryRootGuard::unreachableReason(
            isStrictlyInside(path, m_root) ? m_root : parentOf(path), m_database);
    }

    // A file that left its folder a moment ago may be in the middle of being
    // filed by this process, its row about to follow it: not gone yet.
    bool leftJustNow(const ScreenshotRecord &r) const
    {
        return changedWithin(parentOf(r.path), m_options.quietSeconds);
    }

    void recordSize(qint64 id, qint64 size)
    {
        try {
            m_database.updateFileSize(id, size);
        } catch (const std::exception &e) {
            skipped("record a file's size", e);
            ++report.failedWrites;
        }
    }

    const QString m_root;
    ScreenshotDatabase &m_database;
    const Options &m_options;
};

} // namespace

// What is where, which untracked file could be which missing record, then the
// verdicts.
Report reconcileTree(
    const QString &libraryRoot, ScreenshotDatabase &database, const Options &options)
{
    Reconciliation run(libraryRoot, database, options);
    if (const std::optional<Survey> survey = run.classify()) {
        Candidates candidates = run.gatherCandidates(*survey);
        run.match(*survey, candidates);
    }
    return run.report;
}

std::pair<int, int> reconcile(const QString &libraryRoot, ScreenshotDatabase &database)
{
    const Report report = reconcileTree(libraryRoot, database);
    return { report.relinked + report.finishedMoves + report.adopted, report.removed };
}

} // namespace marlox::LibraryReconciler
