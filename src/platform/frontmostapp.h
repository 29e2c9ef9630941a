#pragma once

#include <memory>
#include <optional>

#include <QString>
#include <QStringList>

namespace marlox {

// The application in front of the user, where the desktop can tell.
class FrontmostApplication
{
public:
    struct Info
    {
        QString name; // localized name; may be empty
        QString identifier; // desktop id or WM_CLASS
    };
    virtual ~FrontmostApplication() = default;
    virtual std::optional<Info> frontmost() = 0;
};

// The active X11 window's application: _NET_ACTIVE_WINDOW, its WM_CLASS, then
// the Name= of the matching desktop entry. Answers none for native Wayland
// clients and offscreen, for Marlox's own windows and for the screenshot tools.
class X11FrontmostApplication : public FrontmostApplication
{
public:
    std::optional<Info> frontmost() override;

    // The application for a WM_CLASS (instance, class), looked up in the
    // "applications" folders of the given data directories; none when excluded.
    static std::optional<Info> fromWindowClass(
        const QString &instance, const QString &windowClass, const QStringList &applicationDirs);
    // Marlox itself or a screenshot tool, by desktop id or WM_CLASS part.
    static bool isExcluded(const QString &identifier);
};

} // namespace marlox
