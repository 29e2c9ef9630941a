#pragma once

#include <cstdint>
#include <optional>

#include <QString>

class QWindow;

namespace marlox::X11 {

// Every raw X11 request Marlox makes goes through here, so a Qt without the
// xcb plugin, or a build without the xcb headers, only loses these answers.
// Each call does nothing (or answers "no") unless the application runs on
// Qt's xcb platform, which includes XWayland.

bool isSession();

// A compositing manager owns the screen, so translucent windows are drawn
// translucent rather than black.
bool compositorRunning();

// Asks the window manager to put the window on the workspace the user is
// looking at, instead of switching the user to the window's workspace.
void moveToCurrentWorkspace(QWindow *window);

// Asks the window manager to keep the window on every workspace: properties
// for a window not yet mapped, client messages for one that is.
void showOnAllWorkspaces(QWindow *window, bool mapped);

// The window in front, as the window manager reports it.
struct ActiveWindow
{
    std::uint32_t pid = 0; // 0 when the window does not say
    QString instance; // WM_CLASS, both halves
    QString windowClass;
};
std::optional<ActiveWindow> activeWindow();

} // namespace marlox::X11
