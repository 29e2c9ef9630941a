#include <memory>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "app/appstate.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/logcapture.h"
#include "support/testmain.h"

using namespace marlox;

Q_DECLARE_METATYPE(marlox::FolderRelation)

namespace {
const QString sameText = QStringLiteral(
    "Your library can't be the same folder as your screenshot folder. Pick or create a folder "
    "inside it, or somewhere else like ~/Pictures/Marlox.");
const QString insideText
    = QStringLiteral("Your screenshot folder can't be inside your library folder.");
} // namespace

class TestFolderLocations : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::AppStateScene> m_scene;
    std::shared_ptr<test::ScriptedDialogs> m_dialogs;

    std::unique_ptr<AppState> makeState() { return m_scene->makeState(); }

    QString makeDir(const QString &name)
    {
        const QString path = m_scene->dir.filePath(name);
        QDir().mkpath(path);
        return path;
    }

    void verifyFolderAlert(const QString &informativeText)
    {
        QCOMPARE(m_dialogs->alerts.size(), 1);
        const Dialogs::Alert alert = m_dialogs->alerts.takeFirst();
        QCOMPARE(alert.style, Dialogs::AlertStyle::warning);
        QCOMPARE(alert.message, QString("Can't use that folder"));
        QCOMPARE(alert.informativeText, informativeText);
        QVERIFY(alert.buttons.isEmpty());
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<test::AppStateScene>();
        m_dialogs = m_scene->dialogs;
        Preferences::remove(Preferences::screenshotFolderBookmark);
        Preferences::remove(Preferences::libraryRootBookmark);
    }

    void cleanup()
    {
        m_scene.reset();
        QDir(test::profileRoot() + "/Pictures").removeRecursively();
    }

    void folderRelation_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<FolderRelation>("relation");
        // clang-format off
        QTest::newRow("same") << "/home/u/Shots" << "/home/u/Shots" << FolderRelation::same;
        QTest::newRow("same, trailing slash on one") << "/home/u/Shots/"
                                                     << "/home/u/Shots" << FolderRelation::same;
        QTest::newRow("same after dot segments") << "/home/u/./Pictures/../Shots"
                                                 << "/home/u/Shots" << FolderRelation::same;
        QTest::newRow("b inside a") << "/home/u/Library"
                                    << "/home/u/Library/Shots" << FolderRelation::inside;
        QTest::newRow("b deep inside a, trailing slashes") << "/home/u/Library/"
            << "/home/u/Library/a/b/" << FolderRelation::inside;
        QTest::newRow("a inside b is not inside") << "/home/u/Library/Shots"
                                                  << "/home/u/Library" << FolderRelation::separate;
        QTest::newRow("shared prefix only") << "/home/u/Shots"
                                            << "/home/u/Shots2" << FolderRelation::separate;
        QTest::newRow("shared prefix only, trailing slash") << "/home/u/Shots/" << "/home/u/Shots2/"
            << FolderRelation::separate;
        QTest::newRow("siblings") << "/home/u/Library"
                                  << "/home/u/Shots" << FolderRelation::separate;
        QTest::newRow("everything is inside the root") << "/" << "/home" << FolderRelation::inside;
        QTest::newRow("case differs") << "/home/u/shots"
                                      << "/home/u/Shots" << FolderRelation::separate;
        // clang-format on
    }
    void folderRelation()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(FolderRelation, relation);
        QCOMPARE(FolderPaths::relation(a, b), relation);
    }

    void screenshotFolderCollidingWithLibraryIsRefused_data()
    {
        QTest::addColumn<QString>("screenshotFolder"); // relative to the library root
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("throughLink"); // chosen as a link placed outside the library
        QTest::newRow("the library root itself") << "" << sameText << false;
        QTest::newRow("the library root with a trailing slash") << "/" << sameText << false;
        QTest::newRow("a folder inside the library") << "/Work" << insideText << false;
        QTest::newRow("a link to the library root") << "" << sameText << true;
        QTest::newRow("a link to a folder inside the library") << "/Work" << insideText << true;
    }
    void screenshotFolderCollidingWithLibraryIsRefused()
    {
        QFETCH(QString, screenshotFolder);
        QFETCH(QString, text);
        QFETCH(bool, throughLink);
        const QString library = makeDir("Library");
        QVERIFY(QDir().mkpath(library + "/Work"));
        auto state = makeState();
        state->setLibraryRoot(library, false);
        const WatchStatus before = state->watchStatus();
        QSignalSpy changed(state.get(), &AppState::screenshotFolderChanged);

        QString chosen = library + screenshotFolder;
        if (throughLink) {
            const QString link = m_scene->dir.filePath("Shots link");
            QVERIFY(QFile::link(chosen, link));
            chosen = link;
        }
        state->setScreenshotFolder(chosen);
        verifyFolderAlert(text);
        QVERIFY(state->screenshotFolder().isEmpty());
        QCOMPARE(changed.count(), 0);
        QCOMPARE(state->watchStatus(), before);
        QVERIFY(!Preferences::contains(Preferences::screenshotFolderBookmark));
    }

    void libraryRootCollidingWithScreenshotFolderIsRefused_data()
    {
        QTest::addColumn<QString>("libraryRoot"); // relative to the temporary folder
        QTest::addColumn<QString>("text");
        QTest::newRow("the screenshot folder itself") << "Shots" << sameText;
        QTest::newRow("a folder holding the screenshot folder") << "" << insideText;
    }
    void libraryRootCollidingWithScreenshotFolderIsRefused()
    {
        QFETCH(QString, libraryRoot);
        QFETCH(QString, text);
        const QString shots = makeDir("Shots");
        auto state = makeState();
        state->setScreenshotFolder(shots);
        QSignalSpy changed(state.get(), &AppState::libraryRootChanged);

        state->setLibraryRoot(m_scene->dir.filePath(libraryRoot), true);
        verifyFolderAlert(text);
        QVERIFY(state->libraryRoot().isEmpty());
        QCOMPARE(changed.count(), 0);
        QVERIFY(!Preferences::contains(Preferences::libraryRootBookmark));
    }

    void libraryInsideScreenshotFolderIsAllowed()
    {
        const QString shots = makeDir("Shots");
        auto state = makeState();
        state->setScreenshotFolder(shots);
        QSignalSpy changed(state.get(), &AppState::libraryRootChanged);

        const QString library = shots + "/Marlox/Library";
        state->setLibraryRoot(library, true);
        QVERIFY(m_dialogs->alerts.isEmpty());
        QVERIFY(QFileInfo(library).isDir());
        QCOMPARE(state->libraryRoot(), library);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(
            Preferences::value(Preferences::libraryRootBookmark).toByteArray(), library.toUtf8());
    }

    void settingTheScreenshotFolderStartsWatchingAndStopsRetrying()
    {
        const QString first = makeDir("First");
        const QString second = makeDir("Second");
        auto state = makeState();
        state->setScreenshotFolder(first);
        QCOMPARE(state->watchStatus(), WatchStatus::watching(first));
        state->enterNotWatching(QStringLiteral("lost"));
        QVERIFY(state->isRetryingWatch());

        state->setScreenshotFolder(second);
        QCOMPARE(state->screenshotFolder(), second);
        QCOMPARE(state->watchStatus(), WatchStatus::watching(second));
        QVERIFY(!state->isRetryingWatch());
    }

    void chooseScreenshotFolderPanel()
    {
        const QString start = makeDir("Start");
        const QString picked = makeDir("Picked");
        auto state = makeState();

        m_dialogs->folderAnswers = { std::nullopt };
        state->chooseScreenshotFolder(QStringLiteral("Pick the folder"), start);
        QCOMPARE(m_dialogs->folderPanels.size(), 1);
        const Dialogs::FolderPanel panel = m_dialogs->folderPanels.takeFirst();
        QCOMPARE(panel.message, QString("Pick the folder"));
        QCOMPARE(panel.startDirectory, start);
        QVERIFY(!panel.canCreateDirectories);
        // Cancelling changes nothing.
        QVERIFY(state->screenshotFolder().isEmpty());

        m_dialogs->folderAnswers = { picked };
        state->chooseScreenshotFolder();
        QCOMPARE(m_dialogs->folderPanels.takeFirst().message, QString());
        QCOMPARE(state->screenshotFolder(), picked);
        QCOMPARE(state->watchStatus(), WatchStatus::watching(picked));
    }

    void chooseScreenshotFolderStartsAtTheSystemLocation()
    {
        const QString system = test::profileRoot() + "/Pictures/Screenshots";
        QVERIFY(QDir().mkpath(system));
        auto state = makeState();
        state->chooseScreenshotFolder();
        QCOMPARE(m_dialogs->folderPanels.size(), 1);
        QCOMPARE(m_dialogs->folderPanels.first().startDirectory, system);
    }

    void chooseLibraryRootPanel()
    {
        const QString picked = m_scene->dir.filePath("New Library");
        auto state = makeState();

        m_dialogs->folderAnswers = { picked };
        state->chooseLibraryRoot(QStringLiteral("Where should filed screenshots go?"));
        Dialogs::FolderPanel panel = m_dialogs->folderPanels.takeFirst();
        QCOMPARE(panel.message, QString("Where should filed screenshots go?"));
        QCOMPARE(panel.startDirectory, FolderPaths::defaultLibraryParent());
        QVERIFY(panel.canCreateDirectories);
        // Chosen through the panel means created if missing.
        QVERIFY(QFileInfo(picked).isDir());
        QCOMPARE(state->libraryRoot(), picked);

        // With a library root set, the panel starts there.
        state->chooseLibraryRoot();
        panel = m_dialogs->folderPanels.takeFirst();
        QCOMPARE(panel.startDirectory, picked);
        QCOMPARE(state->libraryRoot(), picked);
    }

    void createLibraryRootPanel()
    {
        const QString picked = m_scene->dir.filePath("Parent/Marlox");
        auto state = makeState();

        m_dialogs->newFolderAnswers = { std::nullopt };
        state->createLibraryRoot(QStringLiteral("Name your library"));
        QCOMPARE(m_dialogs->savePanels.size(), 1);
        const Dialogs::SavePanel panel = m_dialogs->savePanels.takeFirst();
        QCOMPARE(panel.message, QString("Name your library"));
        QCOMPARE(panel.startDirectory, FolderPaths::defaultLibraryParent());
        QCOMPARE(FolderPaths::defaultLibraryParent(), test::profileRoot() + "/Pictures");
        // A localised Pictures folder from xdg-user-dirs is the one proposed.
        QFile dirs(test::profileRoot() + "/.config/user-dirs.dirs");
        QVERIFY(dirs.open(QIODevice::WriteOnly | QIODevice::Truncate));
        dirs.write("XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
        dirs.close();
        QCOMPARE(FolderPaths::defaultLibraryParent(), test::profileRoot() + "/Bilder");
        dirs.remove();
        QCOMPARE(panel.proposedName, QString("Marlox"));
        QCOMPARE(panel.confirmTitle, QString("Create"));
        QVERIFY(state->libraryRoot().isEmpty());

        m_dialogs->newFolderAnswers = { picked };
        state->createLibraryRoot();
        QVERIFY(QFileInfo(picked).isDir());
        QCOMPARE(state->libraryRoot(), picked);
    }

    void choicesAreRememberedAtTheNextLaunch()
    {
        const QString shots = makeDir("Shots");
        const QString library = m_scene->dir.filePath("Chosen Library");
        {
            auto state = makeState();
            state->setScreenshotFolder(shots + "/");
            state->setLibraryRoot(library, true);
            QCOMPARE(state->screenshotFolder(), shots);
        }
        auto next = makeState();
        QCOMPARE(next->screenshotFolder(), shots);
        QCOMPARE(next->libraryRoot(), library);
        QCOMPARE(next->watchStatus(), WatchStatus::watching(shots));
    }

    void failuresToCreateOrRememberAreOnlyLogged()
    {
        // A regular file stands where the library's parent folder should be.
        const QString blocker = m_scene->dir.filePath("blocker");
        QVERIFY(QFile(blocker).open(QIODevice::WriteOnly));
        const QString library = blocker + "/Library";
        auto state = makeState();

        test::LogCapture log;
        state->setLibraryRoot(library, true);
        QCOMPARE(
            log.countStartingWith("Failed to create library root directory at " + library + ": "),
            1);
        QCOMPARE(state->libraryRoot(), library);

        // A folder that cannot be remembered is still used for this run.
        state->setScreenshotFolder(QStringLiteral("relative/Shots"));
        QCOMPARE(log.countStartingWith("Failed to save screenshot folder bookmark: "), 1);
        QVERIFY(!state->screenshotFolder().isEmpty());
        QVERIFY(!Preferences::contains(Preferences::screenshotFolderBookmark));
    }
};

MARLOX_TEST_MAIN(TestFolderLocations)
#include "tst_folderlocations.moc"
