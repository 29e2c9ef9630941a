#include "app/backlogimport.h"

#include <algorithm>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLocale>
#include <QPointer>
#include <QThreadPool>

#include "app/appstate.h"
#include "app/prompttext.h"
#include "app/recognitionpass.h"
#include "app/workcounter.h"
#include "filing/contenthash.h"
#include "filing/ocrengine.h"
#include "platform/imagecompleteness.h"
#include "platform/log.h"
#include "platform/workpools.h"

namespace marlox {

namespace {

// The run under way, kept with the index as "<total>\t<folder>" from its
// start until every file has a row and its text, or the user cancels it.
const QString kRunKey = QStringLiteral("backlogImport");

constexpr qint64 maxFileBytes = qint64(1) << 30;

// Runs work on the GUI thread while the import still exists.
template <typename Work> void post(const QPointer<BacklogImport> &weak, Work work)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [weak, work = std::move(work)]() mutable {
            if (weak)
                work(*weak);
        },
        Qt::QueuedConnection);
}

// Runs work on the pool unless the import has gone by then. Counted from
// inside the job: one the pool drops unstarted (as the application object
// goes) must not leave the destructor waiting for it.
template <typename Work>
void startJob(QThreadPool &pool, const std::shared_ptr<WorkCounter> &jobs,
    const std::shared_ptr<std::atomic<bool>> &stop, Work work)
{
    pool.start([jobs, stop, work = std::move(work)]() mutable {
        jobs->begin();
        if (!stop->load())
            work();
        jobs->end();
    });
}

bool sameFolder(const QString &a, const QString &b)
{
    return QDir::cleanPath(a) == QDir::cleanPath(b);
}

} // namespace

BacklogImport::BacklogImport(AppState &state)
    : m_state(state), m_database(state.database()), m_jobs(std::make_shared<WorkCounter>())
{
    connect(&state, &AppState::launchCheckFinished, this, &BacklogImport::launched);
    connect(&state, &AppState::screenshotFolderChanged, this, [this] {
        if (isRunning() && !sameFolder(m_folder, m_state.screenshotFolder()))
            cancel();
        if (m_waiting || m_counting)
            refreshCount();
    });
}

BacklogImport::~BacklogImport()
{
    // Workers hold the database, which goes right after this.
    m_stop->store(true);
    m_jobs->waitForIdle();
}

QList<BacklogImport::Listed> BacklogImport::listWaiting(
    const QString &folder, ScreenshotDatabase &database, const QSet<QString> &leftOut)
{
    QList<Listed> files;
    bool reported = false;
    // Regular files only: without QDir::System no FIFO or device is listed.
    for (const QFileInfo &info :
        QDir(folder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted)) {
        if (info.isSymLink() || !isScreenshotExtension(info.suffix()))
            continue;
        // Spelt as the watcher reports it, so a row's path is the same either way.
        const QString path = folder + QLatin1Char('/') + info.fileName();
        if (leftOut.contains(path))
            continue;
        try {
            if (database.idForPath(path))
                continue;
        } catch (const std::exception &e) {
            if (!reported)
                qCWarning(lcAppState, "Couldn't look up %s in the index; leaving it out: %s",
                    qUtf8Printable(path), qUtf8Printable(describe(e)));
            reported = true;
            continue;
        }
        files.append({ path, info.lastModified().toMSecsSinceEpoch() });
    }
    std::sort(files.begin(), files.end(), [](const Listed &a, const Listed &b) {
        return a.modifiedMs != b.modifiedMs ? a.modifiedMs > b.modifiedMs : a.path < b.path;
    });
    return files;
}

std::optional<ScreenshotDatabase::NewFile> BacklogImport::readListed(const Listed &file)
{
    const QString name = QFileInfo(file.path).fileName();
    QFile source(file.path);
    if (!source.open(QIODevice::ReadOnly)) {
        qCWarning(lcAppState, "Leaving out %s: %s", qUtf8Printable(name),
            qUtf8Printable(source.errorString()));
        return std::nullopt;
    }
    if (source.size() > maxFileBytes) {
        qCWarning(lcAppState, "Leaving out %s: larger than any screenshot", qUtf8Printable(name));
        return std::nullopt;
    }
    QByteArray bytes = source.readAll();
    source.close();
    // The header is enough here; recognition decodes the whole image later.
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (bytes.isEmpty() || !ImageCompleteness::isComplete(bytes) || !reader.canRead()) {
        qCWarning(lcAppState, "Leaving out %s: not a complete image", qUtf8Printable(name));
        return std::nullopt;
    }
    const QDateTime modified = QDateTime::fromMSecsSinceEpoch(file.modifiedMs);
    ScreenshotDatabase::NewFile row;
    row.path = file.path;
    row.title = defaultTitle(std::nullopt, modified);
    row.createdAt = secondsSince1970(modified);
    row.contentHash = ContentHash::ofData(bytes);
    row.status = ScreenshotStatus::inbox;
    row.fileSize = bytes.size();
    return row;
}

