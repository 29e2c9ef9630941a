#include "detection/detection.h"

#include <QStringList>

namespace marlox {

QString lossName(Loss loss)
{
    switch (loss) {
    case Loss::deleted:
        return QStringLiteral("deleted");
    case Loss::renamed:
        return QStringLiteral("renamed");
    case Loss::revoked:
        return QStringLiteral("revoked");
    case Loss::unreadable:
        return QStringLiteral("unreadable");
    }
    return {};
}

bool isScreenshotExtension(const QString &suffix)
{
    static const QStringList extensions
        = { QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg"),
              QStringLiteral("heic"), QStringLiteral("tiff"), QStringLiteral("gif") };
    return extensions.contains(suffix.toLower());
}

} // namespace marlox
