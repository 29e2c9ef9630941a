#include "detection/folderwatcher.h"

#include <algorithm>
#include <ctime>
#include <cerrno>
#include <fcntl.h>
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHashFunctions>
#include <QObject>
#include <QSet>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include "detection/logtext.h"
#include "platform/log.h"

namespace marlox {

namespace {

constexpr uint32_t watchMask = IN_CREATE | IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM
    | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_Q_OVERFLOW
    | IN_ONLYDIR;

double seconds(const statx_timestamp &t)
{
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::optional<FileInfo> examineAt(int dirFd, const QByteArray &path)
{
    struct statx stx = {};
    if (statx(dirFd, path.constData(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &stx)
        != 0)
        return std::nullopt;
    FileInfo info;
    const bool hasBirth = (stx.stx_mask & STATX_BTIME) != 0;
    info.identity = { stx.stx_ino, hasBirth ? seconds(stx.stx_btime) : 0.0 };
    info.size = qint64(stx.stx_size);
    // Without a birth time the last status change is the best guess at when
    // the file appeared.
    info.creationDate = hasBirth ? seconds(stx.stx_btime) : seconds(stx.stx_ctime);
    info.isDirectory = S_ISDIR(stx.stx_mode);
    info.changeTime = seconds(stx.stx_ctime);
    return info;
}

// The clock file systems stamp times with: a file changed after a reading of
// it never carries an earlier time, which the finer system clock cannot
// promise.
double systemNow()
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A folder whose last change is closer than this to a listing may change
// again within the same timestamp tick (FAT counts in 2 s steps) without
// its stamp moving, so that stamp cannot tell that nothing changed.
constexpr double stampSettleTime = 3.0;

// A folder is listed at least this often all the same (in seconds): a network
// file system may show another machine's changes late in the stamp.
constexpr double relistInterval = 60.0;

// The folder's own change stamp: any name added, removed or renamed in it
// moves its modification and change times.
struct FolderStamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 modifiedSeconds = 0;
    quint32 modifiedNanoseconds = 0;
    qint64 changedSeconds = 0;
    quint32 changedNanoseconds = 0;

    bool operator==(const FolderStamp &) const = default;

    double latest() const
    {
        return std::max(double(modifiedSeconds) + modifiedNanoseconds / 1e9,
            double(changedSeconds) + changedNanoseconds / 1e9);
    }
};

std::optional<FolderStamp> folderStamp(const QByteArray &path)
{
    struct statx stx = {};
    if (statx(AT_FDCWD, path.constData(), AT_STATX_SYNC_AS_STAT,
            STATX_INO | STATX_MTIME | STATX_CTIME, &stx)
        != 0)
        return std::nullopt;
    return FolderStamp { makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino,
        stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec, stx.stx_ctime.tv_sec, stx.stx_ctime.tv_nsec };
}

// The name as Qt spells it, or none when that spelling would not lead back
// to the same bytes (not valid in the file name encoding).
std::optional<QString> decodedName(const QByteArray &raw)
{
    QString name = QFile::decodeName(raw);
    if (QFile::encodeName(name) != raw)
        return std::nullopt;
    return name;
}

bool isCandidateName(const QString &name)
{
    return !name.startsWith(QLatin1Char('.')) && isScreenshotExtension(QFileInfo(name).suffix());
}

} // namespace

size_t qHash(const FileIdentity &identity, size_t seed) noexcept
{
    return qHashMulti(seed, identity.fileNumber, identity.birthTime);
}

std::optional<FileInfo> FileInfo::examine(const QString &path)
{
    return examineAt(AT_FDCWD, QFile::encodeName(path));
}

// The watcher's state. Lives on the watcher thread and is touched only there.
class FolderWatcherCore : public QObject
{
public:
    FolderWatcherCore(const QString &folder, FolderWatcher::Options options)
        : m_folder(folder), m_options(std::move(options))
    {
        if (!m_options.clock)
            m_options.clock = systemNow;
    }
    ~FolderWatcherCore() override { stopSources(); }

    std::function<void(const Detection &)> onStableFile;
    std::function<void(int)> onStartFailure;
    std::function<void(Loss)> onFolderLost;

    void start(double requestedAt)
    {
        stopSources();
        const bool heldBack = !m_hasBaseline && takeBaseline(requestedAt);
        if (startSources() && heldBack)
            scan(true);
    }

    void restart(const QString &folder, double requestedAt)
    {
        stopSources();
        m_folder = folder;
        if (!m_hasBaseline)
            takeBaseline(requestedAt);
        if (startSources())
            scan(true);
    }

