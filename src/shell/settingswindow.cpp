#include "shell/settingswindow.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/appstate.h"
#include "app/loginitemcontroller.h"
#include "app/updatecontroller.h"
#include "shell/appicons.h"
#include "shell/launchatlogintoggle.h"
#include "shell/uitext.h"

namespace marlox {

SettingsWindow::SettingsWindow(
    AppState &state, UpdateController &updates, std::function<void()> showWelcome, QWidget *parent)
    : QWidget(parent),
      m_state(state),
      m_updates(updates),
      m_loginItem(new LoginItemController(this))
{
    setObjectName(QStringLiteral("settings"));
    setWindowTitle(QStringLiteral("Marlox Settings"));
    setWindowIcon(AppIcons::application());
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(8);
    setFixedWidth(460);

    // General
    layout->addWidget(UiText::headline(QStringLiteral("General"), this));
    m_autoSave
        = new QCheckBox(QStringLiteral("Save every screenshot to General without asking"), this);
    m_autoSave->setObjectName(QStringLiteral("settings.autoSave"));
    connect(m_autoSave, &QCheckBox::clicked, &state, &AppState::setAutoSaveEnabled);
    layout->addWidget(m_autoSave);
    m_autoSaveExplanation = UiText::caption(QString(), this);
    layout->addWidget(m_autoSaveExplanation);
    layout->addWidget(new LaunchAtLoginToggle(m_loginItem, this));
    if (updates.isEnabled()) {
        m_autoUpdate = new QCheckBox(QStringLiteral("Automatically check for updates"), this);
        m_autoUpdate->setObjectName(QStringLiteral("settings.autoUpdate"));
        connect(m_autoUpdate, &QCheckBox::clicked, &updates,
            &UpdateController::setAutomaticallyChecksForUpdates);
        connect(&updates, &UpdateController::automaticallyChecksForUpdatesChanged, this,
            &SettingsWindow::update);
        layout->addWidget(m_autoUpdate);
    }
    auto *welcome = new QPushButton(QStringLiteral("Show Welcome…"), this);
    welcome->setObjectName(QStringLiteral("settings.showWelcome"));
    connect(welcome, &QPushButton::clicked, this, [showWelcome] {
        if (showWelcome)
            showWelcome();
    });
    layout->addWidget(welcome, 0, Qt::AlignLeft);
    layout->addSpacing(12);

    // Folders
    layout->addWidget(UiText::headline(QStringLiteral("Folders"), this));
    m_watchStatus = UiText::body(QString(), this);
    m_watchStatus->setObjectName(QStringLiteral("settings.watchStatus"));
    layout->addWidget(m_watchStatus);
    QPointer<AppState> weak(&state);
    m_screenshotRow = folderRow(QStringLiteral("Screenshot folder"),
        QStringLiteral("settings.screenshotFolder"), &m_screenshotPath, [weak] {
            if (weak)
                weak->chooseScreenshotFolder();
        });
    layout->addWidget(m_screenshotRow);
    m_systemLocation = UiText::caption(QString(), this);
    layout->addWidget(m_systemLocation);
    m_useSystem = new QPushButton(this);
    m_useSystem->setObjectName(QStringLiteral("settings.useSystemScreenshotFolder"));
    connect(
        m_useSystem, &QPushButton::clicked, this,
        [weak] {
            if (weak)
                weak->chooseScreenshotFolder(
                    std::nullopt, weak->macOSScreenshotFolderIfDifferent());
        },
        Qt::QueuedConnection);
    layout->addWidget(m_useSystem, 0, Qt::AlignLeft);
    auto *line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);
    layout->addWidget(UiText::caption(
        QStringLiteral(
            "The library folder is where Marlox keeps the screenshots you save, organized "
            "into one subfolder per Marlox folder (General, etc.). It should be a folder you "
            "own, like ~/Pictures/Marlox — not your screenshot folder."),
        this));
    m_libraryRow = folderRow(QStringLiteral("Library folder"),
        QStringLiteral("settings.libraryFolder"), &m_libraryPath, [weak] {
            if (weak)
                weak->chooseLibraryRoot();
        });
    layout->addWidget(m_libraryRow);
    auto *create = new QPushButton(QStringLiteral("Create Library Folder…"), this);
    create->setObjectName(QStringLiteral("settings.createLibraryFolder"));
    connect(
        create, &QPushButton::clicked, this,
        [weak] {
            if (weak)
                weak->createLibraryRoot();
        },
        Qt::QueuedConnection);
    layout->addWidget(create, 0, Qt::AlignLeft);
    layout->addWidget(UiText::caption(
        QStringLiteral(
            "Changing this doesn't move screenshots you've already saved — they stay where "
            "they are. Only new saves use the new folder."),
        this));
    layout->addStretch(1);

