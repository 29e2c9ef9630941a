#include "widgets/fonts.h"

#include <algorithm>
#include <cmath>

namespace marlox {

QFont scaledFont(const QFont &base, qreal factor, bool bold)
{
    QFont font = base;
    if (base.pointSizeF() > 0)
        font.setPointSizeF(base.pointSizeF() * factor);
    else
        font.setPixelSize(std::max(1, int(std::lround(base.pixelSize() * factor))));
    font.setBold(bold);
    return font;
}

} // namespace marlox
