#include "library/textlayer.h"

#include <cmath>
#include <limits>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

namespace marlox {

namespace TextSelection {

namespace {
double distanceTo(const QRectF &rect, const QPointF &point, double verticalWeight)
{
    const double dx = std::max({ rect.left() - point.x(), 0.0, point.x() - rect.right() });
    const double dy = std::max({ rect.top() - point.y(), 0.0, point.y() - rect.bottom() });
    return dx + verticalWeight * dy;
}
} // namespace

int wordAt(const QList<WordBox> &words, const QPointF &point, double slop)
{
    for (int i = 0; i < words.size(); ++i) {
        if (QRectF(words.at(i).box).adjusted(-slop, -slop, slop, slop).contains(point))
            return i;
    }
    return -1;
}

int nearestWord(const QList<WordBox> &words, const QPointF &point)
{
    if (words.isEmpty())
        return -1;
    // The line first, weighing vertical distance heavily, so a drag along a
    // line past its end stays on it instead of jumping to a longer line.
    int bestLine = -1;
    double bestLineDistance = std::numeric_limits<double>::max();
    QRectF lineRect;
    int lineOf = -1;
    const auto considerLine = [&] {
        if (lineOf < 0)
            return;
        const double distance = distanceTo(lineRect, point, 4.0);
        if (distance < bestLineDistance) {
            bestLineDistance = distance;
            bestLine = lineOf;
        }
    };
    for (const WordBox &word : words) {
        if (word.line != lineOf) {
            considerLine();
            lineOf = word.line;
            lineRect = QRectF(word.box);
        } else {
            lineRect = lineRect.united(QRectF(word.box));
        }
    }
    considerLine();

    int best = -1;
    double bestDistance = std::numeric_limits<double>::max();
    for (int i = 0; i < words.size(); ++i) {
        if (words.at(i).line != bestLine)
            continue;
        const double distance = distanceTo(QRectF(words.at(i).box), point, 0.0);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return best;
}

} // namespace TextSelection

TextLayer::TextLayer(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("detail.textLayer"));
    setAttribute(Qt::WA_TranslucentBackground);
    setMouseTracking(true);
    setFocusPolicy(Qt::ClickFocus);
    setAccessibleName(QStringLiteral("Text in the image"));
}

void TextLayer::setWords(QList<WordBox> words)
{
    m_words = std::move(words);
    m_anchor = m_focus = -1;
    m_drag = Drag::none;
    update();
    Q_EMIT selectionChanged();
}

void TextLayer::setImageTransform(const QTransform &imageToLayer)
{
    if (imageToLayer == m_toLayer)
        return;
    m_toLayer = imageToLayer;
    update();
}

QList<WordBox> TextLayer::selectedWords() const
{
    if (!hasSelection())
        return {};
    return m_words.mid(selectionStart(), selectionEnd() - selectionStart() + 1);
}

QString TextLayer::selectedText() const
{
    return WordBoxes::joinedText(selectedWords());
}

void TextLayer::selectAll()
{
    if (!m_words.isEmpty())
        setSelection(0, int(m_words.size()) - 1);
}

void TextLayer::clearSelection()
{
    setSelection(-1, -1);
}

void TextLayer::copySelection() const
{
    if (hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

QPointF TextLayer::toImage(const QPointF &layerPoint) const
{
    return m_toLayer.inverted().map(layerPoint);
}

double TextLayer::slop() const
{
    // About three screen pixels, whatever the zoom.
    const double scale = std::max(m_toLayer.m11(), 0.01);
    return 3.0 / scale;
}

void TextLayer::setSelection(int anchor, int focus)
{
    if (anchor == m_anchor && focus == m_focus)
        return;
    m_anchor = anchor;
    m_focus = anchor < 0 ? -1 : focus;
    update();
    Q_EMIT selectionChanged();
}

void TextLayer::updateCursor(const QPointF &layerPoint)
{
    if (m_drag == Drag::panning)
        return;
    const bool onText = TextSelection::wordAt(m_words, toImage(layerPoint), slop()) >= 0;
    setCursor(onText || m_drag == Drag::selecting ? Qt::IBeamCursor : Qt::ArrowCursor);
}

void TextLayer::paintEvent(QPaintEvent *)
{
    if (!hasSelection())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = palette().color(QPalette::Active, QPalette::Highlight);
    fill.setAlpha(100);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    // One band per line, spanning the spaces between the selected words.
    const QList<WordBox> selected = selectedWords();
    QRectF band;
    int line = -1;
    const auto flush = [&] {
        if (line >= 0) {
            const QRectF mapped = m_toLayer.mapRect(band).adjusted(-2, -2, 2, 2);
            painter.drawRoundedRect(mapped, 3, 3);
        }
    };
    for (const WordBox &word : selected) {
        if (word.line != line) {
            flush();
            line = word.line;
            band = QRectF(word.box);
        } else {
            band = band.united(QRectF(word.box));
        }
    }
    flush();
}

void TextLayer::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    const int word = TextSelection::wordAt(m_words, toImage(event->position()), slop());
    if (word >= 0) {
        m_drag = Drag::selecting;
        setFocus(Qt::MouseFocusReason);
        if (event->modifiers() & Qt::ShiftModifier && hasSelection())
            setSelection(m_anchor, word);
        else
            setSelection(word, word);
    } else {
        clearSelection();
        m_drag = Drag::panning;
        m_lastPanPoint = event->globalPosition().toPoint();
        setCursor(Qt::ClosedHandCursor);
    }
}

void TextLayer::mouseMoveEvent(QMouseEvent *event)
{
    switch (m_drag) {
    case Drag::selecting: {
        const int word = TextSelection::nearestWord(m_words, toImage(event->position()));
        if (word >= 0)
            setSelection(m_anchor, word);
        break;
    }
    case Drag::panning: {
        const QPoint now = event->globalPosition().toPoint();
        Q_EMIT panRequested(m_lastPanPoint - now);
        m_lastPanPoint = now;
        break;
    }
    case Drag::none:
        break;
    }
    updateCursor(event->position());
}

void TextLayer::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    m_drag = Drag::none;
    updateCursor(event->position());
}

void TextLayer::mouseDoubleClickEvent(QMouseEvent *event)
{
    const int word = TextSelection::wordAt(m_words, toImage(event->position()), slop());
    if (word < 0) {
        event->ignore();
        return;
    }
    // The whole line on a double-click, as a quick way to take a line of text.
    int first = word;
    int last = word;
    while (first > 0 && m_words.at(first - 1).line == m_words.at(word).line)
        --first;
    while (last + 1 < m_words.size() && m_words.at(last + 1).line == m_words.at(word).line)
        ++last;
    setSelection(first, last);
    m_drag = Drag::none;
}

void TextLayer::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy) && hasSelection()) {
        copySelection();
        return;
    }
    if (event->matches(QKeySequence::SelectAll) && !m_words.isEmpty()) {
        selectAll();
        return;
    }
    if (event->key() == Qt::Key_Escape && hasSelection()) {
        clearSelection();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TextLayer::contextMenuEvent(QContextMenuEvent *event)
{
    if (m_words.isEmpty()) {
        event->ignore();
        return;
    }
    QMenu menu(this);
    QAction *copy = menu.addAction(QStringLiteral("Copy"), this, &TextLayer::copySelection);
    copy->setEnabled(hasSelection());
    menu.addAction(QStringLiteral("Select All"), this, &TextLayer::selectAll);
    menu.exec(event->globalPos());
}

} // namespace marlox
