// Times the start-up check of the index on a large one: each statement of the
// probe, opening it, the cheap probes alone, the check with the start-up
// budget, and a complete check.
//
//   bench_indexcheck [--rows 100000] [--dir /tmp/x] [--index existing.sqlite3]
#include <ctime>

#include <sqlite3.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include "storage/databaserecovery.h"

using namespace marlox;
using namespace std::chrono_literals;

namespace {

QTextStream out(stdout);

double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// Rows shaped like real ones: a path, a title, a few hundred words of text.
void fill(const QString &path, int rows)
{
    QStringList words;
    QRandomGenerator random(7);
    for (int i = 0; i < 5000; ++i) {
        QString word;
        for (int j = 0, n = 3 + int(random.bounded(7)); j < n; ++j)
            word += QChar(u'a' + random.bounded(26));
        words.append(word);
    }
    ScreenshotDatabase db(path);
    for (int i = 0; i < rows;) {
        db.runInTransaction([&] {
            for (const int end = qMin(rows, i + 1000); i < end; ++i) {
                QStringList text;
                for (int w = 0, n = 20 + int(random.bounded(130)); w < n; ++w)
                    text.append(words[random.bounded(words.size())]);
                db.insertOrUpdate(
                    QStringLiteral("/home/user/Pictures/Library/Folder %1/Screenshot %2.png")
                        .arg(i % 40)
                        .arg(i),
                    QStringLiteral("Screenshot %1 %2").arg(i).arg(words[i % words.size()]),
                    QStringLiteral("Folder %1").arg(i % 40), 1.7e9 + i, text.join(u' '),
                    QString::number(i, 16).rightJustified(64, u'0'), ScreenshotStatus::filed,
                    300000);
            }
        });
    }
}

double threadCpuMs()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double g_cpuMs = 0; // of the last timeIt, this thread only

template <typename Work> double timeIt(Work work)
{
    QElapsedTimer timer;
    const double cpu = threadCpuMs();
    timer.start();
    work();
    g_cpuMs = threadCpuMs() - cpu;
    return milliseconds(timer);
}

// Each statement of the probe on its own, stepped to the end.
void breakdown(const QString &path)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const char *const statements[] = {
        "SELECT type, name, tbl_name, rootpage, sql FROM sqlite_master;",
        "SELECT * FROM screenshots WHERE rowid IN ((SELECT min(rowid) FROM screenshots), "
        "(SELECT max(rowid) FROM screenshots));",
        "SELECT path FROM screenshots ORDER BY path LIMIT 1;",
        "SELECT path FROM screenshots ORDER BY path DESC LIMIT 1;",
        "SELECT count(*) FROM screenshots;",
        "SELECT * FROM screenshots_fts_data WHERE id IN ((SELECT min(id) FROM "
        "screenshots_fts_data), (SELECT max(id) FROM screenshots_fts_data));",
        "SELECT count(*) FROM screenshots_fts_idx;",
        "PRAGMA quick_check(1);",
    };
    for (const char *sql : statements) {
        const double wall = timeIt([&] {
            sqlite3_stmt *stmt = nullptr;
            sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                for (int i = 0; i < sqlite3_column_count(stmt); ++i)
                    sqlite3_column_bytes(stmt, i);
            }
            sqlite3_finalize(stmt);
        });
        out << QStringLiteral("  %1 ms wall, %2 ms CPU: %3\n")
                   .arg(wall, 7, 'f', 1)
                   .arg(g_cpuMs, 7, 'f', 1)
                   .arg(QString::fromLatin1(sql).left(70));
        out.flush();
    }
    sqlite3_close(db);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("rows"), QStringLiteral("Rows in the index."),
        QStringLiteral("n"), QStringLiteral("100000") });
    parser.addOption(
        { QStringLiteral("dir"), QStringLiteral("Work folder."), QStringLiteral("dir") });
    parser.addOption({ QStringLiteral("index"),
        QStringLiteral("Measure a copy of this existing index instead of filling one."),
        QStringLiteral("file") });
    parser.process(app);

    QTemporaryDir temporary(parser.isSet(QStringLiteral("dir"))
            ? parser.value(QStringLiteral("dir")) + QStringLiteral("/indexcheck-XXXXXX")
            : QDir::tempPath() + QStringLiteral("/marlox-indexcheck-XXXXXX"));
    const QString path = temporary.filePath(QStringLiteral("library.sqlite3"));
    const int rows = parser.value(QStringLiteral("rows")).toInt();
    const double fillMs = timeIt([&] {
        if (parser.isSet(QStringLiteral("index")))
            QFile::copy(parser.value(QStringLiteral("index")), path);
        else
            fill(path, rows);
    });
    out << QStringLiteral("%1 rows, %2 MB, filled in %3 s\n")
               .arg(rows)
               .arg(double(QFileInfo(path).size()) / 1e6, 0, 'f', 1)
               .arg(fillMs / 1000, 0, 'f', 1);
    out.flush();

    out << QStringLiteral("statements of the probe:\n");
    breakdown(path);
    // Each measurement three times; the first run also warms the page cache.
    for (int run = 1; run <= 3; ++run) {
        const double openMs = timeIt([&] { ScreenshotDatabase db(path); });
        bool complete = true;
        const double probesMs
            = timeIt([&] { complete = DatabaseRecovery::checkIndex(path, 0ms).complete; });
        const double probesCpuMs = g_cpuMs;
        bool budgetComplete = true;
        const double budgetMs = timeIt([&] {
            budgetComplete
                = DatabaseRecovery::checkIndex(path, DatabaseRecovery::defaultCheckBudget).complete;
        });
        const double fullMs = timeIt([&] { DatabaseRecovery::checkIndex(path, 600s); });
        const double openedMs = timeIt([&] { DatabaseRecovery::open(path); });
        const double openedCpuMs = g_cpuMs;
        out << QStringLiteral(
            "run %1: open %2 ms; probes alone %3 ms (%10 ms CPU)%4; check with the %5 ms "
            "budget %6 ms (%7); complete check %8 ms; DatabaseRecovery::open "
            "%9 ms (%11 ms CPU)\n")
                   .arg(run)
                   .arg(openMs, 0, 'f', 1)
                   .arg(probesMs, 0, 'f', 1)
                   .arg(complete ? QStringLiteral(" (finished before the interrupt)") : QString())
                   .arg(DatabaseRecovery::defaultCheckBudget.count())
                   .arg(budgetMs, 0, 'f', 1)
                   .arg(budgetComplete ? QStringLiteral("complete") : QStringLiteral("cut short"))
                   .arg(fullMs, 0, 'f', 1)
                   .arg(openedMs, 0, 'f', 1)
                   .arg(probesCpuMs, 0, 'f', 1)
                   .arg(openedCpuMs, 0, 'f', 1);
        out.flush();
    }
    return 0;
}
