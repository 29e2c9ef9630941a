#pragma once

#include <atomic>
#include <functional>
#include <optional>

#include <QImage>
#include <QList>
#include <QString>

class QThreadPool;

namespace marlox {

class ScreenshotDatabase;
class TextRecognizer;
struct Recognition;
struct WordBox;

// Where a run of "Recognise Again" stands, as the settings show it.
struct RecognitionProgress
{
    bool running = false;
    qsizetype done = 0;
    qsizetype total = 0;
    // Files that were missing or unreadable, or whose text couldn't be read.
    qsizetype skipped = 0;
    // The last run was cancelled (meaningful once it is no longer running).
    bool cancelled = false;
    // A run has ended since launch.
    bool finished = false;
    bool operator==(const RecognitionProgress &) const = default;
};

// Reads the text of library records again, storing each text as soon as it
// is read.
namespace RecognitionPass {

struct Outcome
{
    qsizetype recognised = 0;
    qsizetype skipped = 0;
    bool cancelled = false;
};

// The bitmap of a file, or a null image. Qt decodes a truncated JPEG without
// complaint, hence the end-of-image check.
QImage decodeImage(const QString &path);

// The text, words and codes of a decoded image. Throws what the recogniser throws.
Recognition read(
    TextRecognizer &ocr, const QImage &image, const std::atomic_bool *cancel = nullptr);

// Stores what one pass read: the text (with the hash and, when known, the
// size, as updateOCR does), the word boxes and the codes, together in one
// transaction.
void store(ScreenshotDatabase &database, qint64 id, const Recognition &recognition,
    const QString &contentHash, std::optional<qint64> fileSize);

// The word boxes of a record for the detail view: the stored ones, or else
// those of `image` read now, stored unless boxes arrived meanwhile. Empty
// when cancelled. Throws what the database or the recogniser throws.
QList<WordBox> wordBoxes(ScreenshotDatabase &database, TextRecognizer &ocr, qint64 id,
    const QImage &image, const std::atomic_bool *cancel);

// Calls work(index) for every index below count, in turns on the pool's
// threads (on the calling thread without a pool), until stop() answers true;
// stop is checked before each index and never called twice at once. The
// caller waits, and must not itself run on that pool. False when stopped.
bool forEach(qsizetype count, const std::function<bool()> &stop,
    const std::function<void(qsizetype index)> &work, QThreadPool *pool);

// Looks every row up again right before reading it, so a screenshot filed
// meanwhile is read at its new place and a deleted one is skipped. Missing or
// unreadable files and failed recognitions are skipped and logged; their old
// text stays. progress(done, total) is called after every record (and once
// with done = 0 first, never twice at once); stop is checked before each
// record. With a pool, as many records are read at once as it has threads.
Outcome run(const QList<qint64> &ids, ScreenshotDatabase &database, TextRecognizer &ocr,
    const std::function<bool()> &stop,
    const std::function<void(qsizetype done, qsizetype total)> &progress,
    QThreadPool *pool = nullptr);

} // namespace RecognitionPass
} // namespace marlox
