#pragma once

#include <QString>

namespace marlox {

// The home directory from the user account record (getpwuid), or Qt's home
// path when the record has none. $HOME is deliberately not consulted first.
QString realHomeDirectory();

} // namespace marlox
