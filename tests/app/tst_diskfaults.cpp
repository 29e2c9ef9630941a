// marlox-test-labels: fault
// marlox-test-timeout: 180
#include <thread>

#include <sqlite3.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include "app/appstate.h"
#include "app/prompttext.h"
#include "filing/libraryreconciler.h"
#include "platform/workpools.h"
#include "storage/bookmarkstore.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/fakerecognizer.h"
#include "support/filecensus.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/testmain.h"
#include "support/tmpfsmount.h"

using namespace marlox;
using namespace marlox::test;

namespace {

std::unique_ptr<AppState> makeState(
    const AppStateScene &setup, const std::function<void(AppStateDependencies &)> &adjust = {})
{
    QFile::remove(Preferences::filePath());
    setup.rememberFolders();
    return setup.makeState(adjust);
}

ScreenshotRecord inboxCapture(AppState &state, const QString &path, int seed)
{
    writeWholeFile(path, distinctPng(seed));
    const qint64 id = state.database().insertOrUpdate(path, QFileInfo(path).completeBaseName(),
        QString(), 1.7e9, {}, {}, ScreenshotStatus::inbox, 0);
    return *state.database().record(id);
}

QStringList movedAside(const QString &databasePath)
{
    const QFileInfo info(databasePath);
    return QDir(info.absolutePath())
        .entryList({ info.fileName() + QStringLiteral(".corrupt-*") }, QDir::Files);
}

} // namespace

class TestDiskFaults : public QObject
{
    Q_OBJECT

    void requireMounts()
    {
        if (!canMount())
            QSKIP("Needs root to mount small tmpfs disks (CI runs as root)");
    }

    // A save from the prompt that the disk refuses: the prompt shows the
    // error, the capture stays where it was, nothing half-written is left.
    void verifyRefusedSave(const AppStateScene &setup)
    {
        auto state = makeState(setup);
        QCOMPARE(state->libraryRoot(), setup.library);
        const QString path = setup.shots + QStringLiteral("/Screenshot 1.png");
        const ScreenshotRecord record = inboxCapture(*state, path, 1);
        const QMap<QByteArray, int> before = contentCensus({ setup.shots });

        const std::optional<QString> error
            = state->savePrompt(record, QStringLiteral("Kept"), QStringLiteral("Work"));
        QVERIFY(error);
        QVERIFY2(error->startsWith(QStringLiteral("Couldn't save: ")), qPrintable(*error));
        qInfo("The prompt shows: %s", qPrintable(*error));
        QCOMPARE(contentCensus({ setup.shots }), before);
        QVERIFY(!QFileInfo::exists(setup.library + QStringLiteral("/Work/Kept.png")));
        QCOMPARE(state->database().record(record.id)->path, path);
        QCOMPARE(state->database().record(record.id)->status, ScreenshotStatus::inbox);
        AppStateScene::finish(state);
    }

    // Watching the screenshot folder with the real watcher, recognition faked.
    std::unique_ptr<AppState> watchingState(const AppStateScene &setup,
        const std::shared_ptr<FakeRecognizer> &ocr, bool autoSave,
        const QList<double> &indexRetryDelays = { 2.0, 10.0, 60.0 })
    {
        auto state = makeState(setup, [&](AppStateDependencies &deps) {
            deps.ocr = ocr;
            deps.indexRetryDelays = indexRetryDelays;
        });
        state->setAutoSaveEnabled(autoSave);
        [&] { QTRY_VERIFY_WITH_TIMEOUT(state->watchStatus().isWatching(), 10000); }();
        return state;
    }

