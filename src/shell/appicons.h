#pragma once

#include <QIcon>

namespace marlox::AppIcons {

// The application icon and the tray's symbolic icon, from the built-in
// resources (loaded once; safe to call from tests).
QIcon application();
QIcon tray();

} // namespace marlox::AppIcons
