#pragma once

#include <QString>

namespace marlox::FileMoves {

// Moves the file (or, within one file system, the directory) at `from` to
// `to` and never replaces anything already at `to` (EEXIST). Across file
// systems a file is copied into the destination folder, flushed, linked into
// place and only then removed at the source; a failure before the link leaves
// the source untouched and no partial copy. Throws FileError.
void moveFile(const QString &from, const QString &to);

} // namespace marlox::FileMoves
