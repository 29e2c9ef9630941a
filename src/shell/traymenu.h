#pragma once

#include <functional>

#include <QObject>
#include <QPointer>
#include <QString>

#include "app/appstate.h"

class QAction;
class QMenu;

namespace marlox {

// What the tray menu shows; taken from AppState each time the menu is built.
struct TrayMenuModel
{
    WatchStatus watchStatus;
    // Captures waiting in the queue while the prompt is not on screen.
    int waitingCaptures = 0;
    // "Rebuilding index… N of M" while a rebuild runs.
    QString rebuildProgress;
    // "Adding screenshots… N of M" while earlier screenshots go into the Inbox.
    QString backlogProgress;
    bool updatesEnabled = false;
    bool canCheckForUpdates = true;
    // Only a menu in a window's menu bar can have working keyboard shortcuts;
    // a tray menu has none to offer.
    bool shortcuts = false;

    static TrayMenuModel from(const AppState &state, bool updatesEnabled, bool canCheck);
};

// What the menu's items do. Empty actions leave their items inert.
struct TrayMenuActions
{
    std::function<void()> openLibrary;
    std::function<void()> openSettings;
    std::function<void()> checkForUpdates;
    std::function<void()> showWaitingCaptures;
    // Empty: the state's own BacklogImport::cancel.
    std::function<void()> cancelBacklogImport;
    std::function<void()> quit;
};

// The tray menu (and, without a tray, the library window's "Marlox" menu):
// the not-watching warning, Open Library, Settings…, Check for Updates…,
// Quit Marlox. Rebuilt whenever what it shows changes, and before it opens.
class TrayMenu : public QObject
{
    Q_OBJECT

public:
    TrayMenu(AppState *state, TrayMenuActions actions, QObject *parent = nullptr);
    ~TrayMenu() override;

    QMenu *menu() const { return m_menu; }
    // Updates come with their own controller; until it is wired in they are off.
    void setUpdatesEnabled(std::function<bool()> enabled, std::function<bool()> canCheck = {});
    // On when the menu moves into a window's menu bar.
    void setShortcutsEnabled(bool enabled);
    void rebuild();
    void scheduleRebuild();

    // Fills a menu from scratch; the fixed actions are reused when given.
    static void populate(QMenu *menu, const TrayMenuModel &model, const TrayMenuActions &actions);

private:
    QPointer<AppState> m_state;
    TrayMenuActions m_actions;
    QMenu *m_menu = nullptr;
    std::function<bool()> m_updatesEnabled;
    std::function<bool()> m_canCheck;
    bool m_shortcuts = false;
    bool m_rebuildPending = false;
};

} // namespace marlox

Q_DECLARE_METATYPE(marlox::TrayMenuModel)
