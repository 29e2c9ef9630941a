#pragma once

#include <QFont>

namespace marlox {

// The base font at `factor` times its size, whether that is set in points or
// in pixels.
QFont scaledFont(const QFont &base, qreal factor, bool bold = false);

} // namespace marlox
