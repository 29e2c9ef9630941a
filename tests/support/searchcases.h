#pragma once

#include <QList>
#include <QString>
#include <QTest>

namespace marlox::test {

// Screenshots whose text holds words with punctuation inside, and a decoy
// that holds the same words apart or in another order.
struct SearchRecord
{
    const char *title;
    const char *text;
};

inline const QList<SearchRecord> &punctuatedRecords()
{
    static const QList<SearchRecord> records {
        { "Firefox 2026-12-07 at 10.35.12",
            "Invoice total $49.99 due 10:35, pay at example.com/billing" },
        { "Terminal", "$ python src/main.py --verbose\nERROR in foo_bar (v2.0)" },
        { "Mail", "Send report-final.pdf by e-mail; don't wait. Battery 4.46 V" },
        { "Notes",
            "07 of 12 done in 2026; main src, py; com example; bar foo; final report; mail "
            "e; t don; 99 49; 35 10; 0 v2; 46 4 budget" },
    };
    return records;
}

// A query typed as it stood on the screen, and the titles it must find
// (sorted, comma-separated).
struct SearchCase
{
    const char *query;
    const char *titles;
};

inline const QList<SearchCase> &punctuatedQueries()
{
    static const QList<SearchCase> cases {
        { "2026-12-07", "Firefox 2026-12-07 at 10.35.12" },
        { "12-07", "Firefox 2026-12-07 at 10.35.12" },
        { "2026-12-0", "Firefox 2026-12-07 at 10.35.12" },
        { "2026-07-12", "" },
        { "10:35", "Firefox 2026-12-07 at 10.35.12" },
        { "10.35.1", "Firefox 2026-12-07 at 10.35.12" },
        { "$49.99", "Firefox 2026-12-07 at 10.35.12" },
        { "example.com", "Firefox 2026-12-07 at 10.35.12" },
        { "(example.com/billing)", "Firefox 2026-12-07 at 10.35.12" },
        { "invoice 10:35", "Firefox 2026-12-07 at 10.35.12" },
        { "src/main.py", "Terminal" },
        { "main.py", "Terminal" },
        { "foo_bar", "Terminal" },
        { "v2.0", "Terminal" },
        { "report-final", "Mail" },
        { "e-mail", "Mail" },
        { "don't", "Mail" },
        { "don’t", "Mail" },
        { "4.46", "Mail" },
        { "budget", "Notes" },
        { "-- ** \"\"", "" },
    };
    return cases;
}

// The columns "query" and "titles" and a row for each of punctuatedQueries().
inline void addPunctuatedQueryRows()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("titles");
    for (const auto &row : punctuatedQueries())
        QTest::newRow(row.query) << QString::fromUtf8(row.query) << QString::fromUtf8(row.titles);
}

} // namespace marlox::test
