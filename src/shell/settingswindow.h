#pragma once

#include <functional>

#include <QWidget>

class QCheckBox;
class QGridLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace marlox {

class AppSettings;
class BacklogOffer;
class LoginItemController;
class UpdateController;

// "Marlox Settings": auto-save, launch at login, updates, the two folders and
// the text recognition languages. Everything follows the app live.
class SettingsWindow : public QWidget
{
    Q_OBJECT

public:
    SettingsWindow(AppSettings &settings, UpdateController &updates,
        std::function<void()> showWelcome, QWidget *parent = nullptr);

    LoginItemController *loginItem() const { return m_loginItem; }

    // Looks for installed recognition languages again (also on every show).
    void refreshInstalledLanguages();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void update();
    QWidget *textRecognitionSection();
    void updateTextRecognition();
    void toggleLanguage(const QString &code, bool on);
    // The chosen languages that are installed, English first.
    QStringList usableLanguages() const;
    QWidget *folderRow(const QString &label, const QString &identifier, QLabel **pathLabel,
        std::function<void()> change);

    AppSettings &m_settings;
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
    BacklogOffer *m_backlogOffer;

    QStringList m_installedLanguages;
    QList<QCheckBox *> m_languageBoxes;
    QGridLayout *m_languageGrid;
    QScrollArea *m_languageList;
    QLabel *m_languageLimit;
    QLabel *m_onlyEnglish;
    QPushButton *m_recogniseAgain;
    QPushButton *m_cancelRecognition;
    QProgressBar *m_recognitionBar;
    QLabel *m_recognitionStatus;
};

} // namespace marlox
