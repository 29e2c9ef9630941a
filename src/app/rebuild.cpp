#include "app/appstate.h"

#include <QSet>
#include <QThreadPool>

#include "app/recognitionpass.h"
#include "filing/ocrengine.h"
#include "platform/log.h"
#include "storage/libraryreconciler.h"

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

} // namespace

void AppState::startRebuild()
{
    if (m_libraryRoot.isEmpty()) {
        qCInfo(lcAppState, "Fresh database but no library folder yet; nothing to rebuild");
        return;
    }
    const QString root = m_libraryRoot;
    ScreenshotDatabase *database = m_database.get();
    const std::shared_ptr<TextRecognizer> ocr = textRecognizer();
    const std::shared_ptr<std::atomic<bool>> stop = m_stopBackground;
    const MainThread mainThread(this);
    const auto setProgress
        = [](AppState &state, const QString &text) { state.setRebuildProgress(text); };

    m_utilityPool->start([root, database, ocr, stop, mainThread, setProgress] {
        ProgressPublisher progress(mainThread, setProgress);
        const QList<qint64> created
            = LibraryReconciler::rebuild(root, *database, std::ref(progress));
        qCInfo(lcAppState, "Rebuilt index from library: %ld screenshots", long(created.size()));
        mainThread.post([](AppState &state) { state.reloadRecords(); });

        const QSet<qint64> createdIds(created.cbegin(), created.cend());
        QList<ScreenshotRecord> rebuilt;
        try {
            for (const ScreenshotRecord &r : database->allRecordsForList()) {
                if (createdIds.contains(r.id))
                    rebuilt.append(r);
            }
        } catch (const std::exception &e) {
            qCWarning(
                lcAppState, "Failed to load rebuilt records: %s", qUtf8Printable(describe(e)));
        }

        ProgressPublisher recognition(mainThread, setProgress);
        recognition(0, rebuilt.size());
        long processed = 0;
        bool reportedFailure = false;
        for (const ScreenshotRecord &r : std::as_const(rebuilt)) {
            if (stop->load())
                break;
            ++processed;
            const QImage image = RecognitionPass::decodeImage(r.path);
            QString text;
            if (!image.isNull()) {
                try {
                    text = ocr->recognizeText(image);
                } catch (const std::exception &e) {
                    // One line, not one per file: recognition that cannot run
                    // fails the same way for every file.
                    if (!reportedFailure)
                        qCWarning(lcAppState, "Text recognition failed for %s: %s",
                            qUtf8Printable(r.fileName()), qUtf8Printable(describe(e)));
                    reportedFailure = true;
                }
            }
            if (!text.isEmpty()) {
                try {
                    database->updateOCR(r.id, text, r.contentHash, std::nullopt);
                } catch (const std::exception &e) {
                    qCWarning(lcAppState, "Failed to store the text of %s: %s",
                        qUtf8Printable(r.fileName()), qUtf8Printable(describe(e)));
                }
            }
            recognition(processed, rebuilt.size());
        }
        qCInfo(lcAppState, "OCR re-run done for %ld rebuilt screenshots", processed);
        mainThread.post([](AppState &state) {
            state.reloadRecords();
            state.setRebuildProgress(QString());
        });
    });
}

void AppState::reconcileLibrary()
{
    if (m_libraryRoot.isEmpty())
        return;
    const QString root = m_libraryRoot;
    ScreenshotDatabase *database = m_database.get();
    const MainThread mainThread(this);
    m_utilityPool->start([root, database, mainThread] {
        const auto [relinked, removed] = LibraryReconciler::reconcile(root, *database);
        qCDebug(lcAppState, "Reconciled the library: %d relinked, %d removed", relinked, removed);
        if (relinked > 0 || removed > 0)
            mainThread.post([](AppState &state) { state.reloadRecords(); });
    });
}

} // namespace marlox
