// marlox-test-labels: fault slow
// marlox-test-timeout: 300
#include <csignal>

#include <sys/stat.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include "filing/libraryreconciler.h"
#include "platform/trash.h"
#include "storage/screenshotdatabase.h"
#include "support/filecensus.h"
#include "support/imagebytes.h"
#include "support/indexcheck.h"
#include "support/marloxprocess.h"
#include "support/marloxrun.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

constexpr int killPointsInAll = 104;

dev_t deviceOf(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_dev : dev_t(0);
}

// A PNG of noise: big enough that a copy between file systems takes a while.
QByteArray noisyPng(QRandomGenerator &random, int side)
{
    QImage image(side, side, QImage::Format_RGB32);
    for (int y = 0; y < side; ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < side; ++x)
            line[x] = random.generate() | 0xff000000u;
    }
    return imageBytes(image, "PNG", 0);
}

} // namespace

// Kills the real binary with SIGKILL while it files bursts of captures, and
// checks after every kill that each capture exists exactly once and whole,
// and that a reconcile leaves every index row on its file.
class TestCrashBurst : public QObject
{
    Q_OBJECT

    void runRound(const QString &shots, const QString &library, int killPoints, quint32 seed)
    {
        configureBinary(shots, library);
        removeBinaryIndex();
        const QString trash = SystemFileTrasher::homeTrash() + QStringLiteral("/files");
        const QStringList places { shots, library, trash };
        const bool acrossFileSystems = deviceOf(shots) != deviceOf(library);

        QRandomGenerator random(seed);
        QSet<QByteArray> written;
        int serial = 0;
        int mostCopies = 0;
        int relinkedInAll = 0;
        int removedInAll = 0;
        int finishedInAll = 0;
        for (int point = 0; point < killPoints; ++point) {
            MarloxRun marlox;
            QVERIFY2(marlox.waitFor(QStringLiteral("Watching ")), qPrintable(marlox.output()));

            const int burst = 1 + int(random.bounded(3));
            for (int i = 0; i < burst; ++i) {
                ++serial;
                const QByteArray bytes = acrossFileSystems && random.bounded(2) == 0
                    ? noisyPng(random, 600)
                    : distinctPng(serial + int(seed));
                QVERIFY(writeWholeFile(
                    shots + QStringLiteral("/Screenshot %1-%2.png").arg(seed).arg(serial), bytes));
                written.insert(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
            }
            // Half of the kills aim at the filing itself: after a detection;
            // one in eight after a filing, so that a slow machine files some too.
            if (point % 8 == 7)
                marlox.waitFor(QStringLiteral("Auto-saved capture"), 30000);
            else if (point % 2 == 1)
                marlox.waitFor(QStringLiteral("Detected stable screenshot"), 5000);
            QTest::qSleep(int(random.bounded(point % 2 == 1 ? 900 : 1000)));
            marlox.signal(SIGKILL);
            QVERIFY(marlox.finished(10000));

            // Every capture whole. A kill between the copy and the removal of
            // the source of a move between file systems leaves two copies,
            // which the next reconcile resolves.
            const QMap<QByteArray, int> now = contentCensus(places);
            QCOMPARE(QSet<QByteArray>(now.keyBegin(), now.keyEnd()), written);
            int copies = 0;
            for (auto it = now.cbegin(); it != now.cend(); ++it)
                copies += it.value() > 1 ? 1 : 0;
            QVERIFY2(copies == 0 || acrossFileSystems,
                "a capture exists twice after a move on one disk");
            mostCopies = std::max(mostCopies, copies);

            ScreenshotDatabase database(binaryIndexPath());
            const LibraryReconciler::Report report
                = LibraryReconciler::reconcileTree(library, database);
            relinkedInAll += report.relinked;
            removedInAll += report.removed;
            finishedInAll += report.finishedMoves;
            verifyRowsOnTheirFiles(database, library);
            if (QTest::currentTestFailed())
                return;
            // Then every capture in exactly one place.
            const QMap<QByteArray, int> reconciled = contentCensus(places);
            QCOMPARE(QSet<QByteArray>(reconciled.keyBegin(), reconciled.keyEnd()), written);
            for (auto it = reconciled.cbegin(); it != reconciled.cend(); ++it)
                QVERIFY2(it.value() == 1, it.key().constData());
        }
        qInfo("%d kill points, %d captures, %d left in the screenshot folder, %d in the library, "
              "at most %d copies left by a kill mid-move; the reconciles finished %d moves, "
              "relinked %d rows and removed %d",
            killPoints, serial, int(regularFilesBelow({ shots }).size()),
            int(regularFilesBelow({ library }).size()), mostCopies, finishedInAll, relinkedInAll,
            removedInAll);
        QVERIFY(!regularFilesBelow({ library }).isEmpty());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(marloxBinary()).isExecutable(), qPrintable(marloxBinary()));
    }

