#include "app/duplicatefinder.h"

#include <algorithm>

#include <QCoreApplication>
#include <QHash>
#include <QPointer>
#include <QThreadPool>

#include "app/recognitionpass.h"
#include "app/workcounter.h"
#include "filing/duplicategroups.h"
#include "filing/perceptualhash.h"
#include "platform/errors.h"
#include "platform/log.h"
#include "platform/workpools.h"
#include "storage/screenshotdatabase.h"

namespace marlox {

namespace {

// Files per job: a job is short, so a quit waits for little.
constexpr int filesPerJob = 16;

QList<ScreenshotRecord> oldestFirst(QList<ScreenshotRecord> group)
{
    std::stable_sort(group.begin(), group.end(), [](const auto &a, const auto &b) {
        return a.createdAt != b.createdAt ? a.createdAt < b.createdAt : a.id < b.id;
    });
    return group;
}

} // namespace

DuplicateFinder::DuplicateFinder(ScreenshotDatabase &database, QObject *parent)
    : QObject(parent), m_database(database), m_jobs(std::make_unique<WorkCounter>())
{ }

DuplicateFinder::~DuplicateFinder()
{
    m_stop->store(true);
    m_jobs->waitForIdle();
}

void DuplicateFinder::fillMissingHashes()
{
    if (m_filling)
        return;
    m_filling = true;
    fillChunk();
}

void DuplicateFinder::fillChunk()
{
    QPointer<DuplicateFinder> weak(this);
    ScreenshotDatabase *database = &m_database;
    auto stop = m_stop;
    WorkCounter *jobs = m_jobs.get();
    jobs->begin();
    WorkPools::background().start([weak, database, stop, jobs] {
        WorkPools::yieldToInteractiveWork();
        bool more = false;
        try {
            const auto rows = database->rowsWithoutPerceptualHash(filesPerJob);
            for (const auto &row : rows) {
                if (stop->load())
                    break;
                const QImage image = RecognitionPass::decodeImage(row.path);
                if (image.isNull())
                    qCInfo(lcAppState, "No perceptual hash for record %lld: can't decode %s",
                        row.id, qUtf8Printable(row.path));
                store(*database, row.id,
                    image.isNull()
                        ? std::nullopt
                        : std::optional<PerceptualHash::Hash>(PerceptualHash::of(image)));
            }
            more = rows.size() == filesPerJob;
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Perceptual hashing stopped: %s", qUtf8Printable(describe(e)));
        }
        const bool stopped = stop->load();
        // Posted before the count drops, so the owner's wait covers it.
        if (!stopped) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [weak, more] {
                    if (!weak)
                        return;
                    if (more) {
                        weak->fillChunk();
                        return;
                    }
                    weak->m_filling = false;
                    Q_EMIT weak->hashesFilled();
                },
                Qt::QueuedConnection);
        }
        jobs->end();
    });
}

void DuplicateFinder::findGroups()
{
    const quint64 generation = ++m_generation;
    QPointer<DuplicateFinder> weak(this);
    ScreenshotDatabase *database = &m_database;
    WorkCounter *jobs = m_jobs.get();
    jobs->begin();
    WorkPools::interactive().start([weak, database, jobs, generation] {
        DuplicateListing listing;
        try {
            listing = computeListing(*database);
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Finding duplicates failed: %s", qUtf8Printable(describe(e)));
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak, generation, listing = std::move(listing)]() mutable {
                if (!weak || weak->m_generation != generation)
                    return;
                weak->m_listing = std::move(listing);
                Q_EMIT weak->groupsFound();
            },
            Qt::QueuedConnection);
        jobs->end();
    });
}

DuplicateListing DuplicateFinder::computeListing(ScreenshotDatabase &database)
{
    const QList<ScreenshotDatabase::HashRow> rows = database.hashRows();
    QList<DuplicateGroups::Entry> entries;
    entries.reserve(rows.size());
    for (const auto &row : rows)
        entries.append({ row.id, row.contentHash, row.perceptualHash, row.perceptualDetail });
    const DuplicateGroups::Groups groups = DuplicateGroups::group(entries);

    QList<qint64> ids;
    for (const auto *kind : { &groups.identical, &groups.similar }) {
        for (const auto &group : *kind)
            ids.append(group);
    }
    QHash<qint64, ScreenshotRecord> records;
    for (const ScreenshotRecord &record : database.recordsWithIds(ids))
        records.insert(record.id, record);
    const auto collect = [&](const QList<QList<qint64>> &from) {
        QList<QList<ScreenshotRecord>> out;
        for (const auto &group : from) {
            QList<ScreenshotRecord> members;
            for (const qint64 id : group) {
                if (const auto found = records.constFind(id); found != records.cend())
                    members.append(*found);
            }
            // A row deleted between the two reads may leave one behind.
            if (members.size() >= 2)
                out.append(oldestFirst(std::move(members)));
        }
        return out;
    };
    return { collect(groups.identical), collect(groups.similar) };
}

void DuplicateFinder::store(
    ScreenshotDatabase &database, qint64 id, const std::optional<PerceptualHash::Hash> &hash)
{
    if (hash)
        database.storePerceptualHash(id, hash->coarse, hash->fine);
    else
        database.storePerceptualHash(id, std::nullopt, {});
}

qsizetype DuplicateFinder::keeperIndex(const QList<ScreenshotRecord> &group)
{
    qsizetype best = -1;
    for (qsizetype i = 0; i < group.size(); ++i) {
        const ScreenshotRecord &record = group.at(i);
        if (record.status != ScreenshotStatus::filed)
            continue;
        if (best < 0 || record.createdAt < group.at(best).createdAt)
            best = i;
    }
    if (best >= 0)
        return best;
    for (qsizetype i = 0; i < group.size(); ++i) {
        if (best < 0 || group.at(i).createdAt < group.at(best).createdAt)
            best = i;
    }
    return best;
}

} // namespace marlox
