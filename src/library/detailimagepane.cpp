#include "library/detailimagepane.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <QApplication>
#include <QContextMenuEvent>
#include <QImageReader>
#include <QKeyEvent>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QScrollBar>
#include <QtConcurrent>

#include "filing/ocrengine.h"
#include "library/detailcodes.h"
#include "library/textlayer.h"
#include "platform/log.h"
#include "platform/workpools.h"

namespace marlox {

DetailImagePane::DetailImagePane(ImageZoomController *zoom, QWidget *parent)
    : QAbstractScrollArea(parent), m_zoom(zoom)
{
    setObjectName(QStringLiteral("detail.imagePane"));
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setObjectName(QStringLiteral("detail.image"));
    // A quiet surround, so the edges of a light screenshot stay visible.
    QPalette surround = viewport()->palette();
    surround.setColor(QPalette::Window, surround.color(QPalette::Window).darker(112));
    viewport()->setPalette(surround);
    viewport()->setBackgroundRole(QPalette::Window);
    viewport()->setAutoFillBackground(true);
    viewport()->grabGesture(Qt::PinchGesture);
    m_textLayer = new TextLayer(viewport());
    m_textLayer->setGeometry(viewport()->rect());
    connect(m_textLayer, &TextLayer::panRequested, this, [this](const QPoint &delta) {
        m_spacePanned = m_spacePanned || m_textLayer->isPanKeyHeld();
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() + delta.x());
        verticalScrollBar()->setValue(verticalScrollBar()->value() + delta.y());
    });
    if (m_zoom)
        m_zoom->attach(this);
    // Space reaches the pane wherever the focus is in its window.
    qApp->installEventFilter(this);
}

DetailImagePane::~DetailImagePane()
{
    qApp->removeEventFilter(this);
    cancelAnalysis();
    if (m_zoom && m_zoom->view() == this)
        m_zoom->attach(nullptr);
}

void DetailImagePane::setImage(const QImage &image, const QString &path)
{
    m_image = image;
    m_levels = { QPixmap::fromImage(image) };
    m_path = path;
    m_hasFitInitially = false;
    fitIfNeeded();
    layoutChanged();
    if (path != m_analyzedPath) {
        cancelAnalysis();
        m_textLayer->setWords({});
        m_analyzedPath = path;
        startAnalysis();
    }
}

void DetailImagePane::setWords(const QList<WordBox> &words)
{
    cancelAnalysis();
    wordsArrived(words, false);
}

void DetailImagePane::startAnalysis()
{
    if (m_image.isNull())
        return;
    auto cancel = std::make_shared<std::atomic_bool>(false);
    m_analysisCancel = cancel;
    setTextStatus(TextStatus::analysing);
    const QFuture<QList<WordBox>> future = m_wordLoader
        ? m_wordLoader(m_image, cancel)
        : QtConcurrent::run(&WorkPools::interactive(),
            [image = m_image, cancel] { return OCREngine().recognize(image, cancel.get()).words; });
    auto *watcher = new QFutureWatcher<QList<WordBox>>(this);
    const QString path = m_path;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, cancel, path] {
        watcher->deleteLater();
        // A newer image may have taken over while this one ran.
        if (cancel->load() || m_analysisCancel != cancel)
            return;
        m_analysisCancel.reset();
        QList<WordBox> words;
        bool failed = false;
        try {
            QFuture<QList<WordBox>> done = watcher->future();
            done.waitForFinished(); // rethrows the loader's failure
            if (done.resultCount() > 0)
                words = done.result();
        } catch (const std::exception &error) {
            qCWarning(lcOCR, "Finding words in %s failed: %s", qUtf8Printable(path), error.what());
            failed = true;
        }
        wordsArrived(words, failed);
    });
    watcher->setFuture(future);
}

void DetailImagePane::wordsArrived(const QList<WordBox> &words, bool failed)
{
    m_textLayer->setWords(words);
    updateMarks();
    setTextStatus(failed ? TextStatus::failed : TextStatus::ready);
}

void DetailImagePane::setSearchQuery(const QString &query)
{
    m_searchQuery = query;
    updateMarks();
}

void DetailImagePane::updateMarks()
{
    const QList<int> marks = TextSelection::matchingWords(m_textLayer->words(), m_searchQuery);
    m_textLayer->setMarkedWords(marks);
    m_hitToShow = marks.isEmpty() ? -1 : marks.first();
    showFirstHit();
}

void DetailImagePane::showFirstHit()
{
    // Only once the pane has its size and its first fit.
    if (m_hitToShow < 0 || m_hitToShow >= m_textLayer->words().size() || !isVisible()
        || !m_hasFitInitially || viewport()->height() <= 0)
        return;
    const int index = std::exchange(m_hitToShow, -1);
    const QRectF box(m_textLayer->words().at(index).box);
    // A hit too small to read at the fit is shown larger, up to actual pixels.
    constexpr double legibleHeight = 14.0;
    const double target = std::min(1.0, legibleHeight / std::max(box.height(), 1.0));
    if (m_zoom && m_zoom->isFitting() && target > m_magnification * 1.05) {
        zoomAround(imageToViewport().map(box.center()), target);
        m_zoom->magnificationDidChange(true);
        // Centred rather than at the edge, with its surroundings in view.
        const QPointF centre = imageToViewport().map(box.center());
        horizontalScrollBar()->setValue(horizontalScrollBar()->value()
            + int(std::lround(centre.x() - viewport()->width() / 2.0)));
        verticalScrollBar()->setValue(verticalScrollBar()->value()
            + int(std::lround(centre.y() - viewport()->height() / 2.0)));
    }
    revealWord(index);
}

