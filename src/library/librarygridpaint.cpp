#include <algorithm>
#include <cmath>

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDrag>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QSet>
#include <QTextLayout>
#include <QToolTip>
#include <QUrl>
#include <QWheelEvent>

#include "library/gridcelltext.h"
#include "library/griddragdata.h"
#include "library/librarygridview.h"
#include "widgets/fonts.h"

// The grid's drawing: cells, their thumbnails framed and scaled once per
// size, wrapped titles and search excerpts.
namespace marlox {

namespace {

// A plain copy of pixels already at their size. With smoothing on, the raster
// engine splits the draw over its shared thread pool and waits for a free
// core, which on a busy machine costs milliseconds per cell.
void drawPlain(QPainter &painter, const QPoint &at, const QImage &image)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(at, image);
    painter.restore();
}

} // namespace

QSize LibraryGridView::thumbnailPixels() const
{
    return ThumbnailProvider::pixelSize(
        scaled(maxColumnWidth), scaled(thumbnailHeight), viewport()->devicePixelRatioF());
}

QImage LibraryGridView::thumbnailFor(const ScreenshotRecord &record)
{
    const QSize pixels = thumbnailPixels();
    const auto loaded = m_loaded.constFind(record.path);
    if (loaded != m_loaded.cend() && !loaded->isNull())
        return *loaded;
    QImage image = m_provider->cachedImage(record.path, pixels.width(), pixels.height());
    if (loaded == m_loaded.cend() && !m_pending.contains(record.path)) {
        const quint64 serial = m_nextSerial++;
        const QString path = record.path;
        Pending pending;
        pending.serial = serial;
        pending.request = m_provider->thumbnail(path, pixels.width(), pixels.height(), this,
            [this, path, serial](const QImage &result) {
                const auto it = m_pending.constFind(path);
                if (it == m_pending.cend() || it->serial != serial)
                    return; // cancelled: the cell went off screen
                m_pending.remove(path);
                m_loaded.insert(path, result);
                // Only the cells showing it: a thumbnail arriving after each
                // filing must not cost a repaint of the whole grid.
                for (int index : visibleIndexes()) {
                    if (m_displayed[index].path == path)
                        viewport()->update(cellRect(index));
                }
            });
        m_pending.insert(path, pending);
    }
    return image;
}

void LibraryGridView::pruneRequests()
{
    QSet<QString> visible;
    for (int index : visibleIndexes())
        visible.insert(m_displayed[index].path);
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (visible.contains(it.key())) {
            ++it;
            continue;
        }
        it->request.cancel();
        it = m_pending.erase(it);
    }
    for (auto it = m_loaded.begin(); it != m_loaded.end();) {
        if (visible.contains(it.key()))
            ++it;
        else
            it = m_loaded.erase(it);
    }
    if (m_titleLines.size() > 4 * visible.size() + 100)
        m_titleLines.clear();
    for (auto it = m_fitted.begin(); it != m_fitted.end();) {
        if (visible.contains(it.key()))
            ++it;
        else
            it = m_fitted.erase(it);
    }
}

void LibraryGridView::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRect exposed = event->rect();
    const int scroll = verticalScrollBar()->value();
    const QFont headerFont = scaledFont(font(), 1.15, true);
    for (int b = 0; b < m_layout.size(); ++b) {
        const auto &block = m_layout[b];
        if (block.headerHeight == 0)
            continue;
        const QRect header(
            leftOffset(), block.top - scroll, viewport()->width(), block.headerHeight);
        if (m_blocks[b].guessed) {
            // Guesses sit on a tinted band under a rule, headed in the accent
            // colour, so they never read as exact results.
            const QRect band(0, block.top - scroll, viewport()->width(), block.height - blockGap);
            QColor tint = palette().color(QPalette::Highlight);
            tint.setAlphaF(0.07);
            painter.fillRect(band.intersected(exposed), tint);
            painter.setPen(QPen(palette().color(QPalette::Highlight), 1));
            painter.drawLine(band.topLeft(), band.topRight());
        }
        if (!header.intersects(exposed))
            continue;
        painter.setFont(headerFont);
        if (m_blocks[b].guessed) {
            painter.setPen(palette().color(QPalette::Highlight));
            const QRect text = header.adjusted(0, 0, 0, -6);
            painter.drawText(text, Qt::AlignLeft | Qt::AlignBottom, m_blocks[b].header);
            const int after = QFontMetrics(headerFont).horizontalAdvance(m_blocks[b].header);
            painter.setFont(scaledFont(font(), 0.9));
            painter.setPen(palette().color(QPalette::PlaceholderText));
            painter.drawText(text.adjusted(after + 10, 0, 0, 0), Qt::AlignLeft | Qt::AlignBottom,
                QStringLiteral("words close to what you typed, as text recognition may have "
                               "misread them"));
            continue;
        }
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(
            header.adjusted(0, 0, 0, -6), Qt::AlignLeft | Qt::AlignBottom, m_blocks[b].header);
    }
    for (int index : visibleIndexes()) {
        const QRect rect = cellRect(index);
        if (rect.intersects(exposed))
            paintCell(painter, index, rect);
    }
}

