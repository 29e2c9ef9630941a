#pragma once

#include <QString>

namespace marlox {

// How two folder locations relate, by their standardized paths.
enum class FolderRelation { same, inside, separate };

namespace FolderPaths {

// Whether `b` is `a`, inside it, or elsewhere, with links resolved.
FolderRelation relation(const QString &a, const QString &b);
// Where a new library folder goes unless the user picks another place.
QString defaultLibraryParent();

} // namespace FolderPaths

} // namespace marlox
