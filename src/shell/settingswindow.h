#pragma once

#include <functional>

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace marlox {

class AppState;
class LoginItemController;
class UpdateController;

// "Marlox Settings": auto-save, launch at login, updates, and the two folders.
// Everything follows AppState live.
class SettingsWindow : public QWidget
{
    Q_OBJECT

public:
    SettingsWindow(AppState &state, UpdateController &updates, std::function<void()> showWelcome,
        QWidget *parent = nullptr);

    LoginItemController *loginItem() const { return m_loginItem; }

private:
    void update();
    QWidget *folderRow(const QString &label, const QString &identifier, QLabel **pathLabel,
        std::function<void()> change);

    AppState &m_state;
    UpdateController &m_updates;
    LoginItemController *m_loginItem;
    QCheckBox *m_autoSave;
    QLabel *m_autoSaveExplanation;
    QCheckBox *m_autoUpdate = nullptr;
    QLabel *m_watchStatus;
    QLabel *m_screenshotPath;
    QLabel *m_libraryPath;
    QLabel *m_systemLocation;
    QPushButton *m_useSystem;
    QWidget *m_screenshotRow;
    QWidget *m_libraryRow;
};

} // namespace marlox
