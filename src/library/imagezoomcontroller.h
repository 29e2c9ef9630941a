#pragma once

#include <QObject>
#include <QSizeF>

namespace marlox {

// What the zoom controller drives: the image pane's magnification. Kept as a
// small interface so the arithmetic can be tested without a widget.
class ZoomableView
{
public:
    virtual ~ZoomableView() = default;
    virtual double magnification() const = 0;
    virtual void setMagnification(double magnification) = 0;
};

// The zoom model of the detail view's image pane: steps of 1.25, a fit mode
// that refits when the pane is resized, at most 8x and never below the fit.
class ImageZoomController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int percent READ percent NOTIFY percentChanged)
    Q_PROPERTY(bool isFitting READ isFitting NOTIFY isFittingChanged)

public:
    static constexpr double maxMagnification = 8.0;
    static constexpr double step = 1.25;

    explicit ImageZoomController(QObject *parent = nullptr);

    int percent() const { return m_percent; }
    bool isFitting() const { return m_isFitting; }
    double fitMagnification() const { return m_fitMagnification; }
    double minimumMagnification() const { return m_minimumMagnification; }
    // The view's magnification, or the fit when no view is attached.
    double currentMagnification() const;

    // The view must detach itself (attach nullptr) before it goes away.
    void attach(ZoomableView *view);
    ZoomableView *view() const { return m_view; }

    void zoomIn();
    void zoomOut();
    void zoomToFit();
    // The view reports a magnification it changed itself; isLive marks the
    // end of a pinch, which leaves fit mode.
    void magnificationDidChange(bool isLive);
    void updateFit(const QSizeF &imageSize, const QSizeF &viewportSize);

    // Half away from zero, as the percent label shows it.
    static int roundedPercent(double magnification);
    static double fitFor(const QSizeF &imageSize, const QSizeF &viewportSize);

Q_SIGNALS:
    void percentChanged(int percent);
    void isFittingChanged(bool fitting);

private:
    void apply(double target);
    void setPercent(int percent);
    void setFitting(bool fitting);

    int m_percent = 100;
    bool m_isFitting = true;
    ZoomableView *m_view = nullptr;
    double m_fitMagnification = 1.0;
    double m_minimumMagnification = 0.05;
};

} // namespace marlox
