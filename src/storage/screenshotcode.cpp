#include "storage/screenshotcode.h"

#include <QUrl>

namespace marlox {

bool ScreenshotCode::isSecretText(const QString &text)
{
    // The migration form carries every secret of an authenticator at once.
    const QString trimmed = text.trimmed();
    return trimmed.startsWith(QLatin1String("otpauth:"), Qt::CaseInsensitive)
        || trimmed.startsWith(QLatin1String("otpauth-migration:"), Qt::CaseInsensitive);
}

bool ScreenshotCode::isWebLink() const
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
        && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

} // namespace marlox