void BacklogImport::refreshCount()
{
    if (m_counting) {
        m_countAgain = true;
        return;
    }
    const QString folder = m_state.screenshotFolder();
    if (folder.isEmpty()) {
        m_waiting = 0;
        Q_EMIT changed();
        return;
    }
    m_counting = true;
    ScreenshotDatabase *database = &m_database;
    const std::shared_ptr<WorkCounter> jobs = m_jobs;
    const std::shared_ptr<std::atomic<bool>> stop = m_stop;
    const QPointer<BacklogImport> weak(this);
    // Interactive: the count is what an open window is waiting to show.
    startJob(WorkPools::interactive(), jobs, stop, [database, weak, folder, leftOut = m_leftOut] {
        const qsizetype count = listWaiting(folder, *database, leftOut).size();
        post(weak, [folder, count](BacklogImport &self) {
            self.m_counting = false;
            if (std::exchange(self.m_countAgain, false)
                || !sameFolder(folder, self.m_state.screenshotFolder())) {
                self.refreshCount();
                return;
            }
            self.m_waiting = count;
            Q_EMIT self.changed();
        });
    });
}

QString BacklogImport::progressText() const
{
    const QLocale locale;
    const QString done = locale.toString(qlonglong(m_progress.done));
    const QString total = locale.toString(qlonglong(m_progress.total));
    switch (m_progress.phase) {
    case Phase::idle:
        break;
    case Phase::adding:
        return QStringLiteral("Adding screenshots… %1 of %2").arg(done, total);
    case Phase::reading:
        return QStringLiteral("Reading the text of added screenshots… %1 of %2").arg(done, total);
    }
    return {};
}

void BacklogImport::start()
{
    if (isRunning())
        return;
    const QString folder = m_state.screenshotFolder();
    if (folder.isEmpty()) {
        qCWarning(lcAppState, "Can't add earlier screenshots: no screenshot folder is set");
        return;
    }
    qCInfo(lcAppState, "Adding the screenshots already in the screenshot folder to the Inbox");
    begin(folder, std::nullopt);
}

void BacklogImport::launched()
{
    if (std::exchange(m_launched, true))
        return;
    std::optional<QString> value;
    try {
        value = m_database.stateValue(kRunKey);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Couldn't read whether earlier screenshots were being added: %s",
            qUtf8Printable(describe(e)));
    }
    if (!value)
        return;
    const QString folder = value->section(QLatin1Char('\t'), 1);
    if (!sameFolder(folder, m_state.screenshotFolder())) {
        qCInfo(lcAppState, "Not resuming adding the screenshots of a folder no longer watched");
        noteRun(std::nullopt);
        return;
    }
    qCInfo(lcAppState, "Resuming adding earlier screenshots to the Inbox");
    begin(m_state.screenshotFolder(), value->section(QLatin1Char('\t'), 0, 0).toLongLong());
}

