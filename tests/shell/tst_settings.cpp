#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/appstate.h"
#include "app/preferences.h"
#include "app/updatecontroller.h"
#include "shell/settingswindow.h"
#include "support/fakes.h"
#include "support/testmain.h"

using namespace marlox;

class TestSettings : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    std::unique_ptr<AppState> makeState(std::shared_ptr<test::ScriptedDialogs> dialogs)
    {
        AppStateDependencies deps;
        deps.dialogs = std::move(dialogs);
        deps.installSystemObservers = false;
        deps.databasePath = m_dir.filePath(QStringLiteral("index.sqlite3"));
        return std::make_unique<AppState>(deps);
    }

    template <typename T> static T *find(QWidget &w, const char *name)
    {
        T *child = w.findChild<T *>(QString::fromLatin1(name));
        if (!child)
            qFatal("no %s", name);
        return child;
    }

private Q_SLOTS:
    void init()
    {
        for (const QString &key : { Preferences::screenshotFolderBookmark,
                 Preferences::libraryRootBookmark, Preferences::autoSaveEnabled })
            Preferences::remove(key);
    }

    void rowsSayNotSetWithoutFolders()
    {
        auto state = makeState(std::make_shared<test::ScriptedDialogs>());
        UpdateController updates;
        SettingsWindow window(*state, updates, {});
        QCOMPARE(find<QWidget>(window, "settings.screenshotFolder")->accessibleName(),
            QStringLiteral("Screenshot folder, Not set"));
        QCOMPARE(find<QWidget>(window, "settings.libraryFolder")->accessibleName(),
            QStringLiteral("Library folder, Not set"));
        QCOMPARE(find<QPushButton>(window, "settings.libraryFolder.change")->accessibleName(),
            QStringLiteral("Change Library folder"));
        QCOMPARE(find<QLabel>(window, "settings.watchStatus")->text(),
            QStringLiteral("Not watching: No screenshot folder is set."));
        // Updates are off in this build: no toggle.
        QVERIFY(!window.findChild<QCheckBox *>(QStringLiteral("settings.autoUpdate")));
    }

    void followsTheCoordinatorLive()
    {
        auto dialogs = std::make_shared<test::ScriptedDialogs>();
        auto state = makeState(dialogs);
        UpdateController updates(QStringLiteral("https://example.org/feed"),
            QString::fromLatin1(QByteArray(32, 'k').toBase64()));
        SettingsWindow window(*state, updates, {});
        QVERIFY(window.findChild<QCheckBox *>(QStringLiteral("settings.autoUpdate")));

        const QString shots = m_dir.filePath(QStringLiteral("Shots"));
        QDir().mkpath(shots);
        dialogs->folderAnswers.append(shots);
        QTest::mouseClick(
            find<QPushButton>(window, "settings.screenshotFolder.change"), Qt::LeftButton);
        QTRY_COMPARE(state->screenshotFolder(), shots);
        QTRY_VERIFY(find<QLabel>(window, "settings.watchStatus")
                        ->text()
                        .startsWith(QStringLiteral("Watching ")));
        QCOMPARE(find<QWidget>(window, "settings.screenshotFolder")->accessibleName(),
            QStringLiteral("Screenshot folder, ") + AppState::displayPath(shots));

        auto *autoSave = find<QCheckBox>(window, "settings.autoSave");
        QVERIFY(!autoSave->isChecked());
        autoSave->click();
        QVERIFY(state->autoSaveEnabled());
        QVERIFY(Preferences::boolValue(Preferences::autoSaveEnabled));

        // Picking the library inside the screenshot folder's parent that holds it is refused.
        dialogs->folderAnswers.append(m_dir.path());
        QTest::mouseClick(
            find<QPushButton>(window, "settings.libraryFolder.change"), Qt::LeftButton);
        QTRY_COMPARE(dialogs->alerts.size(), 1);
        QCOMPARE(dialogs->alerts.first().informativeText,
            QStringLiteral("Your screenshot folder can't be inside your library folder."));
        QVERIFY(state->libraryRoot().isEmpty());
    }
};

MARLOX_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
