#pragma once

#include <functional>

#include <QDateTime>
#include <QPointer>
#include <QWidget>

#include "shell/onboardingflow.h"

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace marlox {

class AppState;
class LoginItemController;

// The five-step guide: welcome, screenshot folder, library folder, a test
// screenshot, and launch at login. Also the repair guide when a folder went
// missing after the guide was finished once.
class OnboardingView : public QWidget
{
    Q_OBJECT

public:
    OnboardingView(AppState &state, bool isRepair, OnboardingStep firstStep,
        std::function<void()> onFinish, std::function<void()> openLibrary,
        QWidget *parent = nullptr);

    OnboardingStep step() const { return m_step; }
    bool isRepair() const { return m_isRepair; }
    void setStep(OnboardingStep step);
    // The welcome then says where the menu is instead of pointing at a tray.
    void setTrayAbsent(bool absent);
    void goBack();
    void goForward();

private:
    void render();
    void buildWelcome();
    void buildScreenshotFolder();
    void buildLibraryFolder();
    void buildTryIt();
    void buildDone();
    void buildFooter();
    bool isForwardBlocked() const;
    QPushButton *button(const QString &text, const QString &name, std::function<void()> action);

    AppState &m_state;
    bool m_isRepair;
    OnboardingStep m_step;
    QDateTime m_tryItStartedAt;
    std::function<void()> m_onFinish;
    std::function<void()> m_openLibrary;
    LoginItemController *m_loginItem;
    QVBoxLayout *m_content;
    QWidget *m_page = nullptr;
    bool m_trayAbsent = false;
};

// Keeps at most one onboarding window.
class OnboardingWindowController
{
public:
    // Presents the guide when a folder is missing or it was never finished.
    static void showIfNeeded(AppState &state, std::function<void()> openLibrary);
    // Presents it unconditionally ("Show Welcome…").
    static void present(AppState &state, std::function<void()> openLibrary);
    static QWidget *window();
    // For the guide open now and any shown later.
    static void setTrayAbsent(bool absent);
};

} // namespace marlox
