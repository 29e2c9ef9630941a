#include "library/imagezoomcontroller.h"

#include <algorithm>
#include <cmath>

#include "platform/log.h"

namespace marlox {

ImageZoomController::ImageZoomController(QObject *parent) : QObject(parent)
{ }

double ImageZoomController::currentMagnification() const
{
    return m_view ? m_view->magnification() : m_fitMagnification;
}

void ImageZoomController::attach(ZoomableView *view)
{
    m_view = view;
}

int ImageZoomController::roundedPercent(double magnification)
{
    return int(std::lround(magnification * 100.0));
}

double ImageZoomController::fitFor(const QSizeF &imageSize, const QSizeF &viewportSize)
{
    double fit = 1.0;
    if (imageSize.width() > 0 && imageSize.height() > 0 && viewportSize.width() > 0
        && viewportSize.height() > 0) {
        fit = std::min(
            viewportSize.width() / imageSize.width(), viewportSize.height() / imageSize.height());
    }
    // Small images are enlarged to fill the pane, but only so far.
    return std::min(fit, maxMagnification);
}

void ImageZoomController::zoomIn()
{
    setFitting(false);
    const double current = currentMagnification();
    const double target = current * step;
    qCDebug(lcImageZoom, "zoomIn: %f -> target %f", current, target);
    apply(target);
}

void ImageZoomController::zoomOut()
{
    setFitting(false);
    const double current = currentMagnification();
    const double target = current / step;
    qCDebug(lcImageZoom, "zoomOut: %f -> target %f", current, target);
    apply(target);
}

void ImageZoomController::zoomToFit()
{
    setFitting(true);
    qCDebug(lcImageZoom, "zoomToFit -> %f", m_fitMagnification);
    apply(m_fitMagnification);
}

void ImageZoomController::magnificationDidChange(bool isLive)
{
    setPercent(roundedPercent(currentMagnification()));
    if (isLive) {
        qCDebug(lcImageZoom, "live magnify -> %f", currentMagnification());
        setFitting(false);
    }
}

void ImageZoomController::updateFit(const QSizeF &imageSize, const QSizeF &viewportSize)
{
    const double fit = fitFor(imageSize, viewportSize);
    m_fitMagnification = fit;
    m_minimumMagnification = fit;
    if (m_isFitting && m_view) {
        qCDebug(lcImageZoom, "refit on resize -> %f", fit);
        m_view->setMagnification(fit);
        setPercent(roundedPercent(fit));
    }
}

void ImageZoomController::apply(double target)
{
    if (!m_view)
        return;
    const double clamped = std::clamp(target, m_minimumMagnification, maxMagnification);
    m_view->setMagnification(clamped);
    setPercent(roundedPercent(clamped));
}

void ImageZoomController::setPercent(int percent)
{
    if (percent == m_percent)
        return;
    m_percent = percent;
    Q_EMIT percentChanged(percent);
}

void ImageZoomController::setFitting(bool fitting)
{
    if (fitting == m_isFitting)
        return;
    m_isFitting = fitting;
    Q_EMIT isFittingChanged(fitting);
}

} // namespace marlox
