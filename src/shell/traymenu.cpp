#include "shell/traymenu.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidgetAction>

#include "app/backlogimport.h"

namespace marlox {

namespace {

QWidget *warningBlock(QMenu *menu, const QString &message, const std::function<void()> &open)
{
    auto *block = new QWidget(menu);
    block->setObjectName(QStringLiteral("menuBar.notWatching"));
    auto *row = new QHBoxLayout(block);
    row->setContentsMargins(12, 6, 12, 6);
    row->setSpacing(6);
    row->setAlignment(Qt::AlignTop);

    auto *icon = new QLabel(block);
    const int size = block->style()->pixelMetric(QStyle::PM_SmallIconSize);
    QIcon warning = QIcon::fromTheme(QStringLiteral("dialog-warning"));
    if (warning.isNull())
        warning = block->style()->standardIcon(QStyle::SP_MessageBoxWarning);
    icon->setPixmap(warning.pixmap(size, size));
    icon->setAccessibleName(QString());
    icon->setAlignment(Qt::AlignTop);
    row->addWidget(icon, 0, Qt::AlignTop);

    auto *column = new QVBoxLayout;
    column->setSpacing(2);
    auto *title = new QLabel(QStringLiteral("Not watching for screenshots"), block);
    title->setObjectName(QStringLiteral("menuBar.notWatchingTitle"));
    title->setAccessibleName(QStringLiteral("Warning: not watching for screenshots"));
    QFont caption = title->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.9);
    caption.setBold(true);
    title->setFont(caption);
    column->addWidget(title);

