// marlox-test-timeout: 180
#include <sqlite3.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include "storage/databaserecovery.h"
#include "support/indexcheck.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;
using marlox::test::sqliteExec;
using namespace std::chrono_literals;

namespace {

// Generous, so that a busy machine never cuts the check of these small files short.
constexpr auto kBudget = 20s;

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char &c : bytes)
        c = char(generator.bounded(256));
    return bytes;
}

// A real index of a few hundred rows with long texts, closed (and so
// checkpointed) before it is returned.
void makeIndex(const QString &path, int rows = 300)
{
    ScreenshotDatabase db(path);
    const QString text = QStringLiteral("lorem ipsum dolor sit amet ").repeated(80);
    for (int i = 0; i < rows; ++i) {
        db.insertOrUpdate(QStringLiteral("/lib/Work/shot %1.png").arg(i),
            QStringLiteral("Shot %1").arg(i), QStringLiteral("Work"), 1000 + i,
            text + QString::number(i), QStringLiteral("hash"), ScreenshotStatus::filed, 100);
    }
}

const QDateTime kNow(QDate(2024, 3, 5), QTime(14, 7, 9));

} // namespace

class TestDatabaseRecovery : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_serial = 0;
    QString freshPath()
    {
        const QString dir = m_dir.filePath(QString::number(++m_serial));
        QDir().mkpath(dir);
        return dir + QStringLiteral("/library.sqlite3");
    }

