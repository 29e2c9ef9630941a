#pragma once

#include <QByteArray>
#include <QString>

namespace marlox {

// A file name or path fit for one log line: control characters (a newline
// would split the line) and, for raw names, bytes that are not UTF-8 are
// written as escapes.
QString escapedForLog(const QString &text);
QString escapedForLog(const QByteArray &raw);

} // namespace marlox
