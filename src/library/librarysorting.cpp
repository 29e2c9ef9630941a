#include "library/librarysorting.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <QCollator>
#include <QRegularExpression>

#include "storage/searchquery.h"

namespace marlox {

QString storedText(LibrarySortOrder order)
{
    switch (order) {
    case LibrarySortOrder::dateNewest:
        return QStringLiteral("dateNewest");
    case LibrarySortOrder::dateOldest:
        return QStringLiteral("dateOldest");
    case LibrarySortOrder::title:
        return QStringLiteral("title");
    }
    return {};
}

QString label(LibrarySortOrder order)
{
    switch (order) {
    case LibrarySortOrder::dateNewest:
        return QStringLiteral("Date (Newest)");
    case LibrarySortOrder::dateOldest:
        return QStringLiteral("Date (Oldest)");
    case LibrarySortOrder::title:
        return QStringLiteral("Title");
    }
    return {};
}

QList<LibrarySortOrder> allSortOrders()
{
    return { LibrarySortOrder::dateNewest, LibrarySortOrder::dateOldest, LibrarySortOrder::title };
}

namespace LibrarySorting {

QString storedText(DateGroup group)
{
    switch (group) {
    case DateGroup::today:
        return QStringLiteral("today");
    case DateGroup::yesterday:
        return QStringLiteral("yesterday");
    case DateGroup::thisWeek:
        return QStringLiteral("thisWeek");
    case DateGroup::earlier:
        return QStringLiteral("earlier");
    }
    return {};
}

QString label(DateGroup group)
{
    switch (group) {
    case DateGroup::today:
        return QStringLiteral("Today");
    case DateGroup::yesterday:
        return QStringLiteral("Yesterday");
    case DateGroup::thisWeek:
        return QStringLiteral("This Week");
    case DateGroup::earlier:
        return QStringLiteral("Earlier");
    }
    return {};
}

QList<DateGroup> allDateGroups()
{
    return { DateGroup::today, DateGroup::yesterday, DateGroup::thisWeek, DateGroup::earlier };
}

QList<ScreenshotRecord> sort(
    QList<ScreenshotRecord> records, LibrarySortOrder order, const QLocale &locale)
{
    // The record list arrives newest first: checking is cheaper than sorting.
    const auto byDate = [&records](auto before) {
        if (!std::is_sorted(records.cbegin(), records.cend(), before))
            std::stable_sort(records.begin(), records.end(), before);
        return records;
    };
    switch (order) {
    case LibrarySortOrder::dateNewest:
        return byDate([](const auto &a, const auto &b) { return a.createdAt > b.createdAt; });
    case LibrarySortOrder::dateOldest:
        return byDate([](const auto &a, const auto &b) { return a.createdAt < b.createdAt; });
    case LibrarySortOrder::title:
        break;
    }
    // Sort keys once per record: collating 100,000 titles pairwise is slow.
    QCollator collator(locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    // The C and POSIX locales compare code points and ignore the case
    // setting: fold the case first there.
    const bool foldCase = locale.language() == QLocale::C;
    QList<QCollatorSortKey> keys;
    keys.reserve(records.size());
    for (const auto &record : records)
        keys.append(collator.sortKey(foldCase ? record.title.toCaseFolded() : record.title));
    QList<qsizetype> order(records.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
        [&keys](qsizetype a, qsizetype b) { return keys[a].compare(keys[b]) < 0; });
    QList<ScreenshotRecord> sorted;
    sorted.reserve(records.size());
    for (qsizetype i : order)
        sorted.append(std::move(records[i]));
    return sorted;
}

namespace {

// The instants that separate the groups, computed once per listing.
struct DayBoundaries
{
    qint64 startOfToday = 0;
    qint64 startOfTomorrow = 0;
    qint64 startOfYesterday = 0;
    qint64 startOfWeek = 0;

    DayBoundaries(const QDateTime &now, const QTimeZone &zone)
    {
        const QDate today = now.toTimeZone(zone).date();
        const auto start
            = [&zone](const QDate &day) { return day.startOfDay(zone).toMSecsSinceEpoch(); };
        startOfToday = start(today);
        startOfTomorrow = start(today.addDays(1));
        startOfYesterday = start(today.addDays(-1));
        startOfWeek = start(today.addDays(-7));
    }

    DateGroup groupOf(qint64 msecs) const
    {
        if (msecs >= startOfToday && msecs < startOfTomorrow)
            return DateGroup::today;
        if (msecs >= startOfYesterday && msecs < startOfToday)
            return DateGroup::yesterday;
        // A date in the future lands here too.
        if (msecs >= startOfWeek)
            return DateGroup::thisWeek;
        return DateGroup::earlier;
    }
};

} // namespace

DateGroup groupOf(const QDateTime &date, const QDateTime &now, const QTimeZone &zone)
{
    return DayBoundaries(now, zone).groupOf(date.toMSecsSinceEpoch());
}

QList<Group> groups(
    const QList<ScreenshotRecord> &sorted, const QDateTime &now, const QTimeZone &zone)
{
    const DayBoundaries boundaries(now, zone);
    QList<ScreenshotRecord> buckets[4];
    for (const auto &record : sorted) {
        const auto msecs = static_cast<qint64>(std::llround(record.createdAt * 1000.0));
        buckets[static_cast<int>(boundaries.groupOf(msecs))].append(record);
    }
    QList<Group> result;
    for (DateGroup group : allDateGroups()) {
        auto &bucket = buckets[static_cast<int>(group)];
        if (!bucket.isEmpty())
            result.append({ group, std::move(bucket) });
    }
    return result;
}

DateGroup recordGroup(const ScreenshotRecord &record, const QDateTime &now, const QTimeZone &zone)
{
    return DayBoundaries(now, zone).groupOf(
        static_cast<qint64>(std::llround(record.createdAt * 1000.0)));
}

std::function<bool(const ScreenshotRecord &, const ScreenshotRecord &)> comesBefore(
    LibrarySortOrder order, const QLocale &locale)
{
    switch (order) {
    case LibrarySortOrder::dateNewest:
        return [](const auto &a, const auto &b) { return a.createdAt > b.createdAt; };
    case LibrarySortOrder::dateOldest:
        return [](const auto &a, const auto &b) { return a.createdAt < b.createdAt; };
    case LibrarySortOrder::title:
        break;
    }
    auto collator = std::make_shared<QCollator>(locale);
    collator->setCaseSensitivity(Qt::CaseInsensitive);
    const bool foldCase = locale.language() == QLocale::C;
    return [collator, foldCase](const ScreenshotRecord &a, const ScreenshotRecord &b) {
        if (foldCase)
            return collator->compare(a.title.toCaseFolded(), b.title.toCaseFolded()) < 0;
        return collator->compare(a.title, b.title) < 0;
    };
}

bool isBlankQuery(const QString &query)
{
    return SearchQuery::isBlank(query);
}

QList<ScreenshotRecord> sectionRecords(
    const QList<ScreenshotRecord> &records, const LibrarySection &section)
{
    if (section.kind == LibrarySection::Kind::all)
        return records;
    QList<ScreenshotRecord> result;
    for (const auto &record : records) {
        if (inSection(record, section))
            result.append(record);
    }
    return result;
}

bool inSection(const ScreenshotRecord &record, const LibrarySection &section)
{
    switch (section.kind) {
    case LibrarySection::Kind::all:
        return true;
    case LibrarySection::Kind::inbox:
        return record.status == ScreenshotStatus::inbox;
    case LibrarySection::Kind::folder:
        return record.folder == section.folderName;
    }
    return false;
}

int inboxCount(const QList<ScreenshotRecord> &records)
{
    return static_cast<int>(std::count_if(records.cbegin(), records.cend(),
        [](const auto &record) { return record.status == ScreenshotStatus::inbox; }));
}

QList<ScreenshotRecord> filteredRecords(const QList<ScreenshotRecord> &records,
    const LibrarySection &section, const std::optional<QList<SearchResult>> &searchResults)
{
    if (!searchResults)
        return sectionRecords(records, section);
    QList<ScreenshotRecord> result;
    result.reserve(searchResults->size());
    for (const auto &hit : *searchResults)
        result.append(hit.record);
    return result;
}

Listing listing(const QList<ScreenshotRecord> &filtered, LibrarySortOrder order,
    const QDateTime &now, const QTimeZone &zone, const QLocale &locale)
{
    Listing result;
    QList<ScreenshotRecord> sorted = sort(filtered, order, locale);
    if (order == LibrarySortOrder::title) {
        result.displayed = std::move(sorted);
        return result;
    }
    result.groups = groups(sorted, now, zone);
    result.displayed.reserve(sorted.size());
    for (const auto &group : result.groups)
        result.displayed.append(group.records);
    return result;
}

std::optional<QString> snippetFor(
    const std::optional<QList<SearchResult>> &searchResults, qint64 recordId)
{
    if (!searchResults)
        return std::nullopt;
    for (const auto &hit : *searchResults) {
        if (hit.id() == recordId)
            return hit.snippet;
    }
    return std::nullopt;
}

QString sectionNoun(const LibrarySection &section)
{
    switch (section.kind) {
    case LibrarySection::Kind::all:
        return QStringLiteral("all");
    case LibrarySection::Kind::inbox:
        return QStringLiteral("Inbox");
    case LibrarySection::Kind::folder:
        return section.folderName;
    }
    return {};
}

QString searchPlaceholder(const LibrarySection &section)
{
    return QStringLiteral("Search ") + sectionNoun(section);
}

QString emptyStateText(const LibrarySection &section, const QString &query)
{
    if (!isBlankQuery(query))
        return QStringLiteral("No results for “%1” in %2.").arg(query, sectionNoun(section));
    switch (section.kind) {
    case LibrarySection::Kind::inbox:
        return QStringLiteral(
            "Inbox is empty — screenshots you haven't filed yet will show up here.");
    case LibrarySection::Kind::all:
        return QStringLiteral("No screenshots yet — take one to get started.");
    case LibrarySection::Kind::folder:
        return QStringLiteral("This folder is empty.");
    }
    return {};
}

int columnCount(double gridWidth)
{
    if (gridWidth <= 0)
        return 1;
    return std::max(1, static_cast<int>((gridWidth + 12.0) / 172.0));
}

int movedIndex(int currentIndex, int count, Move move, int columns)
{
    if (count <= 0)
        return -1;
    const int index = std::clamp(currentIndex, 0, count - 1);
    switch (move) {
    case Move::left:
        return std::max(0, index - 1);
    case Move::right:
        return std::min(count - 1, index + 1);
    case Move::up:
        return index - columns >= 0 ? index - columns : index;
    case Move::down:
        return index + columns < count ? index + columns : index;
    }
    return index;
}

int selectionIndex(const QList<ScreenshotRecord> &displayed, std::optional<qint64> selectedId)
{
    if (!selectedId)
        return 0;
    for (int i = 0; i < displayed.size(); ++i) {
        if (displayed[i].id == *selectedId)
            return i;
    }
    return 0;
}

std::optional<ScreenshotRecord> neighbour(
    const QList<ScreenshotRecord> &displayed, qint64 id, int step)
{
    const auto at = std::find_if(displayed.cbegin(), displayed.cend(),
        [id](const ScreenshotRecord &record) { return record.id == id; });
    if (at == displayed.cend())
        return std::nullopt;
    const qsizetype index = (at - displayed.cbegin()) + step;
    if (index < 0 || index >= displayed.size())
        return std::nullopt;
    return displayed.at(index);
}

QList<SnippetRun> snippetRuns(const QString &snippet)
{
    QList<SnippetRun> runs;
    const auto add = [&runs](const QString &text, bool highlighted) {
        if (!text.isEmpty())
            runs.append({ text, highlighted });
    };
    qsizetype position = 0;
    while (position < snippet.size()) {
        const qsizetype open = snippet.indexOf(QLatin1Char('['), position);
        if (open < 0) {
            add(snippet.mid(position), false);
            break;
        }
        add(snippet.mid(position, open - position), false);
        const qsizetype close = snippet.indexOf(QLatin1Char(']'), open + 1);
        if (close < 0) {
            add(snippet.mid(open + 1), false);
            break;
        }
        add(snippet.mid(open + 1, close - open - 1), true);
        position = close + 1;
    }
    return runs;
}

QString shownTitle(const ScreenshotRecord &record)
{
    return record.title.isEmpty() ? record.fileName() : record.title;
}

QString placeText(const ScreenshotRecord &record)
{
    if (record.status == ScreenshotStatus::inbox || record.folder.isEmpty())
        return QStringLiteral("Inbox");
    return record.folder;
}

namespace {

// The locale's long date without the weekday and with abbreviated month
// names: "Dec 6, 2026" in English.
QString mediumDateFormat(const QLocale &locale)
{
    QString format = locale.dateFormat(QLocale::LongFormat);
    static const QRegularExpression weekday(QStringLiteral("d{4}[,.]?\\s*"));
    format.remove(weekday);
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    return format.trimmed();
}

} // namespace

QString accessibleLabel(const ScreenshotRecord &record, const QLocale &locale)
{
    const QDateTime created = record.createdAtDateTime().toLocalTime();
    const QString when = locale.toString(created.date(), mediumDateFormat(locale))
        + QStringLiteral(", ") + locale.toString(created.time(), QLocale::ShortFormat);
    return QStringList { shownTitle(record), placeText(record), when }.join(QStringLiteral(", "));
}

} // namespace LibrarySorting
} // namespace marlox
