#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include "support/lazyindex.h"
#include "support/testfiles.h"

namespace marlox::test {

// A library folder ("Library") and an index, in a temporary folder of their own.
struct TempLibrary
{
    TempLibrary() { QDir().mkpath(root); }

    // Writes bytes to root/relative (which may lead out of it with ".."),
    // creating folders; answers the clean absolute path.
    QString put(const QString &relative, const QByteArray &bytes) const
    {
        const QString path = QDir::cleanPath(QDir(root).filePath(relative));
        writeFile(path, bytes);
        return path;
    }

    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("Library"));
    LazyIndex db;
};

} // namespace marlox::test
