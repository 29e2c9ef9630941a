#include "detection/folderwatcher.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHashFunctions>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

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
    return info;
}

double now()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
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
    explicit FolderWatcherCore(const QString &folder) : m_folder(folder) { }
    ~FolderWatcherCore() override { stopSources(); }

    std::function<void(const Detection &)> onStableFile;
    std::function<void(int)> onStartFailure;
    std::function<void(Loss)> onFolderLost;

    void start()
    {
        stopSources();
        if (!m_hasBaseline)
            takeBaseline();
        startSources();
    }

    void restart(const QString &folder)
    {
        stopSources();
        m_folder = folder;
        if (!m_hasBaseline)
            takeBaseline();
        if (startSources())
            scan();
    }

    void stop() { stopSources(); }

private:
    using Listing = QHash<QString, FileInfo>;

    std::optional<Listing> listFolder(int *error = nullptr) const
    {
        DIR *dir = opendir(QFile::encodeName(m_folder).constData());
        if (!dir) {
            if (error)
                *error = errno;
            return std::nullopt;
        }
        Listing listing;
        while (const dirent *entry = readdir(dir)) {
            const QByteArray raw(entry->d_name);
            if (raw.startsWith('.'))
                continue;
            const QString name = QFile::decodeName(raw);
            if (!isScreenshotExtension(QFileInfo(name).suffix()))
                continue;
            const auto info = examineAt(dirfd(dir), raw);
            if (!info || info->isDirectory)
                continue;
            listing.insert(name, *info);
        }
        closedir(dir);
        return listing;
    }

    void takeBaseline()
    {
        const auto listing = listFolder();
        if (!listing)
            return;
        m_ledger.seen.clear();
        for (auto it = listing->cbegin(); it != listing->cend(); ++it)
            m_ledger.seen.insert(it.key(), it.value().identity);
        m_hasBaseline = true;
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
            qCWarning(lcFolderWatcher, "open() failed for %s: errno %d", path.constData(), error);
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
        qCInfo(lcFolderWatcher, "Watching %s, %ld existing files", path.constData(),
            long(m_ledger.seen.size()));

        m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { readEvents(true); });

        if (!m_stabilityTimer) {
            m_stabilityTimer = makeTimer(FolderWatcher::pollInterval, [this] { stabilityTick(); });
            m_fallbackScanTimer
                = makeTimer(FolderWatcher::fallbackScanInterval, [this] { scan(); });
            m_folderCheckTimer = makeTimer(FolderWatcher::folderCheckInterval, [this] {
                if (!m_isLost)
                    checkFolderIdentity();
            });
        }
        m_stabilityTimer->start();
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
                    needScan |= noteNameEvent(QFile::decodeName(event->name), mask);
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
        else if (needScan && mayScan)
            scan();
    }

    // Answers whether the event calls for a listing.
    bool noteNameEvent(const QString &name, uint32_t mask)
    {
        if (mask & (IN_DELETE | IN_MOVED_FROM)) {
            // Inode numbers and coarse birth times come back at once on some
            // file systems: forget the name so a file saved under it is new.
            m_ledger.seen.remove(name);
            forgetCandidate(name);
            return true;
        }
        // A candidate that is still being written is followed by the poll.
        if ((mask & (IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB)) && m_pendingSizes.contains(name))
            return false;
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

    void scan()
    {
        if (m_isLost || m_inotifyFd < 0)
            return;
        if (!checkFolderIdentity())
            return;
        int error = 0;
        const auto listing = listFolder(&error);
        if (!listing) {
            if (error == ENOENT || error == ENOTDIR)
                m_folderMissing = true;
            else
                loseAfterPendingEvents(Loss::unreadable);
            return;
        }
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
            const FileInfo &info = listing->value(name);
            const auto pending = m_pendingIdentities.constFind(name);
            if (pending != m_pendingIdentities.cend() && *pending == info.identity)
                continue;
            qCDebug(lcFolderWatcher, "Scan found new file %s", qUtf8Printable(name));
            m_pendingIdentities.insert(name, info.identity);
            // The listing examined the file a moment ago: its size stands.
            m_pendingSizes.insert(name, info.size);
            m_pendingStableTicks.insert(name, 0);
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
            qCDebug(lcFolderWatcher, "%s was replaced while being written", qUtf8Printable(name));
        const double latency = now() - info->creationDate;
        qCInfo(lcFolderWatcher, "Stable file %s after %.*fs", qUtf8Printable(name), 3, latency);
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
        qCWarning(lcFolderWatcher, "Lost watched folder %s: %s", qUtf8Printable(m_folder),
            qUtf8Printable(lossName(reason)));
        stopSources();
        if (onFolderLost)
            onFolderLost(reason);
    }

    QString filePath(const QString &name) const { return m_folder + QLatin1Char('/') + name; }

    QString m_folder;
    int m_inotifyFd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_stabilityTimer = nullptr;
    QTimer *m_fallbackScanTimer = nullptr;
    QTimer *m_folderCheckTimer = nullptr;
    bool m_hasFolderIdentity = false;
    dev_t m_folderDevice = 0;
    ino_t m_folderInode = 0;
    bool m_folderMissing = false;
    SeenFileLedger m_ledger;
    bool m_hasBaseline = false;
    bool m_isLost = false;
    QHash<QString, FileIdentity> m_pendingIdentities;
    QHash<QString, qint64> m_pendingSizes;
    QHash<QString, int> m_pendingStableTicks;
};

FolderWatcher::FolderWatcher(const QString &folder)
    : m_folder(folder), m_thread(std::make_unique<QThread>()), m_core(new FolderWatcherCore(folder))
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
    QMetaObject::invokeMethod(
        m_core, [core = m_core] { core->start(); }, Qt::QueuedConnection);
}

void FolderWatcher::restart(const QString &folder)
{
    m_folder = folder;
    QMetaObject::invokeMethod(
        m_core, [core = m_core, folder] { core->restart(folder); }, Qt::QueuedConnection);
}

void FolderWatcher::stop()
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core] { core->stop(); }, Qt::QueuedConnection);
}

} // namespace marlox