    void stop() { stopSources(); }

    // The fallback timer's scan. A forced scan lists and examines every file
    // even when the folder's stamp says nothing changed.
    void scan(bool force = false)
    {
        if (m_isLost || m_inotifyFd < 0)
            return;
        if (!checkFolderIdentity())
            return;
        // Taken before the listing, so a change during it moves the stamp.
        const auto stamp = folderStamp(QFile::encodeName(m_folder));
        force |= m_examineAllNext;
        const double listedAt = m_options.clock();
        if (!force && stamp && m_trustedStamp && *stamp == *m_trustedStamp
            && listedAt - m_listedAt < relistInterval)
            return;
        int error = 0;
        const auto listing = listFolder(force, &error);
        if (!listing) {
            if (error == ENOENT || error == ENOTDIR)
                m_folderMissing = true;
            else
                loseAfterPendingEvents(Loss::unreadable);
            return;
        }
        trustStampIfSettled(stamp, listedAt);
        for (auto it = m_ledger.seen.begin(); it != m_ledger.seen.end();) {
            if (listing->contains(it.key()))
                ++it;
            else
                it = m_ledger.seen.erase(it);
        }
        QStringList newNames;
        for (auto it = listing->cbegin(); it != listing->cend(); ++it) {
            const auto seen = m_ledger.seen.constFind(it.key());
            if (seen == m_ledger.seen.cend() || *seen != it.value().identity)
                newNames.append(it.key());
        }
        std::sort(newNames.begin(), newNames.end());
        for (const QString &name : std::as_const(newNames)) {
            if (addCandidate(name, listing->value(name)))
                qCDebug(
                    lcFolderWatcher, "Scan found new file %s", qUtf8Printable(escapedForLog(name)));
        }
    }

    void stabilityTick()
    {
        const QStringList names = m_pendingSizes.keys();
        for (const QString &name : names) {
            const QString path = filePath(name);
            const auto info = FileInfo::examine(path);
            if (!info) {
                forgetCandidate(name);
                continue;
            }
            if (info->size > 0 && info->size == m_pendingSizes.value(name)) {
                const int ticks = m_pendingStableTicks.value(name) + 1;
                m_pendingStableTicks.insert(name, ticks);
                if (ticks >= FolderWatcher::requiredStableTicks)
                    emitStable(name, path);
            } else {
                m_pendingSizes.insert(name, info->size);
                m_pendingStableTicks.insert(name, 0);
            }
        }
        // Nothing to follow: no reason to wake up until a candidate appears.
        if (m_pendingSizes.isEmpty() && m_stabilityTimer)
            m_stabilityTimer->stop();
    }

private:
    using Listing = QHash<QString, FileInfo>;

    // With examineAll false, a name the ledger holds whose directory entry
    // still has the recorded inode number is taken as that file without
    // examining it: replacing a file under its name is an event, or moves the
    // inode number.
    std::optional<Listing> listFolder(bool examineAll, int *error = nullptr)
    {
        DIR *dir = opendir(QFile::encodeName(m_folder).constData());
        if (!dir) {
            if (error)
                *error = errno;
            return std::nullopt;
        }
        Listing listing;
        QSet<QByteArray> undecodable;
        while (const dirent *entry = readdir(dir)) {
            const QByteArray raw(entry->d_name);
            if (raw.startsWith('.'))
                continue;
            const auto name = decodedName(raw);
            if (!name) {
                undecodable.insert(raw);
                continue;
            }
            if (!isCandidateName(*name))
                continue;
            if (!examineAll) {
                const auto seen = m_ledger.seen.constFind(*name);
                if (seen != m_ledger.seen.cend() && seen->fileNumber == entry->d_ino) {
                    FileInfo known;
                    known.identity = *seen;
                    listing.insert(*name, known);
                    continue;
                }
            }
            const auto info = examineAt(dirfd(dir), raw);
            if (!info || info->isDirectory)
                continue;
            listing.insert(*name, *info);
        }
        closedir(dir);
        noteUndecodable(undecodable);
        return listing;
    }

    // Such a name cannot be handed on as a path that opens the file: say so
    // once per name rather than at every listing.
    void noteUndecodable(const QSet<QByteArray> &names)
    {
        for (const QByteArray &raw : names) {
            if (!m_undecodable.contains(raw)
                && isScreenshotExtension(QFileInfo(QString::fromLatin1(raw)).suffix()))
                qCWarning(lcFolderWatcher, "Skipping %s: its name is not valid UTF-8",
                    qUtf8Printable(escapedForLog(raw)));
        }
        m_undecodable = names;
    }

