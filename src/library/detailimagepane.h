#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include <QAbstractScrollArea>
#include <QFutureWatcher>
#include <QImage>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include "filing/wordboxes.h"
#include "library/imagezoomcontroller.h"
#include "storage/screenshotcode.h"

namespace marlox {

class PreviewWindow;
class TextLayer;

// The zoomable, scrollable image with the selectable text layer on top. The
// image is centred while it is smaller than the pane.
class DetailImagePane : public QAbstractScrollArea, public ZoomableView
{
    Q_OBJECT

public:
    enum class TextStatus { none, analysing, ready, failed };

    DetailImagePane(ImageZoomController *zoom, QWidget *parent = nullptr);
    ~DetailImagePane() override;

    // Finds the words of an image off the GUI thread; setting the flag asks
    // it to stop. Without one the pane reads them itself in the default
    // languages.
    using WordLoader = std::function<QFuture<QList<WordBox>>(
        const QImage &image, std::shared_ptr<std::atomic_bool> cancel)>;
    void setWordLoader(WordLoader loader) { m_wordLoader = std::move(loader); }

    // Shows an image and starts finding its words in the background; a
    // different path cancels the analysis of the previous one.
    void setImage(const QImage &image, const QString &path);
    const QImage &image() const { return m_image; }
    TextLayer *textLayer() const { return m_textLayer; }
    TextStatus textStatus() const { return m_textStatus; }
    // Word boxes from elsewhere (tests, or a cached analysis).
    void setWords(const QList<WordBox> &words);
    // Marks the words a search for `query` matched, now and whenever words
    // arrive, and scrolls the first of them into view, enlarged when it is
    // too small to read at the fit; empty marks none.
    void setSearchQuery(const QString &query);
    // Scrolls as little as needed to show the word whole.
    void revealWord(int index);
    // The QR codes and barcodes to outline, one of them (or -1) highlighted.
    void setCodes(const QList<ScreenshotCode> &codes);
    const QList<ScreenshotCode> &codes() const { return m_codes; }
    void setHighlightedCode(int index);

    double magnification() const override { return m_magnification; }
    void setMagnification(double magnification) override;
    // Image pixels to viewport coordinates, at the current zoom and scroll.
    QTransform imageToViewport() const;
    // Which of the halved copies of the image a magnification is drawn from:
    // the smallest that is still at least as large, so that smooth drawing
    // never shrinks by more than half and nothing aliases.
    static int levelFor(double magnification);

Q_SIGNALS:
    void textStatusChanged(TextStatus status);
    // Space went down and up again without panning.
    void spaceTapped();
    // A right click on the outline of codes()[index].
    void codeMenuRequested(int index, const QPoint &globalPos);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    void startAnalysis();
    void cancelAnalysis();
    void wordsArrived(const QList<WordBox> &words, bool failed);
    void updateMarks();
    void showFirstHit();
    void setTextStatus(TextStatus status);
    void updateScrollBars();
    void layoutChanged();
    void fitIfNeeded();
    void zoomAround(const QPointF &anchor, double magnification);
    QPointF imageOrigin() const;
    const QPixmap &level(int index);

    QPointer<ImageZoomController> m_zoom;
    QImage m_image;
    // The image, then halved copies, made as the zoom first needs them.
    QList<QPixmap> m_levels;
    bool m_spacePanned = false;
    QString m_path;
    QString m_analyzedPath;
    double m_magnification = 1.0;
    bool m_hasFitInitially = false;
    int m_wheelRemainder = 0;
    TextLayer *m_textLayer = nullptr;
    TextStatus m_textStatus = TextStatus::none;
    std::shared_ptr<std::atomic_bool> m_analysisCancel;
    WordLoader m_wordLoader;
    QString m_searchQuery;
    // The first search hit, until the pane can show it.
    int m_hitToShow = -1;
    QList<ScreenshotCode> m_codes;
    int m_highlightedCode = -1;
};

} // namespace marlox