private Q_SLOTS:
    void brokenIndexIsMovedAsideWithCompanions_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("not a database") << "garbage";
        QTest::newRow("a few bytes") << "short";
        QTest::newRow("truncated to half") << "truncated";
        QTest::newRow("damaged pages in the middle") << "damaged";
        QTest::newRow("schema cannot be created") << "schema";
    }

    void brokenIndexIsMovedAsideWithCompanions()
    {
        QFETCH(QString, kind);
        const QString path = freshPath();
        if (kind == QLatin1String("garbage")) {
            test::writeFile(path, randomBytes(64 * 1024));
        } else if (kind == QLatin1String("short")) {
            test::writeFile(path, QByteArrayLiteral("SQLite"));
        } else if (kind == QLatin1String("truncated")) {
            makeIndex(path);
            QVERIFY(QFile::resize(path, QFileInfo(path).size() / 2));
        } else if (kind == QLatin1String("damaged")) {
            makeIndex(path);
            QByteArray bytes = test::readFile(path);
            const qsizetype from = bytes.size() * 2 / 5;
            bytes.replace(from, 8192, randomBytes(8192));
            test::writeFile(path, bytes);
        } else {
            // A view where the table should be: the columns cannot be added.
            QCOMPARE(sqliteExec(path, "CREATE VIEW screenshots AS SELECT 1 AS id;"), SQLITE_OK);
        }
        const QByteArray original = test::readFile(path);
        test::writeFile(path + QStringLiteral("-wal"), QByteArrayLiteral("wal"));
        test::writeFile(path + QStringLiteral("-shm"), QByteArrayLiteral("shm"));

        const auto opened = DatabaseRecovery::open(path, kNow, kBudget);

        const QString moved = path + QStringLiteral(".corrupt-20240305-140709");
        QCOMPARE(opened.movedAsideTo, std::optional<QString>(moved));
        QVERIFY(opened.originalError.has_value());
        QVERIFY(!opened.originalError->isEmpty());
        QCOMPARE(test::readFile(moved), original);
        QCOMPARE(test::readFile(moved + QStringLiteral("-wal")), QByteArrayLiteral("wal"));
        QVERIFY(QFileInfo::exists(moved + QStringLiteral("-shm")));
        QVERIFY(!QFileInfo::exists(path + QStringLiteral(".corrupt-20240305-140709-2")));

        // The fresh index lives at the old place and works.
        QVERIFY(opened.database);
        QCOMPARE(opened.database->path(), path);
        QVERIFY(opened.database->allRecords().isEmpty());
        opened.database->insertOrUpdate(QStringLiteral("/x.png"), QStringLiteral("x"), {}, 1, {},
            {}, ScreenshotStatus::inbox, 1);
        QCOMPARE(opened.database->allRecords().size(), 1);
    }

    void soundIndexOpensAsItIs()
    {
        const QString path = freshPath();
        makeIndex(path, 50);
        QVERIFY(DatabaseRecovery::checkIndex(path, kBudget).complete);
        const auto opened = DatabaseRecovery::open(path, kNow, kBudget);
        QVERIFY(!opened.movedAsideTo);
        QVERIFY(!opened.originalError);
        QCOMPARE(opened.database->allRecords().size(), 50);
        QVERIFY(!QFileInfo::exists(path + QStringLiteral(".corrupt-20240305-140709")));
    }

    void missingIndexIsCreated()
    {
        const QString path = freshPath();
        const auto opened = DatabaseRecovery::open(path, kNow, kBudget);
        QVERIFY(!opened.originalError);
        QVERIFY(QFileInfo::exists(path));
    }

    void recoveriesWithinOneSecondCountUp()
    {
        const QString path = freshPath();
        const QString base = path + QStringLiteral(".corrupt-20240305-140709");
        const QStringList expected
            = { base, base + QStringLiteral("-2"), base + QStringLiteral("-3") };
        for (const QString &target : expected) {
            test::writeFile(path, randomBytes(4096));
            test::writeFile(path + QStringLiteral("-wal"), target.toUtf8());
            const auto opened = DatabaseRecovery::open(path, kNow, kBudget);
            QCOMPARE(opened.movedAsideTo, std::optional<QString>(target));
            QCOMPARE(test::readFile(target + QStringLiteral("-wal")), target.toUtf8());
        }
        QVERIFY(!QFileInfo::exists(base + QStringLiteral("-1")));
    }

    void moveAsideWithoutMainFileMovesCompanions()
    {
        const QString path = freshPath();
        test::writeFile(path + QStringLiteral("-shm"), QByteArrayLiteral("shm"));
        const auto moved = DatabaseRecovery::moveAside(path, QStringLiteral("20240101-000000"));
        QVERIFY(!moved);
        QCOMPARE(test::readFile(path + QStringLiteral(".corrupt-20240101-000000-shm")),
            QByteArrayLiteral("shm"));
        QVERIFY(!QFileInfo::exists(path + QStringLiteral("-shm")));
    }

    void failedMoveIsThrown()
    {
        const QString path = freshPath();
        test::writeFile(path, randomBytes(2048));
        // A directory in the way of the companion's new name.
        QVERIFY(QDir().mkpath(path + QStringLiteral(".corrupt-20240305-140709-wal/x")));
        test::writeFile(path + QStringLiteral("-wal"), QByteArrayLiteral("wal"));
        QVERIFY_THROWS_EXCEPTION(FileError, DatabaseRecovery::open(path, kNow, kBudget));
    }

    void lockedIndexIsNotMovedAside()
    {
        const QString path = freshPath();
        makeIndex(path, 20);
        const QByteArray before = test::readFile(path);

        sqlite3 *holder = nullptr;
        QCOMPARE(sqlite3_open(path.toUtf8().constData(), &holder), SQLITE_OK);
        QCOMPARE(sqlite3_exec(holder,
                     "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                     "UPDATE screenshots SET title = 'held' WHERE id = 1;",
                     nullptr, nullptr, nullptr),
            SQLITE_OK);

        bool threw = false;
        try {
            DatabaseRecovery::open(path, kNow, kBudget);
        } catch (const SQLiteError &error) {
            threw = true;
            QVERIFY2(!DatabaseRecovery::isBroken(error), qPrintable(error.description()));
        }
        sqlite3_exec(holder, "ROLLBACK;", nullptr, nullptr, nullptr);
        sqlite3_close(holder);

        QVERIFY(threw);
        QVERIFY(QDir(QFileInfo(path).path())
                    .entryList({ QStringLiteral("*.corrupt-*") }, QDir::Files)
                    .isEmpty());
        QCOMPARE(test::readFile(path), before);
        const auto reopened = DatabaseRecovery::open(path, kNow, kBudget);
        QVERIFY(!reopened.originalError);
        QCOMPARE(reopened.database->allRecords().size(), 20);
    }
};

MARLOX_TEST_MAIN(TestDatabaseRecovery)
#include "tst_databaserecovery.moc"
