#include <QDir>
#include <QMutex>
#include <QSet>
#include <QThreadPool>
#include <QTimer>

#include "app/appstate.h"
#include "app/recognitionpass.h"
#include "filing/libraryreconciler.h"
#include "filing/libraryrootguard.h"
#include "filing/ocrengine.h"
#include "platform/log.h"
#include "platform/workpools.h"

namespace marlox {

namespace {

// Carries work from the utility pool back to AppState on the GUI thread. The
// destructor of AppState waits for the pool, so the context outlives every
// post; the weak pointer guards the queued call itself.
class MainThread
{
public:
    explicit MainThread(AppState *state) : m_context(state), m_weak(state) { }

    template <typename Work> void post(Work work) const
    {
        QMetaObject::invokeMethod(
            m_context,
            [weak = m_weak, work] {
                if (weak)
                    work(*weak);
            },
            Qt::QueuedConnection);
    }

private:
    AppState *m_context;
    QPointer<AppState> m_weak;
};

// "Rebuilding index… N of M", posted about two hundred times per pass at
// most so that a big library does not flood the GUI thread.
class ProgressPublisher
{
public:
    ProgressPublisher(MainThread mainThread, std::function<void(AppState &, const QString &)> set)
        : m_mainThread(mainThread), m_set(std::move(set))
    { }

    void operator()(qsizetype done, qsizetype total)
    {
        const qsizetype step = qMax<qsizetype>(1, total / 200);
        if (done != 0 && done != total && done - m_last < step)
            return;
        m_last = done;
        const QString text = QStringLiteral("Rebuilding index… %1 of %2").arg(done).arg(total);
        m_mainThread.post([set = m_set, text](AppState &state) { set(state, text); });
    }

private:
    MainThread m_mainThread;
    std::function<void(AppState &, const QString &)> m_set;
    qsizetype m_last = 0;
};

// A rebuild is owed from the moment the index is found wanting until one
// completes over a library that is there and holds something; a kill or a
// quit in between leaves it owed for the next launch.
const QString kRebuildOwed = QStringLiteral("rebuildOwed");

// How long after its last change a library file may still be in the middle
// of being filed by this process (moved, row not yet written).
constexpr double kQuietSeconds = 2.0;

// Records read per job of the recognition pass, so that a reconcile asked
// for meanwhile does not wait for the whole pass.
constexpr int kRecognitionChunk = 16;

bool holdsAnything(const QString &folder)
{
    return !QDir(folder)
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                .isEmpty();
}

LibraryReconciler::Report reconcileNow(const QString &root, ScreenshotDatabase &database,
    const std::atomic<bool> &stop, const MainThread &mainThread)
{
    const LibraryReconciler::Report report
        = LibraryReconciler::reconcileTree(root, database, { kQuietSeconds, &stop });
    qCDebug(lcAppState,
        "Reconciled the library: %d relinked, %d removed, %d moves finished, %d adopted, %d "
        "temporaries removed",
        report.relinked, report.removed, report.finishedMoves, report.adopted,
        report.temporariesRemoved);
    if (report.failedWrites > 0)
        qCWarning(
            lcAppState, "Reconcile left %d index writes for its next run", report.failedWrites);
    if (report.adopted > 0)
        qCInfo(lcAppState, "Adopted %d image files found in the library", report.adopted);
    if (report.changedRows())
        mainThread.post([](AppState &state) { state.reloadRecords(); });
    return report;
}

} // namespace

// Where the recognition of rebuilt and adopted records stands over its jobs.
struct AppState::OwedRecognition
{
    qsizetype done = 0;
    long processed = 0;
    bool reportedFailure = false;
    // Failed to recognise in this run: left owed for the next launch.
    QSet<qint64> leftOwed;
};

void AppState::startRebuild()
{
    bool owed = m_databaseMovedAside;
    try {
        if (m_databaseMovedAside)
            m_database->setStateValue(kRebuildOwed, QStringLiteral("1"));
        owed = owed || m_database->stateValue(kRebuildOwed).has_value();
        if (!owed && !libraryRoot().isEmpty())
            owed = !m_database->hasRowsUnder(libraryRoot());
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Couldn't read what the index owes: %s", qUtf8Printable(describe(e)));
    }
    if (libraryRoot().isEmpty()) {
        if (owed)
            qCInfo(lcAppState, "Fresh database but no library folder yet; nothing to rebuild");
        return;
    }
    runLibraryUpkeep(owed);
}

void AppState::libraryRootChosen()
{
    bool known = true;
    try {
        known = m_database->hasRowsUnder(libraryRoot());
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Couldn't look up the new library folder in the index: %s",
            qUtf8Printable(describe(e)));
    }
    runLibraryUpkeep(!known);
}

void AppState::runLibraryUpkeep(bool rebuild)
{
    const QString root = libraryRoot();
    ScreenshotDatabase *database = m_database.get();
    const std::shared_ptr<std::atomic<bool>> stop = m_stopBackground;
    const MainThread mainThread(this);
    const auto setProgress
        = [](AppState &state, const QString &text) { state.setRebuildProgress(text); };

    m_utilityPool->start([root, database, stop, mainThread, setProgress, rebuild] {
        if (rebuild) {
            try {
                database->setStateValue(kRebuildOwed, QStringLiteral("1"));
            } catch (const std::exception &e) {
                qCWarning(
                    lcAppState, "Couldn't note the owed rebuild: %s", qUtf8Printable(describe(e)));
            }
            const auto away = LibraryRootGuard::unreachableReason(root, *database);
            if (away || !holdsAnything(root)) {
                qCInfo(lcAppState,
                    "Library folder %s is away or empty; the index rebuild waits for it",
                    qUtf8Printable(root));
            } else {
                ProgressPublisher progress(mainThread, setProgress);
                const QList<qint64> created = LibraryReconciler::rebuild(
                    root, *database, std::ref(progress), { kQuietSeconds, stop.get() });
                if (!stop->load()) {
                    try {
                        database->setStateValue(kRebuildOwed, std::nullopt);
                    } catch (const std::exception &e) {
                        qCWarning(lcAppState, "Couldn't note the finished rebuild: %s",
                            qUtf8Printable(describe(e)));
                    }
                }
                qCInfo(lcAppState, "Rebuilt index from library: %ld screenshots",
                    long(created.size()));
                mainThread.post([](AppState &state) { state.reloadRecords(); });
            }
        }
        if (stop->load())
            return;
        const auto report = reconcileNow(root, *database, *stop, mainThread);
        mainThread.post([report](AppState &state) {
            state.recogniseOwed();
            state.reconcileAgainIfDeferred(report.deferred > 0);
            Q_EMIT state.libraryReconciled();
        });
    });
}

