#pragma once

#include <optional>

#include <QString>

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

} // namespace marlox
