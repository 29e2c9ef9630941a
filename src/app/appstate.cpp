#include "app/appstate.h"

#include <cstdlib>

#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include "app/appsettings.h"
#include "app/backlogimport.h"
#include "app/duplicateactions.h"
#include "app/duplicatefinder.h"
#include "app/recordactions.h"
#include "filing/legacymigration.h"
#include "filing/ocrengine.h"
#include "platform/homedirectory.h"
#include "platform/log.h"
#include "platform/screenshotlocation.h"
#include "storage/databaserecovery.h"
#include "storage/preferences.h"

namespace marlox {

AppState::AppState(AppStateDependencies dependencies, QObject *parent)
    : QObject(parent), m_deps(std::move(dependencies))
{
    Q_ASSERT(m_deps.dialogs);
    makeWindowInterfaces();
    m_locations = std::make_unique<FolderLocations>(m_deps.dialogs);
    connect(m_locations.get(), &FolderLocations::screenshotFolderChanged, this,
        &AppState::screenshotFolderChanged);
    connect(m_locations.get(), &FolderLocations::libraryRootChanged, this,
        &AppState::libraryRootChanged);
    connect(m_locations.get(), &FolderLocations::screenshotFolderChosen, this,
        [this] { startWatching(screenshotFolder()); });
    connect(
        m_locations.get(), &FolderLocations::libraryRootChosen, this, &AppState::libraryRootChosen);
    // The supervisor lives inside AppState, so its hooks never outlive it.
    m_watch = std::make_unique<WatchSupervisor>(
        WatchSupervisor::Hooks { [this] { return screenshotFolder(); },
            [this](const QString &location) {
                m_locations->relocateScreenshotFolder(location);
                refreshSystemScreenshotFolder();
            },
            [this] { return m_locations->resolveScreenshotFolder(); },
            [this](const Detection &detection) { handleDetection(detection); } },
        m_deps.watchRetryInterval);
    connect(m_watch.get(), &WatchSupervisor::statusChanged, this, &AppState::watchStatusChanged);
    m_utilityPool = new QThreadPool(this);
    m_utilityPool->setMaxThreadCount(1);
    m_utilityPool->setThreadPriority(QThread::LowPriority);

    openDatabase();
    // Only reached when an injected exit() returned instead of ending the process.
    if (!m_database)
        return;
    m_recordList = std::make_unique<RecordList>(*m_database);
    connect(m_recordList.get(), &RecordList::recordsChanged, this, &AppState::recordsChanged);
    connect(m_recordList.get(), &RecordList::recordReplaced, this, &AppState::recordReplaced);
    // Lives inside AppState, so its hooks never outlive it.
    m_prompts = std::make_unique<PromptFlow>(*m_database, *m_recordList, m_deps.dialogs,
        m_deps.makeCapturePrompt, m_deps.undoToast, m_deps.trasher,
        PromptFlow::Hooks {
            [this](const ScreenshotRecord &record, const QString &title, const QString &folder) {
                return fileRecord(record, title, folder);
            },
            [this] { return m_recentFolders; }, [this] { return folderNames(); },
            [this](const QString &path) { m_selfPlaced.note(path); } });
    connect(m_prompts.get(), &PromptFlow::queueChanged, this, &AppState::promptQueueChanged);
    m_captures = std::make_unique<CapturePipeline>(*m_database, *m_recordList, *m_prompts,
        m_selfPlaced, *m_utilityPool, textRecognizer(), m_deps.frontmost,
        CapturePipeline::Delays { m_deps.readRetryDelays, m_deps.indexRetryDelays },
        CapturePipeline::Hooks { [this] { return m_autoSaveEnabled; },
            [this] { return libraryRoot(); },
            [this](const QString &path) { return m_backlog->handOver(path); },
            [this](const ScreenshotRecord &record, const QString &title, const QString &folder) {
                return fileRecord(record, title, folder);
            } });
    connect(m_captures.get(), &CapturePipeline::lastDetectionAtChanged, this,
        &AppState::lastDetectionAtChanged);
    m_duplicates = std::make_unique<DuplicateFinder>(*m_database);
    connect(this, &AppState::libraryReconciled, m_duplicates.get(),
        &DuplicateFinder::fillMissingHashes);
    m_backlog = std::make_unique<BacklogImport>(*this);
    m_autoSaveEnabled = Preferences::boolValue(Preferences::autoSaveEnabled, false);
    m_recognition
        = std::make_unique<RecognitionWork>(*m_database, textRecognizer(), m_stopBackground);
    connect(m_recognition.get(), &RecognitionWork::ocrLanguagesChanged, this,
        &AppState::ocrLanguagesChanged);
    connect(m_recognition.get(), &RecognitionWork::progressChanged, this,
        &AppState::recognitionProgressChanged);
    connect(m_recognition.get(), &RecognitionWork::passEnded, this, &AppState::reloadRecords);
    m_recognition->loadLanguages();

    if (m_databaseDegraded) {
        m_watch->setStatus(
            WatchStatus::notWatching(QStringLiteral("Marlox's database couldn't be opened.")));
        return;
    }

    const QStringList stored = Preferences::stringList(Preferences::recentFolders);
    const QStringList migrated = LegacyMigration::migrateRecentFolders(stored);
    m_recentFolders = migrated;
    if (migrated != stored)
        Preferences::setValue(Preferences::recentFolders, migrated);

    const FolderLocations::Launch launch = m_locations->resolveAtLaunch();
    const BookmarkStore::Resolution screenshotResolution = launch.screenshotFolder;
    const BookmarkStore::Resolution libraryResolution = launch.libraryRoot;

    runMigrations();

    m_recordList->loadNow();

    startRebuild();

    if (screenshotFolder().isEmpty()) {
        const QString noun = QStringLiteral("screenshot folder");
        switch (screenshotResolution.kind) {
        case BookmarkStore::Resolution::Kind::failed:
            m_watch->setStatus(
                WatchStatus::notWatching(QStringLiteral("Couldn't reopen the %1 (%2).")
                                             .arg(noun, screenshotResolution.reason)));
            break;
        case BookmarkStore::Resolution::Kind::notSet:
            m_watch->setStatus(WatchStatus::notWatching(QStringLiteral("No %1 is set.").arg(noun)));
            break;
        case BookmarkStore::Resolution::Kind::resolved:
            m_watch->setStatus(WatchStatus::notWatching(QString()));
            break;
        }
    } else {
        startWatching(screenshotFolder());
    }

    refreshSystemScreenshotFolder();

    QPointer<AppState> weak(this);
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        m_activationObserver = connect(app, &QGuiApplication::applicationStateChanged, this,
            [weak](Qt::ApplicationState state) {
                if (state != Qt::ApplicationActive)
                    return;
                QMetaObject::invokeMethod(
                    weak,
                    [weak] {
                        if (weak)
                            weak->refreshSystemScreenshotFolder();
                    },
                    Qt::QueuedConnection);
            });
    }
    if (m_deps.installSystemObservers)
        m_watch->installObservers();

