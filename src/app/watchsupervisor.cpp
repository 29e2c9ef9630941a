#include "app/watchsupervisor.h"

#include <cstring>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include "detection/folderwatcher.h"
#include "detection/logtext.h"
#include "detection/watchrecovery.h"
#include "platform/log.h"
#include "platform/mounts.h"
#include "platform/sleepwatch.h"

namespace marlox {

namespace {

QString errnoText(int code)
{
    char buffer[256];
    return QString::fromLocal8Bit(strerror_r(code, buffer, sizeof buffer));
}

// Runs f on the GUI thread, but only while the supervisor still exists.
template <typename F> void onGuiThread(QPointer<WatchSupervisor> weak, F f)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [weak, f = std::move(f)] {
            if (weak)
                f(weak.data());
        },
        Qt::QueuedConnection);
}

} // namespace

WatchSupervisor::WatchSupervisor(Hooks hooks, double retryIntervalSeconds, QObject *parent)
    : QObject(parent), m_hooks(std::move(hooks)), m_retryInterval(retryIntervalSeconds)
{ }

WatchSupervisor::~WatchSupervisor()
{
    if (m_watcher)
        m_watcher->stop();
}

void WatchSupervisor::setStatus(const WatchStatus &status)
{
    if (status == m_status)
        return;
    m_status = status;
    Q_EMIT statusChanged();
}

void WatchSupervisor::stopRetrying()
{
    if (!m_retryTimer)
        return;
    m_retryTimer->stop();
    m_retryTimer->deleteLater();
    m_retryTimer = nullptr;
}

void WatchSupervisor::start(const QString &folder)
{
    qCInfo(lcAppState, "Starting watch on %s", qUtf8Printable(escapedForLog(folder)));
    if (m_watcher)
        m_watcher->stop();

    auto watcher = std::make_shared<FolderWatcher>(folder);
    const std::weak_ptr<FolderWatcher> weakWatcher = watcher;
    const QPointer<WatchSupervisor> weak(this);
    watcher->setOnStableFile([weak](const Detection &detection) {
        if (weak)
            weak->m_hooks.detected(detection);
    });
    const QString name = QFileInfo(folder).fileName();
    watcher->setOnStartFailure([weak, name](int code) {
        const QString message = QStringLiteral("Couldn't open %1 (errno %2: %3)")
                                    .arg(name, QString::number(code), errnoText(code));
        onGuiThread(weak, [message](WatchSupervisor *self) {
            qCWarning(lcAppState, "%s", qUtf8Printable(escapedForLog(message)));
            self->enterNotWatching(message);
        });
    });
    const auto epoch = m_epoch;
    watcher->setOnFolderLost([weak, weakWatcher, epoch](Loss loss) {
        const int reportedIn = epoch->load();
        onGuiThread(weak, [weakWatcher, loss, reportedIn](WatchSupervisor *self) {
            // A watcher that has since been replaced or restarted speaks for
            // nobody: its loss was seen before a recovery that came first.
            const auto reporter = weakWatcher.lock();
            if (!reporter || reporter != self->m_watcher || reportedIn != self->m_epoch->load())
                return;
            const QString chosen = self->m_hooks.folder();
            const QString folder = chosen.isEmpty() ? reporter->folder() : chosen;
            self->enterNotWatching(WatchRecovery::lossMessage(loss, folder));
        });
    });

    ++*m_epoch;
    watcher->start();
    m_watcher = std::move(watcher);
    setStatus(WatchStatus::watching(folder));
    stopRetrying();
}

void WatchSupervisor::installObservers()
{
    const QPointer<WatchSupervisor> weak(this);
    auto *sleep = new SleepWatcher(this);
    auto *mounts = new MountWatcher(this);
    connect(sleep, &SleepWatcher::woke, this, [weak] {
        onGuiThread(weak, [](WatchSupervisor *self) { self->recover(WatchTrigger::wake); });
    });
    connect(mounts, &MountWatcher::mounted, this, [weak] {
        onGuiThread(weak, [](WatchSupervisor *self) { self->recover(WatchTrigger::mount); });
    });
    connect(mounts, &MountWatcher::unmounted, this, [weak](const QString &volume) {
        onGuiThread(weak, [volume](WatchSupervisor *self) { self->handleVolumeUnmount(volume); });
    });
}

void WatchSupervisor::enterNotWatching(const QString &message)
{
    qCWarning(lcAppState, "Not watching: %s", qUtf8Printable(escapedForLog(message)));
    setStatus(WatchStatus::notWatching(message));
    if (m_retryTimer || m_hooks.folder().isEmpty())
        return;
    m_retryTimer = new QTimer(this);
    m_retryTimer->setInterval(std::chrono::milliseconds(qint64(m_retryInterval * 1000)));
    const QPointer<WatchSupervisor> weak(this);
    connect(m_retryTimer, &QTimer::timeout, this, [weak] {
        onGuiThread(weak, [](WatchSupervisor *self) { self->recover(WatchTrigger::retry); });
    });
    m_retryTimer->start();
}

void WatchSupervisor::recover(WatchTrigger trigger)
{
    const QString folder = m_hooks.folder();
    if (folder.isEmpty())
        return;
    // A wake re-checks even a healthy watch: the folder may have changed
    // under a sleeping machine. Mounts and retries only mend a lost one.
    if (trigger != WatchTrigger::wake && m_status.isWatching())
        return;

    const auto location
        = WatchRecovery::locate(folder, WatchRecovery::isReachable, m_hooks.resolveBookmark);
    if (!location.isAvailable()) {
        enterNotWatching(location.message);
        return;
    }
    qCInfo(lcAppState, "Recovering watcher (%s) at %s",
        qUtf8Printable(WatchRecovery::triggerName(trigger)),
        qUtf8Printable(escapedForLog(location.location)));
    if (QDir::cleanPath(location.location) != QDir::cleanPath(folder))
        m_hooks.relocated(location.location);
    if (!m_watcher) {
        start(location.location);
        return;
    }
    ++*m_epoch;
    m_watcher->restart(location.location);
    setStatus(WatchStatus::watching(location.location));
    stopRetrying();
}

void WatchSupervisor::handleVolumeUnmount(const QString &volume)
{
    const QString folder = m_hooks.folder();
    if (volume.isEmpty() || folder.isEmpty())
        return;
    if (!WatchRecovery::isInside(folder, volume))
        return;
    if (m_watcher)
        m_watcher->stop();
    enterNotWatching(WatchRecovery::unmountMessage(volume, folder));
}

} // namespace marlox
