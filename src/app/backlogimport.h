#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include "storage/screenshotdatabase.h"

namespace marlox {

class AppState;
class TextRecognizer;
class WorkCounter;

// Brings the screenshots that were in the screenshot folder before Marlox
// watched it into the Inbox, where they stay (never moved, renamed or
// changed). Newest first, every row at once searchable by its title; their
// text is read afterwards on one low-priority thread. The run is noted in the
// index, so a quit or a crash picks it up again at the next launch; rows are
// keyed by path, so nothing goes in twice. Lives on the GUI thread.
class BacklogImport : public QObject
{
    Q_OBJECT

public:
    enum class Phase { idle, adding, reading };
    struct Progress
    {
        Phase phase = Phase::idle;
        qsizetype done = 0;
        qsizetype total = 0;
        // Since launch: the last run's rows added, files left out (unreadable
        // or incomplete), and whether it was cancelled.
        qsizetype added = 0;
        qsizetype skipped = 0;
        bool cancelled = false;
        bool finished = false;
    };

    explicit BacklogImport(AppState &state);
    ~BacklogImport() override;

    // Image files in the screenshot folder without a row; none until the
    // count (off the GUI thread) has answered. refreshCount() counts again.
    std::optional<qsizetype> waitingCount() const { return m_waiting; }
    void refreshCount();
    const Progress &progress() const { return m_progress; }
    bool isRunning() const { return m_progress.phase != Phase::idle; }
    // "Adding screenshots… N of M" while running, else empty.
    QString progressText() const;

    void start();
    void cancel();

    // Asked for every detected capture. True when this import already put
    // path into the Inbox (the detection is then dropped); otherwise the
    // capture path has it and the import leaves it out.
    bool handOver(const QString &path);

    // How many files a batch of the adding phase holds at most; the first is
    // smaller so the newest rows show up soonest.
    static constexpr int firstBatch = 4;
    static constexpr int batchSize = 32;

Q_SIGNALS:
    void changed();

private:
    struct Listed
    {
        QString path;
        qint64 modifiedMs = 0;
    };
    // The folder's image files without a row, newest first; runs off the GUI thread.
    static QList<Listed> listWaiting(
        const QString &folder, ScreenshotDatabase &database, const QSet<QString> &leftOut);
    static std::optional<ScreenshotDatabase::NewFile> readListed(const Listed &file);

    void launched();
    void readText(int run);
    void readNext(int run);
    static void readOne(ScreenshotDatabase &database, TextRecognizer &ocr, qint64 id,
        const std::atomic<bool> &cancel, std::atomic<bool> &failureReported);
    void begin(const QString &folder, std::optional<qsizetype> resumedTotal);
    void addBatch(int run, QList<ScreenshotDatabase::NewFile> batch, const QStringList &leftOut);
    void finishAdding(int run);
    void end(bool cancelled);
    void noteRun(const std::optional<QString> &value);

    AppState &m_state;
    ScreenshotDatabase &m_database;
    std::optional<qsizetype> m_waiting;
    bool m_launched = false;
    bool m_counting = false;
    bool m_countAgain = false;
    Progress m_progress;
    QString m_folder;
    // Bumped at every start and cancel: what a worker reports for an older
    // run is dropped.
    int m_run = 0;
    std::shared_ptr<std::atomic<bool>> m_cancel = std::make_shared<std::atomic<bool>>(false);
    // Set when the import goes: every worker stops at the next file.
    std::shared_ptr<std::atomic<bool>> m_stop = std::make_shared<std::atomic<bool>>(false);
    // Paths indexed by this run, and those the capture path took first.
    QSet<QString> m_indexed;
    QSet<QString> m_takenByCapture;
    // The reading phase's rows, newest first; m_progress.done of them are read.
    QList<qint64> m_owed;
    std::shared_ptr<std::atomic<bool>> m_failureReported;
    // Unreadable or incomplete when last tried: not offered again this session.
    QSet<QString> m_leftOut;
    std::shared_ptr<WorkCounter> m_jobs;
};

} // namespace marlox
