#include "app/appstate.h"

// PROVISIONAL: replaced by the capture pipeline's owner.
namespace marlox {

void AppState::handleDetection(const Detection &)
{
    m_lastDetectionAt = QDateTime::currentDateTime();
    Q_EMIT lastDetectionAtChanged();
}

QString AppState::defaultTitle(const std::optional<QString> &appName, const QDateTime &createdAt)
{
    return appName.value_or(QStringLiteral("Screenshot")) + QLatin1Char(' ')
        + createdAt.toString(QStringLiteral("yyyy-MM-dd 'at' h.mm AP"));
}

} // namespace marlox