    void killsOnOneFileSystem()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const bool second = deviceOf(QStringLiteral("/dev/shm")) != 0
            && deviceOf(QStringLiteral("/dev/shm")) != deviceOf(dir.path());
        runRound(dir.filePath(QStringLiteral("Shots")), dir.filePath(QStringLiteral("Library")),
            second ? killPointsInAll / 2 : killPointsInAll, 1201);
    }

    // Kills the binary while it rebuilds a lost index and reads the text of
    // the rebuilt rows; the launch after the last kill must finish both, and
    // no kill may touch a library file.
    void killsDuringRebuildLoseNothing()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString shots = dir.filePath(QStringLiteral("Shots"));
        const QString library = dir.filePath(QStringLiteral("Library"));
        configureBinary(shots, library, false);
        removeBinaryIndex();
        for (int i = 0; i < 240; ++i) {
            QVERIFY(
                writeWholeFile(library + QStringLiteral("/Folder %1/Shot %2.png").arg(i % 6).arg(i),
                    distinctPng(9000 + i, 320, 200)));
        }
        const QMap<QByteArray, int> before = contentCensus({ library, shots });
        const QStringList files = regularFilesBelow({ library });

        QRandomGenerator random(77);
        int killedMidway = 0;
        for (int point = 0; point < 12; ++point) {
            MarloxRun marlox;
            QVERIFY2(marlox.waitFor(QStringLiteral("Watching ")), qPrintable(marlox.output()));
            QTest::qSleep(int(random.bounded(4000)));
            marlox.signal(SIGKILL);
            QVERIFY(marlox.finished(10000));
            QCOMPARE(contentCensus({ library, shots }), before);
            qsizetype rows = 0;
            qsizetype owed = 0;
            {
                ScreenshotDatabase database(binaryIndexPath());
                rows = database.allRecords().size();
                owed = database.pendingRecognition().size();
            }
            if ((rows > 0 && rows < files.size()) || owed > 0) {
                ++killedMidway;
            } else if (rows == files.size()) {
                // Finished before the kill: lose the index again so the next
                // kill can land in a rebuild.
                removeBinaryIndex();
            }
        }

        MarloxRun marlox;
        QVERIFY2(marlox.waitFor(QStringLiteral("Watching ")), qPrintable(marlox.output()));
        ScreenshotDatabase database(binaryIndexPath());
        QTRY_VERIFY_WITH_TIMEOUT(database.allRecords().size() == files.size()
                && database.pendingRecognition().isEmpty()
                && !database.stateValue(QStringLiteral("rebuildOwed")),
            240000);
        QSet<QString> indexed;
        for (const ScreenshotRecord &record : database.allRecords())
            indexed.insert(record.path);
        QCOMPARE(indexed, QSet<QString>(files.cbegin(), files.cend()));
        QCOMPARE(contentCensus({ library, shots }), before);
        qInfo("12 kills, %d of them in the middle of the rebuild or its text pass", killedMidway);
        QVERIFY(killedMidway > 0);
    }

    void killsAcrossFileSystems()
    {
        QTemporaryDir dir;
        QTemporaryDir other(QStringLiteral("/dev/shm/marlox-crash-XXXXXX"));
        if (!other.isValid() || deviceOf(other.path()) == deviceOf(dir.path()))
            QSKIP("No second file system (/dev/shm) to file across; the single-disk round covers "
                  "all kill points");
        runRound(other.filePath(QStringLiteral("Shots")), dir.filePath(QStringLiteral("Library")),
            killPointsInAll / 2, 3407);
    }
};

MARLOX_TEST_MAIN(TestCrashBurst)
#include "tst_crashburst.moc"