    void trustStampIfSettled(const std::optional<FolderStamp> &stamp, double listedAt)
    {
        m_examineAllNext = false;
        m_listedAt = listedAt;
        if (stamp && listedAt - stamp->latest() >= stampSettleTime)
            m_trustedStamp = stamp;
        else
            m_trustedStamp.reset();
    }

    // Answers whether a file was held back from the baseline: one that
    // changed after the watch was asked to start may be a new screenshot.
    bool takeBaseline(double requestedAt)
    {
        if (m_options.beforeBaseline)
            m_options.beforeBaseline();
        const auto stamp = folderStamp(QFile::encodeName(m_folder));
        const double listedAt = m_options.clock();
        const auto listing = listFolder(true);
        if (!listing)
            return false;
        trustStampIfSettled(stamp, listedAt);
        m_ledger.seen.clear();
        bool heldBack = false;
        for (auto it = listing->cbegin(); it != listing->cend(); ++it) {
            if (it.value().changeTime >= requestedAt) {
                heldBack = true;
                continue;
            }
            m_ledger.seen.insert(it.key(), it.value().identity);
        }
        m_hasBaseline = true;
        return heldBack;
    }

    bool startSources()
    {
        m_isLost = false;
        const QByteArray path = QFile::encodeName(m_folder);
        int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        int error = errno;
        if (fd >= 0 && inotify_add_watch(fd, path.constData(), watchMask) < 0) {
            error = errno;
            ::close(fd);
            fd = -1;
        }
        if (fd < 0) {
            qCWarning(lcFolderWatcher, "open() failed for %s: errno %d",
                qUtf8Printable(escapedForLog(m_folder)), error);
            if (onStartFailure)
                onStartFailure(error);
            return false;
        }
        m_inotifyFd = fd;
        struct stat st = {};
        m_hasFolderIdentity = ::stat(path.constData(), &st) == 0;
        m_folderDevice = st.st_dev;
        m_folderInode = st.st_ino;
        m_folderMissing = false;
        qCInfo(lcFolderWatcher, "Watching %s, %ld existing files",
            qUtf8Printable(escapedForLog(m_folder)), long(m_ledger.seen.size()));

        m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { readEvents(true); });

        if (!m_stabilityTimer) {
            m_stabilityTimer = makeTimer(m_options.pollInterval, [this] { stabilityTick(); });
            m_fallbackScanTimer = makeTimer(m_options.fallbackScanInterval, [this] { scan(); });
            m_folderCheckTimer = makeTimer(m_options.folderCheckInterval, [this] {
                if (!m_isLost)
                    checkFolderIdentity();
            });
        }
        m_fallbackScanTimer->start();
        m_folderCheckTimer->start();
        return true;
    }

    template <typename Handler> QTimer *makeTimer(std::chrono::milliseconds interval, Handler h)
    {
        auto *timer = new QTimer(this);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(interval);
        connect(timer, &QTimer::timeout, this, h);
        return timer;
    }

    void stopSources()
    {
        if (m_notifier) {
            // This may run inside the notifier's own signal: let Qt delete it later.
            m_notifier->setEnabled(false);
            m_notifier->deleteLater();
            m_notifier = nullptr;
        }
        if (m_inotifyFd >= 0) {
            ::close(m_inotifyFd);
            m_inotifyFd = -1;
        }
        for (QTimer *timer : { m_stabilityTimer, m_fallbackScanTimer, m_folderCheckTimer }) {
            if (timer)
                timer->stop();
        }
        m_pendingIdentities.clear();
        m_pendingSizes.clear();
        m_pendingStableTicks.clear();
        // Events go unseen from here on: the next listing examines every file.
        m_trustedStamp.reset();
        m_examineAllNext = true;
    }

