#include "app/recordlist.h"

#include <chrono>

#include <QPointer>

#include "app/coalescedloader.h"
#include "platform/log.h"
#include "storage/screenshotdatabase.h"

namespace marlox {

namespace {

// One row as the list holds it (without its text), or none when it is gone.
// False, logged, when the index could not be read.
bool readListRow(ScreenshotDatabase &database, qint64 id, std::optional<ScreenshotRecord> &row)
{
    try {
        row = database.record(id);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Failed to refresh record %lld: %s", static_cast<long long>(id),
            qUtf8Printable(describe(e)));
        return false;
    }
    if (row)
        row->ocrText.clear();
    return true;
}

} // namespace

std::optional<ScreenshotRecord> mergeRecord(
    QList<ScreenshotRecord> &list, qint64 id, const std::optional<ScreenshotRecord> &record)
{
    const auto isRow = [id](const ScreenshotRecord &entry) { return entry.id == id; };
    const auto newerThan = [](double time) {
        return [time](const ScreenshotRecord &entry) { return entry.createdAt > time; };
    };
    const auto asNewAs = [](double time) {
        return [time](const ScreenshotRecord &entry) { return entry.createdAt >= time; };
    };
    qsizetype position = -1;
    // A row keeps its date through most changes: look among its equals first.
    if (record) {
        const auto from
            = std::partition_point(list.cbegin(), list.cend(), newerThan(record->createdAt));
        const auto to = std::partition_point(from, list.cend(), asNewAs(record->createdAt));
        const auto found = std::find_if(from, to, isRow);
        if (found != to)
            position = found - list.cbegin();
    }
    if (position < 0) {
        const auto found = std::find_if(list.cbegin(), list.cend(), isRow);
        position = found == list.cend() ? -1 : found - list.cbegin();
    }
    std::optional<ScreenshotRecord> before;
    if (position >= 0)
        before = list.at(position);
    if (record && position >= 0 && before->createdAt == record->createdAt) {
        list[position] = *record;
        return before;
    }
    if (position >= 0)
        removeNearFront(list, position);
    if (!record)
        return before;
    // Newest first: after every entry at least as new.
    const auto at = std::partition_point(list.cbegin(), list.cend(), asNewAs(record->createdAt));
    insertNearFront(list, at - list.cbegin(), *record);
    return before;
}

RecordList::RecordList(ScreenshotDatabase &database, QObject *parent)
    : QObject(parent), m_database(database)
{ }

RecordList::~RecordList() = default;

void RecordList::loadNow()
{
    try {
        setRecords(m_database.allRecordsForList());
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Failed to load records: %s", qUtf8Printable(describe(e)));
    }
}

CoalescedLoader<QList<ScreenshotRecord>> &RecordList::loader()
{
    if (!m_loader) {
        ScreenshotDatabase *database = &m_database;
        QPointer<RecordList> weak(this);
        m_loader = std::make_unique<CoalescedLoader<QList<ScreenshotRecord>>>(
            QStringLiteral("com.quorvintesha.Marlox.coalescedLoader"),
            std::chrono::milliseconds(100),
            [database]() -> std::optional<QList<ScreenshotRecord>> {
                try {
                    return database->allRecordsForList();
                } catch (const std::exception &e) {
                    qCWarning(
                        lcAppState, "Failed to load records: %s", qUtf8Printable(describe(e)));
                    return std::nullopt;
                }
            },
            this,
            [weak](std::optional<QList<ScreenshotRecord>> records) {
                if (records && weak)
                    weak->deliver(std::move(*records));
            });
    }
    return *m_loader;
}

void RecordList::reload()
{
    loader().request();
}

void RecordList::refresh(qint64 id)
{
    std::optional<ScreenshotRecord> record;
    readListRow(m_database, id, record);
    const std::optional<ScreenshotRecord> before = mergeRecord(m_records, id, record);
    if (before)
        count(*before, -1);
    if (record)
        count(*record, 1);
    if (before || record)
        Q_EMIT recordReplaced(before, record);
    // A reload already under way may have read the list before this change:
    // the row goes into that list when it arrives. Asking for another reload
    // instead would chain full reloads through a burst of filings.
    if (loader().isScheduledOrInFlight())
        m_changedDuringReload.insert(id);
}

void RecordList::deliver(QList<ScreenshotRecord> records)
{
    for (const qint64 id : std::exchange(m_changedDuringReload, {})) {
        std::optional<ScreenshotRecord> record;
        if (!readListRow(m_database, id, record))
            continue;
        mergeRecord(records, id, record);
    }
    setRecords(std::move(records));
}

void RecordList::setRecords(QList<ScreenshotRecord> records)
{
    m_records = std::move(records);
    m_folderCounts.clear();
    m_inboxCount = 0;
    for (const ScreenshotRecord &record : std::as_const(m_records))
        count(record, 1);
    Q_EMIT recordsChanged();
}

void RecordList::count(const ScreenshotRecord &record, int delta)
{
    if (record.status == ScreenshotStatus::inbox)
        m_inboxCount += delta;
    if (record.folder.isEmpty())
        return;
    int &folderCount = m_folderCounts[record.folder];
    folderCount += delta;
    if (folderCount <= 0)
        m_folderCounts.remove(record.folder);
}

} // namespace marlox
