#pragma once

#include <optional>

#include <sys/types.h>

#include <QObject>
#include <QSet>

#include "detection/filestatus.h"
#include "detection/folderwatcher.h"
#include "detection/stabilitytracker.h"

class QSocketNotifier;
class QTimer;

namespace marlox {

// The watcher's state. Lives on the watcher thread and is touched only there.
// Its listings of the folder (the baseline and the fallback scan) are in
// folderscan.cpp, its events and losses in folderwatchercore.cpp.
class FolderWatcherCore : public QObject
{
public:
    FolderWatcherCore(const QString &folder, FolderWatcher::Options options);
    ~FolderWatcherCore() override;

    std::function<void(const Detection &)> onStableFile;
    std::function<void(int)> onStartFailure;
    std::function<void(Loss)> onFolderLost;

    void start(double requestedAt);
    void restart(const QString &folder, double requestedAt);
    void stop() { stopSources(); }
    // The fallback timer's scan. A forced scan lists and examines every file
    // even when the folder's stamp says nothing changed.
    void scan(bool force = false);
    void stabilityTick();

private:
    using Listing = QHash<QString, FileInfo>;

    std::optional<Listing> listFolder(bool examineAll, int *error = nullptr);
    void noteUndecodable(const QSet<QByteArray> &names);
    void trustStampIfSettled(const std::optional<FolderStamp> &stamp, double listedAt);
    bool takeBaseline(double requestedAt);

    bool startSources();
    void stopSources();
    void readEvents(bool mayScan);
    void noteNameEvent(const QByteArray &raw, uint32_t mask, QSet<QString> &touched);
    void considerName(const QString &name);
    bool addCandidate(const QString &name, const FileInfo &info);
    void loseAfterPendingEvents(Loss reason);
    bool checkFolderIdentity();
    void emitStable(const QString &name, const FileIdentity &added);
    void markLost(Loss reason);

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
    StabilityTracker m_candidates { FolderWatcher::requiredStableTicks };
};

} // namespace marlox
