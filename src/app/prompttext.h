#pragma once

#include <exception>
#include <optional>

#include <QDateTime>
#include <QString>

namespace marlox {

// What a capture is called until the user names it: the app it was taken in
// (or "Screenshot") and the time it was taken.
QString defaultTitle(const std::optional<QString> &appName, const QDateTime &createdAt);

// The line the prompt shows under a save that failed, in the user's words.
QString errorText(const std::exception &error);

} // namespace marlox
