#include "library/textlayer.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include "storage/searchquery.h"

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

namespace {

// Lower case without accents, as the word index compares words.
QString folded(const QString &text)
{
    QString out;
    for (const char32_t ch : text.normalized(QString::NormalizationForm_D).toUcs4()) {
        if (QChar::category(ch) != QChar::Mark_NonSpacing)
            out += QString::fromUcs4(&ch, 1);
    }
    return out.toCaseFolded();
}

// The word index's tokens: it splits wherever a character is not part of a word.
QStringList tokens(const QString &foldedText)
{
    QStringList result;
    QString current;
    for (const char32_t ch : foldedText.toUcs4()) {
        if (SearchQuery::isWordCharacter(ch)) {
            current += QString::fromUcs4(&ch, 1);
        } else if (!current.isEmpty()) {
            result.append(current);
            current.clear();
        }
    }
    if (!current.isEmpty())
        result.append(current);
    return result;
}

bool allNoSpaceScript(const QString &text)
{
    const QList<uint> points = text.toUcs4();
    return !points.isEmpty() && std::all_of(points.begin(), points.end(), [](uint ch) {
        return SearchQuery::isNoSpaceScript(ch);
    });
}

} // namespace

QList<int> matchingWords(const QList<WordBox> &words, const QString &query)
{
    // The words' tokens as one stream, as the index sees the text, so that a
    // typed "src/main.py" finds its parts in a row, across word boxes too.
    struct Token
    {
        QString text;
        int word;
    };
    QList<Token> stream;
    QStringList bareWords; // letters and digits only, for substring hits
    for (int i = 0; i < words.size(); ++i) {
        const QStringList parts = tokens(folded(words.at(i).text));
        for (const QString &token : parts)
            stream.append({ token, i });
        bareWords.append(parts.join(QString()));
    }
    QList<bool> marked(words.size(), false);
    for (const SearchQuery::Piece &piece : SearchQuery::split(query)) {
        if (SearchQuery::hasNoSpaceScript(piece.joined)) {
            // Found as a substring by the search; the recogniser may have cut
            // it into several words or kept it inside a longer one.
            const QString joined = folded(piece.joined);
            for (int i = 0; i < words.size(); ++i) {
                const QString &bare = bareWords.at(i);
                if (!bare.isEmpty()
                    && (bare.contains(joined) || (allNoSpaceScript(bare) && joined.contains(bare))))
                    marked[i] = true;
            }
            continue;
        }
        // Adjacent terms, the last one a prefix: the search's phrase.
        const QStringList parts = tokens(folded(piece.words));
        if (parts.isEmpty())
            continue;
        for (qsizetype start = 0; start + parts.size() <= stream.size(); ++start) {
            bool found = true;
            for (qsizetype p = 0; p < parts.size() && found; ++p) {
                const QString &token = stream.at(start + p).text;
                found
                    = p + 1 == parts.size() ? token.startsWith(parts.at(p)) : token == parts.at(p);
            }
            for (qsizetype p = 0; found && p < parts.size(); ++p)
                marked[stream.at(start + p).word] = true;
        }
    }
    QList<int> result;
    for (int i = 0; i < words.size(); ++i) {
        if (marked.at(i))
            result.append(i);
    }
    return result;
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
    m_marked.clear();
    m_anchor = m_focus = m_caret = -1;
    m_drag = Drag::none;
    update();
    Q_EMIT selectionChanged();
}

void TextLayer::setMarkedWords(const QList<int> &indexes)
{
    if (indexes == m_marked)
        return;
    m_marked = indexes;
    update();
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
    if (m_panKeyHeld || (m_words.isEmpty() && m_drag == Drag::none)) {
        setCursor(Qt::OpenHandCursor);
        return;
    }
    const bool onText = TextSelection::wordAt(m_words, toImage(layerPoint), slop()) >= 0;
    setCursor(onText || m_drag != Drag::none ? Qt::IBeamCursor : Qt::ArrowCursor);
}

void TextLayer::setPanKeyHeld(bool held)
{
    if (held == m_panKeyHeld)
        return;
    m_panKeyHeld = held;
    if (m_drag != Drag::panning)
        updateCursor(mapFromGlobal(QCursor::pos()));
}

void TextLayer::startPanning(const QPoint &globalPos)
{
    m_drag = Drag::panning;
    m_lastPanPoint = globalPos;
    setCursor(Qt::ClosedHandCursor);
}

void TextLayer::selectFromCaret(const QPointF &imagePoint)
{
    const int word = TextSelection::nearestWord(m_words, imagePoint);
    if (word < 0)
        return;
    if (word >= m_caret)
        setSelection(m_caret, word);
    else
        setSelection(m_caret - 1, word);
}

bool TextLayer::event(QEvent *event)
{
    // Escape clears a selection before it closes the window.
    if (event->type() == QEvent::ShortcutOverride && hasSelection()
        && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

void TextLayer::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!m_marked.isEmpty()) {
        // Search hits: a marker-yellow wash with a rim, visible on light and
        // dark screenshots alike, under any selection.
        painter.setPen(QPen(QColor(230, 150, 0, 220), 1.5));
        painter.setBrush(QColor(255, 214, 0, 110));
        for (const int index : m_marked) {
            if (index >= 0 && index < m_words.size()) {
                const QRectF mapped
                    = m_toLayer.mapRect(QRectF(m_words.at(index).box)).adjusted(-3, -2, 3, 2);
                painter.drawRoundedRect(mapped, 3, 3);
            }
        }
    }
    if (!hasSelection())
        return;
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
    if (event->button() == Qt::MiddleButton
        || (event->button() == Qt::LeftButton && (m_panKeyHeld || m_words.isEmpty()))) {
        startPanning(event->globalPosition().toPoint());
        return;
    }
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const QPointF point = toImage(event->position());
    const int word = TextSelection::wordAt(m_words, point, slop());
    m_caret = -1;
    if (word >= 0) {
        m_drag = Drag::selecting;
        if (event->modifiers() & Qt::ShiftModifier && hasSelection())
            setSelection(m_anchor, word);
        else
            setSelection(word, word);
        return;
    }
    if (event->modifiers() & Qt::ShiftModifier && hasSelection()) {
        m_drag = Drag::selecting;
        setSelection(m_anchor, TextSelection::nearestWord(m_words, point));
        return;
    }
    // Between words: the gap nearest the press, on the side of the nearest
    // word it lies on; a click without a drag only clears.
    clearSelection();
    const int nearest = TextSelection::nearestWord(m_words, point);
    m_caret = point.x() < QRectF(m_words.at(nearest).box).center().x() ? nearest : nearest + 1;
    m_pressPoint = event->position();
    m_drag = Drag::fromGap;
}

void TextLayer::mouseMoveEvent(QMouseEvent *event)
{
    switch (m_drag) {
    case Drag::fromGap:
        if ((event->position() - m_pressPoint).manhattanLength()
            < QApplication::startDragDistance())
            break;
        m_drag = Drag::selecting;
        selectFromCaret(toImage(event->position()));
        break;
    case Drag::selecting:
        if (m_caret >= 0) {
            selectFromCaret(toImage(event->position()));
        } else {
            const int word = TextSelection::nearestWord(m_words, toImage(event->position()));
            if (word >= 0)
                setSelection(m_anchor, word);
        }
        break;
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
    if (event->button() != Qt::LeftButton && event->button() != Qt::MiddleButton) {
        event->ignore();
        return;
    }
    m_drag = Drag::none;
    m_caret = -1;
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
