#include "library/librarygridview.h"

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
#include "widgets/fonts.h"

namespace marlox {

LibraryGridView::LibraryGridView(QWidget *parent)
    : QAbstractScrollArea(parent), m_provider(&ThumbnailProvider::shared())
{
    setFocusPolicy(Qt::StrongFocus);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    verticalScrollBar()->setSingleStep(40);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    setAccessibleDescription(QStringLiteral("Opens the screenshot"));
}

void LibraryGridView::setContents(QList<Block> blocks, QHash<qint64, QString> snippets)
{
    m_blocks = std::move(blocks);
    m_snippets = std::move(snippets);
    m_displayed.clear();
    for (const auto &block : std::as_const(m_blocks))
        m_displayed.append(block.records);
    relayout();
    pruneRequests();
    updateAccessibleText();
    viewport()->update();
}

void LibraryGridView::insertRecord(const ScreenshotRecord &record, const QString &header, int rank,
    const std::function<bool(const ScreenshotRecord &, const ScreenshotRecord &)> &comesBefore)
{
    qsizetype first = 0;
    qsizetype block = 0;
    for (; block < m_blocks.size(); ++block) {
        const Block &candidate = m_blocks.at(block);
        if (!candidate.guessed && candidate.header == header)
            break;
        if (candidate.guessed || candidate.rank > rank) {
            m_blocks.insert(block, Block { header, {}, false, rank });
            break;
        }
        first += candidate.records.size();
    }
    if (block == m_blocks.size())
        m_blocks.append(Block { header, {}, false, rank });
    QList<ScreenshotRecord> &records = m_blocks[block].records;
    const auto at = std::upper_bound(records.cbegin(), records.cend(), record, comesBefore);
    const qsizetype position = at - records.cbegin();
    insertNearFront(records, position, record);
    insertNearFront(m_displayed, first + position, record);
    relayout();
    updateAccessibleText();
    viewport()->update();
}

bool LibraryGridView::removeRecord(qint64 id)
{
    const auto found = std::find_if(m_displayed.cbegin(), m_displayed.cend(),
        [id](const ScreenshotRecord &record) { return record.id == id; });
    if (found == m_displayed.cend())
        return false;
    qsizetype index = found - m_displayed.cbegin();
    removeNearFront(m_displayed, index);
    for (qsizetype block = 0; block < m_blocks.size(); ++block) {
        QList<ScreenshotRecord> &records = m_blocks[block].records;
        if (index >= records.size()) {
            index -= records.size();
            continue;
        }
        removeNearFront(records, index);
        if (records.isEmpty())
            m_blocks.removeAt(block);
        break;
    }
    m_snippets.remove(id);
    relayout();
    updateAccessibleText();
    viewport()->update();
    return true;
}

void LibraryGridView::setSelectedId(std::optional<qint64> id)
{
    if (id == m_selectedId)
        return;
    m_selectedId = id;
    updateAccessibleText();
    viewport()->update();
}

double LibraryGridView::gridWidth() const
{
    return std::max(0, viewport()->width() - 2 * sideMargin);
}

int LibraryGridView::columns() const
{
    // Columns follow the keyboard rule, so Up and Down land on the cell drawn
    // above or below; that keeps each column between 160 and 180 wide.
    if (m_scale == 100)
        return LibrarySorting::columnCount(gridWidth());
    const double step = scaled(minColumnWidth + 20) + spacing;
    return std::max(1, static_cast<int>((gridWidth() + spacing) / step));
}

int LibraryGridView::columnWidth() const
{
    const int cols = columns();
    const double available = (gridWidth() - spacing * (cols - 1)) / cols;
    return std::clamp(static_cast<int>(available), scaled(minColumnWidth), scaled(maxColumnWidth));
}

int LibraryGridView::leftOffset() const
{
    const int cols = columns();
    const int total = cols * columnWidth() + (cols - 1) * spacing;
    return std::max(0, (viewport()->width() - total) / 2);
}

int LibraryGridView::cellHeight() const
{
    const QFontMetrics caption(scaledFont(font(), 0.9));
    const QFontMetrics caption2(scaledFont(font(), 0.8));
    int height = cellPadding + scaled(thumbnailHeight) + 4
        + (GridCellText::maxTitleLines - 1) * caption.lineSpacing() + caption.height()
        + cellPadding;
    if (!m_snippets.isEmpty())
        height += 2 + snippetLines * caption2.lineSpacing();
    return height;
}

void LibraryGridView::relayout()
{
    m_layout.clear();
    const int cols = columns();
    const int cellH = cellHeight();
    const int headerH = QFontMetrics(scaledFont(font(), 1.15, true)).height() + 14;
    int y = topMargin;
    int first = 0;
    for (const auto &block : std::as_const(m_blocks)) {
        BlockLayout layout;
        layout.top = y;
        layout.headerHeight = block.header.isEmpty() ? 0 : headerH;
        layout.firstIndex = first;
        layout.count = static_cast<int>(block.records.size());
        layout.rows = (layout.count + cols - 1) / cols;
        layout.height = layout.headerHeight + layout.rows * cellH
            + std::max(0, layout.rows - 1) * spacing + blockGap;
        m_layout.append(layout);
        y += layout.height;
        first += layout.count;
    }
    m_contentHeight = y + topMargin;
    QScrollBar *bar = verticalScrollBar();
    bar->setPageStep(viewport()->height());
    bar->setRange(0, std::max(0, m_contentHeight - viewport()->height()));
}

QRect LibraryGridView::cellRect(int index) const
{
    if (index < 0 || index >= m_displayed.size())
        return {};
    const int cols = columns();
    const int width = columnWidth();
    const int height = cellHeight();
    for (const auto &block : m_layout) {
        if (index >= block.firstIndex + block.count)
            continue;
        const int local = index - block.firstIndex;
        const int row = local / cols;
        const int col = local % cols;
        const int x = leftOffset() + col * (width + spacing);
        const int y = block.top + block.headerHeight + row * (height + spacing)
            - verticalScrollBar()->value();
        return QRect(x, y, width, height);
    }
    return {};
}

int LibraryGridView::indexAt(const QPoint &pos) const
{
    const int cols = columns();
    const int width = columnWidth();
    const int height = cellHeight();
    const int y = pos.y() + verticalScrollBar()->value();
    const int x = pos.x() - leftOffset();
    if (x < 0)
        return -1;
    const int col = x / (width + spacing);
    if (col >= cols || x % (width + spacing) >= width)
        return -1;
    for (const auto &block : m_layout) {
        const int gridTop = block.top + block.headerHeight;
        if (y < gridTop || y >= block.top + block.height)
            continue;
        const int row = (y - gridTop) / (height + spacing);
        if ((y - gridTop) % (height + spacing) >= height)
            return -1;
        const int local = row * cols + col;
        return local < block.count ? block.firstIndex + local : -1;
    }
    return -1;
}

QList<int> LibraryGridView::visibleIndexes() const
{
    QList<int> result;
    const int cols = columns();
    const int height = cellHeight();
    const int top = verticalScrollBar()->value();
    const int bottom = top + viewport()->height();
    for (const auto &block : m_layout) {
        const int gridTop = block.top + block.headerHeight;
        if (block.top + block.height <= top || block.top >= bottom || block.rows == 0)
            continue;
        const int firstRow = std::max(0, (top - gridTop) / (height + spacing));
        const int lastRow
            = std::min(block.rows - 1, std::max(0, (bottom - gridTop) / (height + spacing)));
        for (int row = firstRow; row <= lastRow; ++row) {
            for (int col = 0; col < cols; ++col) {
                const int local = row * cols + col;
                if (local < block.count)
                    result.append(block.firstIndex + local);
            }
        }
    }
    return result;
}

void LibraryGridView::scrollToIndex(int index)
{
    const QRect rect = cellRect(index);
    if (rect.isNull())
        return;
    QScrollBar *bar = verticalScrollBar();
    if (rect.top() < 0)
        bar->setValue(bar->value() + rect.top() - spacing);
    else if (rect.bottom() > viewport()->height())
        bar->setValue(bar->value() + rect.bottom() - viewport()->height() + spacing);
}

QString LibraryGridView::cellObjectName(const ScreenshotRecord &record)
{
    return QStringLiteral("library.thumbnail.") + QString::number(record.id);
}

int LibraryGridView::indexOfObjectName(const QString &objectName) const
{
    for (int i = 0; i < m_displayed.size(); ++i) {
        if (cellObjectName(m_displayed[i]) == objectName)
            return i;
    }
    return -1;
}

void LibraryGridView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    relayout();
    pruneRequests();
    Q_EMIT gridWidthChanged(gridWidth());
}

