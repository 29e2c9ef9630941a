// Times allRecordsForList on a large generated index against the sqlite3
// shell selecting the same columns in the same order.
//
//   bench_recordlist [--records 100000] [--repeats 5] [--index FILE]
#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "benchindex.h"

using namespace marlox;
using namespace marlox::bench;

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

    std::printf("%lld rows; Marlox median %.1f ms; sqlite3 same columns %.1f ms; sqlite3 id and "
                "date only %.1f ms\n",
        qlonglong(rows), percentile(ours, 0.5), percentile(theirs, 0.5),
        percentile(narrowTimes, 0.5));
    std::printf(
        "RESULT\tallRecordsForList, %lld rows (ms)\t%.1f\t%.1f\tsqlite3 shell, same columns\n",
        qlonglong(rows), percentile(ours, 0.5), percentile(theirs, 0.5));
    return 0;
}
