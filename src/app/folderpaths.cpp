#include "app/folderpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

namespace marlox::FolderPaths {

FolderRelation relation(const QString &a, const QString &b)
{
    // Links resolved: a screenshot folder that is a link into the library is
    // inside it. The part of a path that does not exist yet stays as written.
    const auto resolved = [](const QString &path) {
        QString existing = QDir::cleanPath(path);
        QStringList missing;
        for (;;) {
            const QString canonical = QFileInfo(existing).canonicalFilePath();
            if (!canonical.isEmpty()) {
                missing.prepend(canonical);
                return QDir::cleanPath(missing.join(QLatin1Char('/')));
            }
            const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
            if (slash < 0 || existing == QLatin1String("/"))
                return QDir::cleanPath(path);
            missing.prepend(existing.mid(slash + 1));
            existing = slash == 0 ? QStringLiteral("/") : existing.left(slash);
        }
    };
    const QString pa = resolved(a);
    const QString pb = resolved(b);
    if (pa == pb)
        return FolderRelation::same;
    const QString prefix = pa.endsWith(QLatin1Char('/')) ? pa : pa + QLatin1Char('/');
    if (pb.startsWith(prefix))
        return FolderRelation::inside;
    return FolderRelation::separate;
}

QString defaultLibraryParent()
{
    // The user's own Pictures folder (xdg-user-dirs), localised name and all.
    return QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
}

} // namespace marlox::FolderPaths