void AppState::recogniseOwed()
{
    if (m_recognisingOwed)
        return;
    m_recognisingOwed = true;
    recogniseOwedChunk(std::make_shared<OwedRecognition>());
}

void AppState::recogniseOwedChunk(std::shared_ptr<OwedRecognition> handle)
{
    ScreenshotDatabase *database = m_database.get();
    const std::shared_ptr<TextRecognizer> ocr = textRecognizer();
    const std::shared_ptr<std::atomic<bool>> stop = m_stopBackground;
    const MainThread mainThread(this);
    const auto setProgress
        = [](AppState &state, const QString &text) { state.setRebuildProgress(text); };

    m_utilityPool->start([database, ocr, stop, mainThread, setProgress, handle] {
        OwedRecognition &run = *handle;
        QList<qint64> owed;
        try {
            for (const qint64 id : database->pendingRecognition()) {
                if (!run.leftOwed.contains(id))
                    owed.append(id);
            }
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Couldn't read the records owed recognition: %s",
                qUtf8Printable(describe(e)));
        }
        if (stop->load())
            return;
        const qsizetype total = run.done + owed.size();
        ProgressPublisher progress(mainThread, setProgress);
        if (run.done == 0 && !owed.isEmpty())
            progress(0, total);
        // Every core, at low priority: new captures still come first.
        QMutex lock;
        RecognitionPass::forEach(
            qMin<qsizetype>(owed.size(), kRecognitionChunk), [&stop] { return stop->load(); },
            [&](qsizetype index) {
                const qint64 id = owed[index];
                std::optional<ScreenshotRecord> record;
                try {
                    record = database->record(id);
                } catch (const std::exception &e) {
                    qCWarning(lcAppState, "Failed to read record %lld to recognise it: %s",
                        static_cast<long long>(id), qUtf8Printable(describe(e)));
                }
                const QImage image = record ? RecognitionPass::decodeImage(record->path) : QImage();
                Recognition text;
                bool read = true;
                if (!image.isNull()) {
                    try {
                        text = RecognitionPass::read(*ocr, image);
                    } catch (const std::exception &e) {
                        // One line, not one per file: recognition that cannot
                        // run fails the same way for every file.
                        QMutexLocker locked(&lock);
                        if (!run.reportedFailure)
                            qCWarning(lcAppState, "Text recognition failed for %s: %s",
                                qUtf8Printable(record->fileName()), qUtf8Printable(describe(e)));
                        run.reportedFailure = true;
                        read = false;
                    }
                }
                if (read) {
                    try {
                        database->runInTransaction([&] {
                            if (!text.text.isEmpty() || !text.codes.isEmpty())
                                RecognitionPass::store(
                                    *database, id, text, record->contentHash, std::nullopt);
                            database->clearPendingRecognition(id);
                        });
                    } catch (const std::exception &e) {
                        qCWarning(lcAppState, "Failed to store the text of %s: %s",
                            qUtf8Printable(record ? record->fileName() : QString::number(id)),
                            qUtf8Printable(describe(e)));
                        read = false;
                    }
                }
                QMutexLocker locked(&lock);
                ++run.processed;
                if (!read)
                    run.leftOwed.insert(id);
                ++run.done;
                progress(run.done, total);
            },
            &WorkPools::background());
        if (stop->load())
            return;
        const bool more = run.done < total;
        mainThread.post([handle, more, processed = run.processed](AppState &state) {
            if (more) {
                state.recogniseOwedChunk(handle);
                return;
            }
            state.m_recognisingOwed = false;
            if (processed > 0) {
                qCInfo(lcAppState, "OCR re-run done for %ld rebuilt screenshots", processed);
                state.reloadRecords();
            }
            state.setRebuildProgress(QString());
        });
    });
}

void AppState::reconcileLibrary()
{
    runReconcile(false);
}

void AppState::reconcileAgainIfDeferred(bool deferred)
{
    // Once: a file changed over and over is left for the next reconcile.
    if (deferred)
        QTimer::singleShot(int(kQuietSeconds * 1000) + 250, this, [this] { runReconcile(true); });
}

void AppState::runReconcile(bool followUp)
{
    if (libraryRoot().isEmpty())
        return;
    const QString root = libraryRoot();
    ScreenshotDatabase *database = m_database.get();
    const std::shared_ptr<std::atomic<bool>> stop = m_stopBackground;
    const MainThread mainThread(this);
    m_utilityPool->start([root, database, stop, mainThread, followUp] {
        const auto report = reconcileNow(root, *database, *stop, mainThread);
        mainThread.post([report, followUp](AppState &state) {
            if (report.adopted > 0)
                state.recogniseOwed();
            state.reconcileAgainIfDeferred(report.deferred > 0 && !followUp);
            Q_EMIT state.libraryReconciled();
        });
    });
}

} // namespace marlox
