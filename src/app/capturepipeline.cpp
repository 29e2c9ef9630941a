#include "app/appstate.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <functional>
#include <unistd.h>
#include <utility>

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include "filing/contenthash.h"
#include "filing/ocrengine.h"
#include "platform/frontmostapp.h"
#include "platform/imagecompleteness.h"
#include "platform/log.h"

namespace marlox {

// What one detection carries through its read attempts and background steps.
struct AppState::CaptureContext
{
    QString path;
    QString fileName;
    QDateTime createdAt;
    std::optional<QString> appName;
    QElapsedTimer sinceDetection;
};

// The decoded bitmap and the complete bytes, both from the same attempt.
struct AppState::ReadCapture
{
    QImage image;
    QByteArray bytes;
    qint64 modifiedNs = 0; // the file's modification time when it was read
};

// What the auto-save indexes: the read bytes' size and hash, and their text.
struct AppState::RecognizedCapture
{
    QString title;
    QString text;
    QString hash;
    qint64 size = 0;
    qint64 modifiedNs = 0;
};

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

bool isRegularFile(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
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

// Reading and decoding these would hold the GUI thread for a noticeable
// time; screenshots of even several big screens stay below both limits.
constexpr qint64 largeFileBytes = qint64(32) << 20;
constexpr qint64 largeImagePixels = qint64(40) << 20;

bool isLargeImage(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    if (info.st_size > largeFileBytes)
        return true;
    // The header alone: cheap, and it names the pixels a decode would make.
    QImageReader reader(path);
    const QSize size = reader.size();
    return size.isValid() && qint64(size.width()) * size.height() > largeImagePixels;
}

// Runs jobs posted from workers on the GUI thread one per turn of its event
// loop: a burst of captures finishing together would otherwise be filed in
// one go, holding back input and timers until the last one is done.
class OneAtATime : public QObject
{
public:
    static void post(std::function<void()> job)
    {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [job = std::move(job)]() mutable { instance().enqueue(std::move(job)); },
            Qt::QueuedConnection);
    }

private:
    explicit OneAtATime(QObject *parent) : QObject(parent)
    {
        m_timer.setInterval(0);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (m_jobs.isEmpty()) {
                m_timer.stop();
                return;
            }
            const std::function<void()> job = m_jobs.takeFirst();
            if (m_jobs.isEmpty())
                m_timer.stop();
            job();
        });
    }

    static OneAtATime &instance()
    {
        static QPointer<OneAtATime> queue;
        if (!queue)
            queue = new OneAtATime(QCoreApplication::instance());
        return *queue;
    }

    void enqueue(std::function<void()> job)
    {
        m_jobs.append(std::move(job));
        if (!m_timer.isActive())
            m_timer.start();
    }

    QList<std::function<void()>> m_jobs;
    QTimer m_timer;
};

double secondsFromNow(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

QString recognizeQuietly(TextRecognizer &ocr, const QImage &image, const QString &fileName)
{
    try {
        return ocr.recognizeText(image);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Text recognition failed for %s: %s", qUtf8Printable(fileName),
            qUtf8Printable(describe(e)));
        return {};
    }
}

} // namespace

// One read attempt: the file's bytes, then a bitmap decoded from exactly those
// bytes. Qt decodes a cut-off JPEG or GIF without complaint, so a file still
// being written is caught by its structure first.
std::optional<AppState::ReadCapture> AppState::readCapture(const QString &path)
{
    if (!isRegularFile(path))
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

void AppState::handleDetection(const Detection &detection)
{
    if (m_selfPlaced.isSelfPlaced(detection.url)) {
        qCInfo(lcAppState, "Ignoring %s: Marlox put it back there itself",
            qUtf8Printable(QFileInfo(detection.url).fileName()));
        return;
    }
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

void AppState::attemptRead(std::shared_ptr<CaptureContext> capture, int attempt)
{
    const auto finish = [](AppState &self, std::shared_ptr<CaptureContext> capture, int attempt,
                            const std::optional<ReadCapture> &read) {
        if (read) {
            self.continueWithCapture(*capture, *read);
            return;
        }
        // Linux has no cloud placeholders to download, so the retries alone wait.
        if (attempt == 0)
            qCInfo(lcAppState, "Couldn't read screenshot %s yet; retrying",
                qUtf8Printable(capture->fileName));
        self.scheduleReadAttempt(std::move(capture), attempt + 1);
    };
    if (!isLargeImage(capture->path)) {
        const std::optional<ReadCapture> read = readCapture(capture->path);
        finish(*this, std::move(capture), attempt, read);
        return;
    }
    QPointer<AppState> weak(this);
    QThreadPool::globalInstance()->start([weak, capture, attempt, finish] {
        std::optional<ReadCapture> read = readCapture(capture->path);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak, capture, attempt, finish, read] {
                if (weak)
                    finish(*weak, capture, attempt, read);
            },
            Qt::QueuedConnection);
    });
}