    void verifyRefusedOnAbsentDisk(AppState &state, const AppStateScene &setup, int seed)
    {
        const QString path = setup.shots + QStringLiteral("/Screenshot %1.png").arg(seed);
        const ScreenshotRecord record = inboxCapture(state, path, seed);
        const QStringList before = tree(setup.library);
        const std::optional<QString> error
            = state.savePrompt(record, QStringLiteral("Kept"), QStringLiteral("General"));
        QVERIFY(error);
        QVERIFY2(error->contains(QStringLiteral("isn't available")), qPrintable(*error));
        QCOMPARE(tree(setup.library), before);
        QCOMPARE(state.database().record(record.id)->path, path);
        QCOMPARE(state.database().record(record.id)->status, ScreenshotStatus::inbox);
        QVERIFY(QFileInfo::exists(path));
    }

private Q_SLOTS:
    // A filed screenshot renamed away by hand leaves its row's name behind.
    // A capture with the same default title used to take that free name, be
    // refused by the index, go back to the screenshot folder and be detected
    // again, about three times a second for ever.
    void nameLeftInTheIndexIsFiledOnceUnderTheNext()
    {
        AppStateScene setup;
        auto ocr = std::make_shared<FakeRecognizer>();
        ocr->open();
        LogCapture log;
        auto state = watchingState(setup, ocr, true);
        const QString path = setup.shots + QStringLiteral("/Screenshot 5.png");
        QVERIFY(writeWholeFile(path, distinctPng(5)));
        const QString title = defaultTitle(std::nullopt, QFileInfo(path).birthTime());
        const QString general = setup.library + QStringLiteral("/General/");
        QVERIFY(QDir().mkpath(general));
        state->database().insertOrUpdate(general + title + QStringLiteral(".png"), title,
            QStringLiteral("General"), 1.7e9, {}, {}, ScreenshotStatus::filed, 0);

        const QString filed = general + title + QStringLiteral(" 2.png");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(filed), 20000);
        QTest::qWait(2000); // long enough for several rounds of the old loop
        QCOMPARE(
            log.countStartingWith(QStringLiteral("Detected stable screenshot Screenshot 5")), 1);
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(state->database().idForPath(filed).has_value(), true);
        QCOMPARE(state->database().allRecords().size(), 2);
        QVERIFY(state->promptQueue().isEmpty());
        AppStateScene::finish(state);
    }

    // The index refusing the first insert of an auto-saved capture: it is
    // logged and tried again, not forgotten unindexed in the screenshot folder.
    void refusedAutoSaveInsertIsTriedAgain()
    {
        AppStateScene setup;
        auto ocr = std::make_shared<FakeRecognizer>();
        LogCapture log;
        auto state = watchingState(setup, ocr, true, { 0.2 });
        const QString path = setup.shots + QStringLiteral("/Screenshot 6.png");
        QVERIFY(writeWholeFile(path, distinctPng(6)));
        // Recognition has started: the insert is the next statement.
        QTRY_VERIFY_WITH_TIMEOUT(ocr->calls.load() == 1, 20000);
        state->database().failNthStatementForTesting(1);
        ocr->open();

        // No statement of the test's own may take the failure first.
        QTRY_COMPARE_WITH_TIMEOUT(log.countStartingWith(QStringLiteral(
                                      "Failed to index auto-saved screenshot Screenshot 6.png: ")),
            1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(state->database().allRecords().size(), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(
            state->database().allRecords().first().status, ScreenshotStatus::filed, 20000);
        QCOMPARE(log.countStartingWith(
                     QStringLiteral("Failed to index auto-saved screenshot Screenshot 6.png: ")),
            1);
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(contentCensus({ setup.shots, setup.library }).size(), 1);
        QCOMPARE(state->database().allRecords().first().ocrText, QStringLiteral("read 64x48"));
        AppStateScene::finish(state);
    }

    // A save the index refuses after the move puts the file back into the
    // screenshot folder; that must not come back as a second capture.
    void refusedSaveIsNotDetectedAgain()
    {
        AppStateScene setup;
        auto ocr = std::make_shared<FakeRecognizer>();
        ocr->open();
        LogCapture log;
        auto state = watchingState(setup, ocr, false);
        const QString path = setup.shots + QStringLiteral("/Screenshot 8.png");
        QVERIFY(writeWholeFile(path, distinctPng(8)));
        QTRY_COMPARE_WITH_TIMEOUT(state->promptQueue().count(), 1, 20000);
        const ScreenshotRecord record = state->promptQueue().items.first().record;
        QTRY_VERIFY_WITH_TIMEOUT(
            !state->database().record(record.id)->contentHash.isEmpty(), 20000);
        QTest::qWait(500); // the watcher has seen the file settle

        // The name is looked up first; the row update after the move fails.
        state->database().failNthStatementForTesting(2);
        const std::optional<QString> error
            = state->savePrompt(record, QStringLiteral("Kept"), QStringLiteral("Work"));
        QVERIFY(error);
        QVERIFY(QFileInfo::exists(path));
        QTest::qWait(3000); // the watcher would report the returned file within this

        QCOMPARE(
            log.countStartingWith(QStringLiteral("Detected stable screenshot Screenshot 8")), 1);
        QCOMPARE(state->promptQueue().count(), 1);
        // A second detection would have indexed it afresh, without its text.
        QCOMPARE(state->database().ocrText(record.id),
            std::optional<QString>(QStringLiteral("read 64x48")));
        AppStateScene::finish(state);
    }

    // Undo puts a discarded capture back into the screenshot folder, where
    // the watcher finds it again: it must come back as it was, not as a new
    // capture with a fresh prompt, title, text and id.
    void undoneDiscardComesBackQuietly()
    {
        AppStateScene setup;
        auto ocr = std::make_shared<FakeRecognizer>();
        ocr->open();
        LogCapture log;
        auto state = watchingState(setup, ocr, false);
        const QString path = setup.shots + QStringLiteral("/Screenshot 7.png");
        QVERIFY(writeWholeFile(path, distinctPng(7)));
        QTRY_COMPARE_WITH_TIMEOUT(state->promptQueue().count(), 1, 20000);
        const ScreenshotRecord record = state->promptQueue().items.first().record;
        QTRY_COMPARE_WITH_TIMEOUT(state->database().ocrText(record.id),
            std::optional<QString>(QStringLiteral("read 64x48")), 20000);
        state->skipPrompt(record, QStringLiteral("Typed title"));
        const ScreenshotRecord before = *state->database().record(record.id);

        state->deleteRecord(before, std::nullopt);
        QVERIFY(!QFileInfo::exists(path));
        QTest::qWait(1500); // the watcher sees the file gone
        state->undoDiscard();
        QVERIFY(QFileInfo::exists(path));
        QTest::qWait(3000); // and would report it as new within this

        QCOMPARE(
            log.countStartingWith(QStringLiteral("Detected stable screenshot Screenshot 7")), 1);
        QVERIFY(state->promptQueue().isEmpty());
        const std::optional<ScreenshotRecord> after = state->database().record(record.id);
        QVERIFY(after);
        QCOMPARE(after->title, QStringLiteral("Typed title"));
        QCOMPARE(after->createdAt, before.createdAt);
        QCOMPARE(after->contentHash, before.contentHash);
        QCOMPARE(state->database().ocrText(record.id),
            std::optional<QString>(QStringLiteral("read 64x48")));
        QCOMPARE(state->database().allRecords().size(), 1);
        AppStateScene::finish(state);
    }

    void fullLibraryDiskRefusesTheSave()
    {
        requireMounts();
        AppStateScene setup;
        TmpfsMount disk(setup.library, 64 * 1024);
        QVERIFY2(disk.isMounted(), qPrintable(disk.error()));
        QVERIFY(QDir().mkpath(setup.library + QStringLiteral("/Work")));
        QVERIFY(disk.fill());
        verifyRefusedSave(setup);
    }

    void readOnlyLibraryRefusesTheSave()
    {
        requireMounts();
        AppStateScene setup;
        TmpfsMount disk(setup.library, 1024 * 1024, true);
        QVERIFY2(disk.isMounted(), qPrintable(disk.error()));
        verifyRefusedSave(setup);
    }

    // The index on a disk that fills up after start-up: the save fails
    // inside the index, so the capture is moved back and stays in the Inbox.
    void fullIndexDiskRefusesTheSave()
    {
        requireMounts();
        AppStateScene setup;
        TmpfsMount disk(QFileInfo(setup.databasePath).absolutePath(), 512 * 1024);
        QVERIFY2(disk.isMounted(), qPrintable(disk.error()));
        auto state = makeState(setup);
        QVERIFY(!state->isDatabaseDegraded());
        const QString path = setup.shots + QStringLiteral("/Screenshot 2.png");
        const ScreenshotRecord record = inboxCapture(*state, path, 2);
        QVERIFY(disk.fill());

        // Every change grows the index's log; the first one that finds no
        // room fails, and the capture must then be where its row says.
        std::optional<QString> error;
        for (int i = 0; i < 50 && !error; ++i)
            error = state->savePrompt(*state->database().record(record.id),
                QStringLiteral("Kept %1").arg(i), QStringLiteral("Work"));
        QVERIFY2(error && error->startsWith(QStringLiteral("Couldn't save: ")),
            qPrintable(error.value_or(QStringLiteral("saved every time"))));
        qInfo("The prompt shows: %s", qPrintable(*error));
        const QString where = state->database().record(record.id)->path;
        QVERIFY2(QFileInfo(where).isFile(), qPrintable(where));
        QCOMPARE(contentCensus({ setup.shots, setup.library }).size(), 1);
        QCOMPARE(contentCensus({ setup.shots, setup.library }).first(), 1);
        QVERIFY(movedAside(setup.databasePath).isEmpty());
        AppStateScene::finish(state);
    }

    void readOnlyIndexFolderFallsBackAndSaysSo_data()
    {
        QTest::addColumn<bool>("existing");
        QTest::newRow("no index yet") << false;
        QTest::newRow("index from an earlier run") << true;
    }

    void readOnlyIndexFolderFallsBackAndSaysSo()
    {
        QFETCH(bool, existing);
        requireMounts();
        AppStateScene setup;
        const QString folder = QFileInfo(setup.databasePath).absolutePath();
        TmpfsMount disk(folder, 1024 * 1024);
        QVERIFY2(disk.isMounted(), qPrintable(disk.error()));
        QByteArray original;
        if (existing) {
            {
                auto first = makeState(setup);
                QVERIFY(!first->isDatabaseDegraded());
                inboxCapture(*first, setup.shots + QStringLiteral("/Screenshot 3.png"), 3);
            }
            WorkPools::capture().waitForDone();
            original = contentDigest(setup.databasePath);
        }
        QVERIFY(disk.remount(true));

        LogCapture log;
        auto state = makeState(setup);
        const auto &dialogs = setup.dialogs;
        QVERIFY(state->isDatabaseDegraded());
        QCOMPARE(state->watchStatus(),
            WatchStatus::notWatching(QStringLiteral("Marlox's database couldn't be opened.")));
        QTRY_COMPARE_WITH_TIMEOUT(dialogs->alerts.size(), 1, 10000);
        QCOMPARE(dialogs->alerts.first().message, QStringLiteral("Marlox can't open its database"));
        QCOMPARE(
            log.countStartingWith(QStringLiteral("Could not open a fresh Marlox database either")),
            1);
        // Nothing moved aside or changed on the read-only disk.
        QVERIFY(movedAside(setup.databasePath).isEmpty());
        if (existing)
            QCOMPARE(contentDigest(setup.databasePath), original);
        AppStateScene::finish(state);
    }

    // Another process holding the index's write lock for a while is waited
    // out at start-up and when saving; the index is never taken for broken.
    void lockedIndexIsWaitedOut()
    {
        AppStateScene setup;
        {
            auto first = makeState(setup);
            inboxCapture(*first, setup.shots + QStringLiteral("/Screenshot 4.png"), 4);
        }
        WorkPools::capture().waitForDone();

        sqlite3 *other = nullptr;
        QCOMPARE(
            sqlite3_open(QFile::encodeName(setup.databasePath).constData(), &other), SQLITE_OK);
        QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
        std::thread release([other] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
        });
        auto state = makeState(setup);
        const ScreenshotRecord record = state->database().allRecords().value(0);
        const std::optional<QString> error
            = state->savePrompt(record, QStringLiteral("Waited"), QStringLiteral("Work"));
        release.join();
        sqlite3_close(other);
        QCOMPARE(error, std::nullopt);
        QVERIFY(!state->isDatabaseDegraded());
        QVERIFY(movedAside(setup.databasePath).isEmpty());
        QVERIFY(QFileInfo::exists(setup.library + QStringLiteral("/Work/Waited.png")));
        AppStateScene::finish(state);
    }

    // The library's disk pulled while Marlox runs: its mount point is left
    // bare and empty, which must not read as "every file was deleted".
    void unmountedLibraryKeepsEveryRow()
    {
        requireMounts();
        AppStateScene setup;
        TmpfsMount disk(setup.library, 1024 * 1024);
        QVERIFY2(disk.isMounted(), qPrintable(disk.error()));
        auto state = makeState(setup);
        for (int i = 0; i < 3; ++i) {
            const ScreenshotRecord record = inboxCapture(
                *state, setup.shots + QStringLiteral("/Screenshot %1.png").arg(10 + i), 10 + i);
            QCOMPARE(state->savePrompt(record, QStringLiteral("Filed %1").arg(i),
                         i == 0 ? QStringLiteral("General") : QStringLiteral("Work")),
                std::nullopt);
        }
        const int rows = int(state->database().allRecords().size());
        QCOMPARE(rows, 3);

        QVERIFY(disk.unmount());
        QVERIFY(QFileInfo(setup.library).isDir());
        QCOMPARE(
            LibraryReconciler::reconcile(setup.library, state->database()), std::make_pair(0, 0));
        QCOMPARE(int(state->database().allRecords().size()), rows);

        // A capture filed now would land on the bare mount point and hide
        // under the disk when it comes back: it stays in the Inbox.
        verifyRefusedOnAbsentDisk(*state, setup, 20);
        // Another, empty disk in its place is not the library either.
        TmpfsMount other(setup.library, 1024 * 1024);
        QVERIFY2(other.isMounted(), qPrintable(other.error()));
        QCOMPARE(
            LibraryReconciler::reconcile(setup.library, state->database()), std::make_pair(0, 0));
        verifyRefusedOnAbsentDisk(*state, setup, 21);
        QCOMPARE(int(state->database().allRecords().size()), rows + 2);
        AppStateScene::finish(state);
    }

    void missingLibraryRootIsNotCreated()
    {
        AppStateScene setup;
        auto state = makeState(setup);
        QVERIFY(QDir(setup.library).removeRecursively());
        verifyRefusedOnAbsentDisk(*state, setup, 40);
        QVERIFY(!QFileInfo::exists(setup.library));
        AppStateScene::finish(state);
    }

    void unmountedScreenshotFolderKeepsItsInboxRows_data()
    {
        QTest::addColumn<bool>("seenMounted");
        QTest::newRow("seen mounted before") << true;
        QTest::newRow("never seen mounted") << false;
    }

    void unmountedScreenshotFolderKeepsItsInboxRows()
    {
        requireMounts();
        QFETCH(bool, seenMounted);
        AppStateScene setup;
        auto state = makeState(setup);
        TmpfsMount disk(setup.shots, 1024 * 1024);
        QVERIFY2(disk.isMounted(), qPrintable(disk.error()));
        for (int i = 0; i < 2; ++i)
            inboxCapture(*state, setup.shots + QStringLiteral("/Screenshot %1.png").arg(i), 30 + i);
        if (seenMounted) {
            QCOMPARE(LibraryReconciler::reconcile(setup.library, state->database()),
                std::make_pair(0, 0));
        }
        QVERIFY(disk.unmount());
        QCOMPARE(
            LibraryReconciler::reconcile(setup.library, state->database()), std::make_pair(0, 0));
        QCOMPARE(state->database().allRecords().size(), 2);
        AppStateScene::finish(state);
    }
};

MARLOX_TEST_MAIN(TestDiskFaults)
#include "tst_diskfaults.moc"
