#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidgetAction>

#include "app/appstate.h"
#include "app/preferences.h"
#include "shell/traymenu.h"
#include "support/fakes.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

// The menu as a list: each item's identifier, "---" for a separator.
QStringList entries(const QMenu &menu)
{
    QStringList result;
    for (const QAction *action : menu.actions())
        result.append(action->isSeparator() ? QStringLiteral("---") : action->objectName());
    return result;
}

QAction *item(const QMenu &menu, const QString &id)
{
    for (QAction *action : menu.actions()) {
        if (action->objectName() == id)
            return action;
    }
    return nullptr;
}

} // namespace

class TestTrayMenu : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void itemsAndOrder_data()
    {
        QTest::addColumn<TrayMenuModel>("model");
        QTest::addColumn<QStringList>("expected");

        TrayMenuModel watching;
        watching.watchStatus = WatchStatus::watching(QStringLiteral("/home/u/Pictures"));
        QTest::newRow("watching") << watching
                                  << QStringList { "menuBar.openLibrary", "menuBar.settings", "---",
                                         "menuBar.quit" };

        TrayMenuModel notWatching;
        notWatching.watchStatus = WatchStatus::notWatching(QStringLiteral("The folder is gone."));
        QTest::newRow("not watching: warning block and divider first")
            << notWatching
            << QStringList { "menuBar.notWatchingBlock", "---", "menuBar.openLibrary",
                   "menuBar.settings", "---", "menuBar.quit" };

        TrayMenuModel updates = watching;
        updates.updatesEnabled = true;
        QTest::newRow("updates enabled") << updates
                                         << QStringList { "menuBar.openLibrary", "menuBar.settings",
                                                "menuBar.checkForUpdates", "---", "menuBar.quit" };

        TrayMenuModel busy = notWatching;
        busy.waitingCaptures = 3;
        busy.rebuildProgress = QStringLiteral("Rebuilding index… 4 of 20");
        QTest::newRow("waiting captures and a rebuild")
            << busy
            << QStringList { "menuBar.notWatchingBlock", "---", "menuBar.rebuildProgress",
                   "menuBar.showWaiting", "---", "menuBar.openLibrary", "menuBar.settings", "---",
                   "menuBar.quit" };
    }
    void itemsAndOrder()
    {
        QFETCH(TrayMenuModel, model);
        QFETCH(QStringList, expected);
        QMenu menu;
        TrayMenu::populate(&menu, model, {});
        QCOMPARE(entries(menu), expected);
        // A second build replaces the first instead of adding to it.
        TrayMenu::populate(&menu, model, {});
        QCOMPARE(entries(menu), expected);
    }

    void textsKeysAndActions()
    {
        TrayMenuModel model;
        model.watchStatus = WatchStatus::notWatching(QStringLiteral("The folder is gone."));
        model.waitingCaptures = 2;
        model.rebuildProgress = QStringLiteral("Rebuilding index… 1 of 9");
        model.updatesEnabled = true;
        model.canCheckForUpdates = false;
        QStringList ran;
        TrayMenuActions actions;
        actions.openLibrary = [&] { ran << QStringLiteral("library"); };
        actions.openSettings = [&] { ran << QStringLiteral("settings"); };
        actions.showWaitingCaptures = [&] { ran << QStringLiteral("waiting"); };
        actions.quit = [&] { ran << QStringLiteral("quit"); };
        QMenu menu;
        TrayMenu::populate(&menu, model, actions);

        QCOMPARE(item(menu, "menuBar.openLibrary")->text(), QStringLiteral("Open Library"));
        QCOMPARE(item(menu, "menuBar.openLibrary")->shortcut(), QKeySequence("Ctrl+Alt+L"));
        QCOMPARE(item(menu, "menuBar.settings")->text(), QStringLiteral("Settings…"));
        QVERIFY(item(menu, "menuBar.settings")->shortcut().isEmpty());
        QCOMPARE(item(menu, "menuBar.quit")->text(), QStringLiteral("Quit Marlox"));
        QCOMPARE(item(menu, "menuBar.quit")->shortcut(), QKeySequence("Ctrl+Q"));
        QCOMPARE(
            item(menu, "menuBar.checkForUpdates")->text(), QStringLiteral("Check for Updates…"));
        QVERIFY(!item(menu, "menuBar.checkForUpdates")->isEnabled());
        QCOMPARE(item(menu, "menuBar.showWaiting")->text(),
            QStringLiteral("Show Waiting Screenshots (2)"));
        QCOMPARE(item(menu, "menuBar.rebuildProgress")->text(),
            QStringLiteral("Rebuilding index… 1 of 9"));
        QVERIFY(!item(menu, "menuBar.rebuildProgress")->isEnabled());

        auto *block = qobject_cast<QWidgetAction *>(item(menu, "menuBar.notWatchingBlock"));
        QVERIFY(block);
        QWidget *widget = block->defaultWidget();
        auto *title = widget->findChild<QLabel *>(QStringLiteral("menuBar.notWatchingTitle"));
        QCOMPARE(title->text(), QStringLiteral("Not watching for screenshots"));
        QCOMPARE(title->accessibleName(), QStringLiteral("Warning: not watching for screenshots"));
        QCOMPARE(widget->findChild<QLabel *>(QStringLiteral("menuBar.notWatchingMessage"))->text(),
            QStringLiteral("The folder is gone."));
        auto *open = widget->findChild<QPushButton *>(QStringLiteral("menuBar.openSettings"));
        QCOMPARE(open->text(), QStringLiteral("Open Settings…"));

        open->click();
        item(menu, "menuBar.openLibrary")->trigger();
        item(menu, "menuBar.showWaiting")->trigger();
        item(menu, "menuBar.quit")->trigger();
        QCOMPARE(ran,
            (QStringList { QStringLiteral("settings"), QStringLiteral("library"),
                QStringLiteral("waiting"), QStringLiteral("quit") }));
    }

    void followsTheCoordinator()
    {
        QTemporaryDir dir;
        Preferences::remove(Preferences::screenshotFolderBookmark);
        AppStateDependencies deps;
        deps.dialogs = std::make_shared<ScriptedDialogs>();
        deps.makeCapturePrompt = [] { return std::make_unique<RecordingPrompt>(); };
        deps.undoToast = std::make_shared<RecordingToast>();
        deps.databasePath = dir.filePath(QStringLiteral("library.sqlite3"));
        deps.installSystemObservers = false;
        AppState state(deps);

        TrayMenu tray(&state, {});
        const auto message = [&tray]() -> QString {
            auto *block = qobject_cast<QWidgetAction *>(
                item(*tray.menu(), QStringLiteral("menuBar.notWatchingBlock")));
            if (!block || entries(*tray.menu()).constFirst() != block->objectName())
                return {};
            auto *label = block->defaultWidget()->findChild<QLabel *>(
                QStringLiteral("menuBar.notWatchingMessage"));
            return label ? label->text() : QString();
        };
        state.enterNotWatching(QStringLiteral("Marlox lost access to the folder."));
        QTRY_COMPARE(message(), QStringLiteral("Marlox lost access to the folder."));
        QVERIFY(!item(*tray.menu(), "menuBar.checkForUpdates"));

        tray.setUpdatesEnabled([] { return true; });
        QVERIFY(item(*tray.menu(), "menuBar.checkForUpdates"));
    }
};

MARLOX_TEST_MAIN(TestTrayMenu)
#include "tst_traymenu.moc"
