#include "library/griddragdata.h"

#include <QFile>
#include <QImageReader>
#include <QUrl>

#include "app/appstate.h"
#include "platform/log.h"

namespace marlox {

ScreenshotDragData::ScreenshotDragData(const QString &path) : m_path(path)
{
    setUrls({ QUrl::fromLocalFile(path) });
    // The header names the format; the MIME database may not be installed.
    const QByteArray format = QImageReader::imageFormat(path);
    if (!format.isEmpty())
        m_imageType = QStringLiteral("image/") + QString::fromLatin1(format);
}

QStringList ScreenshotDragData::formats() const
{
    QStringList list = QMimeData::formats();
    if (!m_imageType.isEmpty())
        list.append(m_imageType);
    return list;
}

bool ScreenshotDragData::hasFormat(const QString &mimeType) const
{
    return (!m_imageType.isEmpty() && mimeType == m_imageType) || QMimeData::hasFormat(mimeType);
}

QVariant ScreenshotDragData::retrieveData(const QString &mimeType, QMetaType type) const
{
    if (m_imageType.isEmpty() || mimeType != m_imageType)
        return QMimeData::retrieveData(mimeType, type);
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcShell, "Dragged screenshot %s could not be read: %s", qUtf8Printable(m_path),
            qUtf8Printable(file.errorString()));
        return {};
    }
    return file.readAll();
}

QStringList droppedImageFiles(const QMimeData &data, const QString &libraryRoot)
{
    QStringList paths;
    for (const QUrl &url : data.urls()) {
        if (!url.isLocalFile() || !AppState::isImportable(url.toLocalFile(), libraryRoot))
            return {};
        paths.append(url.toLocalFile());
    }
    return paths;
}

} // namespace marlox
