// marlox-test-labels: fault
// marlox-test-timeout: 240
#include <csignal>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include "filing/contenthash.h"
#include "filing/foldermanagementservice.h"
#include "filing/libraryfileservice.h"
#include "filing/libraryreconciler.h"
#include "filing/recordtrashservice.h"
#include "platform/trash.h"
#include "storage/screenshotdatabase.h"
#include "support/filecensus.h"
#include "support/indexcheck.h"
#include "support/marloxprocess.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

constexpr int killPoints = 40;
const QStringList folders { QStringLiteral("Alpha"), QStringLiteral("Beta"),
    QStringLiteral("Gamma") };

// What the worker reads from its environment: where the library, the index
// and the data folder (with the Trash) are.
struct Places
{
    QString root;
    QString index;
    QString data;
    QString trash() const { return data + QStringLiteral("/Trash/files"); }
};

Places placesFromEnvironment()
{
    return { qEnvironmentVariable("MARLOX_WORKER_ROOT"),
        qEnvironmentVariable("MARLOX_WORKER_INDEX"), qEnvironmentVariable("MARLOX_WORKER_DATA") };
}

// Renames, moves, merges, trashes and restores at random, for ever: the
// parent kills it somewhere in the middle of one of them.
void runOperationsUntilKilled(const Places &places, quint32 seed)
{
    // The Trash is found through XDG_DATA_HOME, which the test main set to a
    // profile of this process's own.
    qputenv("XDG_DATA_HOME", places.data.toUtf8());
    ScreenshotDatabase database(places.index);
    QRandomGenerator random(seed);
    SystemFileTrasher trasher;
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    for (int step = 0;; ++step) {
        const QList<ScreenshotRecord> records = database.allRecords();
        if (records.isEmpty())
            return;
        const ScreenshotRecord record = records.at(int(random.bounded(int(records.size()))));
        const QString folder = folders.at(int(random.bounded(int(folders.size()))));
        try {
            switch (random.bounded(4)) {
            case 0:
                LibraryFileService::fileRecord(record, QStringLiteral("Renamed %1").arg(step),
                    record.folder.isEmpty() ? folder : record.folder, places.root, database);
                break;
            case 1:
                LibraryFileService::fileRecord(record, record.title, folder, places.root, database);
                break;
            case 2:
                FolderManagementService::mergeFolder(folder,
                    folders.at((folders.indexOf(folder) + 1) % folders.size()), places.root,
                    database);
                break;
            case 3: {
                const auto outcome = RecordTrashService::trash(record, database, trasher);
                if (outcome.undo)
                    RecordTrashService::restore(*outcome.undo, database);
                break;
            }
            }
        } catch (const std::exception &) {
            // A refused step is fine here; only what a kill leaves is judged.
        }
    }
}

} // namespace

// Kills a process with SIGKILL in the middle of renames, moves, folder
// merges, trashes and restores of library records, and checks what is left.
class TestCrashMidOperation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Runs only as the child of killsMidOperationLoseNothing.
    void worker()
    {
        const Places places = placesFromEnvironment();
        if (places.root.isEmpty())
            QSKIP("Runs only as the child process of killsMidOperationLoseNothing");
        runOperationsUntilKilled(
            places, quint32(qEnvironmentVariableIntValue("MARLOX_WORKER_SEED")));
    }

    void killsMidOperationLoseNothing()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const Places places { dir.filePath(QStringLiteral("Library")),
            dir.filePath(QStringLiteral("index.sqlite3")), dir.filePath(QStringLiteral("data")) };
        QSet<QByteArray> contents;
        {
            ScreenshotDatabase database(places.index);
            for (int i = 0; i < 12; ++i) {
                const QString folder = folders.at(i % folders.size());
                const QString path
                    = places.root + u'/' + folder + QStringLiteral("/Shot %1.png").arg(i);
                QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
                const QByteArray bytes = distinctPng(i + 500);
                QVERIFY(writeWholeFile(path, bytes));
                contents.insert(
                    QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
                database.insertOrUpdate(path, QStringLiteral("Shot %1").arg(i), folder, 1.7e9 + i,
                    QString(), ContentHash::ofData(bytes), ScreenshotStatus::filed, bytes.size());
            }
        }
        const QStringList everywhere { places.root, places.trash() };
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("tmp"))));

        QRandomGenerator random(4242);
        int relinkedInAll = 0;
        int removedInAll = 0;
        for (int point = 0; point < killPoints; ++point) {
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("MARLOX_WORKER_ROOT"), places.root);
            env.insert(QStringLiteral("MARLOX_WORKER_INDEX"), places.index);
            env.insert(QStringLiteral("MARLOX_WORKER_DATA"), places.data);
            env.insert(QStringLiteral("MARLOX_WORKER_SEED"), QString::number(point + 1));
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            // The profile a killed child never removes goes with this test's folder.
            env.insert(QStringLiteral("TMPDIR"), dir.filePath(QStringLiteral("tmp")));
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("worker") });
            auto reap = qScopeGuard([&child] {
                child.kill();
                child.waitForFinished(10000);
            });
            QString output;
            QVERIFY(child.waitForStarted(10000));
            QVERIFY2(
                waitForOutput(child, output, QStringLiteral("ready\n"), 30000), qPrintable(output));
            QTest::qSleep(int(random.bounded(250)));
            ::kill(pid_t(child.processId()), SIGKILL);
            QVERIFY(child.waitForFinished(10000));
            reap.dismiss();

            // Each file exactly once, whole, in the library or the Trash.
            const QMap<QByteArray, int> census = contentCensus(everywhere);
            QCOMPARE(QSet<QByteArray>(census.keyBegin(), census.keyEnd()), contents);
            for (auto it = census.cbegin(); it != census.cend(); ++it)
                QCOMPARE(it.value(), 1);

            // After a reconcile every row is on its file, no two on one.
            ScreenshotDatabase database(places.index);
            const auto [relinked, removed] = LibraryReconciler::reconcile(places.root, database);
            relinkedInAll += relinked;
            removedInAll += removed;
            if (verifyRowsOnTheirFiles(database).isEmpty() || QTest::currentTestFailed())
                break;
        }
        // A file a kill left unindexed (between a move and its row) is found by a rebuild.
        ScreenshotDatabase database(places.index);
        const int unindexed = int(LibraryReconciler::rebuild(places.root, database).size());
        qInfo("%d kill points; the reconciles relinked %d rows and removed %d; %d library files "
              "were left without a row; %d in the Trash",
            killPoints, relinkedInAll, removedInAll, unindexed,
            int(regularFilesBelow({ places.trash() }).size()));
        verifyRowsOnTheirFiles(database, places.root);
    }
};

MARLOX_TEST_MAIN(TestCrashMidOperation)
#include "tst_crashmidoperation.moc"
