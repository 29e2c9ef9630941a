// Times allRecordsForList on a large generated index against the sqlite3
// shell selecting the same columns in the same order.
//
//   bench_recordlist [--records 100000] [--repeats 5] [--index FILE]
#include <cstdio>

#include <sqlite3.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "benchindex.h"

using namespace marlox;
using namespace marlox::bench;

namespace {

// Inserts `count` rows with the capture's statement in one transaction (the
// indexes' cost, without a disk flush per row) and returns rows per second.
double insertRate(const QString &path, int count, int offset)
{
    sqlite3 *db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db,
        "INSERT INTO screenshots (path, title, folder, created_at, ocr_text, content_hash, "
        "status, file_size)\nVALUES (?, ?, ?, ?, ?, ?, ?, ?)\nON CONFLICT(path) DO UPDATE SET\n"
        "    title = excluded.title,\n    folder = excluded.folder,\n    created_at = "
        "excluded.created_at,\n    ocr_text = excluded.ocr_text,\n    content_hash = "
        "excluded.content_hash,\n    status = excluded.status,\n    file_size = "
        "excluded.file_size;",
        -1, &stmt, nullptr);
    if (!stmt)
        qFatal("prepare failed: %s", sqlite3_errmsg(db));
    QRandomGenerator random(3);
    QList<QByteArray> texts;
    for (int i = 0; i < count; ++i)
        texts.append(
            randomLines(random, 4 + int(random.bounded(12)), 8).join(QLatin1Char('\n')).toUtf8());
    QElapsedTimer timer;
    timer.start();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < count; ++i) {
        const QByteArray file = QStringLiteral("/shots/%1.png").arg(offset + i).toUtf8();
        sqlite3_bind_text(stmt, 1, file.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, "Screenshot", -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt, 3, "", -1, SQLITE_STATIC);
        sqlite3_bind_double(stmt, 4, 1.7e9 + i);
        sqlite3_bind_text(stmt, 5, texts[i].constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 6, "", -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt, 7, "inbox", -1, SQLITE_STATIC);
        sqlite3_bind_int64(stmt, 8, 1000);
        if (sqlite3_step(stmt) != SQLITE_DONE)
            qFatal("insert failed: %s", sqlite3_errmsg(db));
        sqlite3_reset(stmt);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    const double seconds = milliseconds(timer) / 1000;
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return count / seconds;
}

