#include "app/capturepipeline.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>
#include <QUuid>

#include "app/capturesteps.h"
#include "app/duplicatefinder.h"
#include "app/promptflow.h"
#include "app/prompttext.h"
#include "app/recognitionpass.h"
#include "app/recordlist.h"
#include "app/selfplacedfiles.h"
#include "detection/detection.h"
#include "filing/codereader.h"
#include "filing/contenthash.h"
#include "filing/libraryfileservice.h"
#include "filing/ocrengine.h"
#include "filing/perceptualhash.h"
#include "platform/filemoves.h"
#include "platform/frontmostapp.h"
#include "platform/imagecompleteness.h"
#include "platform/log.h"
#include "platform/workpools.h"
#include "storage/screenshotdatabase.h"

namespace marlox {

// What one detection carries through its read attempts and background steps.
namespace {

constexpr qint64 maxCaptureBytes = qint64(1) << 30;

// The whole file, or none. Only a regular file is opened, and without
// blocking, so a FIFO or a device dropped into the folder can't hang the GUI.
std::optional<QByteArray> readRegularFile(const QString &path, qint64 *modifiedNs = nullptr)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > maxCaptureBytes) {
        ::close(fd);
        return std::nullopt;
    }
    if (modifiedNs)
        *modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    QByteArray bytes;
    bytes.reserve(qsizetype(info.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        bytes.append(chunk, qsizetype(got));
        if (bytes.size() > maxCaptureBytes) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return bytes;
}

bool pathExists(const QString &path)
{
    struct stat info
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

// Whether the file at path is still the size and age it had when read.
bool unchangedSinceRead(const QString &path, qint64 size, qint64 modifiedNs)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && info.st_size == size
        && qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec == modifiedNs;
}

double secondsFromNow(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

Recognition recognizeQuietly(TextRecognizer &ocr, const QImage &image, const QString &fileName)
{
    try {
        return ocr.recognize(image);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Text recognition failed for %s: %s", qUtf8Printable(fileName),
            qUtf8Printable(describe(e)));
        return {};
    }
}

} // namespace

CapturePipeline::CapturePipeline(ScreenshotDatabase &database, RecordList &records,
    PromptFlow &prompts, SelfPlacedFiles &selfPlaced, QThreadPool &utilityPool,
    std::shared_ptr<TextRecognizer> recognizer, std::shared_ptr<FrontmostApplication> frontmost,
    Delays delays, Hooks hooks, QObject *parent)
    : QObject(parent),
      m_database(database),
      m_records(records),
      m_prompts(prompts),
      m_selfPlaced(selfPlaced),
      m_utilityPool(utilityPool),
      m_recognizer(std::move(recognizer)),
      m_frontmost(std::move(frontmost)),
      m_delays(std::move(delays)),
      m_hooks(std::move(hooks))
{ }

CapturePipeline::~CapturePipeline() = default;

// One read attempt: the file's bytes, then a bitmap decoded from exactly those
// bytes. Qt decodes a cut-off JPEG or GIF without complaint, so a file still
// being written is caught by its structure first.
std::optional<CapturePipeline::ReadCapture> CapturePipeline::readCapture(const QString &path)
{
    if (!FileMoves::isRegularFile(path))
        return std::nullopt;
    qint64 modifiedNs = 0;
    std::optional<QByteArray> bytes = readRegularFile(path, &modifiedNs);
    if (!bytes || bytes->isEmpty())
        return std::nullopt;
    QBuffer buffer(&*bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    if (!ImageCompleteness::isComplete(*bytes))
        return std::nullopt;
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return std::nullopt;
    buffer.close();
    return ReadCapture { std::move(image), std::move(*bytes), modifiedNs };
}

void CapturePipeline::handleDetection(const Detection &detection)
{
    if (m_selfPlaced.isSelfPlaced(detection.url)) {
        qCInfo(lcAppState, "Ignoring %s: Marlox put it back there itself",
            qUtf8Printable(QFileInfo(detection.url).fileName()));
        return;
    }
    if (m_hooks.handOver(detection.url))
        return;
    auto capture = std::make_shared<CaptureContext>();
    capture->sinceDetection.start();
    m_lastDetectionAt = QDateTime::currentDateTime();
    Q_EMIT lastDetectionAtChanged();

    capture->path = detection.url;
    capture->fileName = QFileInfo(detection.url).fileName();
    qCInfo(lcAppState, "Detected stable screenshot %s in %.*fs", qUtf8Printable(capture->fileName),
        3, detection.detectionLatency);

    const QDateTime born = QFileInfo(detection.url).birthTime();
    capture->createdAt = born.isValid() ? born : m_lastDetectionAt;
    capture->appName = frontmostAppName();
    m_capturesInFlight.insert(capture->path, capture);

    attemptRead(std::move(capture), 0);
}

void CapturePipeline::attemptRead(std::shared_ptr<CaptureContext> capture, int attempt)
{
    auto step = std::make_shared<CaptureStep>();
    step->capture = std::move(capture);
    step->attempt = attempt;
    m_captureSteps.append(std::move(step));
    startWaitingCaptures();
}

void CapturePipeline::startWaitingCaptures()
{
    while (m_capturesRunning < WorkPools::capturesInFlight()
        && m_captureStepsStarted < m_captureSteps.size()) {
        const std::shared_ptr<CaptureStep> step = m_captureSteps.at(m_captureStepsStarted++);
        ++m_capturesRunning;
        const QPointer<CapturePipeline> weak(this);
        const std::shared_ptr<TextRecognizer> ocr = m_recognizer;
        const QString path = step->capture->path;
        const QString fileName = step->capture->fileName;
        const QString title = step->capture->title.value_or(
            defaultTitle(step->capture->appName, step->capture->createdAt));
        const auto post = [weak](std::function<void(CapturePipeline &)> work) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [weak, work = std::move(work)] {
                    if (weak)
                        work(*weak);
                },
                Qt::QueuedConnection);
        };
        // Read, decode, recognise and hash in one go, so the bitmap lives
        // only as long as this job runs.
        WorkPools::capture().start([step, ocr, path, fileName, title, post] {
            WorkPools::yieldToInteractiveWork();
            std::optional<ReadCapture> read = readCapture(path);
            const bool ok = read.has_value();
            // Hashed before recognition, so the prompt can already tell a
            // copy of a filed screenshot.
            QString hash;
            std::optional<PerceptualHash::Hash> perceptual;
            if (ok) {
                hash = ContentHash::ofData(read->bytes);
                perceptual = PerceptualHash::of(read->image);
            }
            post([step, ok, hash, perceptual](CapturePipeline &self) {
                step->read = ok ? CaptureStep::Read::succeeded : CaptureStep::Read::failed;
                step->result.hash = hash;
                step->result.perceptualHash = perceptual;
                if (!ok)
                    --self.m_capturesRunning;
                self.startWaitingCaptures();
                self.scheduleDrain();
            });
            if (!ok)
                return;
            Recognition recognition = recognizeQuietly(*ocr, read->image, fileName);
            RecognizedCapture result { title, std::move(recognition.text),
                std::move(recognition.words), hash, qint64(read->bytes.size()), read->modifiedNs,
                perceptual, CodeReader::read(read->image) };
            read.reset();
            post([step, result = std::move(result)](CapturePipeline &self) {
                --self.m_capturesRunning;
                step->recognised = true;
                step->result = result;
                if (step->decided && !step->autoSave && step->id != 0)
                    self.storeRecognised(*step);
                self.startWaitingCaptures();
                self.scheduleDrain();
            });
        });
    }
}