void AppState::scheduleReadAttempt(std::shared_ptr<CaptureContext> capture, int attempt)
{
    const QList<double> &delays = m_deps.readRetryDelays;
    if (attempt > delays.size()) {
        handleUnreadableCapture(*capture);
        return;
    }
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setInterval(qRound(delays.at(attempt - 1) * 1000));
    m_readRetryTimers.append(QPointer<QTimer>(timer));
    QPointer<AppState> weak(this);
    connect(timer, &QTimer::timeout, this, [weak, timer, capture, attempt] {
        if (!weak)
            return;
        weak->m_readRetryTimers.removeAll(QPointer<QTimer>(timer));
        timer->deleteLater();
        weak->attemptRead(capture, attempt);
    });
    timer->start();
}

void AppState::continueWithCapture(const CaptureContext &capture, const ReadCapture &read)
{
    // Read now rather than at detection: the user may have switched it meanwhile.
    if (m_autoSaveEnabled)
        autoSaveCapture(capture, read);
    else
        indexAndPrompt(capture, read);
}

std::optional<ScreenshotRecord> AppState::indexInInbox(
    const CaptureContext &capture, const QString &title, const char *failureFormat)
{
    qint64 id = 0;
    try {
        id = m_database->insertOrUpdate(capture.path, title, QString(),
            secondsSince1970(capture.createdAt), QString(), QString(), ScreenshotStatus::inbox, 0);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, failureFormat, qUtf8Printable(capture.fileName),
            qUtf8Printable(describe(e)));
        return std::nullopt;
    }
    m_capturesInFlight.remove(capture.path);
    refreshRecord(id);
    try {
        return m_database->record(id);
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

void AppState::indexAndPrompt(const CaptureContext &capture, const ReadCapture &read)
{
    const QString title = defaultTitle(capture.appName, capture.createdAt);
    const auto record = indexInInbox(capture, title, "Failed to index detected screenshot %s: %s");
    if (!record)
        return;
    const qint64 id = record->id;

    appendToPromptQueue({ *record, QString(), title, std::nullopt, std::nullopt });
    qCInfo(lcAppState, "Capture prompt shown %.*fs after detection", 3,
        secondsFromNow(capture.sinceDetection));

    // The prompt is up; recognition and hashing follow in the background.
    QPointer<AppState> weak(this);
    std::shared_ptr<TextRecognizer> ocr = textRecognizer();
    const QString fileName = capture.fileName;
    QThreadPool::globalInstance()->start([weak, ocr, read, id, fileName] {
        const QString text = recognizeQuietly(*ocr, read.image, fileName);
        const QString hash = ContentHash::ofData(read.bytes);
        qCInfo(lcAppState, "OCR done for record %lld: %ld chars", id, long(text.size()));
        const qint64 size = read.bytes.size();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak, id, text, hash, size] {
                if (!weak)
                    return;
                try {
                    weak->m_database->updateOCR(id, text, hash, size);
                } catch (const std::exception &) {
                    // The record may be gone already (discarded); nothing to keep.
                }
            },
            Qt::QueuedConnection);
    });
}

void AppState::autoSaveCapture(const CaptureContext &capture, const ReadCapture &read)
{
    const QString title = defaultTitle(capture.appName, capture.createdAt);
    QPointer<AppState> weak(this);
    std::shared_ptr<TextRecognizer> ocr = textRecognizer();
    const CaptureContext context = capture;
    QThreadPool::globalInstance()->start([weak, ocr, read, context, title] {
        const QString text = recognizeQuietly(*ocr, read.image, context.fileName);
        const QString hash = ContentHash::ofData(read.bytes);
        qCInfo(lcAppState, "OCR done for %s: %ld chars", qUtf8Printable(context.fileName),
            long(text.size()));
        const RecognizedCapture recognized { title, text, hash, qint64(read.bytes.size()),
            read.modifiedNs };
        OneAtATime::post([weak, context, recognized] {
            if (weak)
                weak->indexAndFileAutoSaved(context, recognized, 0);
        });
    });
}

