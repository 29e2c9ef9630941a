#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <QString>

#include "detection/detection.h"
#include "detection/filestatus.h"

class QThread;

namespace marlox {

class FolderWatcherCore;

// Reports each new image file in one folder once it has stopped growing, and
// notices when the folder itself goes away. All its work runs on a thread of
// its own; the public operations only schedule work there and may be called
// from the GUI thread at any time, and the watcher may be destroyed while
// that thread runs.
class FolderWatcher
{
public:
    static constexpr int requiredStableTicks = 2;
    static constexpr std::chrono::milliseconds pollInterval { 150 };
    static constexpr std::chrono::milliseconds fallbackScanInterval { 1000 };
    static constexpr std::chrono::milliseconds folderCheckInterval { 30000 };

    // What tests and benchmarks may replace to drive time themselves.
    struct Options
    {
        std::chrono::milliseconds pollInterval = FolderWatcher::pollInterval;
        std::chrono::milliseconds fallbackScanInterval = FolderWatcher::fallbackScanInterval;
        std::chrono::milliseconds folderCheckInterval = FolderWatcher::folderCheckInterval;
        // Wall-clock seconds since 1970; the system clock when empty.
        std::function<double()> clock;
        // Runs on the watcher thread just before the first listing of the
        // folder, to stand for whatever happens between start() and it.
        std::function<void()> beforeBaseline;
    };

    explicit FolderWatcher(const QString &folder);
    FolderWatcher(const QString &folder, Options options);
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher &) = delete;
    FolderWatcher &operator=(const FolderWatcher &) = delete;

    // The folder last given to the constructor or restart() (GUI thread).
    QString folder() const { return m_folder; }

    // Called on the GUI thread.
    void setOnStableFile(std::function<void(const Detection &)> callback);
    // Called on the watcher thread with the errno of the failed open.
    void setOnStartFailure(std::function<void(int)> callback);
    // Called on the watcher thread, once per lost period.
    void setOnFolderLost(std::function<void(Loss)> callback);

    // Takes the baseline listing if none was taken yet, then starts watching.
    void start();
    // Watches folder instead, keeping what was already seen, and scans at once.
    void restart(const QString &folder);
    void stop();

    // Run one fallback scan or one stability poll on the watcher thread and
    // wait for it: callers that drive time themselves need not wait for the
    // timers. Not from the watcher's own callbacks.
    void scanNow();
    void pollNow();

private:
    QString m_folder;
    std::function<double()> m_clock;
    std::unique_ptr<QThread> m_thread;
    FolderWatcherCore *m_core = nullptr; // lives on m_thread, deleted when it ends
};

} // namespace marlox
