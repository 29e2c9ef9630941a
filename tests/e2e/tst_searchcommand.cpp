// marlox-test-labels: slow
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include "storage/screenshotdatabase.h"
#include "support/marloxprocess.h"
#include "support/searchcases.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;

namespace {

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

Run runSearch(const QStringList &arguments)
{
    QProcess process;
    process.start(test::marloxBinary(), QStringList { QStringLiteral("search") } + arguments);
    Run run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QStringList lines(const QString &out)
{
    return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

// Runs `marlox search` against the index a running Marlox holds open.
class TestSearchCommand : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenshotDatabase> m_db;
    QString m_index;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(test::marloxBinary()).isExecutable(), qPrintable(test::marloxBinary()));
        m_index = ScreenshotDatabase::defaultLocation();
    }

    void withoutAnIndexItFailsAndCreatesNothing()
    {
        const Run run = runSearch({ QStringLiteral("invoice") });
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains(m_index), qPrintable(run.err));
        QCOMPARE(run.out, QString());
        QVERIFY(!QFileInfo::exists(QFileInfo(m_index).path()));
    }

    void queryTable_data() { test::addPunctuatedQueryRows(); }

    // Every line is path, title and folder of one hit, in the order the
    // library's search gives; the exit status tells whether any matched.
    void queryTable()
    {
        QFETCH(QString, query);
        QFETCH(QString, titles);
        if (!m_db) {
            m_db = std::make_unique<ScreenshotDatabase>(ScreenshotDatabase::defaultPath());
            int n = 0;
            for (const auto &record : test::punctuatedRecords()) {
                m_db->insertOrUpdate(QStringLiteral("/library/Work/shot %1.png").arg(++n),
                    QString::fromUtf8(record.title), QStringLiteral("Work"), 1.8e9 + n,
                    QString::fromUtf8(record.text), {}, ScreenshotStatus::filed, 10);
            }
        }
        const Run run = runSearch(query.split(QLatin1Char(' ')));
        QStringList found;
        QStringList expected;
        for (const QString &line : lines(run.out)) {
            const QStringList fields = line.split(QLatin1Char('\t'));
            QCOMPARE(fields.size(), 3);
            found.append(fields[1]);
        }
        for (const auto &hit : m_db->search(query, LibrarySection::all(), 50))
            expected.append(hit.record.path + u'\t' + hit.record.title + QStringLiteral("\tWork"));
        QCOMPARE(lines(run.out), expected);
        found.sort();
        QCOMPARE(found.join(QLatin1Char(',')), titles);
        QCOMPARE(run.status, titles.isEmpty() ? 1 : 0);
        QCOMPARE(run.err, QString());
    }

    void jsonCarriesTimeAndExcerptWithinTheLimit()
    {
        QVERIFY(m_db);
        // Written just now by the open connection: still in its write-ahead log.
        for (int i = 0; i < 3; ++i) {
            m_db->insertOrUpdate(QStringLiteral("/library/Bills/bill %1.png").arg(i),
                QStringLiteral("Bill %1").arg(i), QStringLiteral("Bills"), 1.8e9 + 100 + i,
                QStringLiteral("Invoice 2026-12-0%1 total due").arg(i), {}, ScreenshotStatus::filed,
                10);
        }
        const Run run = runSearch({ QStringLiteral("--json"), QStringLiteral("--limit"),
            QStringLiteral("3"), QStringLiteral("invoice") });
        QCOMPARE(run.status, 0);
        const QJsonArray hits = QJsonDocument::fromJson(run.out.toUtf8()).array();
        QCOMPARE(hits.size(), 3);
        const auto expected = m_db->search(QStringLiteral("invoice"), LibrarySection::all(), 3);
        for (qsizetype i = 0; i < hits.size(); ++i) {
            const QJsonObject hit = hits[i].toObject();
            QCOMPARE(hit.value("path").toString(), expected[i].record.path);
            QCOMPARE(hit.value("title").toString(), expected[i].record.title);
            QCOMPARE(hit.value("folder").toString(), expected[i].record.folder);
            QCOMPARE(hit.value("excerpt").toString(), expected[i].snippet);
            QVERIFY(hit.value("excerpt").toString().contains(QStringLiteral("[Invoice]")));
            const QDateTime captured
                = QDateTime::fromString(hit.value("capturedAt").toString(), Qt::ISODate);
            QCOMPARE(captured.toSecsSinceEpoch(), qint64(expected[i].record.createdAt));
        }
        QCOMPARE(
            lines(runSearch({ QStringLiteral("--limit=2"), QStringLiteral("invoice") }).out).size(),
            2);
    }

    void badArgumentsAreErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no query") << QStringList {};
        QTest::newRow("no query after options") << QStringList { "--json" };
        QTest::newRow("limit not a number") << QStringList { "--limit", "many", "invoice" };
        QTest::newRow("unknown option") << QStringList { "--fuzzy", "invoice" };
    }

    void badArgumentsAreErrors()
    {
        QFETCH(QStringList, arguments);
        const Run run = runSearch(arguments);
        QCOMPARE(run.status, 2);
        QVERIFY(run.err.startsWith(QStringLiteral("marlox search: ")));
        QCOMPARE(run.out, QString());
    }

    // After Marlox has quit (its log folded back, its side files gone) the
    // index still reads; a file that is no index is an error. Never the
    // instance lock.
    void readsAClosedIndexAndRejectsAForeignFile()
    {
        m_db.reset();
        QCOMPARE(runSearch({ QStringLiteral("10:35") }).status, 0);
        test::writeFile(m_index, QByteArray(4096, 'x'));
        const Run run = runSearch({ QStringLiteral("invoice") });
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains(QStringLiteral("not a database")), qPrintable(run.err));
        QVERIFY(!QFileInfo::exists(QFileInfo(m_index).path() + QStringLiteral("/marlox.lock")));
    }
};

MARLOX_TEST_MAIN(TestSearchCommand)
#include "tst_searchcommand.moc"
