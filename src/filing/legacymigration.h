#pragma once

#include <QString>
#include <QStringList>

#include "storage/screenshotdatabase.h"

namespace marlox::LegacyMigration {

// Early versions filed into "Unfiled"; its place is now "General". Moves the
// items of libraryRoot/Unfiled into libraryRoot/General (" 2", " 3"… on a
// clash), follows them in the index, removes the emptied folder and renames
// the folder of every remaining record. Without an "Unfiled" directory only
// the index is renamed. Throws FileError or SQLiteError; what was moved before
// a failure stays moved, so running it again finishes the job.
void migrateUnfiledFolder(const QString &libraryRoot, ScreenshotDatabase &database);

// "Unfiled" becomes "General", later duplicates go, order is kept.
QStringList migrateRecentFolders(const QStringList &names);

} // namespace marlox::LegacyMigration
