#pragma once

#include <optional>

#include <QByteArray>
#include <QString>

namespace marlox::ContentHash {

// SHA-256 of all the bytes as 64 lower-case hexadecimal digits.
QString ofData(const QByteArray &data);
// The same over a file's complete bytes, read in chunks; none when it cannot be read.
std::optional<QString> ofFile(const QString &path);

} // namespace marlox::ContentHash
