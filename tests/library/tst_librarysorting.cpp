#include <QTest>

#include "library/librarysorting.h"
#include "storage/screenshotrecord.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::LibrarySorting;

Q_DECLARE_METATYPE(marlox::LibrarySorting::DateGroup)
Q_DECLARE_METATYPE(marlox::LibrarySorting::Move)
Q_DECLARE_METATYPE(marlox::LibrarySection)
Q_DECLARE_METATYPE(marlox::LibrarySorting::SnippetRun)

namespace {

const QTimeZone berlin("Europe/Berlin");

QDateTime at(int y, int m, int d, int h = 0, int min = 0, int s = 0)
{
    return QDateTime(QDate(y, m, d), QTime(h, min, s), berlin);
}

ScreenshotRecord rec(qint64 id, const QString &title, const QDateTime &created,
    const QString &folder = {}, ScreenshotStatus status = ScreenshotStatus::filed)
{
    ScreenshotRecord r;
    r.id = id;
    r.path = QStringLiteral("/lib/%1/%2.png").arg(folder.isEmpty() ? "Inbox" : folder).arg(id);
    r.title = title;
    r.folder = folder;
    r.createdAt = secondsSince1970(created);
    r.status = status;
    return r;
}

QList<qint64> ids(const QList<ScreenshotRecord> &records)
{
    QList<qint64> result;
    for (const auto &r : records)
        result.append(r.id);
    return result;
}

} // namespace

