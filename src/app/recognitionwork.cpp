#include "app/recognitionwork.h"

#include <QPointer>
#include <QThreadPool>
#include <QtConcurrent>

#include "app/workcounter.h"
#include "filing/codereader.h"
#include "filing/ocrengine.h"
#include "platform/log.h"
#include "platform/workpools.h"
#include "storage/preferences.h"
#include "storage/screenshotdatabase.h"

namespace marlox {

namespace {

// Progress is posted to the GUI thread about two hundred times per run at
// most, so a big library does not flood it.
bool worthPosting(qsizetype done, qsizetype total, qsizetype lastPosted)
{
    const qsizetype step = qMax<qsizetype>(1, total / 200);
    return done == 0 || done == total || done - lastPosted >= step;
}

void logLanguages(const QStringList &languages)
{
    qCInfo(lcAppState, "Text recognition languages: %s",
        qUtf8Printable(languages.join(QLatin1Char('+'))));
}

} // namespace

QStringList normalizedOcrLanguages(const QStringList &languages)
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

RecognitionWork::RecognitionWork(ScreenshotDatabase &database,
    std::shared_ptr<TextRecognizer> recognizer, std::shared_ptr<std::atomic<bool>> quitting,
    QObject *parent)
    : QObject(parent),
      m_database(database),
      m_recognizer(std::move(recognizer)),
      m_quitting(std::move(quitting)),
      m_textReads(std::make_unique<WorkCounter>())
{ }

RecognitionWork::~RecognitionWork()
{
    if (m_cancel)
        m_cancel->store(true);
    if (m_pool)
        m_pool->waitForDone();
    m_textReads->waitForIdle();
}

void RecognitionWork::loadLanguages()
{
    m_languages = Preferences::contains(Preferences::ocrLanguages)
        ? normalizedOcrLanguages(Preferences::stringList(Preferences::ocrLanguages))
        : OCREngine::defaultLanguages();
    m_recognizer->setLanguages(m_languages);
    logLanguages(m_languages);
}

void RecognitionWork::setOcrLanguages(const QStringList &languages)
{
    const QStringList normalized = normalizedOcrLanguages(languages);
    Preferences::setValue(Preferences::ocrLanguages, normalized);
    if (normalized == m_languages)
        return;
    m_languages = normalized;
    // Workers pick the new set up at their next image.
    m_recognizer->setLanguages(normalized);
    logLanguages(normalized);
    Q_EMIT ocrLanguagesChanged();
}

void RecognitionWork::setProgress(const RecognitionProgress &progress)
{
    if (progress == m_progress)
        return;
    m_progress = progress;
    Q_EMIT progressChanged();
}

bool RecognitionWork::recogniseAgain()
{
    if (m_progress.running)
        return false;
    if (!m_pool) {
        // Hands the records out to the low-priority pool and waits; its own
        // thread, so neither a long run nor a rebuild waits for the other,
        // and new captures keep their own pool meanwhile.
        m_pool = std::make_unique<QThreadPool>();
        m_pool->setMaxThreadCount(1);
        m_pool->setThreadPriority(QThread::LowPriority);
    }
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    RecognitionProgress started;
    started.running = true;
    setProgress(started);
    qCInfo(lcAppState, "Recognising the library's text again in %s",
        qUtf8Printable(m_languages.join(QLatin1Char('+'))));

    ScreenshotDatabase *database = &m_database;
    const std::shared_ptr<TextRecognizer> ocr = m_recognizer;
    const std::shared_ptr<std::atomic<bool>> cancel = m_cancel;
    const std::shared_ptr<std::atomic<bool>> quitting = m_quitting;
    const QPointer<RecognitionWork> weak(this);
    RecognitionWork *context = this;
    const auto post = [context, weak](std::function<void(RecognitionWork &)> work) {
        QMetaObject::invokeMethod(
            context,
            [weak, work] {
                if (weak)
                    work(*weak);
            },
            Qt::QueuedConnection);
    };

    m_pool->start([database, ocr, cancel, quitting, post] {
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
            post([done, total](RecognitionWork &work) {
                RecognitionProgress now = work.m_progress;
                now.done = done;
                now.total = total;
                work.setProgress(now);
            });
        };
        const auto stop = [&] { return cancel->load() || quitting->load(); };
        const RecognitionPass::Outcome outcome
            = RecognitionPass::run(ids, *database, *ocr, stop, progress, &WorkPools::background());
        const qsizetype done = outcome.recognised + outcome.skipped;
        qCInfo(lcAppState, "Recognised text again for %ld of %ld screenshots (%ld skipped%s)",
            long(outcome.recognised), long(ids.size()), long(outcome.skipped),
            outcome.cancelled ? ", cancelled" : "");
        post([outcome, done, total = ids.size()](RecognitionWork &work) {
            RecognitionProgress ended;
            ended.done = done;
            ended.total = total;
            ended.skipped = outcome.skipped;
            ended.cancelled = outcome.cancelled;
            ended.finished = true;
            work.setProgress(ended);
            Q_EMIT work.passEnded();
        });
    });
    return true;
}

void RecognitionWork::cancelRecogniseAgain()
{
    if (m_cancel && m_progress.running)
        m_cancel->store(true);
}

QFuture<QString> RecognitionWork::loadText(qint64 id)
{
    WorkCounter *reads = m_textReads.get();
    ScreenshotDatabase *database = &m_database;
    reads->begin();
    return QtConcurrent::run(&WorkPools::interactive(), [reads, database, id] {
        QString text;
        try {
            text = database->ocrText(id).value_or(QString());
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Failed to read the text of record %lld: %s",
                static_cast<long long>(id), qUtf8Printable(describe(e)));
        }
        reads->end();
        return text;
    });
}

QFuture<QList<WordBox>> RecognitionWork::loadWordBoxes(
    qint64 id, const QImage &image, std::shared_ptr<std::atomic_bool> cancel)
{
    WorkCounter *reads = m_textReads.get();
    ScreenshotDatabase *database = &m_database;
    const std::shared_ptr<TextRecognizer> ocr = m_recognizer;
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

QFuture<QList<ScreenshotCode>> RecognitionWork::loadCodes(qint64 id, const QImage &image)
{
    WorkCounter *reads = m_textReads.get();
    ScreenshotDatabase *database = &m_database;
    reads->begin();
    return QtConcurrent::run(&WorkPools::interactive(), [reads, database, id, image] {
        QList<ScreenshotCode> codes;
        try {
            codes = database->codes(id);
            // Indexed before codes were read, or put back after a discard:
            // the view has the bitmap already, and reading it costs little.
            if (codes.isEmpty()) {
                codes = CodeReader::read(image);
                if (!codes.isEmpty())
                    database->storeCodes(id, codes);
            }
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Failed to read the codes of record %lld: %s",
                static_cast<long long>(id), qUtf8Printable(describe(e)));
        }
        reads->end();
        return codes;
    });
}

} // namespace marlox
