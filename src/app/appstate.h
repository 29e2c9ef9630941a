#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include <QDateTime>
#include <QFuture>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSet>
#include <QString>
#include <QStringList>

#include "app/capturepipeline.h"
#include "app/folderlocations.h"
#include "app/folderpaths.h"
#include "app/presenters.h"
#include "app/promptflow.h"
#include "app/promptqueue.h"
#include "app/recognitionwork.h"
#include "app/recordlist.h"
#include "app/selfplacedfiles.h"
#include "app/watchsupervisor.h"
#include "detection/detection.h"
#include "filing/pendingundo.h"
#include "filing/wordboxes.h"
#include "platform/dialogs.h"
#include "storage/bookmarkstore.h"
#include "storage/librarysection.h"
#include "storage/screenshotdatabase.h"
#include "storage/screenshotrecord.h"

class QThreadPool;

namespace marlox {

class BacklogImport;
class DuplicateFinder;
class TextRecognizer;
class FrontmostApplication;
class AppSettings;
class DuplicateActions;
class RecordActions;

// Everything AppState takes from outside. Only `dialogs` is required; the
// rest fall back to the real platform services when left empty.
struct AppStateDependencies
{
    std::shared_ptr<Dialogs> dialogs;
    std::function<std::unique_ptr<CapturePromptPresenter>()> makeCapturePrompt;
    std::shared_ptr<UndoToastPresenter> undoToast;
    std::shared_ptr<FileTrashing> trasher;
    std::shared_ptr<TextRecognizer> ocr;
    std::shared_ptr<FrontmostApplication> frontmost;
    // Empty: ScreenshotDatabase::defaultPath().
    QString databasePath;
    // Wake, mount and unmount observers from the system (off in most tests).
    bool installSystemObservers = true;
    // Delays between read attempts of a new screenshot, in seconds.
    QList<double> readRetryDelays = { 0.5, 1.0, 2.0, 4.0 };
    // Delays before indexing an auto-saved capture again after the index
    // refused it, in seconds; the last one repeats while the file is there.
    QList<double> indexRetryDelays = { 2.0, 10.0, 60.0 };
    // Seconds between attempts to get a lost screenshot folder back.
    double watchRetryInterval = 30.0;
    // Called instead of exiting when even an in-memory database fails (tests).
    std::function<void(int status)> exit;
};

// The one coordinator: owns every service, runs start-up, and wires the
// parts that keep their own state: the record list, the two folder
// locations, the watch, the capture pipeline, the recognition work and the
// prompt with its undo. Lives on the GUI thread; what it still does itself is
// split over a few source files (recordloading.cpp, folderactions.cpp,
// rebuild.cpp); the narrow views windows take of it are in
// windowinterfaces.cpp.
class AppState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString screenshotFolder READ screenshotFolder NOTIFY screenshotFolderChanged)
    Q_PROPERTY(QString libraryRoot READ libraryRoot NOTIFY libraryRootChanged)
    Q_PROPERTY(bool autoSaveEnabled READ autoSaveEnabled WRITE setAutoSaveEnabled NOTIFY
            autoSaveEnabledChanged)
    Q_PROPERTY(QStringList recentFolders READ recentFolders NOTIFY recentFoldersChanged)
    Q_PROPERTY(QDateTime lastDetectionAt READ lastDetectionAt NOTIFY lastDetectionAtChanged)
    Q_PROPERTY(QDateTime lastSavedAt READ lastSavedAt NOTIFY lastSavedAtChanged)