void DetailImagePane::revealWord(int index)
{
    if (index < 0 || index >= m_textLayer->words().size())
        return;
    const QRectF box = imageToViewport().mapRect(QRectF(m_textLayer->words().at(index).box));
    const QRectF port = QRectF(viewport()->rect()).adjusted(16, 16, -16, -16);
    const auto shift = [](double low, double high, double from, double to) {
        // A word wider than the view shows its start.
        if (high - low > to - from || low < from)
            return low - from;
        return high > to ? high - to : 0.0;
    };
    QScrollBar *h = horizontalScrollBar();
    QScrollBar *v = verticalScrollBar();
    h->setValue(
        h->value() + int(std::lround(shift(box.left(), box.right(), port.left(), port.right()))));
    v->setValue(
        v->value() + int(std::lround(shift(box.top(), box.bottom(), port.top(), port.bottom()))));
}

void DetailImagePane::cancelAnalysis()
{
    if (m_analysisCancel) {
        m_analysisCancel->store(true);
        m_analysisCancel.reset();
    }
}

void DetailImagePane::setTextStatus(TextStatus status)
{
    if (status == m_textStatus)
        return;
    m_textStatus = status;
    Q_EMIT textStatusChanged(status);
}

QPointF DetailImagePane::imageOrigin() const
{
    const QSizeF scaled = QSizeF(m_image.size()) * m_magnification;
    const QSize port = viewport()->size();
    const double x = scaled.width() < port.width() ? (port.width() - scaled.width()) / 2
                                                   : -double(horizontalScrollBar()->value());
    const double y = scaled.height() < port.height() ? (port.height() - scaled.height()) / 2
                                                     : -double(verticalScrollBar()->value());
    return { x, y };
}

QTransform DetailImagePane::imageToViewport() const
{
    const QPointF origin = imageOrigin();
    return QTransform(m_magnification, 0, 0, m_magnification, origin.x(), origin.y());
}

void DetailImagePane::setMagnification(double magnification)
{
    zoomAround(QPointF(viewport()->width() / 2.0, viewport()->height() / 2.0), magnification);
}

void DetailImagePane::zoomAround(const QPointF &anchor, double magnification)
{
    if (magnification <= 0)
        return;
    // Keep the image point under the anchor where it is.
    const QPointF imagePoint = imageToViewport().inverted().map(anchor);
    m_magnification = magnification;
    updateScrollBars();
    horizontalScrollBar()->setValue(int(std::lround(imagePoint.x() * magnification - anchor.x())));
    verticalScrollBar()->setValue(int(std::lround(imagePoint.y() * magnification - anchor.y())));
    layoutChanged();
}

void DetailImagePane::updateScrollBars()
{
    const QSize scaled = (QSizeF(m_image.size()) * m_magnification).toSize();
    const QSize port = viewport()->size();
    horizontalScrollBar()->setRange(0, std::max(0, scaled.width() - port.width()));
    horizontalScrollBar()->setPageStep(port.width());
    horizontalScrollBar()->setSingleStep(24);
    verticalScrollBar()->setRange(0, std::max(0, scaled.height() - port.height()));
    verticalScrollBar()->setPageStep(port.height());
    verticalScrollBar()->setSingleStep(24);
}

void DetailImagePane::layoutChanged()
{
    m_textLayer->setGeometry(viewport()->rect());
    m_textLayer->setImageTransform(imageToViewport());
    viewport()->update();
}

void DetailImagePane::fitIfNeeded()
{
    if (!m_zoom || m_image.isNull() || width() <= 0 || height() <= 0)
        return;
    // The pane's whole size: in fit mode no scroll bars show.
    m_zoom->updateFit(QSizeF(m_image.size()), QSizeF(size()));
    m_hasFitInitially = true;
}

int DetailImagePane::levelFor(double magnification)
{
    if (magnification >= 1.0 || magnification <= 0.0)
        return 0;
    // A little tolerance, so 25 % after rounding still takes the quarter.
    return int(std::floor(std::log2(1.0 / magnification) + 1e-6));
}

