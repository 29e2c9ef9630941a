#pragma once

#include <QString>
#include <QStringList>

namespace marlox::SessionPlatform {

// Set to 1 to let Marlox run as a native Wayland client.
inline constexpr char nativeWaylandVariable[] = "MARLOX_NATIVE_WAYLAND";

// What decides the display platform: the session's variables and the
// user's own choices.
struct Environment
{
    QString sessionType; // XDG_SESSION_TYPE
    QString waylandDisplay; // WAYLAND_DISPLAY
    QString display; // DISPLAY
    QString qpaPlatform; // QT_QPA_PLATFORM
    QString nativeWayland; // MARLOX_NATIVE_WAYLAND
    QStringList arguments; // the command line
};

Environment fromProcess(int argc, char **argv);

// The Qt platform to ask for, or empty to leave the choice to Qt. In a
// Wayland session with an X server at hand, XWayland: there Marlox places
// its prompt and toast itself, keeps them above other windows and on every
// workspace, and can name the application in front.
QString chosenPlatform(const Environment &environment);

} // namespace marlox::SessionPlatform
