#pragma once

#include <atomic>
#include <memory>

#include <QFuture>
#include <QImage>
#include <QObject>
#include <QStringList>

#include "app/recognitionpass.h"
#include "filing/wordboxes.h"
#include "storage/screenshotcode.h"
#include "storage/screenshotrecord.h"

class QThreadPool;

namespace marlox {

class ScreenshotDatabase;
class TextRecognizer;
class WorkCounter;

// English first, no repeats, no empty codes, at most `maxOcrLanguages`.
inline constexpr int maxOcrLanguages = 4;
QStringList normalizedOcrLanguages(const QStringList &languages);

// The text work the windows ask for: the recognition languages, reading a
// shown record's text and words, and "Recognise Again" over the library.
class RecognitionWork : public QObject
{
    Q_OBJECT

public:
    // `database` outlives this object; `quitting` set stops a running pass.
    RecognitionWork(ScreenshotDatabase &database, std::shared_ptr<TextRecognizer> recognizer,
        std::shared_ptr<std::atomic<bool>> quitting, QObject *parent = nullptr);
    // Waits for the text reads and the pass, which borrow the database.
    ~RecognitionWork() override;

    // Tesseract codes, "eng" first; new captures are read in these.
    QStringList ocrLanguages() const { return m_languages; }
    // From the preferences, or the installed defaults.
    void loadLanguages();
    void setOcrLanguages(const QStringList &languages);

    // Reads the text of every record again on a low-priority thread of its
    // own; false, doing nothing, while a run is going.
    bool recogniseAgain();
    void cancelRecogniseAgain();
    RecognitionProgress progress() const { return m_progress; }

    QFuture<QString> loadText(qint64 id);
    // The word boxes of a shown record: the stored ones, or else read from
    // `image` and stored. Runs off the GUI thread; setting `cancel` ends it
    // early with none.
    QFuture<QList<WordBox>> loadWordBoxes(
        qint64 id, const QImage &image, std::shared_ptr<std::atomic_bool> cancel);
    // The codes in a shown record's image: the stored ones, or else those
    // read from `image` now (and stored). Off the GUI thread.
    QFuture<QList<ScreenshotCode>> loadCodes(qint64 id, const QImage &image);

Q_SIGNALS:
    void ocrLanguagesChanged();
    void progressChanged();
    // A Recognise Again run ended; the list's rows may have new text.
    void passEnded();

private:
    void setProgress(const RecognitionProgress &progress);

    ScreenshotDatabase &m_database;
    std::shared_ptr<TextRecognizer> m_recognizer;
    std::shared_ptr<std::atomic<bool>> m_quitting;
    QStringList m_languages;
    RecognitionProgress m_progress;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    std::unique_ptr<WorkCounter> m_textReads;
    std::unique_ptr<QThreadPool> m_pool;
};

} // namespace marlox
