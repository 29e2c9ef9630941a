#include <chrono>

#include <QClipboard>
#include <QGuiApplication>
#include <QThreadPool>
#include <QtConcurrent>

#include "app/appstate.h"
#include "app/coalescedloader.h"
#include "app/workcounter.h"
#include "platform/log.h"
#include "platform/workpools.h"
#include "storage/searchquery.h"

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

bool isBlankSearch(const QString &text)
{
    return SearchQuery::isBlank(text);
}

} // namespace

CoalescedLoader<QList<ScreenshotRecord>> &AppState::recordsLoader()
{
    if (!m_recordsLoader) {
        ScreenshotDatabase *database = m_database.get();
        QPointer<AppState> weak(this);
        m_recordsLoader = std::make_unique<CoalescedLoader<QList<ScreenshotRecord>>>(
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
                    weak->deliverRecords(std::move(*records));
            });
    }
    return *m_recordsLoader;
}

void AppState::reloadRecords()
{
    recordsLoader().request();
}

void AppState::refreshRecord(qint64 id)
{
    std::optional<ScreenshotRecord> record;
    readListRow(*m_database, id, record);
    const std::optional<ScreenshotRecord> before = mergeRecord(m_records, id, record);
    if (before)
        countRecord(*before, -1);
    if (record)
        countRecord(*record, 1);
    if (before || record)
        Q_EMIT recordReplaced(before, record);
    // A reload already under way may have read the list before this change:
    // the row goes into that list when it arrives. Asking for another reload
    // instead would chain full reloads through a burst of filings.
    if (recordsLoader().isScheduledOrInFlight())
        m_changedDuringReload.insert(id);
}

void AppState::deliverRecords(QList<ScreenshotRecord> records)
{
    for (const qint64 id : std::exchange(m_changedDuringReload, {})) {
        std::optional<ScreenshotRecord> record;
        if (!readListRow(*m_database, id, record))
            continue;
        mergeRecord(records, id, record);
    }
    setRecords(std::move(records));
}

std::optional<ScreenshotRecord> AppState::mergeRecord(
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

QList<SearchResult> AppState::searchRecords(const QString &text, const LibrarySection &section)
{
    if (isBlankSearch(text))
        return {};
    try {
        return m_database->search(text, section, 50);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Search failed: %s", qUtf8Printable(describe(e)));
        return {};
    }
}

QList<SearchResult> AppState::similarRecords(
    const QString &text, const LibrarySection &section, const QList<SearchResult> &exact)
{
    if (isBlankSearch(text))
        return {};
    QList<qint64> exclude;
    exclude.reserve(exact.size());
    for (const auto &hit : exact)
        exclude.append(hit.id());
    try {
        return m_database->similarMatches(text, section, 50, exclude);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Similar search failed: %s", qUtf8Printable(describe(e)));
        return {};
    }
}

QFuture<QString> AppState::loadOCRText(const ScreenshotRecord &record)
{
    if (!m_textReads)
        m_textReads = std::make_shared<WorkCounter>();
    WorkCounter *reads = m_textReads.get();
    ScreenshotDatabase *database = m_database.get();
    const qint64 id = record.id;
    reads->begin();
    return QtConcurrent::run(&WorkPools::interactive(), [reads, database, id] {
        QString text;
        try {
            text = database->ocrText(id).value_or(QString());
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Failed to read the text of record %lld: %s",
                static_cast<long long>(id), qUtf8Printable(describe(e)));
        }
        reads->end();
        return text;
    });
}

void AppState::copyOCRText(const ScreenshotRecord &record)
{
    QString text = record.ocrText;
    try {
        if (auto stored = m_database->ocrText(record.id))
            text = *stored;
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Failed to read the text of record %lld: %s",
            static_cast<long long>(record.id), qUtf8Printable(describe(e)));
    }
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return;
    clipboard->clear();
    clipboard->setText(text, QClipboard::Clipboard);
}

} // namespace marlox