void CapturePipeline::scheduleDrain()
{
    if (m_drainScheduled)
        return;
    m_drainScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_drainScheduled = false;
        drainCaptureSteps();
    });
}

void CapturePipeline::drainCaptureSteps()
{
    while (m_captureStepsStarted > 0) {
        const std::shared_ptr<CaptureStep> step = m_captureSteps.constFirst();
        if (step->read == CaptureStep::Read::pending)
            return;
        if (step->read == CaptureStep::Read::failed) {
            m_captureSteps.removeFirst();
            --m_captureStepsStarted;
            // Linux has no cloud placeholders to download, so the retries alone wait.
            if (step->attempt == 0)
                qCInfo(lcAppState, "Couldn't read screenshot %s yet; retrying",
                    qUtf8Printable(step->capture->fileName));
            scheduleReadAttempt(step->capture, step->attempt + 1);
            continue;
        }
        if (!step->decided) {
            step->decided = true;
            // Read now rather than at detection: the user may have switched it meanwhile.
            step->autoSave = m_hooks.autoSave() || step->capture->folder.has_value();
        }
        // Auto-save files a capture once its text is known, and never ahead
        // of one detected before it.
        if (step->autoSave && !step->recognised)
            return;
        m_captureSteps.removeFirst();
        --m_captureStepsStarted;
        if (step->autoSave) {
            qCInfo(lcAppState, "OCR done for %s: %ld chars",
                qUtf8Printable(step->capture->fileName), long(step->result.text.size()));
            indexAndFileAutoSaved(*step->capture, step->result, 0);
        } else {
            indexAndPrompt(*step);
        }
        // The next capture on the next turn: input and repaints get in between.
        if (m_captureStepsStarted > 0)
            scheduleDrain();
        return;
    }
}

