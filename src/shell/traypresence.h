#pragma once

#include <functional>
#include <optional>

#include <QObject>

namespace marlox {

// What the desktop says about a tray for Marlox's icon.
struct TrayProbe
{
    // A tray can show the icon now.
    std::function<bool()> trayAvailable;
    // Whether a status-notifier watcher holds its name on the session bus;
    // none when the bus does not answer.
    std::function<std::optional<bool>()> watcherRegistered;

    static TrayProbe system();
};

namespace TrayPresence {

enum class Step { showTray, showFallback, waitAgain };

// With no watcher on a bus that answers, no tray host is on its way; a
// registered watcher or a silent bus may still be followed by a tray.
Step next(bool trayAvailable, std::optional<bool> watcherRegistered, bool attemptsLeft);

} // namespace TrayPresence

// Panels often start after the session's autostart programs: waits for a
// tray while one may still come, and calls back once with the outcome. A
// tray that turns up within the wait after the fallback was chosen is still
// reported.
class TrayWait : public QObject
{
    Q_OBJECT

public:
    TrayWait(TrayProbe probe, int intervalMs, int attempts, QObject *parent = nullptr);

    void start(std::function<void()> showTray, std::function<void()> showFallback);

private:
    void check();

    TrayProbe m_probe;
    int m_intervalMs;
    int m_attemptsLeft;
    bool m_fallbackShown = false;
    std::function<void()> m_showTray;
    std::function<void()> m_showFallback;
};

} // namespace marlox