    // Reads every queued event. With mayScan false only losses and dropped
    // names are taken in: the caller is deciding about a loss itself.
    void readEvents(bool mayScan)
    {
        if (m_inotifyFd < 0)
            return;
        bool revoked = false;
        bool deleted = false;
        bool renamed = false;
        bool ignored = false;
        bool needScan = false;
        QSet<QString> touched;
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(m_inotifyFd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            for (const char *p = buffer; p < buffer + n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(p);
                p += sizeof(inotify_event) + event->len;
                const uint32_t mask = event->mask;
                if (mask & IN_Q_OVERFLOW) {
                    // Events were dropped: only examining every file tells.
                    m_examineAllNext = true;
                    needScan = true;
                    continue;
                }
                if (mask & IN_UNMOUNT)
                    revoked = true;
                else if (mask & IN_DELETE_SELF)
                    deleted = true;
                else if (mask & IN_MOVE_SELF)
                    renamed = true;
                else if (mask & IN_IGNORED)
                    ignored = true;
                else if (event->len > 0)
                    noteNameEvent(QByteArray(event->name), mask, touched);
                else
                    needScan = true;
            }
        }
        if (m_isLost)
            return;
        // The kernel drops the watch after a delete or unmount as well; only an
        // unexplained drop means the folder was taken away.
        if (revoked || (ignored && !deleted && !renamed))
            markLost(Loss::revoked);
        else if (deleted)
            markLost(Loss::deleted);
        else if (renamed)
            markLost(Loss::renamed);
        if (!mayScan || m_isLost)
            return;
        if (needScan)
            scan();
        QStringList names(touched.cbegin(), touched.cend());
        std::sort(names.begin(), names.end());
        for (const QString &name : std::as_const(names))
            considerName(name);
    }

    // Collects the names an event may have made new; a removed name leaves
    // the ledger and the candidates at once.
    void noteNameEvent(const QByteArray &raw, uint32_t mask, QSet<QString> &touched)
    {
        const auto name = decodedName(raw);
        if (!name || !isCandidateName(*name))
            return; // the listing names undecodable files once
        if (mask & (IN_DELETE | IN_MOVED_FROM)) {
            // Inode numbers and coarse birth times come back at once on some
            // file systems: forget the name so a file saved under it is new.
            m_ledger.seen.remove(*name);
            forgetCandidate(*name);
            touched.remove(*name);
            return;
        }
        // A candidate that is still being written is followed by the poll.
        if ((mask & (IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB)) && m_pendingSizes.contains(*name))
            return;
        touched.insert(*name);
    }

    // One name an event pointed at, examined on its own: a folder of many
    // files is not listed for every event.
    void considerName(const QString &name)
    {
        if (m_isLost || m_inotifyFd < 0)
            return;
        const auto info = FileInfo::examine(filePath(name));
        if (!info || info->isDirectory)
            return;
        const auto seen = m_ledger.seen.constFind(name);
        if (seen != m_ledger.seen.cend() && *seen == info->identity)
            return;
        if (addCandidate(name, *info))
            qCDebug(
                lcFolderWatcher, "Event found new file %s", qUtf8Printable(escapedForLog(name)));
    }

    // Answers false when the file already is a candidate.
    bool addCandidate(const QString &name, const FileInfo &info)
    {
        const auto pending = m_pendingIdentities.constFind(name);
        if (pending != m_pendingIdentities.cend() && *pending == info.identity)
            return false;
        m_pendingIdentities.insert(name, info.identity);
        // Examined a moment ago: its size stands.
        m_pendingSizes.insert(name, info.size);
        m_pendingStableTicks.insert(name, 0);
        if (m_stabilityTimer && !m_stabilityTimer->isActive())
            m_stabilityTimer->start();
        return true;
    }

    void forgetCandidate(const QString &name)
    {
        m_pendingIdentities.remove(name);
        m_pendingSizes.remove(name);
        m_pendingStableTicks.remove(name);
    }

    // A loss found by looking: events still queued may name it better.
    void loseAfterPendingEvents(Loss reason)
    {
        readEvents(false);
        if (!m_isLost)
            markLost(reason);
    }

    // Answers false when the folder was found lost.
    bool checkFolderIdentity()
    {
        if (!m_hasFolderIdentity)
            return true;
        struct stat st = {};
        if (::stat(QFile::encodeName(m_folder).constData(), &st) != 0) {
            const int error = errno;
            if (error != ENOENT && error != ENOTDIR) {
                loseAfterPendingEvents(Loss::unreadable);
                return false;
            }
            // A deleted folder announces itself; wait one more look before
            // calling a vanished path moved (an ancestor renamed).
            readEvents(false);
            if (m_isLost)
                return false;
            if (m_folderMissing) {
                markLost(Loss::renamed);
                return false;
            }
            m_folderMissing = true;
            return false;
        }
        m_folderMissing = false;
        if (st.st_dev != m_folderDevice || st.st_ino != m_folderInode) {
            loseAfterPendingEvents(Loss::renamed);
            return false;
        }
        return true;
    }

