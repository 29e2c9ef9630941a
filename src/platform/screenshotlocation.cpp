#include "platform/screenshotlocation.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace marlox::ScreenshotLocation {

QString systemScreenshotFolder()
{
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    for (const QString &candidate : { pictures + QStringLiteral("/Screenshots"), pictures }) {
        if (!pictures.isEmpty() && QFileInfo(candidate).isDir())
            return QDir::cleanPath(candidate);
    }
    const QString desktop = QDir::homePath() + QStringLiteral("/Desktop");
    return QFileInfo(desktop).isDir() ? desktop : QDir::homePath();
}

} // namespace marlox::ScreenshotLocation
