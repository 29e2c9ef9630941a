// marlox-test-labels: fault
// marlox-test-timeout: 240
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include "filing/foldermanagementservice.h"
#include "filing/libraryfileservice.h"
#include "filing/libraryreconciler.h"
#include "filing/recordtrashservice.h"
#include "platform/errors.h"
#include "platform/trash.h"
#include "storage/screenshotdatabase.h"
#include "support/filecensus.h"
#include "support/indexcheck.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

// More statements than any of these operations issues on the small scenes
// below; reaching it means the fault never stopped firing.
constexpr int statementLimit = 60;

// A screenshot folder, a library and an index, with files that are known by
// content; rows carry no hash or size, the case a reconcile treats hardest.
struct Scene
{
    QTemporaryDir dir;
    QString shots;
    QString root;
    std::unique_ptr<ScreenshotDatabase> db;
    QMap<QByteArray, int> before;
    int seed = 0;

    Scene()
    {
        shots = dir.filePath(QStringLiteral("Shots"));
        root = dir.filePath(QStringLiteral("Library"));
        QDir().mkpath(shots);
        QDir().mkpath(root);
        db = std::make_unique<ScreenshotDatabase>(dir.filePath(QStringLiteral("index.sqlite3")));
    }

    QString write(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        writeWholeFile(path, distinctPng(++seed));
        return path;
    }

    ScreenshotRecord add(const QString &path, const QString &folder)
    {
        write(path);
        const qint64 id = db->insertOrUpdate(path, QFileInfo(path).completeBaseName(), folder,
            1.7e9 + seed, QString(), QString(),
            folder.isEmpty() ? ScreenshotStatus::inbox : ScreenshotStatus::filed, 0);
        return *db->record(id);
    }

    QStringList places() const
    {
        return { shots, root, SystemFileTrasher::homeTrash() + QStringLiteral("/files") };
    }
    void takeCensus() { before = contentCensus(places()); }
};

// Whether the injected failure was used up by the operation: if it is still
// pending, one of the next n statements trips it.
bool faultFired(ScreenshotDatabase &db, int n)
{
    for (int i = 0; i < n; ++i) {
        try {
            db.record(-1);
        } catch (const SQLiteError &) {
            return false;
        }
    }
    return true;
}

void emptyTrash()
{
    QDir(SystemFileTrasher::homeTrash()).removeRecursively();
}

// Files intact, and after a reconcile every row names an existing file, no
// two rows name the same one, and (when asked) every library file has a row.
void verifyInStep(Scene &scene, bool everyLibraryFileIndexed, const QString &context)
{
    QCOMPARE(contentCensus(scene.places()), scene.before);
    LibraryReconciler::reconcile(scene.root, *scene.db);
    verifyRowsOnTheirFiles(*scene.db, everyLibraryFileIndexed ? scene.root : QString(), context);
}

// Runs prepare then operation once for every statement the operation issues,
// the n-th failing, on a fresh scene each time; check judges the outcome.
template <typename Prepare, typename Operation, typename Check>
int failEachStatement(Prepare prepare, Operation operation, Check check)
{
    for (int n = 1; n <= statementLimit; ++n) {
        emptyTrash();
        Scene scene;
        prepare(scene);
        scene.takeCensus();
        scene.db->failNthStatementForTesting(n);
        bool threw = false;
        try {
            operation(scene);
        } catch (const std::exception &) {
            threw = true;
        }
        const bool fired = faultFired(*scene.db, n);
        check(scene, QStringLiteral("statement %1%2: ").arg(n).arg(threw ? " (threw)" : ""));
        if (QTest::currentTestFailed())
            return n;
        if (!fired) {
            qInfo("Failed each of %d statements in turn", n - 1);
            return n - 1;
        }
    }
    QTest::qFail("the injected failure kept firing", __FILE__, __LINE__);
    return statementLimit;
}

} // namespace

class TestIndexFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { emptyTrash(); }

    void filing()
    {
        ScreenshotRecord record;
        const int statements = failEachStatement(
            [&](Scene &s) {
                record = s.add(s.shots + QStringLiteral("/Screenshot 1.png"), QString());
                s.add(s.root + QStringLiteral("/Work/Notes.png"), QStringLiteral("Work"));
            },
            [&](Scene &s) {
                LibraryFileService::fileRecord(
                    record, QStringLiteral("Notes"), QStringLiteral("Work"), s.root, *s.db);
            },
            [&](Scene &s, const QString &context) { verifyInStep(s, true, context); });
        QVERIFY(statements >= 1);
    }

    void renamingAFiledRecord()
    {
        ScreenshotRecord record;
        failEachStatement(
            [&](Scene &s) {
                record = s.add(s.root + QStringLiteral("/Work/Old.png"), QStringLiteral("Work"));
            },
            [&](Scene &s) {
                LibraryFileService::fileRecord(
                    record, QStringLiteral("New"), QStringLiteral("Home"), s.root, *s.db);
            },
            [&](Scene &s, const QString &context) { verifyInStep(s, true, context); });
    }

    void mergingFolders()
    {
        const int statements = failEachStatement(
            [](Scene &s) {
                for (const char *name : { "a.png", "b.png", "c.png" })
                    s.add(s.root + QStringLiteral("/Work/") + QLatin1String(name),
                        QStringLiteral("Work"));
                s.add(s.root + QStringLiteral("/Home/a.png"), QStringLiteral("Home"));
            },
            [](Scene &s) {
                FolderManagementService::mergeFolder(
                    QStringLiteral("Work"), QStringLiteral("Home"), s.root, *s.db);
            },
            [](Scene &s, const QString &context) { verifyInStep(s, true, context); });
        // One read, three moves, the re-tag.
        QVERIFY(statements >= 5);
    }

    // The steps of AppState::deleteFolder, on the services it calls.
    void deletingAFolder()
    {
        failEachStatement(
            [](Scene &s) {
                s.add(s.root + QStringLiteral("/Old/a.png"), QStringLiteral("Old"));
                s.add(s.root + QStringLiteral("/Old/b.png"), QStringLiteral("Old"));
                s.add(s.root + QStringLiteral("/General/a.png"), QStringLiteral("General"));
            },
            [](Scene &s) {
                const QString name = QStringLiteral("Old");
                if (!FolderManagementService::folderIsEmpty(name, s.root, *s.db))
                    FolderManagementService::mergeFolder(
                        name, QStringLiteral("General"), s.root, *s.db);
                FolderManagementService::removeFolderDirectory(name, s.root);
            },
            [](Scene &s, const QString &context) { verifyInStep(s, true, context); });
    }

    void trashing()
    {
        ScreenshotRecord record;
        failEachStatement(
            [&](Scene &s) {
                record = s.add(s.root + QStringLiteral("/Work/a.png"), QStringLiteral("Work"));
                s.add(s.root + QStringLiteral("/Work/b.png"), QStringLiteral("Work"));
            },
            [&](Scene &s) {
                SystemFileTrasher trasher;
                const auto outcome = RecordTrashService::trash(record, *s.db, trasher);
                if (outcome.kind == RecordTrashService::Outcome::Kind::failed)
                    outcome.rethrow();
            },
            [&](Scene &s, const QString &context) {
                verifyInStep(s, true, context);
                // Either still filed and indexed, or in the Trash and not indexed.
                const bool inLibrary = QFileInfo::exists(record.path);
                QCOMPARE(s.db->idForPath(record.path).has_value(), inLibrary);
            });
    }

    void restoringADiscard()
    {
        ScreenshotRecord record;
        std::optional<PendingUndo> undo;
        failEachStatement(
            [&](Scene &s) {
                record = s.add(s.shots + QStringLiteral("/Screenshot 2.png"), QString());
                SystemFileTrasher trasher;
                undo = RecordTrashService::trash(record, *s.db, trasher).undo;
                QVERIFY(undo);
            },
            [&](Scene &s) { RecordTrashService::restore(*undo, *s.db); },
            [&](Scene &s, const QString &context) {
                verifyInStep(s, true, context);
                // Back with one row, or still in the Trash where the user can find it.
                const bool restored = QFileInfo::exists(record.path);
                QVERIFY2(restored != QFileInfo::exists(undo->trashedURL), qPrintable(context));
                QCOMPARE(s.db->idForPath(record.path).has_value(), restored);
            });
    }

    void rebuilding()
    {
        failEachStatement(
            [](Scene &s) {
                for (int i = 0; i < 4; ++i)
                    s.write(s.root + QStringLiteral("/Work/%1.png").arg(i));
                s.write(s.root + QStringLiteral("/Home/x.jpg"));
                s.write(s.root + QStringLiteral("/loose.png"));
            },
            [](Scene &s) { LibraryReconciler::rebuild(s.root, *s.db); },
            [](Scene &s, const QString &context) {
                // A rebuild skips a file whose row fails; the next one adds it.
                verifyInStep(s, false, context);
                LibraryReconciler::rebuild(s.root, *s.db);
                verifyInStep(s, true, context);
            });
    }
};

MARLOX_TEST_MAIN(TestIndexFaults)
#include "tst_indexfaults.moc"
