#pragma once

#include <QImage>
#include <QList>

#include "storage/screenshotcode.h"

namespace marlox {

// Finds the QR codes and barcodes in a screenshot. Any thread; never throws
// (a failure is logged and reads as no codes).
namespace CodeReader {

QList<ScreenshotCode> read(const QImage &image);

} // namespace CodeReader
} // namespace marlox
