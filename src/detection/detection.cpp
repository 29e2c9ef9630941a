#include "detection/detection.h"

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

} // namespace marlox
