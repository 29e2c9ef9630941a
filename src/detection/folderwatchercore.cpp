#include "detection/folderwatchercore.h"

#include <algorithm>
#include <cerrno>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include "detection/logtext.h"
#include "platform/log.h"

namespace marlox {

namespace {

constexpr uint32_t watchMask = IN_CREATE | IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM
    | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_Q_OVERFLOW
    | IN_ONLYDIR;

template <typename Handler>
QTimer *makeTimer(QObject *owner, std::chrono::milliseconds interval, Handler handler)
{
    auto *timer = new QTimer(owner);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(interval);
    QObject::connect(timer, &QTimer::timeout, owner, handler);
    return timer;
}

} // namespace

FolderWatcherCore::FolderWatcherCore(const QString &folder, FolderWatcher::Options options)
    : m_folder(folder), m_options(std::move(options))
{
    if (!m_options.clock)
        m_options.clock = fileSystemNow;
}

FolderWatcherCore::~FolderWatcherCore()
{
    stopSources();
}

void FolderWatcherCore::start(double requestedAt)
{
    stopSources();
    const bool heldBack = !m_hasBaseline && takeBaseline(requestedAt);
    if (startSources() && heldBack)
        scan(true);
}

void FolderWatcherCore::restart(const QString &folder, double requestedAt)
{
    stopSources();
    m_folder = folder;
    if (!m_hasBaseline)
        takeBaseline(requestedAt);
    if (startSources())
        scan(true);
}

void FolderWatcherCore::stabilityTick()
{
    const auto stable = m_candidates.poll([this](const QString &name) -> std::optional<qint64> {
        const auto info = FileInfo::examine(filePath(name));
        return info ? std::optional<qint64>(info->size) : std::nullopt;
    });
    for (const auto &[name, identity] : stable)
        emitStable(name, identity);
    // Nothing to follow: no reason to wake up until a candidate appears.
    if (m_candidates.isEmpty() && m_stabilityTimer)
        m_stabilityTimer->stop();
}

bool FolderWatcherCore::startSources()
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
        m_stabilityTimer = makeTimer(this, m_options.pollInterval, [this] { stabilityTick(); });
        m_fallbackScanTimer = makeTimer(this, m_options.fallbackScanInterval, [this] { scan(); });
        m_folderCheckTimer = makeTimer(this, m_options.folderCheckInterval, [this] {
            if (!m_isLost)
                checkFolderIdentity();
        });
    }
    m_fallbackScanTimer->start();
    m_folderCheckTimer->start();
    return true;
}

void FolderWatcherCore::stopSources()
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
    m_candidates.clear();
    // Events go unseen from here on: the next listing examines every file.
    m_trustedStamp.reset();
    m_examineAllNext = true;
}

// Reads every queued event. With mayScan false only losses and dropped names
// are taken in: the caller is deciding about a loss itself.
void FolderWatcherCore::readEvents(bool mayScan)
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

// Collects the names an event may have made new; a removed name leaves the
// ledger and the candidates at once.
void FolderWatcherCore::noteNameEvent(const QByteArray &raw, uint32_t mask, QSet<QString> &touched)
{
    const auto name = decodedName(raw);
    if (!name || !isCandidateName(*name))
        return; // the listing names undecodable files once
    if (mask & (IN_DELETE | IN_MOVED_FROM)) {
        // Inode numbers and coarse birth times come back at once on some
        // file systems: forget the name so a file saved under it is new.
        m_ledger.seen.remove(*name);
        m_candidates.forget(*name);
        touched.remove(*name);
        return;
    }
    // A candidate that is still being written is followed by the poll.
    if ((mask & (IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB)) && m_candidates.contains(*name))
        return;
    touched.insert(*name);
}

// One name an event pointed at, examined on its own: a folder of many files
// is not listed for every event.
void FolderWatcherCore::considerName(const QString &name)
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
        qCDebug(lcFolderWatcher, "Event found new file %s", qUtf8Printable(escapedForLog(name)));
}

// Answers false when the file already is a candidate.
bool FolderWatcherCore::addCandidate(const QString &name, const FileInfo &info)
{
    if (!m_candidates.add(name, info.identity, info.size))
        return false;
    if (m_stabilityTimer && !m_stabilityTimer->isActive())
        m_stabilityTimer->start();
    return true;
}

// A loss found by looking: events still queued may name it better.
void FolderWatcherCore::loseAfterPendingEvents(Loss reason)
{
    readEvents(false);
    if (!m_isLost)
        markLost(reason);
}

// Answers false when the folder was found lost.
bool FolderWatcherCore::checkFolderIdentity()
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

void FolderWatcherCore::emitStable(const QString &name, const FileIdentity &added)
{
    const QString path = filePath(name);
    const auto info = FileInfo::examine(path);
    if (!info)
        return;
    m_ledger.seen.insert(name, info->identity);
    if (added != info->identity)
        qCDebug(lcFolderWatcher, "%s was replaced while being written",
            qUtf8Printable(escapedForLog(name)));
    const double latency = m_options.clock() - info->creationDate;
    qCInfo(lcFolderWatcher, "Stable file %s after %.*fs", qUtf8Printable(escapedForLog(name)), 3,
        latency);
    if (!onStableFile)
        return;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [callback = onStableFile, detection = Detection { path, latency }] { callback(detection); },
        Qt::QueuedConnection);
}

void FolderWatcherCore::markLost(Loss reason)
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

} // namespace marlox
