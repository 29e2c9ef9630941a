#pragma once

#include <QSet>
#include <QString>

#include "storage/screenshotdatabase.h"

namespace marlox::test {

// Fails the calling test unless every row names an existing file and no two
// rows name the same one, and, when root is given, every regular file below
// root has a row. Answers the paths the rows name; messages start with context.
QSet<QString> verifyRowsOnTheirFiles(
    ScreenshotDatabase &database, const QString &root = {}, const QString &context = {});

} // namespace marlox::test