public:
    explicit AppState(AppStateDependencies dependencies, QObject *parent = nullptr);
    ~AppState() override;

    // ---- published state (empty text / invalid time = none)
    QString screenshotFolder() const { return m_locations->screenshotFolder(); }
    QString libraryRoot() const { return m_locations->libraryRoot(); }
    FolderLocations &locations() const { return *m_locations; }
    const QList<ScreenshotRecord> &records() const;
    RecordList &recordList() const { return *m_recordList; }
    WatchStatus watchStatus() const { return m_watch->status(); }
    QDateTime lastDetectionAt() const { return m_captures->lastDetectionAt(); }
    QDateTime lastSavedAt() const { return m_lastSavedAt; }
    bool autoSaveEnabled() const { return m_autoSaveEnabled; }
    void setAutoSaveEnabled(bool enabled);
    QStringList recentFolders() const { return m_recentFolders; }
    QString macOSScreenshotFolderIfDifferent() const { return m_systemFolderIfDifferent; }
    // "Rebuilding index… N of M" while a rebuild runs, else empty.
    QString rebuildProgress() const { return m_rebuildProgress; }

    ScreenshotDatabase &database() const { return *m_database; }
    Dialogs &dialogs() const { return *m_deps.dialogs; }
    // What a window showing one record uses; goes first when AppState goes.
    RecordActions &recordActions() const { return *m_recordActions; }
    // What the Settings window uses; goes first when AppState goes.
    AppSettings &appSettings() const { return *m_appSettings; }
    // What the library's Duplicates section uses; goes first when AppState goes.
    DuplicateActions &duplicateActions() const { return *m_duplicateActions; }
    const PromptQueue &promptQueue() const { return m_prompts->queue(); }
    const PendingUndoSlot &pendingUndoSlot() const { return m_prompts->pendingUndo(); }
    bool isDatabaseDegraded() const { return m_databaseDegraded; }
    // Adds the screenshots that were in the folder before Marlox to the Inbox.
    BacklogImport &backlogImport() const { return *m_backlog; }
    // Detected and not indexed yet.
    bool isCaptureInFlight(const QString &path) const { return m_captures->isInFlight(path); }
    std::shared_ptr<TextRecognizer> recognizer() { return textRecognizer(); }

    // ---- start-up and the system screenshot location
    void refreshSystemScreenshotFolder();

    // ---- new captures and imported copies (capturepipeline.h)
    CapturePipeline &captures() const { return *m_captures; }
    void handleDetection(const Detection &detection) { m_captures->handleDetection(detection); }
    void finishPendingCaptures() { m_captures->finishPending(); }
    int importFiles(const QStringList &paths, const QString &folder)
    {
        return m_captures->importFiles(paths, folder);
    }
    static bool isImportable(const QString &path, const QString &libraryRoot)
    {
        return CapturePipeline::isImportable(path, libraryRoot);
    }

    // ---- the prompt and the Trash with its undo (promptflow.h)
    PromptFlow &prompts() const { return *m_prompts; }
    void appendToPromptQueue(PromptQueue::Item item) { m_prompts->append(std::move(item)); }
    std::optional<QString> savePrompt(
        const ScreenshotRecord &record, const QString &title, const QString &folder)
    {
        return m_prompts->save(record, title, folder);
    }
    void skipPrompt(const ScreenshotRecord &record, const std::optional<QString> &typedTitle)
    {
        m_prompts->skip(record, typedTitle);
    }
    void enqueueForPrompt(const ScreenshotRecord &record) { m_prompts->enqueue(record); }
    void undoDiscard() { m_prompts->undoDiscard(); }
    void deleteRecord(const ScreenshotRecord &record, const std::optional<QRect> &windowFrame)
    {
        m_prompts->deleteRecord(record, windowFrame);
    }
    void deleteRecords(
        const QList<ScreenshotRecord> &records, const std::optional<QRect> &windowFrame)
    {
        m_prompts->deleteRecords(records, windowFrame);
    }
    bool deleteFromDetail(const ScreenshotRecord &record)
    {
        return m_prompts->deleteFromDetail(record);
    }
    void reopenPrompt() { m_prompts->reopen(); }
    bool isPromptVisible() const { return m_prompts->isVisible(); }

    // ---- record list (recordloading.cpp)
    void reloadRecords() { m_recordList->reload(); }
    void refreshRecord(qint64 id) { m_recordList->refresh(id); }
    int inboxCount() const { return m_recordList ? m_recordList->inboxCount() : 0; }
    void reconcileLibrary();
    QList<SearchResult> searchRecords(const QString &text, const LibrarySection &section);
    // Records whose text holds words close to the typed ones (recognition
    // misreadings, small typos), leaving out the exact results; for when
    // searchRecords finds fewer than similarThreshold. Blocks: call it off the
    // GUI thread, as the search is.
    static constexpr int similarThreshold = 5;
    QList<SearchResult> similarRecords(
        const QString &text, const LibrarySection &section, const QList<SearchResult> &exact);
    QFuture<QString> loadOCRText(const ScreenshotRecord &record)
    {
        return m_recognition->loadText(record.id);
    }
    QFuture<QList<WordBox>> loadWordBoxes(const ScreenshotRecord &record, const QImage &image,
        std::shared_ptr<std::atomic_bool> cancel)
    {
        return m_recognition->loadWordBoxes(record.id, image, std::move(cancel));
    }
    void copyOCRText(const ScreenshotRecord &record);
    QFuture<QList<ScreenshotCode>> loadCodes(const ScreenshotRecord &record, const QImage &image)
    {
        return m_recognition->loadCodes(record.id, image);
    }

    // Identical and similar files (duplicatefinder.h).
    DuplicateFinder &duplicates() const { return *m_duplicates; }

    // ---- folder locations
    void chooseScreenshotFolder(const std::optional<QString> &message = std::nullopt,
        const std::optional<QString> &startingLocation = std::nullopt)
    {
        m_locations->chooseScreenshotFolder(message, startingLocation);
    }
    void setScreenshotFolder(const QString &location)
    {
        m_locations->setScreenshotFolder(location);
    }
    void chooseLibraryRoot(const std::optional<QString> &message = std::nullopt)
    {
        m_locations->chooseLibraryRoot(message);
    }
    void createLibraryRoot(const std::optional<QString> &message = std::nullopt)
    {
        m_locations->createLibraryRoot(message);
    }
    void setLibraryRoot(const QString &location, bool create)
    {
        m_locations->setLibraryRoot(location, create);
    }

    // ---- filing and folders (folderactions.cpp)
    // Files through LibraryFileService, then the after-filing steps (recent
    // folders, refresh, lastSavedAt). Throws what the service throws.
    ScreenshotRecord fileRecord(
        const ScreenshotRecord &record, const QString &title, const QString &folder);
    void noteFolderUsed(const QString &folder);
    QStringList folderNames() const;
    bool folderIsEmpty(const QString &name);
    void createFolder(const QString &name);
    void renameFolder(const QString &oldName, const QString &newName);
    void deleteFolder(const QString &name);

    // ---- watch recovery
    void startWatching(const QString &folder) { m_watch->start(folder); }
    void enterNotWatching(const QString &message) { m_watch->enterNotWatching(message); }
    void recoverWatcher(WatchTrigger trigger) { m_watch->recover(trigger); }
    void handleVolumeUnmount(const QString &volume) { m_watch->handleVolumeUnmount(volume); }
    bool isRetryingWatch() const { return m_watch->isRetrying(); }

    // ---- recognition languages, a record's text, Recognise Again
    RecognitionWork &recognition() const { return *m_recognition; }
    QStringList ocrLanguages() const { return m_recognition->ocrLanguages(); }
    void setOcrLanguages(const QStringList &languages)
    {
        m_recognition->setOcrLanguages(languages);
    }
    bool recogniseAgain() { return m_recognition->recogniseAgain(); }
    void cancelRecogniseAgain() { m_recognition->cancelRecogniseAgain(); }
    RecognitionProgress recognitionProgress() const { return m_recognition->progress(); }

