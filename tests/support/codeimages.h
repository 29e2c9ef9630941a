#pragma once

#include <QImage>
#include <QRect>

namespace marlox::test {

// A light screenshot with two lines of text and, at `at`, the QR code of
// `text` (4 pixels a module, in a 4-module white margin). `symbol` is set to
// where its modules are.
QImage screenshotWithCode(const QString &text, QPoint at, QRect *symbol = nullptr);

} // namespace marlox::test
