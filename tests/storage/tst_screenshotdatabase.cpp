#include <sqlite3.h>

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "storage/screenshotdatabase.h"
#include "support/indexcheck.h"
#include "support/testmain.h"

using namespace marlox;
using marlox::test::firstSchema;
using marlox::test::sqliteExec;

class TestScreenshotDatabase : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString dbPath(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    static qint64 add(ScreenshotDatabase &db, const QString &path, const QString &title,
        const QString &text = {}, const QString &folder = {},
        ScreenshotStatus status = ScreenshotStatus::filed, double createdAt = 1000)
    {
        return db.insertOrUpdate(
            path, title, folder, createdAt, text, QStringLiteral("h"), status, 10);
    }

private Q_SLOTS:
    void upsertKeepsIdAndReplacesColumns()
    {
        ScreenshotDatabase db(dbPath("upsert.sqlite3"));
        const qint64 id = db.insertOrUpdate(QStringLiteral("/a.png"), QStringLiteral("A"), {}, 1.5,
            QStringLiteral("text"), QStringLiteral("hash"), ScreenshotStatus::inbox, 0);
        const qint64 again = db.insertOrUpdate(QStringLiteral("/a.png"), QStringLiteral("B"),
            QStringLiteral("Work"), 2.25, QStringLiteral("other"), QStringLiteral("h2"),
            ScreenshotStatus::filed, 42);
        QCOMPARE(again, id);
        const auto all = db.allRecords();
        QCOMPARE(all.size(), 1);
        const ScreenshotRecord expected { id, QStringLiteral("/a.png"), QStringLiteral("B"),
            QStringLiteral("Work"), 2.25, QStringLiteral("other"), QStringLiteral("h2"),
            ScreenshotStatus::filed, 42 };
        QCOMPARE(all.first(), expected);
        // The list variant never carries the recognised text.
        QCOMPARE(db.allRecordsForList().first().ocrText, QString());
        QCOMPARE(db.record(id)->ocrText, QString());
        QCOMPARE(db.ocrText(id), std::optional<QString>(QStringLiteral("other")));
        QVERIFY(!db.record(id + 100).has_value());
        QVERIFY(!db.ocrText(id + 100).has_value());
    }

    void updateOcrWithoutSizeKeepsSize()
    {
        ScreenshotDatabase db(dbPath("ocr.sqlite3"));
        const qint64 id = add(db, QStringLiteral("/x.png"), QStringLiteral("x"));
        db.updateOCR(id, QStringLiteral("hello"), QStringLiteral("abc"), std::nullopt);
        QCOMPARE(db.allRecords().first().fileSize, 10);
        db.updateOCR(id, QStringLiteral("hello"), QStringLiteral("abc"), 77);
        QCOMPARE(db.allRecords().first().fileSize, 77);
        QCOMPARE(db.allRecords().first().contentHash, QStringLiteral("abc"));
    }

    void oldSchemaGainsStatusAndFlag()
    {
        const QString path = dbPath("old.sqlite3");
        QCOMPARE(sqliteExec(path,
                     firstSchema
                         + "INSERT INTO screenshots(path, title, created_at) VALUES "
                           "('/lib/Unfiled/a.png','a',1), ('/shots/b.png','b',2);"),
            SQLITE_OK);
        ScreenshotDatabase db(path);
        QVERIFY(db.needsStatusMigration());
        for (const auto &r : db.allRecords())
            QCOMPARE(r.status, ScreenshotStatus::filed);
        db.migrateStatuses(QStringLiteral("/lib"));
        const auto records = db.allRecords();
        QCOMPARE(records.at(0).path, QStringLiteral("/shots/b.png"));
        QCOMPARE(records.at(0).status, ScreenshotStatus::inbox);
        QCOMPARE(records.at(1).status, ScreenshotStatus::filed);

        ScreenshotDatabase reopened(path);
        QVERIFY(!reopened.needsStatusMigration());
        // An index from before word boxes were kept gains their table.
        reopened.storeWordBoxes(records.at(1).id, QByteArrayLiteral("boxes"));
        QCOMPARE(reopened.wordBoxes(records.at(1).id), QByteArrayLiteral("boxes"));
    }

    void wordBoxesBelongToTheTextTheyWereReadWith()
    {
        ScreenshotDatabase db(dbPath("words.sqlite3"));
        const qint64 id
            = add(db, QStringLiteral("/w.png"), QStringLiteral("w"), QStringLiteral("old"));
        const qint64 other = add(db, QStringLiteral("/o.png"), QStringLiteral("o"));
        QCOMPARE(db.wordBoxes(id), std::nullopt);
        db.storeWordBoxes(id, QByteArrayLiteral("first"));
        db.storeWordBoxes(other, QByteArrayLiteral("other"));
        // A lazy fill never replaces what a recognition stored.
        db.storeWordBoxes(id, QByteArrayLiteral("lazy"), true);
        QCOMPARE(db.wordBoxes(id), QByteArrayLiteral("first"));
        db.storeWordBoxes(id, QByteArrayLiteral("second"));
        // Filing, renaming and the same text again keep them.
        db.updateLocation(id, QStringLiteral("/lib/W.png"), QStringLiteral("W"),
            QStringLiteral("General"), ScreenshotStatus::filed);
        db.updateOCR(id, QStringLiteral("old"), QStringLiteral("h"), std::nullopt);
        QCOMPARE(db.wordBoxes(id), QByteArrayLiteral("second"));
        // A new text drops them, through either way of writing it.
        db.updateOCR(id, QStringLiteral("new"), QStringLiteral("h"), std::nullopt);
        QCOMPARE(db.wordBoxes(id), std::nullopt);
        db.storeWordBoxes(id, QByteArrayLiteral("third"));
        add(db, QStringLiteral("/lib/W.png"), QStringLiteral("W"), QStringLiteral("rebuilt"));
        QCOMPARE(db.wordBoxes(id), std::nullopt);
        // They go with their record, and none are kept for an unknown one.
        db.storeWordBoxes(id, QByteArrayLiteral("fourth"));
        db.deleteRow(id);
        QCOMPARE(db.wordBoxes(id), std::nullopt);
        db.storeWordBoxes(id, QByteArrayLiteral("orphan"));
        QCOMPARE(db.wordBoxes(id), std::nullopt);
        QCOMPARE(db.wordBoxes(other), QByteArrayLiteral("other"));
    }

    void unknownStatusReadsAsFiled()
    {
        ScreenshotDatabase db(dbPath("status.sqlite3"));
        const qint64 id = add(
            db, QStringLiteral("/s.png"), QStringLiteral("s"), {}, {}, ScreenshotStatus::inbox);
        db.fetchRecords(ScreenshotDatabase::fullColumns); // warm
        {
            // Write a foreign status straight into the row.
            ScreenshotDatabase::Binder none;
            QCOMPARE(
                sqliteExec(db.path(), "UPDATE screenshots SET status = 'archived';"), SQLITE_OK);
        }
        QCOMPARE(db.record(id)->status, ScreenshotStatus::filed);
    }

    void matchExpression_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expression");
        QTest::newRow("words and hyphen")
            << QStringLiteral("Q3 report-final") << QStringLiteral("\"Q3\"* \"report final\"*");
        QTest::newRow("only punctuation") << QStringLiteral(" -- ** \"\" ") << QString();
        QTest::newRow("operators quoted")
            << QStringLiteral("NOT AND") << QStringLiteral("\"NOT\"* \"AND\"*");
        QTest::newRow("line breaks split")
            << QStringLiteral("a\nb\tc") << QStringLiteral("\"a\"* \"b\"* \"c\"*");
        QTest::newRow("accents kept") << QStringLiteral("café") << QStringLiteral("\"café\"*");
    }
    void matchExpression()
    {
        QFETCH(QString, typed);
        QFETCH(QString, expression);
        QCOMPARE(ScreenshotDatabase::matchExpression(typed), expression);
    }

    void searchMatchesPrefixesAcrossColumnsAndSections()
    {
        ScreenshotDatabase db(dbPath("search.sqlite3"));
        const qint64 a = add(db, QStringLiteral("/a.png"), QStringLiteral("football match"),
            QStringLiteral("scan the barcode here"), QStringLiteral("Work"));
        add(db, QStringLiteral("/b.png"), QStringLiteral("football"), QStringLiteral("nothing"),
            QStringLiteral("work"));
        const qint64 c = add(db, QStringLiteral("/c.png"), QStringLiteral("inbox foo"),
            QStringLiteral("barcode"), {}, ScreenshotStatus::inbox);

        auto results = db.search(QStringLiteral("foo bar"), LibrarySection::all(), 50);
        QCOMPARE(results.size(), 2);
        QList<qint64> ids { results[0].id(), results[1].id() };
        QVERIFY(ids.contains(a) && ids.contains(c));
        for (const auto &r : results)
            QVERIFY2(r.snippet.contains(QLatin1Char('[')), qPrintable(r.snippet));
        QCOMPARE(results.first().record.ocrText.isEmpty(), false);

        results = db.search(
            QStringLiteral("foo bar"), LibrarySection::folder(QStringLiteral("Work")), 50);
        QCOMPARE(results.size(), 1);
        QCOMPARE(results.first().id(), a);
        results = db.search(QStringLiteral("foo"), LibrarySection::inbox(), 50);
        QCOMPARE(results.size(), 1);
        QCOMPARE(results.first().id(), c);
        QVERIFY(db.search(QStringLiteral("!!! ..."), LibrarySection::all(), 50).isEmpty());
        // Capitalised FTS keywords are plain words, not a syntax error.
        add(db, QStringLiteral("/d.png"), QStringLiteral("NOT OR AND"));
        QCOMPARE(db.search(QStringLiteral("NOT OR"), LibrarySection::all(), 50).size(), 1);
        QCOMPARE(db.search(QStringLiteral("foo"), LibrarySection::all(), 1).size(), 1);
    }

    void unopenablePathThrowsDatabaseMessage()
    {
        bool threw = false;
        try {
            ScreenshotDatabase db(m_dir.filePath(QStringLiteral("missing/dir/x.sqlite3")));
        } catch (const SQLiteError &e) {
            threw = true;
            QVERIFY(!e.message().isEmpty());
        }
        QVERIFY(threw);
    }

    // Commits leave copying the log into the index to a thread of its own;
    // the copy must still happen, or the log grows without end.
    void theLogIsCopiedIntoTheIndexBesideTheCommits()
    {
        const QString path = dbPath("log.sqlite3");
        ScreenshotDatabase db(path);
        const qint64 empty = QFileInfo(path).size();
        const QString text(3000, u'x');
        for (int i = 0; i < 1000; ++i)
            add(db, QStringLiteral("/%1.png").arg(i), QStringLiteral("t"), text);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > empty + 2'000'000, 20000);
    }

    void failureInjectionFailsTheNthStatement()
    {
        ScreenshotDatabase db(dbPath("faults.sqlite3"));
        db.failNthStatementForTesting(2);
        add(db, QStringLiteral("/1.png"), QStringLiteral("one"));
        QVERIFY_THROWS_EXCEPTION(
            SQLiteError, add(db, QStringLiteral("/2.png"), QStringLiteral("two")));
        add(db, QStringLiteral("/3.png"), QStringLiteral("three"));
        QCOMPARE(db.allRecords().size(), 2);
    }
};

MARLOX_TEST_MAIN(TestScreenshotDatabase)
#include "tst_screenshotdatabase.moc"
