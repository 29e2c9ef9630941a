#pragma once

#include <QString>

namespace marlox {

// Asks the file manager to show the file selected; when no file manager
// answers on the session bus, opens the folder that holds it instead.
void showInFileManager(const QString &path);

} // namespace marlox
