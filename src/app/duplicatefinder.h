#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include <QList>
#include <QObject>

#include "filing/perceptualhash.h"
#include "storage/screenshotrecord.h"

namespace marlox {

class ScreenshotDatabase;
class WorkCounter;

// The library's groups of identical files and of similar pictures.
struct DuplicateListing
{
    // Same bytes; each group oldest first.
    QList<QList<ScreenshotRecord>> identical;
    // Pictures a few bits apart, not all the same bytes; each oldest first.
    QList<QList<ScreenshotRecord>> similar;
    bool operator==(const DuplicateListing &) const = default;
};

// Finds duplicates off the GUI thread and gives records indexed without a
// perceptual hash (before there were any, or adopted from the library tree)
// one on the background pool. Lives on the GUI thread; its owner keeps the
// database alive longer than it.
class DuplicateFinder : public QObject
{
    Q_OBJECT

public:
    explicit DuplicateFinder(ScreenshotDatabase &database, QObject *parent = nullptr);
    // Stops the hashing at the next file and waits for every job.
    ~DuplicateFinder() override;

    // Hashes the files still without a perceptual hash, a few per job;
    // hashesFilled follows when none are left. Does nothing while running.
    void fillMissingHashes();
    bool isFillingHashes() const { return m_filling; }

    // Groups the library anew; groupsFound follows with the newest listing.
    void findGroups();
    const DuplicateListing &listing() const { return m_listing; }

    // The whole grouping in the calling thread; throws SQLiteError.
    static DuplicateListing computeListing(ScreenshotDatabase &database);
    // Stores a record's perceptual hashes; none: not decodable. Throws SQLiteError.
    static void store(
        ScreenshotDatabase &database, qint64 id, const std::optional<PerceptualHash::Hash> &hash);
    // Which one "Keep one" keeps: the oldest filed record, else the oldest.
    static qsizetype keeperIndex(const QList<ScreenshotRecord> &group);

Q_SIGNALS:
    void groupsFound();
    void hashesFilled();

private:
    void fillChunk();

    ScreenshotDatabase &m_database;
    DuplicateListing m_listing;
    bool m_filling = false;
    quint64 m_generation = 0;
    std::shared_ptr<std::atomic<bool>> m_stop = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<WorkCounter> m_jobs;
};

} // namespace marlox
