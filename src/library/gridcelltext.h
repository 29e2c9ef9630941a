#pragma once

#include <QFont>
#include <QStringList>

#include "storage/screenshotrecord.h"

namespace marlox::GridCellText {

constexpr int maxTitleLines = 2;

// The title broken at word boundaries into at most two lines of `width`
// pixels, the last one elided when the title goes on.
QStringList titleLines(const QString &title, const QFont &font, int width);

// What hovering a cell tells: the whole title, where it is filed and when it
// was taken.
QString toolTip(const ScreenshotRecord &record);

} // namespace marlox::GridCellText
