#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "detection/detection.h"
#include "storage/screenshotrecord.h"

class QThreadPool;
class QTimer;

namespace marlox {

class FrontmostApplication;
class PromptFlow;
class RecordList;
class ScreenshotDatabase;
class SelfPlacedFiles;
class TextRecognizer;

// The way of a new screenshot: read it once its file is complete, index it
// in the Inbox and hand it to the prompt, or with auto-save (and for
// imported copies) file it once its text is read. Retries a file that can't
// be read yet and an index that refuses the write.
class CapturePipeline : public QObject
{
    Q_OBJECT

public:
    // What the pipeline asks of its owner.
    struct Hooks
    {
        // Whether new captures are filed without the prompt.
        std::function<bool()> autoSave;
        // The library folder; empty when none.
        std::function<QString()> libraryRoot;
        // Whether the import of earlier screenshots takes this file over.
        std::function<bool(const QString &path)> handOver;
        // Files a capture and runs the after-filing steps; throws what filing throws.
        std::function<ScreenshotRecord(
            const ScreenshotRecord &record, const QString &title, const QString &folder)>
            file;
    };
    // Delays between read attempts of a new screenshot and before indexing
    // an auto-saved one again, in seconds (see AppStateDependencies).
    struct Delays
    {
        QList<double> read;
        QList<double> index;
    };

    // Everything borrowed outlives this object; `utilityPool` is waited for
    // by its owner. Without `frontmost` the X11 one is made on first use.
    CapturePipeline(ScreenshotDatabase &database, RecordList &records, PromptFlow &prompts,
        SelfPlacedFiles &selfPlaced, QThreadPool &utilityPool,
        std::shared_ptr<TextRecognizer> recognizer, std::shared_ptr<FrontmostApplication> frontmost,
        Delays delays, Hooks hooks, QObject *parent = nullptr);
    ~CapturePipeline() override;

    QDateTime lastDetectionAt() const { return m_lastDetectionAt; }
    // Detected and not indexed yet.
    bool isInFlight(const QString &path) const { return m_capturesInFlight.contains(path); }

    void handleDetection(const Detection &detection);
    // Before the process ends: puts every capture that was detected but not
    // yet indexed (still being read or recognised) into the Inbox, so that it
    // is not forgotten in the screenshot folder.
    void finishPending();
    // Files copies of image files from elsewhere (a drop from a file manager)
    // into a library folder, each read and recognised as a capture is and
    // named after its file, made unique. The originals are never touched.
    // Returns how many were taken; the rest (not an image file, already in
    // the library, no library) are refused and logged.
    int importFiles(const QStringList &paths, const QString &folder);
    // A regular file, named as an image, outside `libraryRoot`.
    static bool isImportable(const QString &path, const QString &libraryRoot);

Q_SIGNALS:
    void lastDetectionAtChanged();

private:
    struct CaptureContext;
    struct CaptureStep;
    struct ReadCapture;
    struct RecognizedCapture;
    static std::optional<ReadCapture> readCapture(const QString &path);
    std::optional<QString> frontmostAppName();
    void scheduleReadAttempt(std::shared_ptr<CaptureContext> capture, int attempt);
    // Queues one read attempt; it starts when fewer than
    // WorkPools::capturesInFlight() captures are being read or recognised.
    void attemptRead(std::shared_ptr<CaptureContext> capture, int attempt);
    void startWaitingCaptures();
    // Handles finished steps in the order their reads started, one capture
    // per turn of the event loop.
    void drainCaptureSteps();
    void scheduleDrain();
    void indexAndPrompt(CaptureStep &step);
    void storeRecognised(const CaptureStep &step);
    // The auto-save's steps on the GUI thread: index, file, fall back to the
    // prompt; a refused index write is tried again later.
    void indexAndFileAutoSaved(
        const CaptureContext &capture, const RecognizedCapture &recognized, int attempt);
    void retryIndexingAutoSaved(const CaptureContext &capture, const RecognizedCapture &recognized,
        int attempt, const std::exception &error);
    // The file changed between the read and the filing: the row gets the
    // hash and size of what is in the library now.
    void rehashFiled(qint64 id, const QString &path, const QString &text);
    void handleUnreadableCapture(const CaptureContext &capture);
    // Indexes the capture in the Inbox without text; none (logged with
    // failureFormat) when the insert fails or the row cannot be read back.
    std::optional<ScreenshotRecord> indexInInbox(
        const CaptureContext &capture, const QString &title, const char *failureFormat);

    ScreenshotDatabase &m_database;
    RecordList &m_records;
    PromptFlow &m_prompts;
    SelfPlacedFiles &m_selfPlaced;
    QThreadPool &m_utilityPool;
    std::shared_ptr<TextRecognizer> m_recognizer;
    std::shared_ptr<FrontmostApplication> m_frontmost;
    Delays m_delays;
    Hooks m_hooks;

    QDateTime m_lastDetectionAt;
    QList<QPointer<QTimer>> m_readRetryTimers;
    // Detected captures that have no row yet, by path.
    QHash<QString, std::shared_ptr<CaptureContext>> m_capturesInFlight;
    // Read attempts in the order they were asked for: the first
    // m_captureStepsStarted have started, the rest wait holding only a path.
    QList<std::shared_ptr<CaptureStep>> m_captureSteps;
    qsizetype m_captureStepsStarted = 0;
    int m_capturesRunning = 0;
    bool m_drainScheduled = false;
};

} // namespace marlox
