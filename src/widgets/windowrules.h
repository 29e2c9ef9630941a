#pragma once

#include <functional>

#include <QHash>
#include <QMenu>
#include <QMenuBar>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

namespace marlox {

namespace WindowRules {

// Brings a window in front of the user's current work: restores it when
// minimised, moves it to the current workspace where the window manager
// allows, raises it and gives it the focus.
void bringForward(QWidget *window);

} // namespace WindowRules

// The application's single-instance windows by identifier ("library",
// "settings"). Opening one that is open brings it forward instead of making
// a second; closed windows are made anew next time.
class WindowManager : public QObject
{
    Q_OBJECT

public:
    using Factory = std::function<QWidget *()>;

    static inline const QString library = QStringLiteral("library");
    static inline const QString settings = QStringLiteral("settings");

    explicit WindowManager(QObject *parent = nullptr);
    ~WindowManager() override;

    // The hook that makes the window for an identifier. Without one, opening
    // the identifier only logs.
    void setFactory(const QString &identifier, Factory factory);
    bool hasFactory(const QString &identifier) const { return m_factories.contains(identifier); }
    // The open window for an identifier, if any.
    QWidget *window(const QString &identifier) const;
    enum class Raise { yes, no };
    // Creates or reuses the window, then raises it on the next turn of the
    // event loop, once the window manager knows it. Raise::no shows it
    // without taking the focus from the window the user is in.
    QWidget *openWindow(const QString &identifier, Raise raise = Raise::yes);
    void openLibrary() { openWindow(library); }
    void openSettings() { openWindow(settings); }

    // The onboarding window slot: what the shell calls after start-up and
    // what "Show Welcome…" calls. Its content lives with the onboarding.
    void setOnboardingPresenter(std::function<void()> showIfNeeded, std::function<void()> present);
    void showOnboardingIfNeeded();
    void presentOnboarding();

    // Without a system tray the library window carries the menu instead,
    // so the user is never left with no window and no tray: closing it then
    // only minimises it, except when the application quits.
    void setFallbackMenu(QMenu *menu);
    bool usesFallbackMenu() const { return m_fallbackMenu != nullptr; }
    QMenuBar *fallbackMenuBar() const { return m_fallbackBar; }

Q_SIGNALS:
    void windowOpened(const QString &identifier, QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void attachFallbackMenu(QWidget *window);

    QHash<QString, Factory> m_factories;
    QHash<QString, QPointer<QWidget>> m_windows;
    std::function<void()> m_onboardingIfNeeded;
    std::function<void()> m_onboardingPresent;
    QPointer<QMenu> m_fallbackMenu;
    QPointer<QMenuBar> m_fallbackBar;
    bool m_quitting = false;
};

} // namespace marlox