void LibraryGridView::scrollContentsBy(int, int)
{
    pruneRequests();
    viewport()->update();
}

void LibraryGridView::setThumbnailScale(int percent)
{
    const QList<int> scales = thumbnailScales();
    const int nearest = *std::min_element(scales.cbegin(), scales.cend(),
        [percent](int a, int b) { return std::abs(a - percent) < std::abs(b - percent); });
    if (nearest == m_scale)
        return;
    m_scale = nearest;
    // Cached results were made for the old size.
    for (auto &pending : m_pending)
        pending.request.cancel();
    m_pending.clear();
    m_loaded.clear();
    relayout();
    if (m_selectedId) {
        for (int i = 0; i < m_displayed.size(); ++i) {
            if (m_displayed[i].id == *m_selectedId)
                scrollToIndex(i);
        }
    }
    viewport()->update();
    Q_EMIT thumbnailScaleChanged(m_scale);
}

void LibraryGridView::stepThumbnailScale(int steps)
{
    const QList<int> scales = thumbnailScales();
    const int at = static_cast<int>(scales.indexOf(m_scale));
    setThumbnailScale(scales.at(std::clamp(at + steps, 0, int(scales.size()) - 1)));
}

void LibraryGridView::wheelEvent(QWheelEvent *event)
{
    if (event->modifiers() & Qt::ControlModifier) {
        const int delta = event->angleDelta().y();
        if (delta != 0)
            stepThumbnailScale(delta > 0 ? 1 : -1);
        event->accept();
        return;
    }
    QAbstractScrollArea::wheelEvent(event);
}

