#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidgetAction>

#include "app/appstate.h"
#include "shell/traymenu.h"
#include "shell/traypresence.h"
#include "support/appstatescene.h"
#include "support/testmain.h"
#include "widgets/windowrules.h"

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

        TrayMenuModel adding;
        adding.watchStatus = WatchStatus::watching(QStringLiteral("/shots"));
        adding.backlogProgress = QStringLiteral("Adding screenshots… 4 of 2,000");
        QTest::newRow("earlier screenshots being added")
            << adding
            << QStringList { "menuBar.backlogProgress", "menuBar.cancelBacklog", "---",
                   "menuBar.openLibrary", "menuBar.settings", "---", "menuBar.quit" };
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
        QCOMPARE(item(menu, "menuBar.settings")->text(), QStringLiteral("Settings…"));
        QCOMPARE(item(menu, "menuBar.quit")->text(), QStringLiteral("Quit Marlox"));
        // A tray menu has no shortcuts to show; a window's menu bar has.
        for (const QAction *action : menu.actions())
            QVERIFY2(action->shortcut().isEmpty(), qPrintable(action->objectName()));
        model.shortcuts = true;
        TrayMenu::populate(&menu, model, actions);
        QCOMPARE(item(menu, "menuBar.openLibrary")->shortcut(), QKeySequence("Ctrl+Alt+L"));
        QVERIFY(item(menu, "menuBar.settings")->shortcut().isEmpty());
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

    void fallbackWindowGivesWayToQuit_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("menu item") << "menu";
        QTest::newRow("Ctrl+Q") << "keys";
        // What a signal, the end of the session and the fatal alert do.
        QTest::newRow("quit request") << "request";
    }
    void fallbackWindowGivesWayToQuit()
    {
        QFETCH(QString, how);
        WindowManager windows;
        windows.setFactory(WindowManager::library, [] {
            auto *window = new QWidget;
            (new QVBoxLayout(window))->addWidget(new QLineEdit(window));
            return window;
        });
        QStringList opened;
        TrayMenuModel model;
        model.shortcuts = true;
        TrayMenuActions actions;
        actions.openLibrary = [&opened] { opened << QStringLiteral("library"); };
        actions.quit = [] { QCoreApplication::quit(); };
        QMenu menu;
        TrayMenu::populate(&menu, model, actions);
        windows.setFallbackMenu(&menu);
        QPointer<QWidget> library = windows.openWindow(WindowManager::library);
        QVERIFY(QTest::qWaitForWindowActive(library));
        QCOMPARE(windows.fallbackMenuBar()->actions().first()->menu(), &menu);

        // Closed by the user it only minimises: without a tray it is the way back.
        library->close();
        QVERIFY(library && library->isVisible());
        library->showNormal();
        QVERIFY(QTest::qWaitForWindowActive(library));
        QTest::keyClick(library->focusWidget() ? library->focusWidget() : library.data(), Qt::Key_L,
            Qt::ControlModifier | Qt::AltModifier);
        QCOMPARE(opened, QStringList { QStringLiteral("library") });

        QSignalSpy aboutToQuit(qApp, &QCoreApplication::aboutToQuit);
        QTimer::singleShot(0, library, [&] {
            if (how == QLatin1String("menu"))
                item(menu, QStringLiteral("menuBar.quit"))->trigger();
            else if (how == QLatin1String("keys"))
                QTest::keyClick(library->focusWidget() ? library->focusWidget() : library.data(),
                    Qt::Key_Q, Qt::ControlModifier);
            else
                QCoreApplication::quit();
        });
        QTimer giveUp;
        giveUp.setSingleShot(true);
        connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(2); });
        giveUp.start(20000);
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(aboutToQuit.count(), 1);
        QVERIFY(!library || !library->isVisible());
    }

    // How long Marlox waits for a tray before it shows its window instead.
    void trayWait_data()
    {
        QTest::addColumn<QList<bool>>("available"); // per check; the last repeats
        QTest::addColumn<int>("watcher"); // -1: the bus does not answer
        QTest::addColumn<QString>("expected"); // callbacks in order
        QTest::addColumn<int>("checksBeforeFallback");

        QTest::newRow("tray at once") << QList<bool> { true } << 1 << "tray" << 0;
        QTest::newRow("no watcher: window at once")
            << QList<bool> { false } << 0 << "fallback" << 1;
        QTest::newRow("watcher, host still starting")
            << QList<bool> { false, false, true } << 1 << "tray" << 0;
        QTest::newRow("silent bus: waits it out") << QList<bool> { false } << -1 << "fallback" << 5;
        QTest::newRow("watcher that never hosts: waits it out")
            << QList<bool> { false } << 1 << "fallback" << 5;
        QTest::newRow("tray after the window, within the wait")
            << QList<bool> { false, false, true } << 0 << "fallback tray" << 1;
    }
    void trayWait()
    {
        QFETCH(QList<bool>, available);
        QFETCH(int, watcher);
        QFETCH(QString, expected);
        QFETCH(int, checksBeforeFallback);
        int checks = 0;
        TrayProbe probe;
        probe.trayAvailable = [&] { return available.value(checks++, available.constLast()); };
        probe.watcherRegistered = [watcher]() -> std::optional<bool> {
            if (watcher < 0)
                return std::nullopt;
            return watcher == 1;
        };
        QStringList calls;
        int checksAtFallback = 0;
        TrayWait wait(probe, 0, 4);
        wait.start([&] { calls << QStringLiteral("tray"); },
            [&] {
                calls << QStringLiteral("fallback");
                checksAtFallback = checks;
            });
        // Every check is queued on the event loop; five is the whole wait.
        QTRY_COMPARE(checks >= 5 || calls.contains(QStringLiteral("tray")), true);
        QCOMPARE(calls.join(QLatin1Char(' ')), expected);
        QCOMPARE(checksAtFallback, checksBeforeFallback);
    }

    void followsTheCoordinator()
    {
        const AppStateScene scene;
        const auto state = scene.makeState();
        TrayMenu tray(state.get(), {});
        const auto message = [&tray]() -> QString {
            auto *block = qobject_cast<QWidgetAction *>(
                item(*tray.menu(), QStringLiteral("menuBar.notWatchingBlock")));
            if (!block || entries(*tray.menu()).constFirst() != block->objectName())
                return {};
            auto *label = block->defaultWidget()->findChild<QLabel *>(
                QStringLiteral("menuBar.notWatchingMessage"));
            return label ? label->text() : QString();
        };
        state->enterNotWatching(QStringLiteral("Marlox lost access to the folder."));
        QTRY_COMPARE(message(), QStringLiteral("Marlox lost access to the folder."));
        QVERIFY(!item(*tray.menu(), "menuBar.checkForUpdates"));

        tray.setUpdatesEnabled([] { return true; });
        QVERIFY(item(*tray.menu(), "menuBar.checkForUpdates"));
    }
};

MARLOX_TEST_MAIN(TestTrayMenu)
#include "tst_traymenu.moc"
