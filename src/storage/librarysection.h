#pragma once

#include <QHashFunctions>
#include <QString>

namespace marlox {

// The folder captures go to unless the user picks another.
inline const QString generalFolder = QStringLiteral("General");

// Which part of the library a list or a search covers.
struct LibrarySection
{
    enum class Kind { all, inbox, folder };

    Kind kind = Kind::all;
    QString folderName; // only for Kind::folder

    static LibrarySection all() { return {}; }
    static LibrarySection inbox() { return { Kind::inbox, {} }; }
    static LibrarySection folder(const QString &name) { return { Kind::folder, name }; }

    bool operator==(const LibrarySection &other) const = default;
};

inline size_t qHash(const LibrarySection &section, size_t seed = 0) noexcept
{
    return qHashMulti(seed, static_cast<int>(section.kind), section.folderName);
}

} // namespace marlox
