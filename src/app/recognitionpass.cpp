#include "app/recognitionpass.h"

#include <algorithm>
#include <optional>

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QMutex>
#include <QSemaphore>
#include <QThreadPool>

#include "filing/codereader.h"
#include "filing/ocrengine.h"
#include "filing/wordboxes.h"
#include "platform/errors.h"
#include "platform/imagecompleteness.h"
#include "platform/log.h"
#include "platform/workpools.h"
#include "storage/screenshotdatabase.h"

namespace marlox::RecognitionPass {

QImage decodeImage(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes = file.readAll();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    if (!ImageCompleteness::isComplete(bytes))
        return {};
    QImage image;
    if (!reader.read(&image))
        return {};
    return image;
}

void store(ScreenshotDatabase &database, qint64 id, const Recognition &recognition,
    const QString &contentHash, std::optional<qint64> fileSize)
{
    const QByteArray boxes = WordBoxes::encoded(recognition.words);
    database.runInTransaction([&] {
        database.updateOCR(id, recognition.text, contentHash, fileSize);
        database.storeWordBoxes(id, boxes);
        database.storeCodes(id, recognition.codes);
    });
}

QList<WordBox> wordBoxes(ScreenshotDatabase &database, TextRecognizer &ocr, qint64 id,
    const QImage &image, const std::atomic_bool *cancel)
{
    if (const std::optional<QByteArray> stored = database.wordBoxes(id)) {
        if (std::optional<QList<WordBox>> words = WordBoxes::decoded(*stored))
            return *words;
        qCInfo(lcAppState, "Stored word boxes of record %lld are outdated; reading them again", id);
    }
    const Recognition recognition = ocr.recognize(image, cancel);
    if (cancel && cancel->load())
        return {};
    // Only the boxes: the record keeps the text it was indexed with until it
    // is recognised again.
    database.storeWordBoxes(id, WordBoxes::encoded(recognition.words), true);
    return recognition.words;
}

namespace {

enum class Result { recognised, skipped };

Result recogniseOne(qint64 id, ScreenshotDatabase &database, TextRecognizer &ocr)
{
    std::optional<ScreenshotRecord> record;
    try {
        record = database.record(id);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Couldn't look up record %lld to recognise it again: %s", id,
            qUtf8Printable(describe(e)));
    }
    if (!record) {
        // Deleted since the run started: nothing to read, nothing to keep.
        return Result::skipped;
    }
    const QImage image = decodeImage(record->path);
    if (image.isNull()) {
        qCWarning(lcAppState, "Couldn't read %s to recognise its text again; keeping its text",
            qUtf8Printable(record->path));
        return Result::skipped;
    }
    try {
        const Recognition recognition = read(ocr, image);
        store(database, id, recognition, record->contentHash, std::nullopt);
        return Result::recognised;
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Couldn't recognise the text of %s again: %s",
            qUtf8Printable(record->fileName()), qUtf8Printable(describe(e)));
        return Result::skipped;
    }
}

} // namespace

Recognition read(TextRecognizer &ocr, const QImage &image, const std::atomic_bool *cancel)
{
    Recognition recognition = ocr.recognize(image, cancel);
    recognition.codes = CodeReader::read(image);
    return recognition;
}

bool forEach(qsizetype count, const std::function<bool()> &stop,
    const std::function<void(qsizetype index)> &work, QThreadPool *pool)
{
    QMutex lock;
    qsizetype next = 0;
    bool stopped = false;
    const auto take = [&]() -> std::optional<qsizetype> {
        QMutexLocker locked(&lock);
        if (stopped || next >= count)
            return std::nullopt;
        if (stop()) {
            stopped = true;
            return std::nullopt;
        }
        return next++;
    };
    const auto worker = [&] {
        while (const std::optional<qsizetype> index = take())
            work(*index);
    };
    const int workers = pool ? std::max(1, pool->maxThreadCount()) : 1;
    if (!pool || workers == 1 || count < 2) {
        worker();
        return !stopped;
    }
    QSemaphore finished;
    for (int i = 0; i < workers; ++i) {
        pool->start([&worker, &finished] {
            WorkPools::yieldToInteractiveWork();
            worker();
            finished.release();
        });
    }
    finished.acquire(workers);
    return !stopped;
}

Outcome run(const QList<qint64> &ids, ScreenshotDatabase &database, TextRecognizer &ocr,
    const std::function<bool()> &stop,
    const std::function<void(qsizetype done, qsizetype total)> &progress, QThreadPool *pool)
{
    Outcome outcome;
    const qsizetype total = ids.size();
    progress(0, total);
    QMutex lock;
    qsizetype done = 0;
    const bool finished = forEach(
        total, stop,
        [&](qsizetype index) {
            const Result result = recogniseOne(ids.at(index), database, ocr);
            QMutexLocker locked(&lock);
            ++done;
            ++(result == Result::recognised ? outcome.recognised : outcome.skipped);
            progress(done, total);
        },
        pool);
    outcome.cancelled = !finished;
    return outcome;
}

} // namespace marlox::RecognitionPass
