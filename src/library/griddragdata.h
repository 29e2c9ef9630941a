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

} // namespace marlox