void LibraryGridView::paintCell(QPainter &painter, int index, const QRect &rect)
{
    const ScreenshotRecord &record = m_displayed[index];
    const QRect thumbArea(rect.x() + cellPadding, rect.y() + cellPadding,
        rect.width() - 2 * cellPadding, scaled(thumbnailHeight));
    const QImage image = thumbnailFor(record);
    if (!image.isNull()) {
        const qreal ratio = viewport()->devicePixelRatioF();
        QSizeF size = QSizeF(image.size()) / image.devicePixelRatio();
        size.scale(thumbArea.size(), Qt::KeepAspectRatio);
        const QImage &shown = fittedThumbnail(record.path, image, (size * ratio).toSize());
        const QSizeF shownSize = QSizeF(shown.size()) / ratio;
        const QPoint at(thumbArea.x() + qRound((thumbArea.width() - shownSize.width()) / 2),
            thumbArea.y() + qRound((thumbArea.height() - shownSize.height()) / 2));
        drawPlain(painter, at, shown);
    } else {
        const qreal ratio = viewport()->devicePixelRatioF();
        const QSize pixels = (QSizeF(thumbArea.size()) * ratio).toSize();
        if (m_placeholder.size() != pixels) {
            m_placeholder = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
            m_placeholder.setDevicePixelRatio(ratio);
            m_placeholder.fill(Qt::transparent);
            QPainter stand(&m_placeholder);
            stand.setRenderHint(QPainter::Antialiasing);
            QColor grey(Qt::gray);
            grey.setAlphaF(0.2);
            stand.setPen(Qt::NoPen);
            stand.setBrush(grey);
            stand.drawRoundedRect(QRectF(QPointF(0, 0), thumbArea.size()), 6, 6);
        }
        drawPlain(painter, thumbArea.topLeft(), m_placeholder);
    }

    const QFont caption = scaledFont(font(), 0.9);
    painter.setFont(caption);
    painter.setPen(palette().color(QPalette::Text));
    const QFontMetrics metrics(caption);
    const QStringList &lines = titleLines(record, caption, thumbArea.width());
    QRect titleRect(thumbArea.x(), thumbArea.bottom() + 5, thumbArea.width(), metrics.height());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QRect line = titleRect.translated(0, int(i) * metrics.lineSpacing());
        painter.drawText(line, Qt::AlignLeft | Qt::AlignVCenter, lines.at(i));
    }
    titleRect.setBottom(
        titleRect.bottom() + (GridCellText::maxTitleLines - 1) * metrics.lineSpacing());

    const auto snippet = m_snippets.constFind(record.id);
    if (snippet != m_snippets.cend()) {
        const QRect snippetRect(titleRect.x(), titleRect.bottom() + 3, titleRect.width(),
            rect.bottom() - titleRect.bottom() - 3);
        paintSnippet(painter, *snippet, snippetRect);
    }

    if (m_selectedId == record.id) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.drawRoundedRect(QRectF(rect).adjusted(1, 1, -1, -1), 6, 6);
    }
}

const QImage &LibraryGridView::fittedThumbnail(
    const QString &path, const QImage &source, QSize pixels)
{
    Fitted &fitted = m_fitted[path];
    if (fitted.sourceKey == source.cacheKey() && fitted.image.size() == pixels)
        return fitted.image;
    QImage image = (source.size() == pixels
            ? source
            : source.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation))
                       .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    // A hairline keeps mostly-white screenshots apart from the background:
    // the text colour at 18 % over the outermost pixels.
    const QColor frame = palette().color(QPalette::Text);
    const int width = std::max(1, qRound(viewport()->devicePixelRatioF()));
    const int alpha = 46; // 0.18 of 255
    const auto blend = [&](int x, int y) {
        QRgb *pixel = reinterpret_cast<QRgb *>(image.scanLine(y)) + x;
        const auto mix
            = [alpha](int under, int over) { return (under * (255 - alpha) + over * alpha) / 255; };
        *pixel = qRgba(mix(qRed(*pixel), frame.red()), mix(qGreen(*pixel), frame.green()),
            mix(qBlue(*pixel), frame.blue()), mix(qAlpha(*pixel), 255));
    };
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (x < width || y < width || x >= image.width() - width || y >= image.height() - width)
                blend(x, y);
            else
                x = image.width() - width - 1; // on to the right edge
        }
    }
    image.setDevicePixelRatio(viewport()->devicePixelRatioF());
    fitted = { source.cacheKey(), std::move(image) };
    return fitted.image;
}

const QStringList &LibraryGridView::titleLines(
    const ScreenshotRecord &record, const QFont &font, int width)
{
    const QString title = LibrarySorting::shownTitle(record);
    TitleLines &cached = m_titleLines[record.id];
    if (cached.width != width || cached.title != title || cached.font != font)
        cached = { title, font, width, GridCellText::titleLines(title, font, width) };
    return cached.lines;
}

void LibraryGridView::paintSnippet(QPainter &painter, const QString &snippet, const QRect &rect)
{
    const QFont caption2 = scaledFont(font(), 0.8);
    QString text;
    QList<QTextLayout::FormatRange> formats;
    for (const auto &run : LibrarySorting::snippetRuns(snippet)) {
        if (run.highlighted) {
            QTextLayout::FormatRange range;
            range.start = static_cast<int>(text.size());
            range.length = static_cast<int>(run.text.size());
            range.format.setFontWeight(QFont::Bold);
            range.format.setForeground(palette().color(QPalette::Highlight));
            formats.append(range);
        }
        text += run.text;
    }
    // The excerpt is one run of text; the recognised line breaks would only
    // push the highlighted words out of the two lines.
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    QTextLayout layout(text, caption2);
    layout.setFormats(formats);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    for (int lines = 0; lines < snippetLines; ++lines) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(rect.width());
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    painter.save();
    painter.setClipRect(rect);
    painter.setPen(palette().color(QPalette::PlaceholderText));
    layout.draw(&painter, rect.topLeft());
    painter.restore();
}

} // namespace marlox
