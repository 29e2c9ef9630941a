#pragma once

#include <optional>

#include <QString>

namespace marlox {

// Moves a file to the Trash and answers where it went (absolute path), or
// none when the Trash did not say; throws FileError.
class FileTrashing
{
public:
    virtual ~FileTrashing() = default;
    virtual std::optional<QString> trash(const QString &path) = 0;
};

} // namespace marlox
