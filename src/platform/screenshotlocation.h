#pragma once

#include <QString>

namespace marlox::ScreenshotLocation {

// Where the desktop's screenshot tool saves: the first existing directory of
// the desktop's own setting, the common tools' settings, Pictures/Screenshots,
// Pictures, and finally ~/Desktop or home.
QString systemScreenshotFolder();

} // namespace marlox::ScreenshotLocation