    QMetaObject::invokeMethod(
        this,
        [weak, screenshotResolution, libraryResolution] {
            if (weak)
                weak->launchCheck(screenshotResolution, libraryResolution);
        },
        Qt::QueuedConnection);
}

AppState::~AppState()
{
    // Open windows find it gone before anything it reaches goes.
    m_recordActions.reset();
    m_appSettings.reset();
    m_duplicateActions.reset();
    if (m_prompts)
        m_prompts->closePrompt();
    // The rebuild and reconcile jobs hold the database; let them finish first.
    m_stopBackground->store(true);
    m_utilityPool->waitForDone();
}

void AppState::openDatabase()
{
    try {
        const QString path = m_deps.databasePath.isEmpty() ? ScreenshotDatabase::defaultPath()
                                                           : m_deps.databasePath;
        auto opened = DatabaseRecovery::open(path);
        if (opened.originalError) {
            qCWarning(lcAppState,
                "Database couldn't be opened (%s); moved it to %s and started a fresh one",
                qUtf8Printable(*opened.originalError),
                qUtf8Printable(opened.movedAsideTo.value_or(QStringLiteral("nowhere"))));
            m_databaseMovedAside = true;
        }
        m_database = std::move(opened.database);
        return;
    } catch (const std::exception &e) {
        const QString description = describe(e);
        qCCritical(lcAppState, "Could not open a fresh Marlox database either: %s",
            qUtf8Printable(description));
        try {
            m_database = std::make_unique<ScreenshotDatabase>(QStringLiteral(":memory:"));
        } catch (const std::exception &) {
            showFatalDatabaseAlert(description);
            if (m_deps.exit)
                m_deps.exit(1);
            else
                std::exit(1);
            return;
        }
        m_databaseDegraded = true;
        QPointer<AppState> weak(this);
        QMetaObject::invokeMethod(
            this,
            [weak, description] {
                if (!weak)
                    return;
                weak->showFatalDatabaseAlert(description);
                QCoreApplication::quit();
            },
            Qt::QueuedConnection);
    }
}