void AppState::indexAndFileAutoSaved(
    const CaptureContext &capture, const RecognizedCapture &recognized, int attempt)
{
    const QString &title = recognized.title;
    qint64 id = 0;
    try {
        // Issued here rather than on the worker: the database lives only as
        // long as AppState, which the worker can't hold.
        id = m_database->insertOrUpdate(capture.path, title, QString(),
            secondsSince1970(capture.createdAt), recognized.text, recognized.hash,
            ScreenshotStatus::inbox, recognized.size);
    } catch (const std::exception &e) {
        retryIndexingAutoSaved(capture, recognized, attempt, e);
        return;
    }
    m_capturesInFlight.remove(capture.path);
    refreshRecord(id);
    std::optional<ScreenshotRecord> record;
    try {
        record = m_database->record(id);
    } catch (const std::exception &) { }
    if (!record)
        return;
    try {
        const ScreenshotRecord filed = fileRecord(*record, title, QStringLiteral("General"));
        qCInfo(lcAppState, "Auto-saved capture %lld", id);
        if (!unchangedSinceRead(filed.path, recognized.size, recognized.modifiedNs))
            rehashFiled(id, filed.path, recognized.text);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Auto-save failed for capture %lld, falling back to prompt: %s", id,
            qUtf8Printable(describe(e)));
        appendToPromptQueue({ *record, QString(), title, std::nullopt, errorText(e) });
    }
}

void AppState::retryIndexingAutoSaved(const CaptureContext &capture,
    const RecognizedCapture &recognized, int attempt, const std::exception &error)
{
    if (!pathExists(capture.path)) {
        qCWarning(lcAppState, "Failed to index auto-saved screenshot %s, and it is gone now: %s",
            qUtf8Printable(capture.fileName), qUtf8Printable(describe(error)));
        m_capturesInFlight.remove(capture.path);
        return;
    }
    const QList<double> &delays = m_deps.indexRetryDelays;
    const double delay = delays.isEmpty() ? 60.0 : delays.at(qMin(attempt, delays.size() - 1));
    qCWarning(lcAppState, "Failed to index auto-saved screenshot %s: %s; trying again in %.*fs",
        qUtf8Printable(capture.fileName), qUtf8Printable(describe(error)), 1, delay);
    // Still in m_capturesInFlight: a quit before the next try keeps it in the Inbox.
    QTimer::singleShot(qRound(delay * 1000), this, [this, capture, recognized, attempt] {
        indexAndFileAutoSaved(capture, recognized, attempt + 1);
    });
}

void AppState::rehashFiled(qint64 id, const QString &path, const QString &text)
{
    qCInfo(lcAppState, "Capture %lld changed after it was read; hashing the filed file again", id);
    QPointer<AppState> weak(this);
    m_utilityPool->start([weak, id, path, text] {
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
                    weak->m_database->updateOCR(id, text, *hash, size);
                } catch (const std::exception &e) {
                    qCWarning(lcAppState, "Failed to store the hash of capture %lld: %s", id,
                        qUtf8Printable(describe(e)));
                }
            },
            Qt::QueuedConnection);
    });
}

void AppState::handleUnreadableCapture(const CaptureContext &capture)
{
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
    if (!record || m_autoSaveEnabled)
        return;
    appendToPromptQueue({ *record, QString(), title, std::nullopt, std::nullopt });
}

void AppState::finishPendingCaptures()
{
    const QHash<QString, std::shared_ptr<CaptureContext>> pending
        = std::exchange(m_capturesInFlight, {});
    for (const std::shared_ptr<CaptureContext> &capture : pending) {
        if (!pathExists(capture->path))
            continue;
        qCInfo(lcAppState, "Quitting before %s was filed; keeping it in the Inbox",
            qUtf8Printable(capture->fileName));
        indexInInbox(*capture, defaultTitle(capture->appName, capture->createdAt),
            "Failed to index screenshot %s while quitting: %s");
    }
}

std::optional<QString> AppState::frontmostAppName()
{
    const std::optional<FrontmostApplication::Info> app = frontmostApplication()->frontmost();
    if (!app || app->identifier.isEmpty() || app->name.isEmpty())
        return std::nullopt;
    if (app->identifier == QLatin1String("com.quorvintesha.Marlox")
        || X11FrontmostApplication::isExcluded(app->identifier))
        return std::nullopt;
    return app->name;
}

QString AppState::defaultTitle(const std::optional<QString> &appName, const QDateTime &createdAt)
{
    // QDateTime::toString formats in the C locale: "AP" gives AM/PM in capitals.
    return appName.value_or(QStringLiteral("Screenshot")) + QLatin1Char(' ')
        + createdAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd 'at' h.mm AP"));
}

std::shared_ptr<TextRecognizer> AppState::textRecognizer()
{
    if (!m_deps.ocr)
        m_deps.ocr = std::make_shared<OCREngine>();
    return m_deps.ocr;
}

std::shared_ptr<FrontmostApplication> AppState::frontmostApplication()
{
    if (!m_deps.frontmost)
        m_deps.frontmost = std::make_shared<X11FrontmostApplication>();
    return m_deps.frontmost;
}

} // namespace marlox
