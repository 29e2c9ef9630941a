#include "shell/traypresence.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QSystemTrayIcon>
#include <QTimer>

namespace marlox {

TrayProbe TrayProbe::system()
{
    TrayProbe probe;
    probe.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    probe.watcherRegistered = []() -> std::optional<bool> {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            return std::nullopt;
        // What QDBusConnectionInterface::isServiceRegistered asks, with a
        // timeout short enough for a start-up on the GUI thread.
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
            QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
            QStringLiteral("NameHasOwner"));
        call << QStringLiteral("org.kde.StatusNotifierWatcher");
        const QDBusMessage reply = bus.call(call, QDBus::Block, 1000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return std::nullopt;
        return reply.arguments().constFirst().toBool();
    };
    return probe;
}

TrayPresence::Step TrayPresence::next(
    bool trayAvailable, std::optional<bool> watcherRegistered, bool attemptsLeft)
{
    if (trayAvailable)
        return Step::showTray;
    if (watcherRegistered == false || !attemptsLeft)
        return Step::showFallback;
    return Step::waitAgain;
}

TrayWait::TrayWait(TrayProbe probe, int intervalMs, int attempts, QObject *parent)
    : QObject(parent), m_probe(std::move(probe)), m_intervalMs(intervalMs), m_attemptsLeft(attempts)
{ }

void TrayWait::start(std::function<void()> showTray, std::function<void()> showFallback)
{
    m_showTray = std::move(showTray);
    m_showFallback = std::move(showFallback);
    check();
}

void TrayWait::check()
{
    const bool available = m_probe.trayAvailable && m_probe.trayAvailable();
    // Once the fallback is up only a tray's arrival matters.
    const std::optional<bool> watcher = m_fallbackShown || available || !m_probe.watcherRegistered
        ? std::nullopt
        : m_probe.watcherRegistered();
    const bool attemptsLeft = m_attemptsLeft > 0;
    switch (TrayPresence::next(available, watcher, attemptsLeft)) {
    case TrayPresence::Step::showTray:
        if (m_showTray)
            m_showTray();
        return;
    case TrayPresence::Step::showFallback:
        if (!m_fallbackShown) {
            m_fallbackShown = true;
            if (m_showFallback)
                m_showFallback();
        }
        break;
    case TrayPresence::Step::waitAgain:
        break;
    }
    if (!attemptsLeft)
        return;
    --m_attemptsLeft;
    QTimer::singleShot(m_intervalMs, this, &TrayWait::check);
}

} // namespace marlox
