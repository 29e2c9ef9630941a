#include "platform/sleepwatch.h"

#include <QDBusConnection>
#include <QDBusError>

#include "platform/log.h"

namespace marlox {

SleepWatcher::SleepWatcher(QObject *parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    m_listening = bus.connect(QStringLiteral("org.freedesktop.login1"),
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForSleep"), this, SLOT(handlePrepareForSleep(bool)));
    if (!m_listening)
        qCWarning(
            lcPlatform, "Can't listen for wake-ups: %s", qUtf8Printable(bus.lastError().message()));
}

void SleepWatcher::handlePrepareForSleep(bool sleeping)
{
    if (!sleeping)
        Q_EMIT woke();
}

} // namespace marlox