    void emitStable(const QString &name, const QString &path)
    {
        const std::optional<FileIdentity> kept = m_pendingIdentities.contains(name)
            ? std::optional<FileIdentity>(m_pendingIdentities.take(name))
            : std::nullopt;
        m_pendingSizes.remove(name);
        m_pendingStableTicks.remove(name);
        const auto info = FileInfo::examine(path);
        if (!info)
            return;
        m_ledger.seen.insert(name, info->identity);
        if (kept && *kept != info->identity)
            qCDebug(lcFolderWatcher, "%s was replaced while being written",
                qUtf8Printable(escapedForLog(name)));
        const double latency = m_options.clock() - info->creationDate;
        qCInfo(lcFolderWatcher, "Stable file %s after %.*fs", qUtf8Printable(escapedForLog(name)),
            3, latency);
        if (!onStableFile)
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [callback = onStableFile, detection = Detection { path, latency }] {
                callback(detection);
            },
            Qt::QueuedConnection);
    }

    void markLost(Loss reason)
    {
        if (m_isLost)
            return;
        m_isLost = true;
        qCWarning(lcFolderWatcher, "Lost watched folder %s: %s",
            qUtf8Printable(escapedForLog(m_folder)), qUtf8Printable(lossName(reason)));
        stopSources();
        if (onFolderLost)
            onFolderLost(reason);
    }

    QString filePath(const QString &name) const { return m_folder + QLatin1Char('/') + name; }

    QString m_folder;
    FolderWatcher::Options m_options;
    int m_inotifyFd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_stabilityTimer = nullptr;
    QTimer *m_fallbackScanTimer = nullptr;
    QTimer *m_folderCheckTimer = nullptr;
    bool m_hasFolderIdentity = false;
    dev_t m_folderDevice = 0;
    ino_t m_folderInode = 0;
    bool m_folderMissing = false;
    // The folder's stamp at the last listing, kept only once it had settled.
    std::optional<FolderStamp> m_trustedStamp;
    double m_listedAt = 0;
    bool m_examineAllNext = true;
    QSet<QByteArray> m_undecodable;
    SeenFileLedger m_ledger;
    bool m_hasBaseline = false;
    bool m_isLost = false;
    QHash<QString, FileIdentity> m_pendingIdentities;
    QHash<QString, qint64> m_pendingSizes;
    QHash<QString, int> m_pendingStableTicks;
};

FolderWatcher::FolderWatcher(const QString &folder) : FolderWatcher(folder, Options {})
{ }

FolderWatcher::FolderWatcher(const QString &folder, Options options)
    : m_folder(folder),
      m_clock(options.clock ? options.clock : systemNow),
      m_thread(std::make_unique<QThread>()),
      m_core(new FolderWatcherCore(folder, std::move(options)))
{
    m_thread->setObjectName(QStringLiteral("com.quorvintesha.Marlox.folderwatcher"));
    m_core->moveToThread(m_thread.get());
    // The notifier and timers are the core's children: they must die on the
    // thread that made them.
    QObject::connect(m_thread.get(), &QThread::finished, m_core, &QObject::deleteLater);
    m_thread->start();
}

FolderWatcher::~FolderWatcher()
{
    m_thread->quit();
    if (QThread::currentThread() == m_thread.get()) {
        // Dropped from one of our own callbacks: the thread cannot wait for
        // itself, so it cleans up after itself once it has ended.
        QThread *thread = m_thread.release();
        QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        return;
    }
    m_thread->wait();
}

void FolderWatcher::setOnStableFile(std::function<void(const Detection &)> callback)
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core, callback] { core->onStableFile = callback; }, Qt::QueuedConnection);
}

void FolderWatcher::setOnStartFailure(std::function<void(int)> callback)
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core, callback] { core->onStartFailure = callback; },
        Qt::QueuedConnection);
}

void FolderWatcher::setOnFolderLost(std::function<void(Loss)> callback)
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core, callback] { core->onFolderLost = callback; }, Qt::QueuedConnection);
}

void FolderWatcher::start()
{
    // Taken here, not when the watcher thread gets to it: a file saved in
    // between is new to whoever asked.
    QMetaObject::invokeMethod(
        m_core, [core = m_core, requestedAt = m_clock()] { core->start(requestedAt); },
        Qt::QueuedConnection);
}

void FolderWatcher::restart(const QString &folder)
{
    m_folder = folder;
    QMetaObject::invokeMethod(
        m_core,
        [core = m_core, folder, requestedAt = m_clock()] { core->restart(folder, requestedAt); },
        Qt::QueuedConnection);
}

void FolderWatcher::stop()
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core] { core->stop(); }, Qt::QueuedConnection);
}

void FolderWatcher::scanNow()
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core] { core->scan(); }, Qt::BlockingQueuedConnection);
}

void FolderWatcher::pollNow()
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core] { core->stabilityTick(); }, Qt::BlockingQueuedConnection);
}

} // namespace marlox