// What the list index and the trigram index cost a capture's insert: the
// same inserts into the schema as it is, and with those parts dropped.
void insertCost(const QString &dir, int repeats)
{
    struct Variant
    {
        const char *name;
        const char *drop;
    };
    const Variant variants[] = {
        { "table and word index only",
            "DROP INDEX screenshots_list; DROP TRIGGER screenshots_trigram_ai; DROP TRIGGER "
            "screenshots_trigram_ad; DROP TRIGGER screenshots_trigram_au; DROP TABLE "
            "screenshots_trigram;" },
        { "plus the list index",
            "DROP TRIGGER screenshots_trigram_ai; DROP TRIGGER screenshots_trigram_ad; DROP "
            "TRIGGER screenshots_trigram_au; DROP TABLE screenshots_trigram;" },
        { "plus the trigram index (as shipped)", "" },
    };
    std::vector<double> rates;
    for (const auto &variant : variants) {
        std::vector<double> runs;
        for (int r = 0; r < repeats; ++r) {
            const QString path
                = dir + QStringLiteral("/insert-%1-%2.sqlite3").arg(rates.size()).arg(r);
            {
                ScreenshotDatabase schema(path);
            }
            sqlite3 *db = nullptr;
            sqlite3_open(path.toUtf8().constData(), &db);
            if (sqlite3_exec(db, variant.drop, nullptr, nullptr, nullptr) != SQLITE_OK)
                qFatal("could not drop: %s", sqlite3_errmsg(db));
            sqlite3_close(db);
            // Some rows first, so the indexes are not trivially small.
            insertRate(path, 2000, 0);
            runs.push_back(insertRate(path, 2000, 10000));
        }
        rates.push_back(percentile(runs, 0.5));
        std::printf("inserts in one transaction, %s: %.0f rows/s\n", variant.name, rates.back());
    }
    std::printf("RESULT\tinserts with list and trigram index (rows/s)\t%.0f\t%.0f\ttable and "
                "word index only\n",
        rates.back(), rates.front());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("records"), QStringLiteral("Rows."), QStringLiteral("n"),
        QStringLiteral("100000") });
    parser.addOption({ QStringLiteral("repeats"), QStringLiteral("Runs."), QStringLiteral("n"),
        QStringLiteral("5") });
    parser.addOption({ QStringLiteral("index"), QStringLiteral("Index file (made if missing)."),
        QStringLiteral("file") });
    parser.process(app);
    const int repeats = qMax(1, parser.value(QStringLiteral("repeats")).toInt());

    QTemporaryDir temporary;
    const QString path = parser.isSet(QStringLiteral("index"))
        ? parser.value(QStringLiteral("index"))
        : temporary.filePath(QStringLiteral("index.sqlite3"));
    ensureIndex(path, parser.value(QStringLiteral("records")).toInt());

    QElapsedTimer timer;
    timer.start();
    ScreenshotDatabase db(path);
    qsizetype rows = db.allRecordsForList().size();
    std::printf(
        "open and first list of %lld rows: %.1f ms\n", qlonglong(rows), milliseconds(timer));
    std::vector<double> ours;
    for (int r = 0; r < repeats; ++r) {
        timer.restart();
        rows = db.allRecordsForList().size();
        ours.push_back(milliseconds(timer));
    }

    const QString statement = QStringLiteral("SELECT ")
        + QLatin1String(ScreenshotDatabase::listColumns)
        + QStringLiteral(" FROM screenshots ORDER BY created_at DESC;\n");
    const QString script = QStringLiteral(".output /dev/null\n") + statement
        + QStringLiteral(".timer on\n") + statement.repeated(repeats);
    QProcess shell;
    shell.start(QStringLiteral("sqlite3"), { QStringLiteral("-readonly"), path });
    shell.write(script.toUtf8());
    shell.closeWriteChannel();
    if (!shell.waitForFinished(600000))
        qFatal("sqlite3 did not finish");
    static const QRegularExpression runTime(QStringLiteral("Run Time: real ([0-9.]+)"));
    std::vector<double> theirs;
    const QString output = QString::fromUtf8(shell.readAllStandardOutput());
    for (auto it = runTime.globalMatch(output); it.hasNext();)
        theirs.push_back(it.next().captured(1).toDouble() * 1000);

    // The same columns with the text column skipped by the row reader: how
    // much of the time is spent stepping over each row's recognised text.
    QProcess narrow;
    const QString idOnly
        = QStringLiteral("SELECT id, created_at FROM screenshots ORDER BY created_at DESC;\n");
    narrow.start(QStringLiteral("sqlite3"), { QStringLiteral("-readonly"), path });
    narrow.write(
        (QStringLiteral(".output /dev/null\n.timer on\n") + idOnly.repeated(repeats)).toUtf8());
    narrow.closeWriteChannel();
    narrow.waitForFinished(600000);
    std::vector<double> narrowTimes;
    const QString narrowOutput = QString::fromUtf8(narrow.readAllStandardOutput());
    for (auto it = runTime.globalMatch(narrowOutput); it.hasNext();)
        narrowTimes.push_back(it.next().captured(1).toDouble() * 1000);

    // The same columns read from the table itself, as before the list index:
    // each row's recognised text (and its overflow pages) is stepped over.
    QProcess table;
    const QString tableScan = QStringLiteral("SELECT ")
        + QLatin1String(ScreenshotDatabase::listColumns)
        + QStringLiteral(" FROM screenshots NOT INDEXED ORDER BY created_at DESC;\n");
    table.start(QStringLiteral("sqlite3"), { QStringLiteral("-readonly"), path });
    table.write((QStringLiteral(".output /dev/null\n") + tableScan + QStringLiteral(".timer on\n")
        + tableScan.repeated(repeats))
                    .toUtf8());
    table.closeWriteChannel();
    table.waitForFinished(600000);
    std::vector<double> tableTimes;
    const QString tableOutput = QString::fromUtf8(table.readAllStandardOutput());
    for (auto it = runTime.globalMatch(tableOutput); it.hasNext();)
        tableTimes.push_back(it.next().captured(1).toDouble() * 1000);

    std::printf("%lld rows; Marlox median %.1f ms; sqlite3 same columns %.1f ms; sqlite3 from the "
                "table, no list index %.1f ms; sqlite3 id and date only %.1f ms\n",
        qlonglong(rows), percentile(ours, 0.5), percentile(theirs, 0.5),
        percentile(tableTimes, 0.5), percentile(narrowTimes, 0.5));
    insertCost(temporary.path(), repeats);
    std::printf(
        "RESULT\tallRecordsForList, %lld rows (ms)\t%.1f\t%.1f\tsqlite3 shell, same columns\n",
        qlonglong(rows), percentile(ours, 0.5), percentile(theirs, 0.5));
    std::printf("RESULT\tallRecordsForList through the list index (ms)\t%.1f\t%.1f\tsqlite3 "
                "shell, same columns from the table (before the index)\n",
        percentile(ours, 0.5), percentile(tableTimes, 0.5));
    return 0;
}
