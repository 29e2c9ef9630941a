#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

#include "storage/screenshotdatabase.h"

namespace marlox::test {

// The screenshots table as the first releases made it, before statuses.
inline const QByteArray firstSchema
    = "CREATE TABLE screenshots (id INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL "
      "UNIQUE, title TEXT NOT NULL DEFAULT '', folder TEXT NOT NULL DEFAULT '', created_at REAL "
      "NOT NULL, ocr_text TEXT NOT NULL DEFAULT '');";

// Runs sql on the index file at path straight through SQLite, behind the
// index's back; answers SQLite's result code.
int sqliteExec(const QString &path, const QByteArray &sql);

// Fails the calling test unless every row names an existing file and no two
// rows name the same one, and, when root is given, every regular file below
// root has a row. Answers the paths the rows name; messages start with context.
QSet<QString> verifyRowsOnTheirFiles(
    ScreenshotDatabase &database, const QString &root = {}, const QString &context = {});

} // namespace marlox::test