    for (auto signal : { &AppState::autoSaveEnabledChanged, &AppState::watchStatusChanged,
             &AppState::screenshotFolderChanged, &AppState::libraryRootChanged,
             &AppState::macOSScreenshotFolderIfDifferentChanged })
        connect(&state, signal, this, &SettingsWindow::update);
    update();
}

QWidget *SettingsWindow::folderRow(const QString &label, const QString &identifier,
    QLabel **pathLabel, std::function<void()> change)
{
    auto *row = new QWidget(this);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *column = new QWidget(row);
    column->setObjectName(identifier);
    auto *columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(3);
    columnLayout->addWidget(UiText::caption(label, column));
    *pathLabel = UiText::body(QString(), column);
    (*pathLabel)->setWordWrap(false);
    (*pathLabel)->setProperty("marloxLabel", label);
    columnLayout->addWidget(*pathLabel);
    layout->addWidget(column, 1);
    auto *button = new QPushButton(QStringLiteral("Change…"), row);
    button->setObjectName(identifier + QStringLiteral(".change"));
    button->setAccessibleName(QStringLiteral("Change ") + label);
    connect(button, &QPushButton::clicked, this, std::move(change), Qt::QueuedConnection);
    layout->addWidget(button);
    return row;
}

void SettingsWindow::update()
{
    const bool autoSave = m_state.autoSaveEnabled();
    m_autoSave->setChecked(autoSave);
    m_autoSaveExplanation->setText(autoSave
            ? QStringLiteral("Every new screenshot is moved to the General folder with its "
                             "default name (app and time). No prompt is shown.")
            : QStringLiteral("After every screenshot, a prompt lets you name it and choose a "
                             "folder."));
    if (m_autoUpdate)
        m_autoUpdate->setChecked(m_updates.automaticallyChecksForUpdates());

    const WatchStatus status = m_state.watchStatus();
    if (status.isWatching()) {
        m_watchStatus->setText(QStringLiteral("Watching ") + AppState::displayPath(status.folder));
        UiText::makeSecondary(m_watchStatus);
    } else {
        m_watchStatus->setText(QStringLiteral("Not watching: ") + status.message);
        UiText::makeError(m_watchStatus);
    }

    const auto showFolder = [](QWidget *row, QLabel *path, const QString &folder) {
        const QString shown
            = folder.isEmpty() ? QStringLiteral("Not set") : AppState::displayPath(folder);
        // Long paths keep their end in view.
        path->setText(path->fontMetrics().elidedText(shown, Qt::ElideLeft, 320));
        path->setToolTip(shown);
        QWidget *column = row->findChild<QWidget *>(path->parentWidget()->objectName());
        column->setAccessibleName(
            path->property("marloxLabel").toString() + QStringLiteral(", ") + shown);
    };
    showFolder(m_screenshotRow, m_screenshotPath, m_state.screenshotFolder());
    showFolder(m_libraryRow, m_libraryPath, m_state.libraryRoot());

    m_systemLocation->setText(QStringLiteral("Your screenshot tool saves to ")
        + AppState::displayPath(AppState::systemScreenshotFolder()));
    const QString different = m_state.macOSScreenshotFolderIfDifferent();
    m_useSystem->setVisible(!different.isEmpty());
    m_useSystem->setText(QStringLiteral("Use ") + AppState::displayPath(different));
}

} // namespace marlox
