#include <QThreadPool>
#include <QtConcurrent>

#include "app/appstate.h"
#include "app/workcounter.h"
#include "filing/ocrengine.h"
#include "platform/log.h"
#include "platform/workpools.h"
#include "storage/preferences.h"

namespace marlox {

namespace {

// Progress is posted to the GUI thread about two hundred times per run at
// most, so a big library does not flood it.
bool worthPosting(qsizetype done, qsizetype total, qsizetype lastPosted)
{
    const qsizetype step = qMax<qsizetype>(1, total / 200);
    return done == 0 || done == total || done - lastPosted >= step;
}

} // namespace

QStringList AppState::normalizedOcrLanguages(const QStringList &languages)
{
    QStringList result = { QStringLiteral("eng") };
    for (const QString &language : languages) {
        const QString code = language.trimmed();
        if (result.size() == maxOcrLanguages)
            break;
        if (!code.isEmpty() && !result.contains(code))
            result.append(code);
    }
    return result;
}

void AppState::loadOcrLanguages()
{
    m_ocrLanguages = Preferences::contains(Preferences::ocrLanguages)
        ? normalizedOcrLanguages(Preferences::stringList(Preferences::ocrLanguages))
        : OCREngine::defaultLanguages();
    textRecognizer()->setLanguages(m_ocrLanguages);
    qCInfo(lcAppState, "Text recognition languages: %s",
        qUtf8Printable(m_ocrLanguages.join(QLatin1Char('+'))));
}

void AppState::setOcrLanguages(const QStringList &languages)
{
    const QStringList normalized = normalizedOcrLanguages(languages);
    Preferences::setValue(Preferences::ocrLanguages, normalized);
    if (normalized == m_ocrLanguages)
        return;
    m_ocrLanguages = normalized;
    // Workers pick the new set up at their next image.
    textRecognizer()->setLanguages(normalized);
    qCInfo(lcAppState, "Text recognition languages: %s",
        qUtf8Printable(normalized.join(QLatin1Char('+'))));
    Q_EMIT ocrLanguagesChanged();
}

void AppState::setRecognitionProgress(const RecognitionProgress &progress)
{
    if (progress == m_recognitionProgress)
        return;
    m_recognitionProgress = progress;
    Q_EMIT recognitionProgressChanged();
}

bool AppState::recogniseAgain()
{
    if (m_recognitionProgress.running || !m_database)
        return false;
    if (!m_recognitionPool) {
        // Hands the records out to the low-priority pool and waits; its own
        // thread, so neither a long run nor a rebuild waits for the other,
        // and new captures keep their own pool meanwhile.
        m_recognitionPool = std::make_unique<QThreadPool>();
        m_recognitionPool->setMaxThreadCount(1);
        m_recognitionPool->setThreadPriority(QThread::LowPriority);
    }
    m_cancelRecognition = std::make_shared<std::atomic<bool>>(false);
    RecognitionProgress started;
    started.running = true;
    setRecognitionProgress(started);
    qCInfo(lcAppState, "Recognising the library's text again in %s",
        qUtf8Printable(m_ocrLanguages.join(QLatin1Char('+'))));

    ScreenshotDatabase *database = m_database.get();
    const std::shared_ptr<TextRecognizer> ocr = textRecognizer();
    const std::shared_ptr<std::atomic<bool>> cancel = m_cancelRecognition;
    const std::shared_ptr<std::atomic<bool>> quitting = m_stopBackground;
    const QPointer<AppState> weak(this);
    AppState *context = this;
    const auto post = [context, weak](std::function<void(AppState &)> work) {
        QMetaObject::invokeMethod(
            context,
            [weak, work] {
                if (weak)
                    work(*weak);
            },
            Qt::QueuedConnection);
    };

    m_recognitionPool->start([database, ocr, cancel, quitting, post] {
        QList<qint64> ids;
        try {
            for (const ScreenshotRecord &record : database->allRecordsForList())
                ids.append(record.id);
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Failed to load the records to recognise again: %s",
                qUtf8Printable(describe(e)));
        }
        qsizetype lastPosted = -1;
        const auto progress = [&](qsizetype done, qsizetype total) {
            if (!worthPosting(done, total, lastPosted))
                return;
            lastPosted = done;
            post([done, total](AppState &state) {
                RecognitionProgress now = state.m_recognitionProgress;
                now.done = done;
                now.total = total;
                state.setRecognitionProgress(now);
            });
        };
        const auto stop = [&] { return cancel->load() || quitting->load(); };
        const RecognitionPass::Outcome outcome
            = RecognitionPass::run(ids, *database, *ocr, stop, progress, &WorkPools::background());
        const qsizetype done = outcome.recognised + outcome.skipped;
        qCInfo(lcAppState, "Recognised text again for %ld of %ld screenshots (%ld skipped%s)",
            long(outcome.recognised), long(ids.size()), long(outcome.skipped),
            outcome.cancelled ? ", cancelled" : "");
        post([outcome, done, total = ids.size()](AppState &state) {
            RecognitionProgress ended;
            ended.done = done;
            ended.total = total;
            ended.skipped = outcome.skipped;
            ended.cancelled = outcome.cancelled;
            ended.finished = true;
            state.setRecognitionProgress(ended);
            state.reloadRecords();
        });
    });
    return true;
}

void AppState::cancelRecogniseAgain()
{
    if (m_cancelRecognition && m_recognitionProgress.running)
        m_cancelRecognition->store(true);
}

QFuture<QList<WordBox>> AppState::loadWordBoxes(
    const ScreenshotRecord &record, const QImage &image, std::shared_ptr<std::atomic_bool> cancel)
{
    if (!m_textReads)
        m_textReads = std::make_shared<WorkCounter>();
    WorkCounter *reads = m_textReads.get();
    ScreenshotDatabase *database = m_database.get();
    const std::shared_ptr<TextRecognizer> ocr = textRecognizer();
    const qint64 id = record.id;
    reads->begin();
    // Interactive: neither captures nor a long "Recognise Again" hold it up.
    return QtConcurrent::run(&WorkPools::interactive(), [reads, database, ocr, id, image, cancel] {
        QList<WordBox> words;
        try {
            words = RecognitionPass::wordBoxes(*database, *ocr, id, image, cancel.get());
        } catch (const std::exception &e) {
            reads->end();
            qCWarning(lcAppState, "Couldn't find the words of record %lld: %s", id,
                qUtf8Printable(describe(e)));
            throw;
        }
        reads->end();
        return words;
    });
}

} // namespace marlox