void AppState::showFatalDatabaseAlert(const QString &description)
{
    Dialogs::Alert alert;
    alert.style = Dialogs::AlertStyle::critical;
    alert.message = QStringLiteral("Marlox can't open its database");
    alert.informativeText = description
        + QStringLiteral(
            "\n\nYour screenshots are safe on disk. Check that your disk isn't full and "
            "that Marlox can write to ~/.local/share/Marlox, then open Marlox again.");
    alert.buttons = { QStringLiteral("Quit") };
    m_deps.dialogs->runAlert(alert);
}

void AppState::runMigrations()
{
    if (libraryRoot().isEmpty())
        return;
    if (m_database->needsStatusMigration()) {
        try {
            m_database->migrateStatuses(libraryRoot());
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Failed to migrate legacy Unfiled records to Inbox: %s",
                qUtf8Printable(describe(e)));
        }
    }
    if (!Preferences::boolValue(Preferences::didMigrateUnfiledFolderToGeneral, false)) {
        try {
            LegacyMigration::migrateUnfiledFolder(libraryRoot(), *m_database);
            Preferences::setValue(Preferences::didMigrateUnfiledFolderToGeneral, true);
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Failed to migrate legacy \"Unfiled\" folder to \"General\": %s",
                qUtf8Printable(describe(e)));
        }
    }
}

void AppState::launchCheck(
    const BookmarkStore::Resolution &screenshot, const BookmarkStore::Resolution &library)
{
    if (screenshotFolder().isEmpty())
        qCInfo(lcAppState, "No usable screenshot folder at launch (%s)",
            qUtf8Printable(screenshot.toString()));
    if (libraryRoot().isEmpty())
        qCInfo(lcAppState, "No usable library root at launch (%s)",
            qUtf8Printable(library.toString()));
    Q_EMIT launchCheckFinished();
}

void AppState::setAutoSaveEnabled(bool enabled)
{
    Preferences::setValue(Preferences::autoSaveEnabled, enabled);
    if (m_autoSaveEnabled == enabled)
        return;
    m_autoSaveEnabled = enabled;
    Q_EMIT autoSaveEnabledChanged();
}

void AppState::refreshSystemScreenshotFolder()
{
    QString different;
    if (!screenshotFolder().isEmpty()) {
        const QString system = ScreenshotLocation::systemScreenshotFolder();
        if (QDir::cleanPath(system) != QDir::cleanPath(screenshotFolder()))
            different = system;
    }
    if (different == m_systemFolderIfDifferent)
        return;
    m_systemFolderIfDifferent = different;
    Q_EMIT macOSScreenshotFolderIfDifferentChanged();
}

void AppState::setRecentFolders(const QStringList &folders, bool persist)
{
    if (folders == m_recentFolders)
        return;
    if (persist)
        Preferences::setValue(Preferences::recentFolders, folders);
    m_recentFolders = folders;
    Q_EMIT recentFoldersChanged();
}

void AppState::setLastSavedAt(const QDateTime &time)
{
    m_lastSavedAt = time;
    Q_EMIT lastSavedAtChanged();
}

void AppState::setRebuildProgress(const QString &text)
{
    if (text == m_rebuildProgress)
        return;
    m_rebuildProgress = text;
    Q_EMIT rebuildProgressChanged();
}

std::shared_ptr<TextRecognizer> AppState::textRecognizer()
{
    if (!m_deps.ocr)
        m_deps.ocr = std::make_shared<OCREngine>();
    return m_deps.ocr;
}

const QList<ScreenshotRecord> &AppState::records() const
{
    static const QList<ScreenshotRecord> none;
    return m_recordList ? m_recordList->records() : none;
}

} // namespace marlox