void BacklogImport::begin(const QString &folder, std::optional<qsizetype> resumedTotal)
{
    const int run = ++m_run;
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    m_folder = folder;
    m_indexed.clear();
    m_takenByCapture.clear();
    m_progress = {};
    m_progress.phase = Phase::adding;
    m_progress.total = resumedTotal.value_or(0);
    Q_EMIT changed();

    ScreenshotDatabase *database = &m_database;
    const std::shared_ptr<WorkCounter> jobs = m_jobs;
    const std::shared_ptr<std::atomic<bool>> stop = m_stop;
    const std::shared_ptr<std::atomic<bool>> cancel = m_cancel;
    const QPointer<BacklogImport> weak(this);
    startJob(WorkPools::background(), jobs, stop, [=, leftOut = m_leftOut] {
        WorkPools::yieldToInteractiveWork();
        const QList<Listed> files = listWaiting(folder, *database, leftOut);
        post(weak, [run, count = files.size(), resumedTotal](BacklogImport &self) {
            if (run != self.m_run)
                return;
            const qsizetype total = std::max(resumedTotal.value_or(0), count);
            self.m_progress.total = total;
            self.m_progress.done = total - count;
            self.noteRun(QString::number(total) + QLatin1Char('\t') + self.m_folder);
            Q_EMIT self.changed();
        });
        QList<ScreenshotDatabase::NewFile> batch;
        QStringList skipped;
        int limit = firstBatch;
        for (const Listed &file : files) {
            if (stop->load() || cancel->load())
                break;
            if (std::optional<ScreenshotDatabase::NewFile> row = readListed(file))
                batch.append(std::move(*row));
            else
                skipped.append(file.path);
            if (batch.size() + skipped.size() < limit)
                continue;
            post(weak,
                [run, batch, skipped](BacklogImport &self) { self.addBatch(run, batch, skipped); });
            batch.clear();
            skipped.clear();
            limit = batchSize;
        }
        const bool complete = !stop->load() && !cancel->load();
        post(weak, [run, batch, skipped, complete](BacklogImport &self) {
            self.addBatch(run, batch, skipped);
            if (complete)
                self.finishAdding(run);
        });
    });
}

void BacklogImport::addBatch(
    int run, QList<ScreenshotDatabase::NewFile> batch, const QStringList &leftOut)
{
    if (run != m_run)
        return;
    const qsizetype handled = batch.size() + leftOut.size();
    qsizetype skipped = leftOut.size();
    for (const QString &path : leftOut)
        m_leftOut.insert(path);
    // Checked here, on the GUI thread, where the capture path keeps its own
    // list: a file it is reading or has filed goes its way alone.
    batch.removeIf([this](const ScreenshotDatabase::NewFile &file) {
        if (!m_takenByCapture.contains(file.path) && !m_state.isCaptureInFlight(file.path))
            return false;
        qCInfo(lcAppState, "%s came in as a new capture; leaving it to the capture",
            qUtf8Printable(QFileInfo(file.path).fileName()));
        return true;
    });
    QList<qint64> ids;
    if (!batch.isEmpty()) {
        try {
            ids = m_database.insertNewFiles(batch);
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Couldn't add %lld earlier screenshots to the Inbox: %s",
                qlonglong(batch.size()), qUtf8Printable(describe(e)));
            skipped += batch.size();
            batch.clear();
        }
    }
    for (const ScreenshotDatabase::NewFile &file : std::as_const(batch))
        m_indexed.insert(file.path);
    for (const qint64 id : std::as_const(ids))
        m_state.refreshRecord(id);
    m_progress.added += ids.size();
    m_progress.skipped += skipped;
    m_progress.done = std::min(m_progress.done + handled, m_progress.total);
    Q_EMIT changed();
}

void BacklogImport::finishAdding(int run)
{
    if (run != m_run)
        return;
    qCInfo(lcAppState, "Added %lld earlier screenshots to the Inbox (%lld left out)",
        qlonglong(m_progress.added), qlonglong(m_progress.skipped));
    m_progress.phase = Phase::reading;
    m_progress.done = 0;
    m_progress.total = 0;
    m_owed.clear();
    m_failureReported = std::make_shared<std::atomic<bool>>(false);
    Q_EMIT changed();
    readText(run);
}

// One file after the other, newest first (the rows went in newest first, so
// their ids run that way), at low priority: new captures and the user's own
// work keep the other cores.
void BacklogImport::readText(int run)
{
    ScreenshotDatabase *database = &m_database;
    const QPointer<BacklogImport> weak(this);
    const QString folder = m_folder;
    startJob(WorkPools::background(), m_jobs, m_stop, [database, weak, folder, run] {
        WorkPools::yieldToInteractiveWork();
        QList<qint64> owed;
        try {
            for (const qint64 id : database->pendingRecognition()) {
                const std::optional<ScreenshotRecord> record = database->record(id);
                if (record && sameFolder(QFileInfo(record->path).path(), folder))
                    owed.append(id);
            }
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Couldn't read the added screenshots owed their text: %s",
                qUtf8Printable(describe(e)));
        }
        post(weak, [run, owed](BacklogImport &self) {
            if (run != self.m_run)
                return;
            self.m_owed = owed;
            self.m_progress.total = owed.size();
            Q_EMIT self.changed();
            self.readNext(run);
        });
    });
}

