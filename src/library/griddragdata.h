#pragma once

#include <QMimeData>

namespace marlox {

// What a screenshot dragged out of the library carries: its file as a URL for
// file managers and upload fields, and the image itself, in the file's own
// format, for applications that take pasted images. The bytes are read only
// when a drop target asks for them; starting a drag reads just the header.
class ScreenshotDragData : public QMimeData
{
    Q_OBJECT

public:
    explicit ScreenshotDragData(const QString &path);

    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override;

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    QString m_path;
    QString m_imageType; // empty when the file is not a known image
};

// The files a drop from another application offers for filing into a library
// folder; none when any of them can't be taken (a folder, a file that is no
// image, one already in the library), so such a drop is refused as a whole.
QStringList droppedImageFiles(const QMimeData &data, const QString &libraryRoot);

} // namespace marlox
