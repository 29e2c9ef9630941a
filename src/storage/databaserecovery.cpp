#include "storage/databaserecovery.h"

#include <cerrno>
#include <cstdio>

#include <QFileInfo>
#include <QLocale>

namespace marlox::DatabaseRecovery {

namespace {
bool exists(const QString &path)
{
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}
} // namespace

QString stamp(const QDateTime &now)
{
    return QLocale::c().toString(now, QStringLiteral("yyyyMMdd-HHmmss"));
}

std::optional<QString> moveAside(const QString &path, const QString &stamp)
{
    QString base = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; exists(base); ++n)
        base = path + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);

    std::optional<QString> moved;
    for (const QString &suffix : { QString(), QStringLiteral("-wal"), QStringLiteral("-shm") }) {
        const QString from = path + suffix;
        if (!exists(from))
            continue;
        const QString to = base + suffix;
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData())
            != 0)
            throw FileError(errno, from, QStringLiteral("move aside"));
        if (suffix.isEmpty())
            moved = to;
    }
    return moved;
}

Opened open(const QString &path, const QDateTime &now)
{
    try {
        return { std::make_unique<ScreenshotDatabase>(path), std::nullopt, std::nullopt };
    } catch (const SQLiteError &first) {
        const QString original = first.description();
        auto movedTo = moveAside(path, stamp(now));
        auto database = std::make_unique<ScreenshotDatabase>(path);
        return { std::move(database), movedTo, original };
    }
}

} // namespace marlox::DatabaseRecovery
