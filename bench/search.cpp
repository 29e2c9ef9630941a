// Times ScreenshotDatabase::search on a large generated index against the same
// statement run by the sqlite3 shell, in one process, over the same queries.
//
//   bench_search [--records 100000] [--queries 60] [--repeats 3] [--index FILE]
//
// Prints per-term-count medians and ends with RESULT lines for scripts/bench.
#include <cstdio>
#include <map>
#include <numeric>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "benchindex.h"

using namespace marlox;
using namespace marlox::bench;

namespace {

// The statement search() runs for the whole library, with the match expression
// and limit written in, as a user would type it into the shell.
QString shellStatement(const QString &expression)
{
    QString quoted = expression;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QStringLiteral(
        "SELECT s.id, s.path, s.title, s.folder, s.created_at, s.ocr_text, s.content_hash, "
        "s.status, s.file_size, snippet(screenshots_fts, 1, '[', ']', '…', 12) AS snip "
        "FROM screenshots_fts JOIN screenshots s ON s.id = screenshots_fts.rowid "
        "WHERE screenshots_fts MATCH '%1' ORDER BY bm25(screenshots_fts) LIMIT 50;")
        .arg(quoted);
}

QStringList makeQueries(int count)
{
    QRandomGenerator random(5);
    const QStringList &words = vocabulary();
    QStringList queries;
    for (int i = 0; i < count; ++i) {
        const int terms = 1 + i % 3;
        QStringList parts;
        for (int t = 0; t < terms; ++t) {
            const QString word = words[random.bounded(int(words.size()))];
            parts.append(word.left(2 + int(random.bounded(qMax(1, int(word.size()) - 1)))));
        }
        queries.append(parts.join(QLatin1Char(' ')));
    }
    return queries;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("records"), QStringLiteral("Rows."), QStringLiteral("n"),
        QStringLiteral("100000") });
    parser.addOption({ QStringLiteral("queries"), QStringLiteral("Queries."), QStringLiteral("n"),
        QStringLiteral("60") });
    parser.addOption({ QStringLiteral("repeats"), QStringLiteral("Runs of each query."),
        QStringLiteral("n"), QStringLiteral("3") });
    parser.addOption({ QStringLiteral("index"), QStringLiteral("Index file (made if missing)."),
        QStringLiteral("file") });
    parser.process(app);
    const int repeats = qMax(1, parser.value(QStringLiteral("repeats")).toInt());

    QTemporaryDir temporary;
    const QString path = parser.isSet(QStringLiteral("index"))
        ? parser.value(QStringLiteral("index"))
        : temporary.filePath(QStringLiteral("index.sqlite3"));
    QElapsedTimer timer;
    timer.start();
    ensureIndex(path, parser.value(QStringLiteral("records")).toInt());
    std::printf("index ready in %.1f s\n", milliseconds(timer) / 1000);

    const QStringList queries = makeQueries(parser.value(QStringLiteral("queries")).toInt());

    // Marlox: a warm-up pass, then the repeats; each query's median counts.
    ScreenshotDatabase db(path);
    std::vector<qsizetype> hits;
    for (const QString &q : queries)
        hits.push_back(db.search(q, LibrarySection::all(), 50).size());
    std::vector<double> ours;
    std::vector<double> plain;
    std::map<int, std::vector<double>> oursByTerms;
    int differing = 0;
    for (int i = 0; i < queries.size(); ++i) {
        std::vector<double> runs;
        std::vector<double> plainRuns;
        QList<SearchResult> mine;
        QList<SearchResult> reference;
        for (int r = 0; r < repeats; ++r) {
            timer.restart();
            mine = db.search(queries[i], LibrarySection::all(), 50);
            runs.push_back(milliseconds(timer));
            // The same search as one statement that reads and excerpts every
            // matching row before ranking (what search() did before).
            timer.restart();
            reference = db.searchForComparison(queries[i], LibrarySection::all(), 50);
            plainRuns.push_back(milliseconds(timer));
        }
        if (mine != reference)
            ++differing;
        ours.push_back(percentile(runs, 0.5));
        plain.push_back(percentile(plainRuns, 0.5));
        oursByTerms[1 + i % 3].push_back(ours.back());
    }
    // The sections narrow through the list index; check they agree too.
    for (const LibrarySection &section :
        { LibrarySection::inbox(), LibrarySection::folder(QStringLiteral("Folder 7")) }) {
        for (const QString &q : queries) {
            if (db.search(q, section, 50) != db.searchForComparison(q, section, 50))
                ++differing;
        }
    }

    // The shell: one process, the same statements, a warm-up pass first.
    QString script = QStringLiteral(".output /dev/null\n");
    for (const QString &q : queries)
        script += shellStatement(ScreenshotDatabase::matchExpression(q)) + QLatin1Char('\n');
    script += QStringLiteral(".timer on\n");
    for (int r = 0; r < repeats; ++r) {
        for (const QString &q : queries)
            script += shellStatement(ScreenshotDatabase::matchExpression(q)) + QLatin1Char('\n');
    }
    QProcess shell;
    shell.start(QStringLiteral("sqlite3"), { QStringLiteral("-readonly"), path });
    shell.write(script.toUtf8());
    shell.closeWriteChannel();
    if (!shell.waitForFinished(1800000))
        qFatal("sqlite3 did not finish");
    const QString output = QString::fromUtf8(shell.readAllStandardOutput());
    static const QRegularExpression runTime(QStringLiteral("Run Time: real ([0-9.]+)"));
    std::vector<double> shellTimes;
    for (auto it = runTime.globalMatch(output); it.hasNext();)
        shellTimes.push_back(it.next().captured(1).toDouble() * 1000);
    if (shellTimes.size() != size_t(queries.size() * repeats))
        qFatal("sqlite3 reported %zu timings, expected %lld", shellTimes.size(),
            qlonglong(queries.size() * repeats));
    std::vector<double> theirs;
    std::map<int, std::vector<double>> theirsByTerms;
    for (int i = 0; i < queries.size(); ++i) {
        std::vector<double> runs;
        for (int r = 0; r < repeats; ++r)
            runs.push_back(shellTimes[size_t(r * queries.size() + i)]);
        theirs.push_back(percentile(runs, 0.5));
        theirsByTerms[1 + i % 3].push_back(theirs.back());
    }

    std::printf("\nquery                      hits  Marlox ms  plain ms  sqlite3 ms\n");
    for (int i = 0; i < queries.size(); ++i)
        std::printf("%-25s %5lld %10.1f %9.1f %11.1f\n", qPrintable(queries[i]), qlonglong(hits[i]),
            ours[i], plain[i], theirs[i]);
    std::printf("results differing from the plain statement: %d of %lld searches\n", differing,
        qlonglong(queries.size() * 3));
    // The slowest queries as the plain statement runs them, side by side.
    std::vector<int> order(size_t(queries.size()));
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return plain[a] > plain[b]; });
    std::printf("slowest for the plain statement:\n");
    for (size_t k = 0; k < std::min<size_t>(5, order.size()); ++k) {
        const int i = order[k];
        std::printf("  %-25s %5lld hits: plain %.1f ms, Marlox %.1f ms (%.1fx)\n",
            qPrintable(queries[i]), qlonglong(hits[i]), plain[i], ours[i], plain[i] / ours[i]);
    }
    for (const auto &[terms, values] : oursByTerms)
        std::printf("%d term(s): Marlox median %.1f ms p95 %.1f ms; sqlite3 median %.1f ms p95 "
                    "%.1f ms\n",
            terms, percentile(values, 0.5), percentile(values, 0.95),
            percentile(theirsByTerms[terms], 0.5), percentile(theirsByTerms[terms], 0.95));

    std::printf(
        "RESULT\tsearch p50, 1-3 prefix terms (ms)\t%.2f\t%.2f\tsqlite3 shell, same statement\n",
        percentile(ours, 0.5), percentile(theirs, 0.5));
    std::printf("RESULT\tsearch p95 (ms)\t%.2f\t%.2f\tsqlite3 shell, same statement\n",
        percentile(ours, 0.95), percentile(theirs, 0.95));
    std::printf("RESULT\tsearch slowest query (ms)\t%.2f\t%.2f\tsqlite3 shell, same statement\n",
        percentile(ours, 1.0), percentile(theirs, 1.0));
    std::printf("RESULT\tsearch p50, in process (ms)\t%.2f\t%.2f\tone statement excerpting "
                "every hit before ranking\n",
        percentile(ours, 0.5), percentile(plain, 0.5));
    std::printf("RESULT\tsearch slowest query, in process (ms)\t%.2f\t%.2f\tone statement "
                "excerpting every hit before ranking\n",
        percentile(ours, 1.0), percentile(plain, 1.0));
    return 0;
}