// A job per file rather than one for them all: a pass of the shared pool
// that waits for all its workers (a rebuild's recognition) gets its turn
// between two files, not hours later.
void BacklogImport::readNext(int run)
{
    if (m_progress.done >= m_owed.size()) {
        end(false);
        return;
    }
    ScreenshotDatabase *database = &m_database;
    const std::shared_ptr<TextRecognizer> ocr = m_state.recognizer();
    const std::shared_ptr<std::atomic<bool>> cancel = m_cancel;
    const std::shared_ptr<std::atomic<bool>> failureReported = m_failureReported;
    const QPointer<BacklogImport> weak(this);
    const qint64 id = m_owed.at(m_progress.done);
    startJob(WorkPools::background(), m_jobs, m_stop,
        [database, ocr, cancel, failureReported, weak, id, run] {
            WorkPools::yieldToInteractiveWork();
            if (cancel->load())
                return;
            readOne(*database, *ocr, id, *cancel, *failureReported);
            post(weak, [run](BacklogImport &self) {
                if (run != self.m_run)
                    return;
                ++self.m_progress.done;
                Q_EMIT self.changed();
                self.readNext(run);
            });
        });
}

void BacklogImport::readOne(ScreenshotDatabase &database, TextRecognizer &ocr, qint64 id,
    const std::atomic<bool> &cancel, std::atomic<bool> &failureReported)
{
    std::optional<ScreenshotRecord> record;
    try {
        record = database.record(id);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Couldn't look up record %lld to read its text: %s", id,
            qUtf8Printable(describe(e)));
        return;
    }
    if (!record)
        return; // deleted meanwhile
    const QImage image = RecognitionPass::decodeImage(record->path);
    Recognition text;
    if (image.isNull()) {
        qCWarning(lcAppState, "Couldn't read %s to recognise its text",
            qUtf8Printable(record->fileName()));
    } else {
        try {
            text = RecognitionPass::read(ocr, image, &cancel);
        } catch (const std::exception &e) {
            // Once: recognition that cannot run fails alike for every file.
            if (!failureReported.exchange(true))
                qCWarning(lcAppState, "Text recognition failed for %s: %s",
                    qUtf8Printable(record->fileName()), qUtf8Printable(describe(e)));
            return; // still owed: the next launch tries again
        }
    }
    if (cancel.load())
        return;
    try {
        database.runInTransaction([&] {
            if (!text.text.isEmpty() || !text.codes.isEmpty())
                RecognitionPass::store(database, id, text, record->contentHash, std::nullopt);
            database.clearPendingRecognition(id);
        });
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Failed to store the text of %s: %s",
            qUtf8Printable(record->fileName()), qUtf8Printable(describe(e)));
    }
}

void BacklogImport::cancel()
{
    if (!isRunning())
        return;
    m_cancel->store(true);
    ++m_run;
    qCInfo(lcAppState, "Stopped adding earlier screenshots after %lld of %lld",
        qlonglong(m_progress.done), qlonglong(m_progress.total));
    end(true);
}

void BacklogImport::end(bool cancelled)
{
    if (!cancelled)
        qCInfo(lcAppState, "Read the text of the added screenshots");
    noteRun(std::nullopt);
    m_progress.phase = Phase::idle;
    m_progress.cancelled = cancelled;
    m_progress.finished = true;
    Q_EMIT changed();
    refreshCount();
}

bool BacklogImport::handOver(const QString &path)
{
    if (m_indexed.contains(path)) {
        qCInfo(lcAppState, "Ignoring %s: it is in the Inbox with the earlier screenshots already",
            qUtf8Printable(QFileInfo(path).fileName()));
        return true;
    }
    if (m_progress.phase == Phase::adding)
        m_takenByCapture.insert(path);
    return false;
}

void BacklogImport::noteRun(const std::optional<QString> &value)
{
    try {
        m_database.setStateValue(kRunKey, value);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Couldn't note the adding of earlier screenshots in the index: %s",
            qUtf8Printable(describe(e)));
    }
}

} // namespace marlox