const QPixmap &DetailImagePane::level(int index)
{
    while (m_levels.size() <= index) {
        const QPixmap &larger = m_levels.constLast();
        if (larger.width() < 2 || larger.height() < 2)
            break;
        m_levels.append(larger.scaled(larger.width() / 2, larger.height() / 2,
            Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    return m_levels.at(std::min<qsizetype>(index, m_levels.size() - 1));
}

void DetailImagePane::paintEvent(QPaintEvent *event)
{
    if (m_levels.isEmpty() || m_levels.constFirst().isNull())
        return;
    QPainter painter(viewport());
    painter.setClipRect(event->rect());
    // Smooth when shrinking; crisp pixels when zoomed well in, as screenshots
    // are pixel art at heart.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, m_magnification < 2.0);
    const QPixmap &pixmap = level(levelFor(m_magnification));
    painter.setTransform(imageToViewport());
    painter.scale(
        double(m_image.width()) / pixmap.width(), double(m_image.height()) / pixmap.height());
    painter.drawPixmap(QPointF(0, 0), pixmap);
    CodeOutlines::paint(painter, m_codes, imageToViewport(), m_highlightedCode);
}

void DetailImagePane::setCodes(const QList<ScreenshotCode> &codes)
{
    m_codes = codes;
    m_highlightedCode = -1;
    viewport()->update();
}

void DetailImagePane::setHighlightedCode(int index)
{
    m_highlightedCode = index;
    viewport()->update();
}

void DetailImagePane::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    if (m_zoom && !m_image.isNull())
        m_zoom->updateFit(QSizeF(m_image.size()), QSizeF(size()));
    m_hasFitInitially = m_hasFitInitially || (width() > 0 && height() > 0);
    updateScrollBars();
    layoutChanged();
    showFirstHit();
}

void DetailImagePane::showEvent(QShowEvent *event)
{
    QAbstractScrollArea::showEvent(event);
    if (!m_hasFitInitially)
        fitIfNeeded();
    showFirstHit();
}

void DetailImagePane::scrollContentsBy(int, int)
{
    layoutChanged();
}

void DetailImagePane::wheelEvent(QWheelEvent *event)
{
    if (!(event->modifiers() & Qt::ControlModifier) || !m_zoom) {
        QAbstractScrollArea::wheelEvent(event);
        return;
    }
    // One step per notch; touchpads send smaller deltas that add up.
    m_wheelRemainder += event->angleDelta().y();
    const QPointF anchor = viewport()->mapFrom(this, event->position());
    while (std::abs(m_wheelRemainder) >= 120) {
        const bool in = m_wheelRemainder > 0;
        m_wheelRemainder += in ? -120 : 120;
        const double target = std::clamp(in ? m_magnification * ImageZoomController::step
                                            : m_magnification / ImageZoomController::step,
            m_zoom->minimumMagnification(), ImageZoomController::maxMagnification);
        zoomAround(anchor, target);
        m_zoom->magnificationDidChange(true);
    }
    event->accept();
}

bool DetailImagePane::viewportEvent(QEvent *event)
{
    if (event->type() == QEvent::NativeGesture && m_zoom) {
        auto *gesture = static_cast<QNativeGestureEvent *>(event);
        if (gesture->gestureType() == Qt::ZoomNativeGesture) {
            const double target = std::clamp(m_magnification * (1.0 + gesture->value()),
                m_zoom->minimumMagnification(), ImageZoomController::maxMagnification);
            zoomAround(gesture->position(), target);
            m_zoom->magnificationDidChange(false);
            return true;
        }
        if (gesture->gestureType() == Qt::EndNativeGesture) {
            m_zoom->magnificationDidChange(true);
            return true;
        }
    }
    return QAbstractScrollArea::viewportEvent(event);
}

bool DetailImagePane::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::ContextMenu && watched == m_textLayer) {
        // A code's own menu over its outline; the text's elsewhere.
        auto *menu = static_cast<QContextMenuEvent *>(event);
        const int code
            = CodeOutlines::codeAt(m_codes, imageToViewport().inverted().map(QPointF(menu->pos())));
        if (code < 0)
            return false;
        Q_EMIT codeMenuRequested(code, menu->globalPos());
        return true;
    }
    if (type != QEvent::ShortcutOverride && type != QEvent::KeyPress && type != QEvent::KeyRelease
        && type != QEvent::WindowDeactivate)
        return false;
    // A pane being replaced stays until deleted, hidden.
    if (!isVisible() || !watched->isWidgetType()
        || static_cast<QWidget *>(watched)->window() != window())
        return false;
    if (type == QEvent::WindowDeactivate) {
        // The release may never come once another window has the keyboard.
        m_textLayer->setPanKeyHeld(false);
        return false;
    }
    auto *key = static_cast<QKeyEvent *>(event);
    if (key->key() != Qt::Key_Space || key->modifiers() != Qt::NoModifier)
        return false;
    // Held, Space pans as in image editors; tapped, it asks for the preview.
    // It is taken here before the window's shortcuts and the focused button.
    if (type == QEvent::ShortcutOverride) {
        event->accept();
    } else if (!key->isAutoRepeat() && type == QEvent::KeyPress) {
        m_spacePanned = false;
        m_textLayer->setPanKeyHeld(true);
    } else if (!key->isAutoRepeat() && m_textLayer->isPanKeyHeld()) {
        m_textLayer->setPanKeyHeld(false);
        if (!m_spacePanned)
            Q_EMIT spaceTapped();
    }
    return true;
}

} // namespace marlox
