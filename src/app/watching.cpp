#include <cstring>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include "app/appstate.h"
#include "detection/folderwatcher.h"
#include "detection/logtext.h"
#include "detection/watchrecovery.h"
#include "platform/log.h"
#include "platform/mounts.h"
#include "platform/sleepwatch.h"
#include "storage/preferences.h"

namespace marlox {

namespace {

QString errnoText(int code)
{
    char buffer[256];
    return QString::fromLocal8Bit(strerror_r(code, buffer, sizeof buffer));
}

// Runs f on the GUI thread, but only while the coordinator still exists.
template <typename F> void onGuiThread(QPointer<AppState> weak, F f)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [weak, f = std::move(f)] {
            if (weak)
                f(weak.data());
        },
        Qt::QueuedConnection);
}

void discardTimer(QTimer *&timer)
{
    if (!timer)
        return;
    timer->stop();
    timer->deleteLater();
    timer = nullptr;
}

} // namespace

void AppState::startWatching(const QString &folder)
{
    qCInfo(lcAppState, "Starting watch on %s", qUtf8Printable(escapedForLog(folder)));
    if (m_watcher)
        m_watcher->stop();

    auto watcher = std::make_shared<FolderWatcher>(folder);
    const std::weak_ptr<FolderWatcher> weakWatcher = watcher;
    const QPointer<AppState> weak(this);
    watcher->setOnStableFile([weak](const Detection &detection) {
        if (weak)
            weak->handleDetection(detection);
    });
    const QString name = QFileInfo(folder).fileName();
    watcher->setOnStartFailure([weak, name](int code) {
        const QString message = QStringLiteral("Couldn't open %1 (errno %2: %3)")
                                    .arg(name, QString::number(code), errnoText(code));
        onGuiThread(weak, [message](AppState *self) {
            qCWarning(lcAppState, "%s", qUtf8Printable(escapedForLog(message)));
            self->enterNotWatching(message);
        });
    });
    const auto epoch = m_watchEpoch;
    watcher->setOnFolderLost([weak, weakWatcher, epoch](Loss loss) {
        const int reportedIn = epoch->load();
        onGuiThread(weak, [weakWatcher, loss, reportedIn](AppState *self) {
            // A watcher that has since been replaced or restarted speaks for
            // nobody: its loss was seen before a recovery that came first.
            const auto reporter = weakWatcher.lock();
            if (!reporter || reporter != self->m_watcher
                || reportedIn != self->m_watchEpoch->load())
                return;
            const QString folder = self->m_screenshotFolder.isEmpty() ? reporter->folder()
                                                                      : self->m_screenshotFolder;
            self->enterNotWatching(WatchRecovery::lossMessage(loss, folder));
        });
    });

    ++*m_watchEpoch;
    watcher->start();
    m_watcher = std::move(watcher);
    setWatchStatus(WatchStatus::watching(folder));
    discardTimer(m_watchRetryTimer);
}

void AppState::installObservers()
{
    const QPointer<AppState> weak(this);
    m_sleepWatcher = new SleepWatcher(this);
    m_mountWatcher = new MountWatcher(this);
    m_workspaceObservers.append(connect(m_sleepWatcher, &SleepWatcher::woke, this, [weak] {
        onGuiThread(weak, [](AppState *self) { self->recoverWatcher(WatchTrigger::wake); });
    }));
    m_workspaceObservers.append(connect(m_mountWatcher, &MountWatcher::mounted, this, [weak] {
        onGuiThread(weak, [](AppState *self) { self->recoverWatcher(WatchTrigger::mount); });
    }));
    m_workspaceObservers.append(
        connect(m_mountWatcher, &MountWatcher::unmounted, this, [weak](const QString &volume) {
            onGuiThread(weak, [volume](AppState *self) { self->handleVolumeUnmount(volume); });
        }));
}

void AppState::enterNotWatching(const QString &message)
{
    qCWarning(lcAppState, "Not watching: %s", qUtf8Printable(escapedForLog(message)));
    setWatchStatus(WatchStatus::notWatching(message));
    if (m_watchRetryTimer || m_screenshotFolder.isEmpty())
        return;
    m_watchRetryTimer = new QTimer(this);
    m_watchRetryTimer->setInterval(
        std::chrono::milliseconds(qint64(m_deps.watchRetryInterval * 1000)));
    const QPointer<AppState> weak(this);
    connect(m_watchRetryTimer, &QTimer::timeout, this, [weak] {
        onGuiThread(weak, [](AppState *self) { self->recoverWatcher(WatchTrigger::retry); });
    });
    m_watchRetryTimer->start();
}

void AppState::recoverWatcher(WatchTrigger trigger)
{
    const WatchStatus status = m_watchStatus;
    if (m_screenshotFolder.isEmpty())
        return;
    // A wake re-checks even a healthy watch: the folder may have changed
    // under a sleeping machine. Mounts and retries only mend a lost one.
    if (trigger != WatchTrigger::wake && status.isWatching())
        return;

    const auto location = WatchRecovery::locate(m_screenshotFolder, WatchRecovery::isReachable,
        [this] { return m_bookmarkStore.resolve(Preferences::screenshotFolderBookmark); });
    if (!location.isAvailable()) {
        enterNotWatching(location.message);
        return;
    }
    qCInfo(lcAppState, "Recovering watcher (%s) at %s",
        qUtf8Printable(WatchRecovery::triggerName(trigger)),
        qUtf8Printable(escapedForLog(location.location)));
    if (QDir::cleanPath(location.location) != QDir::cleanPath(m_screenshotFolder)) {
        setScreenshotFolderValue(location.location);
        refreshSystemScreenshotFolder();
    }
    if (!m_watcher) {
        startWatching(location.location);
        return;
    }
    ++*m_watchEpoch;
    m_watcher->restart(location.location);
    setWatchStatus(WatchStatus::watching(location.location));
    discardTimer(m_watchRetryTimer);
}

void AppState::handleVolumeUnmount(const QString &volume)
{
    if (volume.isEmpty() || m_screenshotFolder.isEmpty())
        return;
    if (!WatchRecovery::isInside(m_screenshotFolder, volume))
        return;
    if (m_watcher)
        m_watcher->stop();
    enterNotWatching(WatchRecovery::unmountMessage(volume, m_screenshotFolder));
}

} // namespace marlox