class TestLibrarySorting : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void groupOfDate_data()
    {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QDateTime>("date");
        QTest::addColumn<DateGroup>("expected");

        const QDateTime wednesday = at(2026, 6, 10, 10); // a Wednesday
        QTest::newRow("midnight today") << wednesday << at(2026, 6, 10) << DateGroup::today;
        QTest::newRow("last second of today")
            << wednesday << at(2026, 6, 10, 23, 59, 59) << DateGroup::today;
        QTest::newRow("last second of yesterday")
            << wednesday << at(2026, 6, 9, 23, 59, 59) << DateGroup::yesterday;
        QTest::newRow("midnight yesterday") << wednesday << at(2026, 6, 9) << DateGroup::yesterday;
        QTest::newRow("day before yesterday")
            << wednesday << at(2026, 6, 8, 23, 59, 59) << DateGroup::thisWeek;
        QTest::newRow("previous wednesday at midnight")
            << wednesday << at(2026, 6, 3) << DateGroup::thisWeek;
        QTest::newRow("one second before the week")
            << wednesday << at(2026, 6, 2, 23, 59, 59) << DateGroup::earlier;
        QTest::newRow("tomorrow counts as this week")
            << wednesday << at(2026, 6, 11, 8) << DateGroup::thisWeek;
        QTest::newRow("next year counts as this week")
            << wednesday << at(2027, 6, 11) << DateGroup::thisWeek;
        // Summer time began on 29 March: seven calendar days back from the
        // 30th is 23 March 00:00, one hour less than 7 × 24 hours.
        const QDateTime afterSwitch = at(2026, 3, 30, 10);
        QTest::newRow("week start across a clock change")
            << afterSwitch << at(2026, 3, 23) << DateGroup::thisWeek;
        QTest::newRow("hour before week start across a clock change")
            << afterSwitch << at(2026, 3, 22, 23, 30) << DateGroup::earlier;
        QTest::newRow("yesterday was 23 hours long")
            << afterSwitch << at(2026, 3, 29, 0, 30) << DateGroup::yesterday;
        // The day is the local one, whatever zone `now` was given in.
        QTest::newRow("now given in UTC")
            << at(2026, 6, 10, 0, 30).toUTC() << at(2026, 6, 9, 23) << DateGroup::yesterday;
    }

    void groupOfDate()
    {
        QFETCH(QDateTime, now);
        QFETCH(QDateTime, date);
        QFETCH(DateGroup, expected);
        QCOMPARE(groupOf(date, now, berlin), expected);
    }

    void groupsKeepSortedOrderAndSkipEmptyGroups()
    {
        const QDateTime now = at(2026, 6, 10, 10);
        const QList<ScreenshotRecord> records { rec(1, "a", at(2026, 6, 10, 9)),
            rec(2, "b", at(2026, 5, 1)), rec(3, "c", at(2026, 6, 10, 8)),
            rec(4, "d", at(2026, 6, 7)), rec(5, "e", at(2026, 4, 1)) };

        const auto oldest = listing(records, LibrarySortOrder::dateOldest, now, berlin);
        QCOMPARE(oldest.groups.size(), 3); // no Yesterday
        QCOMPARE(oldest.groups[0].group, DateGroup::today);
        QCOMPARE(oldest.groups[1].group, DateGroup::thisWeek);
        QCOMPARE(oldest.groups[2].group, DateGroup::earlier);
        // Groups run Today to Earlier; each runs oldest first.
        QCOMPARE(ids(oldest.displayed), (QList<qint64> { 3, 1, 4, 5, 2 }));

        const auto newest = listing(records, LibrarySortOrder::dateNewest, now, berlin);
        QCOMPARE(ids(newest.displayed), (QList<qint64> { 1, 3, 4, 2, 5 }));

        const auto byTitle = listing(records, LibrarySortOrder::title, now, berlin);
        QVERIFY(byTitle.groups.isEmpty());
        QCOMPARE(ids(byTitle.displayed), (QList<qint64> { 1, 2, 3, 4, 5 }));

        const auto nothing = listing({}, LibrarySortOrder::dateNewest, now, berlin);
        QVERIFY(nothing.groups.isEmpty());
        QVERIFY(nothing.displayed.isEmpty());
    }

    void titleSortIsCaseInsensitiveAndStable()
    {
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        const QDateTime t = at(2026, 1, 1);
        const QList<ScreenshotRecord> records { rec(1, "Banana", t), rec(2, "report 2", t),
            rec(3, "apple", t), rec(4, "Report 2", t), rec(5, "Äpfel", t), rec(6, "zebra", t) };
        const auto sorted = sort(records, LibrarySortOrder::title, english);
        // "Äpfel" sorts with the a words (before "apple": f < p).
        QCOMPARE(ids(sorted), (QList<qint64> { 5, 3, 1, 2, 4, 6 }));
        // LANG=C: no collation rules, but case still does not count.
        QCOMPARE(ids(sort(records, LibrarySortOrder::title, QLocale::c())),
            (QList<qint64> { 3, 1, 2, 4, 6, 5 }));
    }

    void dateSortKeepsTiesInIncomingOrder()
    {
        const QDateTime t = at(2026, 1, 1);
        const QList<ScreenshotRecord> records { rec(1, "a", t), rec(2, "b", t.addSecs(5)),
            rec(3, "c", t), rec(4, "d", t.addSecs(-5)) };
        QCOMPARE(ids(sort(records, LibrarySortOrder::dateNewest)), (QList<qint64> { 2, 1, 3, 4 }));
        QCOMPARE(ids(sort(records, LibrarySortOrder::dateOldest)), (QList<qint64> { 4, 1, 3, 2 }));
    }

    void blankQuery_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("blank");
        QTest::newRow("empty") << QString() << true;
        QTest::newRow("spaces") << QStringLiteral("   ") << true;
        QTest::newRow("spaces and tabs") << QStringLiteral(" \t ") << true;
        QTest::newRow("no-break, figure, narrow and ideographic spaces")
            << QStringLiteral("\u00A0\u2007\u202F\u3000\t") << true;
        QTest::newRow("zero-width space") << QStringLiteral(" \u200B") << true;
        QTest::newRow("ideographic space around a word")
            << QStringLiteral("\u3000a\u3000") << false;
        QTest::newRow("line break is not blank") << QStringLiteral(" \n ") << false;
        QTest::newRow("word in spaces") << QStringLiteral("  foo ") << false;
    }

    void blankQuery()
    {
        QFETCH(QString, query);
        QFETCH(bool, blank);
        QCOMPARE(isBlankQuery(query), blank);
    }

    void sectionsCompareFolderNamesExactly()
    {
        const QDateTime t = at(2026, 1, 1);
        const QList<ScreenshotRecord> records { rec(1, "a", t, "Work"), rec(2, "b", t, "work"),
            rec(3, "c", t, "Work", ScreenshotStatus::inbox), rec(4, "d", t),
            rec(5, "e", t, {}, ScreenshotStatus::inbox) };
        QCOMPARE(
            ids(sectionRecords(records, LibrarySection::folder("Work"))), (QList<qint64> { 1, 3 }));
        QCOMPARE(ids(sectionRecords(records, LibrarySection::inbox())), (QList<qint64> { 3, 5 }));
        QCOMPARE(
            ids(sectionRecords(records, LibrarySection::all())), (QList<qint64> { 1, 2, 3, 4, 5 }));
        QCOMPARE(inboxCount(records), 2);

        // No search: the section's list; a search that found nothing: nothing.
        QCOMPARE(ids(filteredRecords(records, LibrarySection::inbox(), std::nullopt)),
            (QList<qint64> { 3, 5 }));
        QVERIFY(filteredRecords(records, LibrarySection::all(), QList<SearchResult> {}).isEmpty());
    }

    // Hits come in rank order; the listing sorts them like any section.
    void searchHitsAreListedInTheChosenOrder()
    {
        const QList<SearchResult> hits { { rec(1, "old", at(2026, 5, 1)),
                                             QStringLiteral("an [invoice]") },
            { rec(2, "new", at(2026, 6, 10, 9)), QStringLiteral("[invoice] here") } };
        const auto shown = listing(filteredRecords({}, LibrarySection::inbox(), hits),
            LibrarySortOrder::dateNewest, at(2026, 6, 10, 12), berlin);
        QCOMPARE(ids(shown.displayed), (QList<qint64> { 2, 1 }));
        QCOMPARE(shown.groups.size(), 2);
        QCOMPARE(shown.groups[0].group, DateGroup::today);
        QCOMPARE(snippetFor(hits, 2), std::optional<QString>(QStringLiteral("[invoice] here")));
        QVERIFY(!snippetFor(std::nullopt, 2).has_value());
        QVERIFY(!snippetFor(hits, 999).has_value());
    }

    void texts_data()
    {
        QTest::addColumn<LibrarySection>("section");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("placeholder");
        QTest::addColumn<QString>("empty");
        QTest::newRow("all") << LibrarySection::all() << QString() << "Search all"
                             << "No screenshots yet — take one to get started.";
        QTest::newRow("inbox") << LibrarySection::inbox() << QStringLiteral("  ") << "Search Inbox"
                               << "Inbox is empty — screenshots you haven't filed yet will show "
                                  "up here.";
        QTest::newRow("folder") << LibrarySection::folder("Work") << QString() << "Search Work"
                                << "This folder is empty.";
        QTest::newRow("search in inbox")
            << LibrarySection::inbox() << QStringLiteral("foo") << "Search Inbox"
            << "No results for “foo” in Inbox.";
        QTest::newRow("search keeps the query as typed")
            << LibrarySection::folder("Work") << QStringLiteral(" foo ") << "Search Work"
            << "No results for “ foo ” in Work.";
    }

    void texts()
    {
        QFETCH(LibrarySection, section);
        QFETCH(QString, query);
        QFETCH(QString, placeholder);
        QFETCH(QString, empty);
        QCOMPARE(searchPlaceholder(section), placeholder);
        QCOMPARE(emptyStateText(section, query), empty);
    }

    void movement_data()
    {
        QTest::addColumn<double>("gridWidth");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("from");
        QTest::addColumn<Move>("move");
        QTest::addColumn<int>("to");
        QTest::newRow("532 wide: down from 1 of 5") << 532.0 << 5 << 1 << Move::down << 4;
        QTest::newRow("532 wide: down from 2 stays") << 532.0 << 5 << 2 << Move::down << 2;
        QTest::newRow("532 wide: up from 4") << 532.0 << 5 << 4 << Move::up << 1;
        QTest::newRow("up from first row stays") << 532.0 << 5 << 2 << Move::up << 2;
        QTest::newRow("right on last stays") << 532.0 << 5 << 4 << Move::right << 4;
        QTest::newRow("left on first stays") << 532.0 << 5 << 0 << Move::left << 0;
        QTest::newRow("no width means one column") << 0.0 << 5 << 1 << Move::down << 2;
        QTest::newRow("narrow still one column") << 100.0 << 5 << 3 << Move::up << 2;
        QTest::newRow("stale index is capped") << 532.0 << 5 << 9 << Move::left << 3;
        QTest::newRow("nothing to select") << 532.0 << 0 << 0 << Move::right << -1;
    }

    void movement()
    {
        QFETCH(double, gridWidth);
        QFETCH(int, count);
        QFETCH(int, from);
        QFETCH(Move, move);
        QFETCH(int, to);
        QCOMPARE(movedIndex(from, count, move, columnCount(gridWidth)), to);
    }

    void selectionIndexStartsAtZero()
    {
        const QDateTime t = at(2026, 1, 1);
        const QList<ScreenshotRecord> shown { rec(7, "a", t), rec(8, "b", t) };
        QCOMPARE(selectionIndex(shown, std::nullopt), 0);
        QCOMPARE(selectionIndex(shown, 8), 1);
        QCOMPARE(selectionIndex(shown, 99), 0);
        // With nothing selected, Right selects the second record.
        QCOMPARE(movedIndex(selectionIndex(shown, std::nullopt), 2, Move::right, 3), 1);
    }

    void snippet_data()
    {
        QTest::addColumn<QString>("snippet");
        QTest::addColumn<QList<SnippetRun>>("runs");
        QTest::newRow("unclosed mark") << QStringLiteral("a [b] c [d")
                                       << QList<SnippetRun> { { "a ", false }, { "b", true },
                                              { " c ", false }, { "d", false } };
        QTest::newRow("plain") << QStringLiteral("plain text")
                               << QList<SnippetRun> { { "plain text", false } };
        QTest::newRow("marks only")
            << QStringLiteral("[x][y]") << QList<SnippetRun> { { "x", true }, { "y", true } };
        QTest::newRow("stray closing bracket") << QStringLiteral(
            "a ] b [c]") << QList<SnippetRun> { { "a ] b ", false }, { "c", true } };
        QTest::newRow("empty mark")
            << QStringLiteral("x []y") << QList<SnippetRun> { { "x ", false }, { "y", false } };
        QTest::newRow("nested opening") << QStringLiteral("[a [b] c")
                                        << QList<SnippetRun> { { "a [b", true }, { " c", false } };
    }

    void snippet()
    {
        QFETCH(QString, snippet);
        QFETCH(QList<SnippetRun>, runs);
        QCOMPARE(snippetRuns(snippet), runs);
    }

    void accessibility()
    {
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        auto r = rec(1, "Receipt", at(2026, 12, 6, 15, 4), "Work");
        QCOMPARE(accessibleLabel(r, english).replace(QChar(0x202f), QLatin1Char(' ')),
            QStringLiteral("Receipt, Work, Dec 6, 2026, 3:04 PM"));
        r.status = ScreenshotStatus::inbox;
        r.title.clear();
        QVERIFY(accessibleLabel(r, english).startsWith(QStringLiteral("1.png, Inbox, ")));
        r.status = ScreenshotStatus::filed;
        r.folder.clear();
        QCOMPARE(placeText(r), QStringLiteral("Inbox"));
    }
};

MARLOX_TEST_MAIN(TestLibrarySorting)
#include "tst_librarysorting.moc"
