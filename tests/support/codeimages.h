#pragma once

#include <QImage>
#include <QRect>
#include <QString>

namespace marlox::test {

// A QR code of `text`, black on white, `module` pixels a module, with the
// usual four-module quiet zone around it.
QImage qrCode(const QString &text, int module = 4);

// A light screenshot with a heading and a line of text, and the QR code of
// `text` drawn at `at` (top left of its quiet zone). `symbol` is set to
// where the code's modules are, without the quiet zone.
QImage screenshotWithCode(
    const QString &text, QPoint at, QRect *symbol = nullptr, QSize size = QSize(900, 600));

} // namespace marlox::test
