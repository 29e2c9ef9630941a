#include "app/loginitemcontroller.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include "platform/autostart.h"
#include "platform/errors.h"
#include "platform/log.h"
#include "storage/preferences.h"

namespace marlox {

namespace {
QString g_executableOverride;

LoginItemState fromStatus(Autostart::Status status)
{
    switch (status) {
    case Autostart::Status::enabled:
        return LoginItemState::enabled;
    case Autostart::Status::requiresApproval:
        return LoginItemState::requiresApproval;
    case Autostart::Status::disabled:
        return LoginItemState::disabled;
    case Autostart::Status::unavailable:
        return LoginItemState::unavailable;
    }
    return LoginItemState::unavailable;
}
} // namespace

LoginItemController::LoginItemController(QObject *parent) : QObject(parent)
{
    m_state = fromStatus(Autostart::status());
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state == Qt::ApplicationActive)
                    refresh();
            });
    }
}

void LoginItemController::setExecutableForTesting(const QString &path)
{
    g_executableOverride = path;
}

void LoginItemController::refresh()
{
    const LoginItemState state = fromStatus(Autostart::status());
    if (state == m_state)
        return;
    m_state = state;
    Q_EMIT stateChanged();
}

void LoginItemController::setEnabled(bool enabled)
{
    Preferences::setValue(Preferences::loginItemDefaultApplied, true);
    try {
        if (enabled) {
            Autostart::enable(g_executableOverride.isEmpty()
                    ? QCoreApplication::applicationFilePath()
                    : g_executableOverride);
        } else {
            Autostart::disable();
        }
        setErrorMessage(std::nullopt);
    } catch (const std::exception &e) {
        const QString description = describe(e);
        qCWarning(lcLoginItem, "Login item %s failed: %s", enabled ? "register" : "unregister",
            qUtf8Printable(description));
        setErrorMessage(QStringLiteral("Couldn't change this: ") + description);
    }
    refresh();
}

void LoginItemController::applyDefaultOnce()
{
    refresh();
    if (!Preferences::boolValue(Preferences::loginItemDefaultApplied, false)
        && m_state == LoginItemState::disabled) {
        setEnabled(true);
        return;
    }
    Preferences::setValue(Preferences::loginItemDefaultApplied, true);
}

void LoginItemController::setErrorMessage(const std::optional<QString> &message)
{
    if (message == m_errorMessage)
        return;
    m_errorMessage = message;
    Q_EMIT errorMessageChanged();
}

} // namespace marlox