Q_SIGNALS:
    void screenshotFolderChanged();
    void libraryRootChanged();
    // The whole list was replaced.
    void recordsChanged();
    // One row of the list changed; before or after is none when it came or went.
    void recordReplaced(const std::optional<marlox::ScreenshotRecord> &before,
        const std::optional<marlox::ScreenshotRecord> &after);
    void watchStatusChanged();
    void lastDetectionAtChanged();
    void lastSavedAtChanged();
    void autoSaveEnabledChanged();
    void recentFoldersChanged();
    void macOSScreenshotFolderIfDifferentChanged();
    void rebuildProgressChanged();
    void promptQueueChanged();
    // Start-up's launch check ran: the shell shows onboarding when needed.
    void launchCheckFinished();
    // A pass comparing the index with the library tree has ended.
    void libraryReconciled();
    void ocrLanguagesChanged();
    void recognitionProgressChanged();

private:
    // windowinterfaces.cpp
    void makeWindowInterfaces();
    void openDatabase();
    void loadPreferences();
    void runMigrations();
    // Start-up's rebuild when the index owes one, then a reconcile and the
    // recognition of rows still owed text.
    void startRebuild();
    void libraryRootChosen();
    void runLibraryUpkeep(bool rebuild);
    void runReconcile(bool followUp);
    void reconcileAgainIfDeferred(bool deferred);
    struct OwedRecognition;
    // Reads the text of rebuilt and adopted rows, a few per job.
    void recogniseOwed();
    void recogniseOwedChunk(std::shared_ptr<OwedRecognition> run);
    void launchCheck(
        const BookmarkStore::Resolution &screenshot, const BookmarkStore::Resolution &library);
    void showFatalDatabaseAlert(const QString &description);

    void setRecentFolders(const QStringList &folders, bool persist);
    void setLastSavedAt(const QDateTime &time);
    void setRebuildProgress(const QString &text);

    // The injected recognizer, or the real one made on first use.
    std::shared_ptr<TextRecognizer> textRecognizer();

    AppStateDependencies m_deps;
    std::unique_ptr<RecordActions> m_recordActions;
    std::unique_ptr<AppSettings> m_appSettings;
    std::unique_ptr<DuplicateActions> m_duplicateActions;

    QDateTime m_lastSavedAt;
    bool m_autoSaveEnabled = false;
    QStringList m_recentFolders;
    QString m_systemFolderIfDifferent;
    QString m_rebuildProgress;

    std::unique_ptr<ScreenshotDatabase> m_database;
    // After the database: its background reload reads from it.
    std::unique_ptr<RecordList> m_recordList;
    bool m_databaseDegraded = false;
    bool m_databaseMovedAside = false;
    // After the database, so it goes (waiting for its jobs) before it.
    std::unique_ptr<DuplicateFinder> m_duplicates;
    std::unique_ptr<FolderLocations> m_locations;
    std::unique_ptr<WatchSupervisor> m_watch;
    // Put back into the screenshot folder by Marlox; not new captures.
    SelfPlacedFiles m_selfPlaced;
    // After the database, the record list and m_selfPlaced, which its hooks
    // reach; it closes the prompt when it goes.
    std::unique_ptr<PromptFlow> m_prompts;
    // After the prompt flow, which it hands captures to.
    std::unique_ptr<CapturePipeline> m_captures;
    QThreadPool *m_utilityPool = nullptr;
    bool m_recognisingOwed = false;
    // Set when AppState goes: a rebuild's recognition pass stops at the next file.
    std::shared_ptr<std::atomic<bool>> m_stopBackground
        = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::Connection m_activationObserver;
    // After the database on purpose: members go in reverse order, so text
    // reads and a running pass are stopped and waited for while the database
    // still exists.
    std::unique_ptr<RecognitionWork> m_recognition;
    // Last: goes first, stopping its workers while the database still exists.
    std::unique_ptr<BacklogImport> m_backlog;
};

} // namespace marlox
