#pragma once

#include <functional>
#include <optional>

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QString>
#include <QTimeZone>

#include "storage/librarysection.h"
#include "storage/screenshotrecord.h"

namespace marlox {

enum class LibrarySortOrder { dateNewest, dateOldest, title };

QString storedText(LibrarySortOrder order);
QString label(LibrarySortOrder order);
QList<LibrarySortOrder> allSortOrders();

// Pure computations behind the library window's lists: sorting, date groups
// and the values the window derives from the record list and a search.
namespace LibrarySorting {

enum class DateGroup { today, yesterday, thisWeek, earlier };

QString storedText(DateGroup group);
QString label(DateGroup group);
QList<DateGroup> allDateGroups();

struct Group
{
    DateGroup group = DateGroup::earlier;
    QList<ScreenshotRecord> records;
    bool operator==(const Group &) const = default;
};

// Stable; titles compare case-insensitively in the given locale.
QList<ScreenshotRecord> sort(
    QList<ScreenshotRecord> records, LibrarySortOrder order, const QLocale &locale = QLocale());

// Days are those of `zone`; "this week" is the rolling seven days before today.
DateGroup groupOf(const QDateTime &date, const QDateTime &now,
    const QTimeZone &zone = QTimeZone::systemTimeZone());
QList<Group> groups(const QList<ScreenshotRecord> &sorted, const QDateTime &now,
    const QTimeZone &zone = QTimeZone::systemTimeZone());
DateGroup recordGroup(const ScreenshotRecord &record, const QDateTime &now,
    const QTimeZone &zone = QTimeZone::systemTimeZone());
// Whether a comes before b in the order sort() gives; equal ones keep their
// places.
std::function<bool(const ScreenshotRecord &a, const ScreenshotRecord &b)> comesBefore(
    LibrarySortOrder order, const QLocale &locale = QLocale());

// ---- the window's derived values

// Blank means nothing but spaces of any kind and tabs (a line break is not
// blank).
bool isBlankQuery(const QString &query);
QList<ScreenshotRecord> sectionRecords(
    const QList<ScreenshotRecord> &records, const LibrarySection &section);
bool inSection(const ScreenshotRecord &record, const LibrarySection &section);
int inboxCount(const QList<ScreenshotRecord> &records);

// `searchResults` is none when no search is active; an empty list is a
// search that found nothing.
QList<ScreenshotRecord> filteredRecords(const QList<ScreenshotRecord> &records,
    const LibrarySection &section, const std::optional<QList<SearchResult>> &searchResults);

struct Listing
{
    QList<Group> groups; // empty under the title order
    QList<ScreenshotRecord> displayed; // visual order, used for keyboard movement
};
Listing listing(const QList<ScreenshotRecord> &filtered, LibrarySortOrder order,
    const QDateTime &now, const QTimeZone &zone = QTimeZone::systemTimeZone(),
    const QLocale &locale = QLocale());

std::optional<QString> snippetFor(
    const std::optional<QList<SearchResult>> &searchResults, qint64 recordId);

// "all", "Inbox" or the folder's name, as used in placeholders and messages.
QString sectionNoun(const LibrarySection &section);
QString searchPlaceholder(const LibrarySection &section);
QString emptyStateText(const LibrarySection &section, const QString &query);

// ---- keyboard movement over the displayed records

enum class Move { left, right, up, down };

int columnCount(double gridWidth);
// The index selected after the move, or -1 when there is nothing to select.
int movedIndex(int currentIndex, int count, Move move, int columns);
int selectionIndex(const QList<ScreenshotRecord> &displayed, std::optional<qint64> selectedId);
// The record `step` places from the one with `id`; none past either end, and
// none when that record is no longer listed.
std::optional<ScreenshotRecord> neighbour(
    const QList<ScreenshotRecord> &displayed, qint64 id, int step);

// ---- cells

struct SnippetRun
{
    QString text;
    bool highlighted = false;
    bool operator==(const SnippetRun &) const = default;
};
// Splits "[marked]" excerpts into runs; the brackets themselves never show.
QList<SnippetRun> snippetRuns(const QString &snippet);

QString shownTitle(const ScreenshotRecord &record);
// "Inbox" for Inbox records and filed ones without folder, else the folder.
QString placeText(const ScreenshotRecord &record);
QString accessibleLabel(const ScreenshotRecord &record, const QLocale &locale = QLocale());

} // namespace LibrarySorting
} // namespace marlox
