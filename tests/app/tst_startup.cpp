#include <memory>

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include "app/appstate.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;

namespace {
const QStringList allKeys = { Preferences::autoSaveEnabled, Preferences::recentFolders,
    Preferences::screenshotFolderBookmark, Preferences::libraryRootBookmark,
    Preferences::didMigrateUnfiledFolderToGeneral, Preferences::onboardingCompleted };

} // namespace

// Start-up on temporary profiles: each test gets its own database file and
// an empty preferences file.
class TestStartup : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::AppStateScene> m_scene;
    std::shared_ptr<test::ScriptedDialogs> m_dialogs;

    std::unique_ptr<AppState> makeState(const QString &databasePath = {})
    {
        return m_scene->makeState([&](AppStateDependencies &deps) {
            if (!databasePath.isEmpty())
                deps.databasePath = databasePath;
        });
    }

    QString makeDir(const QString &name)
    {
        const QString path = m_scene->dir.filePath(name);
        QDir().mkpath(path);
        return path;
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<test::AppStateScene>();
        m_dialogs = m_scene->dialogs;
        for (const QString &key : allKeys)
            Preferences::remove(key);
    }

    void cleanup()
    {
        m_scene.reset();
        QDir(test::profileRoot() + "/Pictures").removeRecursively();
    }

    void firstLaunch()
    {
        test::LogCapture log;
        auto state = makeState();
        QSignalSpy launchCheck(state.get(), &AppState::launchCheckFinished);

        QVERIFY(state->recentFolders().isEmpty());
        QVERIFY(state->screenshotFolder().isEmpty());
        QVERIFY(state->libraryRoot().isEmpty());
        QVERIFY(state->records().isEmpty());
        QVERIFY(!state->autoSaveEnabled());
        QVERIFY(!state->isDatabaseDegraded());
        QVERIFY(state->macOSScreenshotFolderIfDifferent().isEmpty());
        QCOMPARE(state->watchStatus(), WatchStatus::notWatching("No screenshot folder is set."));
        QVERIFY(QFile::exists(m_scene->databasePath));

        // The launch check runs on the next turn of the event loop, not inside creation.
        QCOMPARE(launchCheck.count(), 0);
        QVERIFY(!log.contains("No usable screenshot folder at launch (notSet)"));
        QVERIFY(launchCheck.wait(5000));
        const QStringList lines = log.messages("com.quorvintesha.Marlox.AppState");
        QCOMPARE(lines.count("No usable screenshot folder at launch (notSet)"), 1);
        QCOMPARE(lines.count("No usable library root at launch (notSet)"), 1);
        QVERIFY(m_dialogs->alerts.isEmpty());
        // Nothing stored, nothing to write back.
        QVERIFY(!Preferences::contains(Preferences::recentFolders));
    }

    void storedFoldersAreResolvedAndWatched()
    {
        const QString shots = makeDir("Shots");
        const QString library = makeDir("Library");
        Preferences::setValue(Preferences::screenshotFolderBookmark, shots.toUtf8());
        Preferences::setValue(Preferences::libraryRootBookmark, library.toUtf8());

        test::LogCapture log;
        auto state = makeState();
        QSignalSpy launchCheck(state.get(), &AppState::launchCheckFinished);
        QCOMPARE(state->screenshotFolder(), shots);
        QCOMPARE(state->libraryRoot(), library);
        QCOMPARE(state->watchStatus(), WatchStatus::watching(shots));
        QVERIFY(launchCheck.wait(5000));
        QCOMPARE(log.countStartingWith("No usable"), 0);
    }

    void failedScreenshotReference()
    {
        const QString missing = m_scene->dir.filePath("Gone");
        Preferences::setValue(Preferences::screenshotFolderBookmark, missing.toUtf8());
        const QString library = makeDir("Library");
        Preferences::setValue(Preferences::libraryRootBookmark, library.toUtf8());

        test::LogCapture log;
        auto state = makeState();
        QSignalSpy launchCheck(state.get(), &AppState::launchCheckFinished);
        const QString reason = "The folder “" + missing + "” doesn't exist.";
        QVERIFY(state->screenshotFolder().isEmpty());
        QCOMPARE(state->libraryRoot(), library);
        QCOMPARE(state->watchStatus(),
            WatchStatus::notWatching("Couldn't reopen the screenshot folder (" + reason + ")."));
        QVERIFY(launchCheck.wait(5000));
        QVERIFY(log.contains("No usable screenshot folder at launch (failed(" + reason + "))"));
        QCOMPARE(log.countStartingWith("No usable library root"), 0);
        // A broken reference stays stored for the next launch.
        QCOMPARE(Preferences::value(Preferences::screenshotFolderBookmark).toByteArray(),
            missing.toUtf8());
    }

    void recentFolders_data()
    {
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("rewritten");
        // The mapping is LegacyMigration's own table; here, whether it is written back.
        QTest::newRow("Unfiled becomes General, the later General goes")
            << QStringList({ "Unfiled", "General", "Work" }) << QStringList({ "General", "Work" })
            << true;
        QTest::newRow("already migrated: left alone")
            << QStringList({ "Work", "General" }) << QStringList({ "Work", "General" }) << false;
    }
    void recentFolders()
    {
        QFETCH(QStringList, stored);
        QFETCH(QStringList, expected);
        QFETCH(bool, rewritten);
        Preferences::setValue(Preferences::recentFolders, stored);
        // A comment QSettings drops whenever it writes the file, so even a
        // write of identical values shows.
        {
            QFile conf(Preferences::filePath());
            QVERIFY(conf.open(QIODevice::Append));
            conf.write("; written by the test\n");
        }
        const QByteArray before = test::readFile(Preferences::filePath());
        QVERIFY(before.contains("; written by the test"));

        auto state = makeState();
        QCOMPARE(state->recentFolders(), expected);
        QCOMPARE(Preferences::stringList(Preferences::recentFolders), expected);
        QCOMPARE(test::readFile(Preferences::filePath()) != before, rewritten);
        QCOMPARE(
            test::readFile(Preferences::filePath()).contains("; written by the test"), !rewritten);
    }

    void unopenableDatabaseFallsBackToMemory()
    {
        // A regular file where the database's folder should be.
        const QString blocker = m_scene->dir.filePath("blocker");
        QVERIFY(QFile(blocker).open(QIODevice::WriteOnly));
        const QString path = blocker + "/library.sqlite3";
        Preferences::setValue(Preferences::autoSaveEnabled, true);
        Preferences::setValue(Preferences::recentFolders, QStringList({ "Unfiled", "Work" }));
        const QString shots = makeDir("Shots");
        Preferences::setValue(Preferences::screenshotFolderBookmark, shots.toUtf8());

        test::LogCapture log;
        auto state = makeState(path);
        QSignalSpy launchCheck(state.get(), &AppState::launchCheckFinished);
        QVERIFY(state->isDatabaseDegraded());
        QCOMPARE(state->watchStatus(),
            WatchStatus::notWatching("Marlox's database couldn't be opened."));
        QCOMPARE(log.countStartingWith("Could not open a fresh Marlox database either: "), 1);
        // The preference read before the failure still counts; the rest of start-up is skipped.
        QVERIFY(state->autoSaveEnabled());
        QVERIFY(state->recentFolders().isEmpty());
        QVERIFY(state->screenshotFolder().isEmpty());
        QCOMPARE(Preferences::stringList(Preferences::recentFolders),
            QStringList({ "Unfiled", "Work" }));

        // The alert comes after creation, asynchronously.
        QVERIFY(m_dialogs->alerts.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(m_dialogs->alerts.size(), 1, 5000);
        const Dialogs::Alert alert = m_dialogs->alerts.first();
        QCOMPARE(alert.style, Dialogs::AlertStyle::critical);
        QCOMPARE(alert.message, QString("Marlox can't open its database"));
        const QString tail = "\n\nYour screenshots are safe on disk. Check that your disk isn't "
                             "full and that Marlox can write to ~/.local/share/Marlox, then open "
                             "Marlox again.";
        QVERIFY2(alert.informativeText.endsWith(tail), qPrintable(alert.informativeText));
        QVERIFY(alert.informativeText.size() > tail.size());
        QCOMPARE(alert.buttons, QStringList({ "Quit" }));
        QCOMPARE(launchCheck.count(), 0);

        // The in-memory index works and keeps nothing on disk.
        const qint64 id = state->database().insertOrUpdate(
            "/x/a.png", "a", "", 1.0, "", "", ScreenshotStatus::inbox, 1);
        QVERIFY(state->database().record(id));
        QVERIFY(!QFile::exists(path));
    }

    void autoSaveSetterPersists()
    {
        auto state = makeState();
        QSignalSpy changed(state.get(), &AppState::autoSaveEnabledChanged);
        state->setAutoSaveEnabled(true);
        QCOMPARE(changed.count(), 1);
        QVERIFY(state->autoSaveEnabled());
        QCOMPARE(Preferences::value(Preferences::autoSaveEnabled).toBool(), true);
        state.reset();

        auto next = makeState();
        QVERIFY(next->autoSaveEnabled());
        next->setAutoSaveEnabled(false);
        QCOMPARE(Preferences::value(Preferences::autoSaveEnabled).toBool(), false);
        QVERIFY(Preferences::contains(Preferences::autoSaveEnabled));
    }

    void systemFolderIfDifferentFollowsActivation()
    {
        if (QGuiApplication::applicationState() == Qt::ApplicationActive)
            QSKIP("the application is already active; no change to observe");
        const QString pictures = test::profileRoot() + "/Pictures";
        QVERIFY(QDir().mkpath(pictures));
        const QString shots = makeDir("Shots");
        Preferences::setValue(Preferences::screenshotFolderBookmark, shots.toUtf8());

        auto state = makeState();
        QCOMPARE(state->macOSScreenshotFolderIfDifferent(), pictures);

        // The desktop's location moves; Marlox notices when it becomes active.
        QVERIFY(QDir().mkpath(pictures + "/Screenshots"));
        QCOMPARE(state->macOSScreenshotFolderIfDifferent(), pictures);
        QWidget window;
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTRY_COMPARE_WITH_TIMEOUT(
            state->macOSScreenshotFolderIfDifferent(), pictures + "/Screenshots", 5000);
    }

    void systemFolderEqualToScreenshotFolderIsNone()
    {
        const QString shots = test::profileRoot() + "/Pictures/Screenshots";
        QVERIFY(QDir().mkpath(shots));
        Preferences::setValue(Preferences::screenshotFolderBookmark, (shots + "/").toUtf8());
        auto state = makeState();
        QCOMPARE(state->screenshotFolder(), shots);
        QVERIFY(state->macOSScreenshotFolderIfDifferent().isEmpty());
    }
};

MARLOX_TEST_MAIN(TestStartup)
#include "tst_startup.moc"
