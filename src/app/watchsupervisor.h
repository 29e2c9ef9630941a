#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include <QObject>
#include <QString>

#include "detection/detection.h"
#include "storage/bookmarkstore.h"

class QTimer;

namespace marlox {

class FolderWatcher;

// Whether the screenshot folder is being watched, and if not, why.
struct WatchStatus
{
    enum class Kind { watching, notWatching };
    Kind kind = Kind::notWatching;
    QString folder; // watching
    QString message; // notWatching: the reason shown to the user

    static WatchStatus watching(const QString &folder) { return { Kind::watching, folder, {} }; }
    static WatchStatus notWatching(const QString &message)
    {
        return { Kind::notWatching, {}, message };
    }
    bool isWatching() const { return kind == Kind::watching; }
    bool operator==(const WatchStatus &) const = default;
};

// Keeps the screenshot folder watched: starts the watcher, notices when the
// folder goes (deleted, unmounted, unreadable), retries on a timer, on wake
// and on mounts, and follows the folder when its bookmark finds it elsewhere.
class WatchSupervisor : public QObject
{
    Q_OBJECT

public:
    struct Hooks
    {
        // The screenshot folder the user chose; empty when none.
        std::function<QString()> folder;
        // Recovery found the folder at a new place.
        std::function<void(const QString &location)> relocated;
        std::function<BookmarkStore::Resolution()> resolveBookmark;
        // A new file stopped growing (GUI thread).
        std::function<void(const Detection &)> detected;
    };

    WatchSupervisor(Hooks hooks, double retryIntervalSeconds, QObject *parent = nullptr);
    ~WatchSupervisor() override;

    WatchStatus status() const { return m_status; }
    void setStatus(const WatchStatus &status);
    bool isRetrying() const { return m_retryTimer != nullptr; }

    void start(const QString &folder);
    void enterNotWatching(const QString &message);
    void recover(WatchTrigger trigger);
    void handleVolumeUnmount(const QString &volume);
    // Wake, mount and unmount observers from the system.
    void installObservers();

Q_SIGNALS:
    void statusChanged();

private:
    void stopRetrying();

    Hooks m_hooks;
    double m_retryInterval;
    WatchStatus m_status = WatchStatus::notWatching(QStringLiteral("Starting up…"));
    std::shared_ptr<FolderWatcher> m_watcher;
    // Bumped at every (re)start of the watcher; a loss reported under an
    // older value was about the folder watched before.
    std::shared_ptr<std::atomic<int>> m_epoch = std::make_shared<std::atomic<int>>(0);
    QTimer *m_retryTimer = nullptr;
};

} // namespace marlox

Q_DECLARE_METATYPE(marlox::WatchStatus)
