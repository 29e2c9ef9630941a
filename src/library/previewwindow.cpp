#include "library/previewwindow.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QtConcurrent/QtConcurrentRun>

#include "platform/workpools.h"

namespace marlox {

PreviewWindow::PreviewWindow(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("library.preview"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setMinimumSize(240, 160);
    resize(640, 420);
}

void PreviewWindow::showFile(const QString &path)
{
    m_path = path;
    m_image = QImage();
    setWindowTitle(QFileInfo(path).fileName());
    const quint64 generation = ++m_generation;
    QPointer<PreviewWindow> self(this);
    QtConcurrent::run(&WorkPools::interactive(), [path] {
        QImageReader reader(path);
        reader.setAutoTransform(true);
        QImage image;
        reader.read(&image);
        return image;
    }).then(this, [self, generation](const QImage &image) {
        if (!self || generation != self->m_generation)
            return;
        self->setImage(image);
    });
    show();
    raise();
    activateWindow();
}

void PreviewWindow::setImage(const QImage &image)
{
    m_image = image;
    if (!image.isNull()) {
        QSize size = image.size();
        if (const QScreen *screen
            = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
            const QSize room = screen->availableGeometry().size() * 0.8;
            if (size.width() > room.width() || size.height() > room.height())
                size.scale(room, Qt::KeepAspectRatio);
        }
        resize(size.expandedTo(minimumSize()));
    }
    update();
    Q_EMIT imageLoaded();
}

void PreviewWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (m_image.isNull())
        return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QSizeF size = m_image.size();
    size.scale(QSizeF(rect().size()), Qt::KeepAspectRatio);
    const QRectF target(
        (width() - size.width()) / 2, (height() - size.height()) / 2, size.width(), size.height());
    painter.drawImage(target, m_image);
}

void PreviewWindow::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier)
        || event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace marlox