    auto *text = new QLabel(message, block);
    text->setObjectName(QStringLiteral("menuBar.notWatchingMessage"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setMaximumWidth(280);
    QFont caption2 = text->font();
    caption2.setPointSizeF(caption2.pointSizeF() * 0.85);
    text->setFont(caption2);
    text->setForegroundRole(QPalette::PlaceholderText);
    column->addWidget(text);

    auto *button = new QPushButton(QStringLiteral("Open Settings…"), block);
    button->setObjectName(QStringLiteral("menuBar.openSettings"));
    QFont buttonFont = button->font();
    buttonFont.setPointSizeF(buttonFont.pointSizeF() * 0.9);
    button->setFont(buttonFont);
    QObject::connect(button, &QPushButton::clicked, menu, [menu, open] {
        // A widget in a menu does not close it the way an item does.
        QWidget *top = menu;
        while (auto *parentMenu = qobject_cast<QMenu *>(top->parentWidget()))
            top = parentMenu;
        top->close();
        if (open)
            open();
    });
    column->addWidget(button, 0, Qt::AlignLeft);
    row->addLayout(column, 1);
    return block;
}

QAction *addItem(QMenu *menu, const QString &text, const QString &id,
    const std::function<void()> &run, const QKeySequence &keys = {})
{
    auto *action = new QAction(text, menu);
    action->setObjectName(id);
    if (!keys.isEmpty()) {
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WindowShortcut);
    }
    if (run)
        QObject::connect(action, &QAction::triggered, menu, [run] { run(); });
    menu->addAction(action);
    return action;
}

} // namespace

TrayMenuModel TrayMenuModel::from(const AppState &state, bool updatesEnabled, bool canCheck)
{
    TrayMenuModel model;
    model.watchStatus = state.watchStatus();
    if (!state.promptQueue().isEmpty() && !state.isPromptVisible())
        model.waitingCaptures = state.promptQueue().count();
    model.rebuildProgress = state.rebuildProgress();
    model.backlogProgress = state.backlogImport().progressText();
    model.updatesEnabled = updatesEnabled;
    model.canCheckForUpdates = canCheck;
    return model;
}

void TrayMenu::populate(QMenu *menu, const TrayMenuModel &model, const TrayMenuActions &actions)
{
    // Deletes the previous build's actions and widgets.
    menu->clear();

    if (!model.watchStatus.isWatching()) {
        auto *block = new QWidgetAction(menu);
        block->setObjectName(QStringLiteral("menuBar.notWatchingBlock"));
        block->setDefaultWidget(
            warningBlock(menu, model.watchStatus.message, actions.openSettings));
        menu->addAction(block);
        menu->addSeparator();
    }
    if (!model.rebuildProgress.isEmpty()) {
        QAction *progress
            = addItem(menu, model.rebuildProgress, QStringLiteral("menuBar.rebuildProgress"), {});
        progress->setEnabled(false);
    }
    if (!model.backlogProgress.isEmpty()) {
        QAction *progress
            = addItem(menu, model.backlogProgress, QStringLiteral("menuBar.backlogProgress"), {});
        progress->setEnabled(false);
        addItem(menu, QStringLiteral("Stop Adding Screenshots"),
            QStringLiteral("menuBar.cancelBacklog"), actions.cancelBacklogImport);
    }
    if (model.waitingCaptures > 0) {
        addItem(menu, QStringLiteral("Show Waiting Screenshots (%1)").arg(model.waitingCaptures),
            QStringLiteral("menuBar.showWaiting"), actions.showWaitingCaptures);
    }
    if (!model.rebuildProgress.isEmpty() || !model.backlogProgress.isEmpty()
        || model.waitingCaptures > 0)
        menu->addSeparator();

    const auto keys = [&model](const char *sequence) {
        return model.shortcuts ? QKeySequence(QString::fromLatin1(sequence)) : QKeySequence();
    };
    addItem(menu, QStringLiteral("Open Library"), QStringLiteral("menuBar.openLibrary"),
        actions.openLibrary, keys("Ctrl+Alt+L"));
    addItem(menu, QStringLiteral("Settings…"), QStringLiteral("menuBar.settings"),
        actions.openSettings);
    if (model.updatesEnabled) {
        QAction *check = addItem(menu, QStringLiteral("Check for Updates…"),
            QStringLiteral("menuBar.checkForUpdates"), actions.checkForUpdates);
        check->setEnabled(model.canCheckForUpdates);
    }
    menu->addSeparator();
    addItem(menu, QStringLiteral("Quit Marlox"), QStringLiteral("menuBar.quit"), actions.quit,
        keys("Ctrl+Q"));
}

TrayMenu::TrayMenu(AppState *state, TrayMenuActions actions, QObject *parent)
    : QObject(parent),
      m_state(state),
      m_actions(std::move(actions)),
      m_menu(new QMenu(QStringLiteral("Marlox")))
{
    m_menu->setObjectName(QStringLiteral("menuBar.menu"));
    connect(m_menu, &QMenu::aboutToShow, this, &TrayMenu::rebuild);
    if (state) {
        for (auto signal : { &AppState::watchStatusChanged, &AppState::promptQueueChanged,
                 &AppState::rebuildProgressChanged })
            connect(state, signal, this, &TrayMenu::scheduleRebuild);
        connect(&state->backlogImport(), &BacklogImport::changed, this, &TrayMenu::scheduleRebuild);
        if (!m_actions.cancelBacklogImport)
            m_actions.cancelBacklogImport = [weak = m_state] {
                if (weak)
                    weak->backlogImport().cancel();
            };
    }
    rebuild();
}

TrayMenu::~TrayMenu()
{
    delete m_menu;
}

void TrayMenu::setUpdatesEnabled(std::function<bool()> enabled, std::function<bool()> canCheck)
{
    m_updatesEnabled = std::move(enabled);
    m_canCheck = std::move(canCheck);
    rebuild();
}

void TrayMenu::setShortcutsEnabled(bool enabled)
{
    m_shortcuts = enabled;
    rebuild();
}

void TrayMenu::rebuild()
{
    if (!m_state)
        return;
    const bool updates = m_updatesEnabled && m_updatesEnabled();
    const bool canCheck = !m_canCheck || m_canCheck();
    TrayMenuModel model = TrayMenuModel::from(*m_state, updates, canCheck);
    model.shortcuts = m_shortcuts;
    populate(m_menu, model, m_actions);
}

void TrayMenu::scheduleRebuild()
{
    // Later, never under an item's own trigger, which the rebuild deletes.
    if (m_rebuildPending)
        return;
    m_rebuildPending = true;
    QTimer::singleShot(0, this, [this] {
        m_rebuildPending = false;
        rebuild();
    });
}

} // namespace marlox
