#include "app/recognitionpass.h"

#include <optional>

#include <QBuffer>
#include <QFile>
#include <QImageReader>

#include "filing/ocrengine.h"
#include "platform/errors.h"
#include "platform/imagecompleteness.h"
#include "platform/log.h"
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

Outcome run(const QList<qint64> &ids, ScreenshotDatabase &database, TextRecognizer &ocr,
    const std::function<bool()> &stop,
    const std::function<void(qsizetype done, qsizetype total)> &progress)
{
    Outcome outcome;
    const qsizetype total = ids.size();
    progress(0, total);
    qsizetype done = 0;
    for (const qint64 id : ids) {
        if (stop()) {
            outcome.cancelled = true;
            break;
        }
        ++done;
        std::optional<ScreenshotRecord> record;
        try {
            record = database.record(id);
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Couldn't look up record %lld to recognise it again: %s", id,
                qUtf8Printable(describe(e)));
        }
        if (!record) {
            // Deleted since the run started: nothing to read, nothing to keep.
            ++outcome.skipped;
            progress(done, total);
            continue;
        }
        const QImage image = decodeImage(record->path);
        if (image.isNull()) {
            qCWarning(lcAppState, "Couldn't read %s to recognise its text again; keeping its text",
                qUtf8Printable(record->path));
            ++outcome.skipped;
            progress(done, total);
            continue;
        }
        try {
            const QString text = ocr.recognizeText(image);
            database.updateOCR(id, text, record->contentHash, std::nullopt);
            ++outcome.recognised;
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Couldn't recognise the text of %s again: %s",
                qUtf8Printable(record->fileName()), qUtf8Printable(describe(e)));
            ++outcome.skipped;
        }
        progress(done, total);
    }
    return outcome;
}

} // namespace marlox::RecognitionPass
