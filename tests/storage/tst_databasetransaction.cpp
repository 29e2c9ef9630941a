#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "storage/screenshotdatabase.h"
#include "support/testmain.h"

using namespace marlox;

class TestDatabaseTransaction : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_serial = 0;
    std::unique_ptr<ScreenshotDatabase> fresh()
    {
        return std::make_unique<ScreenshotDatabase>(
            m_dir.filePath(QStringLiteral("%1.sqlite3").arg(++m_serial)));
    }
    static qint64 add(ScreenshotDatabase &db, const QString &path)
    {
        return db.insertOrUpdate(path, QStringLiteral("t"), {}, 1, QStringLiteral("word"), {},
            ScreenshotStatus::inbox, 1);
    }

private Q_SLOTS:
    void commitsEveryWrite()
    {
        auto db = fresh();
        db->runInTransaction([&] {
            add(*db, QStringLiteral("/a.png"));
            // Nested: part of the same transaction.
            db->runInTransaction([&] { add(*db, QStringLiteral("/b.png")); });
            QCOMPARE(db->allRecords().size(), 2);
        });
        QCOMPARE(db->allRecords().size(), 2);
        QCOMPARE(db->search(QStringLiteral("word"), LibrarySection {}, 10).size(), 2);
    }

    void throwRollsBackAndLeavesTheIndexUsable()
    {
        auto db = fresh();
        add(*db, QStringLiteral("/kept.png"));
        QVERIFY_THROWS_EXCEPTION(SQLiteError, db->runInTransaction([&] {
            add(*db, QStringLiteral("/dropped.png"));
            throw SQLiteError(QStringLiteral("stop"));
        }));
        QCOMPARE(db->allRecords().size(), 1);
        add(*db, QStringLiteral("/later.png"));
        QCOMPARE(db->allRecords().size(), 2);
    }

    void otherThreadsWaitForTheTransaction()
    {
        auto db = fresh();
        std::unique_ptr<QThread> other;
        try {
            db->runInTransaction([&] {
                add(*db, QStringLiteral("/mine.png"));
                other.reset(QThread::create([&] { add(*db, QStringLiteral("/theirs.png")); }));
                other->start();
                // Time for their insert to slip in, were it not kept out.
                other->wait(200);
                throw std::runtime_error("roll back");
            });
        } catch (const std::runtime_error &) { }
        QVERIFY(other->wait(30000));
        const auto records = db->allRecords();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.first().path, QStringLiteral("/theirs.png"));
    }
};

MARLOX_TEST_MAIN(TestDatabaseTransaction)
#include "tst_databasetransaction.moc"
