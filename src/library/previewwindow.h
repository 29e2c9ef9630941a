#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

namespace marlox {

// A quick look at one screenshot: the image fitted into a plain window.
// Space or Escape closes it.
class PreviewWindow : public QWidget
{
    Q_OBJECT

public:
    explicit PreviewWindow(QWidget *parent = nullptr);

    // Shows the file (decoded off the GUI thread) and brings the window forward.
    void showFile(const QString &path);
    QString path() const { return m_path; }
    const QImage &image() const { return m_image; }

Q_SIGNALS:
    void imageLoaded();

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void setImage(const QImage &image);

    QString m_path;
    QImage m_image;
    quint64 m_generation = 0;
};

} // namespace marlox