void CapturePipeline::scheduleReadAttempt(std::shared_ptr<CaptureContext> capture, int attempt)
{
    const QList<double> &delays = m_delays.read;
    if (attempt > delays.size()) {
        handleUnreadableCapture(*capture);
        return;
    }
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setInterval(qRound(delays.at(attempt - 1) * 1000));
    m_readRetryTimers.append(QPointer<QTimer>(timer));
    QPointer<CapturePipeline> weak(this);
    connect(timer, &QTimer::timeout, this, [weak, timer, capture, attempt] {
        if (!weak)
            return;
        weak->m_readRetryTimers.removeAll(QPointer<QTimer>(timer));
        timer->deleteLater();
        weak->attemptRead(capture, attempt);
    });
    timer->start();
}

std::optional<ScreenshotRecord> CapturePipeline::indexInInbox(
    const CaptureContext &capture, const QString &title, const char *failureFormat)
{
    qint64 id = 0;
    try {
        id = m_database.insertOrUpdate(capture.path, title, QString(),
            secondsSince1970(capture.createdAt), QString(), QString(), ScreenshotStatus::inbox, 0);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, failureFormat, qUtf8Printable(capture.fileName),
            qUtf8Printable(describe(e)));
        return std::nullopt;
    }
    m_capturesInFlight.remove(capture.path);
    m_records.refresh(id);
    try {
        return m_database.record(id);
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

void CapturePipeline::indexAndPrompt(CaptureStep &step)
{
    const CaptureContext &capture = *step.capture;
    const QString title = defaultTitle(capture.appName, capture.createdAt);
    const auto record = indexInInbox(capture, title, "Failed to index detected screenshot %s: %s");
    if (!record)
        return;
    step.id = record->id;

    std::optional<ScreenshotRecord> filedCopy;
    try {
        DuplicateFinder::store(m_database, record->id, step.result.perceptualHash);
        filedCopy = m_database.filedWithContentHash(step.result.hash, record->id);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Failed to look for copies of capture %lld: %s", record->id,
            qUtf8Printable(describe(e)));
    }
    m_prompts.append({ *record, QString(), title, std::nullopt, std::nullopt, filedCopy });
    qCInfo(lcAppState, "Capture prompt shown %.*fs after detection", 3,
        secondsFromNow(capture.sinceDetection));
    // Usually still running; when it is done, its text goes in at once.
    if (step.recognised)
        storeRecognised(step);
}

void CapturePipeline::storeRecognised(const CaptureStep &step)
{
    const RecognizedCapture &result = step.result;
    qCInfo(lcAppState, "OCR done for record %lld: %ld chars", step.id, long(result.text.size()));
    try {
        RecognitionPass::store(m_database, step.id, { result.text, result.words, result.codes },
            result.hash, result.size);
    } catch (const std::exception &) {
        // The record may be gone already (discarded); nothing to keep.
    }
}

void CapturePipeline::indexAndFileAutoSaved(
    const CaptureContext &capture, const RecognizedCapture &recognized, int attempt)
{
    const QString &title = recognized.title;
    qint64 id = 0;
    try {
        // Issued here rather than on the worker: the database is borrowed
        // from AppState, which the worker can't hold.
        m_database.runInTransaction([&] {
            id = m_database.insertOrUpdate(capture.path, title, QString(),
                secondsSince1970(capture.createdAt), recognized.text, recognized.hash,
                ScreenshotStatus::inbox, recognized.size);
            m_database.storeWordBoxes(id, WordBoxes::encoded(recognized.words));
            DuplicateFinder::store(m_database, id, recognized.perceptualHash);
            m_database.storeCodes(id, recognized.codes);
        });
    } catch (const std::exception &e) {
        retryIndexingAutoSaved(capture, recognized, attempt, e);
        return;
    }
    m_capturesInFlight.remove(capture.path);
    std::optional<ScreenshotRecord> record;
    try {
        record = m_database.record(id);
    } catch (const std::exception &e) {
        qCWarning(
            lcAppState, "Failed to read back capture %lld: %s", id, qUtf8Printable(describe(e)));
    }
    if (!record) {
        m_records.refresh(id);
        return;
    }
    // The list and the open window take the row once, as filed: the Inbox
    // row in between would cost a second merge for nothing.
    try {
        const ScreenshotRecord filed
            = m_hooks.file(*record, title, capture.folder.value_or(QStringLiteral("General")));
        qCInfo(lcAppState, capture.folder ? "Imported %lld" : "Auto-saved capture %lld", id);
        if (!unchangedSinceRead(filed.path, recognized.size, recognized.modifiedNs))
            rehashFiled(id, filed.path, recognized.text);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Auto-save failed for capture %lld, falling back to prompt: %s", id,
            qUtf8Printable(describe(e)));
        m_records.refresh(id);
        m_prompts.append({ *record, QString(), title, std::nullopt, errorText(e) });
    }
}