void LibraryGridView::keyPressEvent(QKeyEvent *event)
{
    using LibrarySorting::Move;
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers.testFlag(Qt::ControlModifier)) {
        switch (event->key()) {
        case Qt::Key_Equal:
        case Qt::Key_Plus:
            stepThumbnailScale(1);
            return;
        case Qt::Key_Minus:
            stepThumbnailScale(-1);
            return;
        default:
            break;
        }
    }
    switch (event->key()) {
    case Qt::Key_Left:
        Q_EMIT moveRequested(Move::left);
        return;
    case Qt::Key_Right:
        Q_EMIT moveRequested(Move::right);
        return;
    case Qt::Key_Up:
        Q_EMIT moveRequested(Move::up);
        return;
    case Qt::Key_Down:
        Q_EMIT moveRequested(Move::down);
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        Q_EMIT returnPressed();
        return;
    case Qt::Key_Space:
        if (modifiers == Qt::NoModifier) {
            Q_EMIT spacePressed();
            return;
        }
        break;
    case Qt::Key_Backspace:
        if (modifiers == Qt::ControlModifier) {
            Q_EMIT deletePressed();
            return;
        }
        break;
    case Qt::Key_Delete:
        if (modifiers == Qt::NoModifier) {
            Q_EMIT deletePressed();
            return;
        }
        break;
    default:
        break;
    }
    const QString text = event->text();
    const bool commandKey = modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (!commandKey && !text.isEmpty() && text.at(0).isPrint() && !text.at(0).isSpace()) {
        Q_EMIT textTyped(text);
        return;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void LibraryGridView::mousePressEvent(QMouseEvent *event)
{
    setFocus(Qt::MouseFocusReason);
    m_pressIndex = indexAt(event->position().toPoint());
    m_pressPos = event->position().toPoint();
    if (m_pressIndex >= 0 && event->button() == Qt::LeftButton)
        Q_EMIT clicked(m_displayed[m_pressIndex]);
}

void LibraryGridView::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || m_pressIndex < 0)
        return;
    if ((event->position().toPoint() - m_pressPos).manhattanLength()
        < QApplication::startDragDistance())
        return;
    const int index = m_pressIndex;
    m_pressIndex = -1;
    startDrag(index);
}

void LibraryGridView::mouseDoubleClickEvent(QMouseEvent *event)
{
    const int index = indexAt(event->position().toPoint());
    if (index >= 0 && event->button() == Qt::LeftButton)
        Q_EMIT activated(m_displayed[index]);
}

void LibraryGridView::contextMenuEvent(QContextMenuEvent *event)
{
    const int index = indexAt(viewport()->mapFrom(this, event->pos()));
    if (index >= 0)
        Q_EMIT contextMenuRequested(m_displayed[index], event->globalPos());
}

bool LibraryGridView::viewportEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange)
        m_fitted.clear(); // their frames have the old text colour
    if (event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        const int index = indexAt(help->pos());
        if (index >= 0)
            QToolTip::showText(help->globalPos(), GridCellText::toolTip(m_displayed[index]),
                viewport(), cellRect(index));
        else
            QToolTip::hideText();
        return true;
    }
    if (event->type() == QEvent::ContextMenu) {
        auto *menuEvent = static_cast<QContextMenuEvent *>(event);
        const int index = indexAt(menuEvent->pos());
        if (index >= 0)
            Q_EMIT contextMenuRequested(m_displayed[index], menuEvent->globalPos());
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void LibraryGridView::startDrag(int index)
{
    const ScreenshotRecord record = m_displayed.value(index);
    if (record.path.isEmpty())
        return;
    auto *mime = new ScreenshotDragData(record.path);
    auto *drag = new QDrag(this);
    drag->setMimeData(mime);
    const QSize pixels = thumbnailPixels();
    const QImage image = m_provider->cachedImage(record.path, pixels.width(), pixels.height());
    if (!image.isNull())
        drag->setPixmap(QPixmap::fromImage(
            image.scaled(96, 96, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    drag->exec(Qt::CopyAction);
}

void LibraryGridView::updateAccessibleText()
{
    QString name;
    if (m_selectedId) {
        for (const auto &record : std::as_const(m_displayed)) {
            if (record.id == *m_selectedId) {
                name = LibrarySorting::accessibleLabel(record);
                break;
            }
        }
    }
    if (accessibleName() == name)
        return;
    setAccessibleName(name);
    if (QAccessible::isActive()) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

} // namespace marlox
