#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include "app/appstate.h"
#include "filing/foldermanagementservice.h"
#include "filing/libraryfileservice.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

// The coordinator's filing and folder actions on a real library and index.
class TestFolderActions : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AppStateScene> m_scene;
    QString m_library;
    QString m_shots;

    std::unique_ptr<AppState> makeState(bool withLibrary = true)
    {
        if (withLibrary)
            m_scene->rememberLibrary();
        return m_scene->makeState();
    }

    ScreenshotRecord capture(AppState &state, const QString &name, double createdAt = 100)
    {
        const QString path = m_shots + u'/' + name;
        writeFile(path);
        const qint64 id = state.database().insertOrUpdate(
            path, name, {}, createdAt, {}, {}, ScreenshotStatus::inbox, 5);
        state.refreshRecord(id);
        return *state.database().record(id);
    }

    qint64 filedRecord(AppState &state, const QString &folder, const QString &name)
    {
        const QString path = m_library + u'/' + folder + u'/' + name;
        writeFile(path, folder.toUtf8() + '/' + name.toUtf8());
        return state.database().insertOrUpdate(
            path, name, folder, 100, {}, {}, ScreenshotStatus::filed, 5);
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<AppStateScene>();
        m_library = m_scene->library;
        m_shots = m_scene->shots;
    }

    void cleanup() { m_scene.reset(); }

    void filingUpdatesRecentFoldersListAndSaveTime()
    {
        auto state = makeState();
        const ScreenshotRecord record = capture(*state, QStringLiteral("a.png"));
        const QDateTime before = QDateTime::currentDateTime();
        QSignalSpy recentChanged(state.get(), &AppState::recentFoldersChanged);

        const ScreenshotRecord filed
            = state->fileRecord(record, QStringLiteral("Invoice"), QStringLiteral("Work"));
        QCOMPARE(filed.path, m_library + QStringLiteral("/Work/Invoice.png"));
        QCOMPARE(state->recentFolders(), QStringList { "Work" });
        QCOMPARE(recentChanged.count(), 1);
        QCOMPARE(Preferences::stringList(Preferences::recentFolders), QStringList { "Work" });
        QVERIFY(state->lastSavedAt() >= before);
        // The record list already shows the filed record, without a full reload.
        QCOMPARE(state->records().size(), 1);
        QCOMPARE(state->records().first().path, filed.path);
        QCOMPARE(state->records().first().status, ScreenshotStatus::filed);
    }

    void recentFoldersKeepTheFiveNewest()
    {
        auto state = makeState();
        const QStringList folders { "A", "B", "C", "A", "D", "E", "F" };
        for (int i = 0; i < folders.size(); ++i) {
            const auto record = capture(*state, QStringLiteral("%1.png").arg(i), 100 + i);
            state->fileRecord(record, QStringLiteral("T"), folders[i]);
        }
        const QStringList expected { "F", "E", "D", "A", "C" };
        QCOMPARE(state->recentFolders(), expected);
        QCOMPARE(Preferences::stringList(Preferences::recentFolders), expected);
    }

    void failedFilingChangesNothingOfTheCoordinator()
    {
        auto state = makeState();
        const auto record = capture(*state, QStringLiteral("a.png"));
        QVERIFY_THROWS_EXCEPTION(LibraryFileService::ServiceError,
            state->fileRecord(record, QStringLiteral("T"), QStringLiteral("../Escape")));
        QVERIFY(state->recentFolders().isEmpty());
        QVERIFY(!state->lastSavedAt().isValid());
    }

    void folderNamesJoinDiskAndRecords()
    {
        auto state = makeState();
        QVERIFY(QDir(m_library).mkpath(QStringLiteral("Work")));
        const auto record = capture(*state, QStringLiteral("a.png"));
        state->fileRecord(record, QStringLiteral("T"), QStringLiteral("Receipts"));
        QVERIFY(QDir(m_library + QStringLiteral("/Receipts")).removeRecursively());
        QCOMPARE(state->folderNames(), (QStringList { "General", "Receipts", "Work" }));
    }

    void createFolderAndItsRefusals()
    {
        auto state = makeState();
        state->createFolder(QStringLiteral(" Projects "));
        QVERIFY(QFileInfo(m_library + QStringLiteral("/Projects")).isDir());
        // The service's refusals reach the caller and leave the disk alone.
        QVERIFY_THROWS_EXCEPTION(FolderManagementService::ServiceError,
            state->createFolder(QStringLiteral("../Outside")));
        QCOMPARE(tree(m_library), QStringList { "Projects" });
        QVERIFY(!QFileInfo::exists(m_scene->dir.filePath(QStringLiteral("Outside"))));
    }

    void renameIntoAnExistingFolderMergesAndUpdatesRecentFolders()
    {
        Preferences::setValue(Preferences::recentFolders,
            QStringList {
                QStringLiteral("Work"), QStringLiteral("Home"), QStringLiteral("Projects") });
        auto state = makeState();
        const qint64 a = filedRecord(*state, QStringLiteral("Work"), QStringLiteral("a.png"));
        filedRecord(*state, QStringLiteral("Projects"), QStringLiteral("a.png"));
        QSignalSpy changed(state.get(), &AppState::recordsChanged);

        state->renameFolder(QStringLiteral("Work"), QStringLiteral(" Projects "));
        QCOMPARE(
            tree(m_library), (QStringList { "Projects", "Projects/a 2.png", "Projects/a.png" }));
        QCOMPARE(
            state->database().record(a)->path, m_library + QStringLiteral("/Projects/a 2.png"));
        QCOMPARE(state->database().record(a)->folder, QStringLiteral("Projects"));
        const QStringList expected { "Projects", "Home" };
        QCOMPARE(state->recentFolders(), expected);
        QCOMPARE(Preferences::stringList(Preferences::recentFolders), expected);
        // A reload was requested and brings the list in line.
        QVERIFY(changed.wait(5000));
        QCOMPARE(state->records().size(), 2);
    }

    void renameToItsOwnNameMovesNothing()
    {
        Preferences::setValue(Preferences::recentFolders, QStringList { QStringLiteral("Work") });
        auto state = makeState();
        filedRecord(*state, QStringLiteral("Work"), QStringLiteral("a.png"));
        const QStringList before = tree(m_library);
        state->renameFolder(QStringLiteral("Work"), QStringLiteral("Work"));
        QCOMPARE(tree(m_library), before);
        QCOMPARE(state->recentFolders(), QStringList { "Work" });
    }

    void deleteMovesContentsIntoGeneral()
    {
        auto state = makeState();
        const qint64 clash = filedRecord(*state, QStringLiteral("Work"), QStringLiteral("a.png"));
        filedRecord(*state, QStringLiteral("General"), QStringLiteral("a.png"));
        writeFile(m_library + QStringLiteral("/Work/.hidden"));
        const qint64 fileless = state->database().insertOrUpdate(QStringLiteral("/gone/x.png"),
            QStringLiteral("x"), QStringLiteral("Work"), 50, {}, {}, ScreenshotStatus::filed, 1);

        state->deleteFolder(QStringLiteral("Work"));
        QCOMPARE(tree(m_library), (QStringList { "General", "General/a 2.png", "General/a.png" }));
        QCOMPARE(
            state->database().record(clash)->path, m_library + QStringLiteral("/General/a 2.png"));
        QCOMPARE(state->database().record(clash)->folder, QStringLiteral("General"));
        QCOMPARE(state->database().record(fileless)->folder, QStringLiteral("General"));
    }

    void generalIsNeverDeleted()
    {
        auto state = makeState();
        filedRecord(*state, QStringLiteral("General"), QStringLiteral("a.png"));
        state->deleteFolder(QStringLiteral("General"));
        QCOMPARE(tree(m_library), (QStringList { "General", "General/a.png" }));
    }
};

MARLOX_TEST_MAIN(TestFolderActions)
#include "tst_folderactions.moc"
