#pragma once

#include <QString>

namespace marlox {

// The home directory from the user account record (getpwuid), or Qt's home
// path when the record has none. $HOME is deliberately not consulted first.
QString realHomeDirectory();

// "~" for the home directory and "~/…" below it, for showing a path.
QString displayPath(const QString &path);

} // namespace marlox