void CapturePipeline::retryIndexingAutoSaved(const CaptureContext &capture,
    const RecognizedCapture &recognized, int attempt, const std::exception &error)
{
    if (!pathExists(capture.path)) {
        qCWarning(lcAppState, "Failed to index auto-saved screenshot %s, and it is gone now: %s",
            qUtf8Printable(capture.fileName), qUtf8Printable(describe(error)));
        m_capturesInFlight.remove(capture.path);
        return;
    }
    const QList<double> &delays = m_delays.index;
    const double delay = delays.isEmpty() ? 60.0 : delays.at(qMin(attempt, delays.size() - 1));
    qCWarning(lcAppState, "Failed to index auto-saved screenshot %s: %s; trying again in %.*fs",
        qUtf8Printable(capture.fileName), qUtf8Printable(describe(error)), 1, delay);
    // Still in m_capturesInFlight: a quit before the next try keeps it in the Inbox.
    QTimer::singleShot(qRound(delay * 1000), this, [this, capture, recognized, attempt] {
        indexAndFileAutoSaved(capture, recognized, attempt + 1);
    });
}

void CapturePipeline::rehashFiled(qint64 id, const QString &path, const QString &text)
{
    qCInfo(lcAppState, "Capture %lld changed after it was read; hashing the filed file again", id);
    QPointer<CapturePipeline> weak(this);
    m_utilityPool.start([weak, id, path, text] {
        const std::optional<QString> hash = ContentHash::ofFile(path);
        const qint64 size = QFileInfo(path).size();
        if (!hash)
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak, id, text, hash, size] {
                if (!weak)
                    return;
                try {
                    weak->m_database.updateOCR(id, text, *hash, size);
                } catch (const std::exception &e) {
                    qCWarning(lcAppState, "Failed to store the hash of capture %lld: %s", id,
                        qUtf8Printable(describe(e)));
                }
            },
            Qt::QueuedConnection);
    });
}

void CapturePipeline::handleUnreadableCapture(const CaptureContext &capture)
{
    if (capture.folder) {
        // Only a copy: the original stays where it was.
        qCWarning(lcAppState, "Couldn't read %s to import it; leaving it out",
            qUtf8Printable(capture.fileName));
        m_capturesInFlight.remove(capture.path);
        QFile::remove(capture.path);
        return;
    }
    if (!pathExists(capture.path)) {
        qCInfo(lcAppState, "Detected screenshot %s vanished before it could be read",
            qUtf8Printable(capture.fileName));
        m_capturesInFlight.remove(capture.path);
        return;
    }
    qCWarning(lcAppState,
        "Couldn't read screenshot %s after retries; adding it to the Inbox without text",
        qUtf8Printable(capture.fileName));
    const QString title = defaultTitle(capture.appName, capture.createdAt);
    const auto record
        = indexInInbox(capture, title, "Failed to index unreadable screenshot %s: %s");
    if (!record || m_hooks.autoSave())
        return;
    m_prompts.append({ *record, QString(), title, std::nullopt, std::nullopt });
}

void CapturePipeline::finishPending()
{
    const QHash<QString, std::shared_ptr<CaptureContext>> pending
        = std::exchange(m_capturesInFlight, {});
    // The steps stay: a recognition that still finishes files the row made here.
    for (const std::shared_ptr<CaptureContext> &capture : pending) {
        if (!pathExists(capture->path))
            continue;
        qCInfo(lcAppState, "Quitting before %s was filed; keeping it in the Inbox",
            qUtf8Printable(capture->fileName));
        indexInInbox(*capture, defaultTitle(capture->appName, capture->createdAt),
            "Failed to index screenshot %s while quitting: %s");
    }
}

std::optional<QString> CapturePipeline::frontmostAppName()
{
    if (!m_frontmost)
        m_frontmost = std::make_shared<X11FrontmostApplication>();
    const std::optional<FrontmostApplication::Info> app = m_frontmost->frontmost();
    if (!app || app->identifier.isEmpty() || app->name.isEmpty())
        return std::nullopt;
    if (app->identifier == QLatin1String("com.quorvintesha.Marlox")
        || X11FrontmostApplication::isExcluded(app->identifier))
        return std::nullopt;
    return app->name;
}

} // namespace marlox
