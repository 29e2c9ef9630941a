#pragma once

#include <functional>
#include <optional>

#include <QObject>
#include <QString>

namespace marlox {

enum class LoginItemState { enabled, requiresApproval, disabled, unavailable };

// Launch at login for one view (settings, onboarding): its state follows the
// desktop's autostart entry, refreshed on creation, after every change and
// whenever the application becomes active.
class LoginItemController : public QObject
{
    Q_OBJECT

public:
    explicit LoginItemController(QObject *parent = nullptr);

    LoginItemState state() const { return m_state; }
    QString errorMessage() const { return m_errorMessage.value_or(QString()); }
    bool hasError() const { return m_errorMessage.has_value(); }
    bool isOn() const
    {
        return m_state == LoginItemState::enabled || m_state == LoginItemState::requiresApproval;
    }

    void refresh();
    void setEnabled(bool enabled);
    void applyDefaultOnce();

    // The program the autostart entry starts (the running binary by default).
    static void setExecutableForTesting(const QString &path);

Q_SIGNALS:
    void stateChanged();
    void errorMessageChanged();

private:
    void setErrorMessage(const std::optional<QString> &message);

    LoginItemState m_state = LoginItemState::disabled;
    std::optional<QString> m_errorMessage;
};

} // namespace marlox
