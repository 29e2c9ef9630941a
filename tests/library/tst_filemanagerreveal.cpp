#include <QTest>

#include "app/appstate.h"
#include "library/filemanagerreveal.h"
#include "support/appstatescene.h"
#include "support/testmain.h"

using namespace marlox;

// No file manager answers on the test's (absent) session bus.
class TestFileManagerReveal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void opensTheFolderAndSaysWhenNothingCan_data()
    {
        QTest::addColumn<bool>("opens");
        QTest::newRow("folder opened") << true;
        QTest::newRow("nothing opens it") << false;
    }
    void opensTheFolderAndSaysWhenNothingCan()
    {
        QFETCH(bool, opens);
        const test::AppStateScene scene;
        const QTemporaryDir &dir = scene.dir;
        const auto &dialogs = scene.dialogs;
        AppState state(scene.dependencies());

        QList<QUrl> asked;
        showInFileManager(dir.filePath(QStringLiteral("Work/shot.png")), &state.recordActions(),
            [&asked, opens](const QUrl &folder) {
                asked.append(folder);
                return opens;
            });
        QTRY_COMPARE(asked.size(), 1);
        QCOMPARE(asked.first(), QUrl::fromLocalFile(dir.filePath(QStringLiteral("Work"))));
        QTRY_COMPARE(dialogs->alerts.size(), opens ? 0 : 1);
        if (!opens) {
            QCOMPARE(
                dialogs->alerts.first().message, QStringLiteral("Couldn't show the screenshot"));
            QVERIFY(dialogs->alerts.first().informativeText.contains(dir.filePath("Work")));
        }
    }
};

MARLOX_TEST_MAIN(TestFileManagerReveal)
#include "tst_filemanagerreveal.moc"
