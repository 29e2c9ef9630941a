#pragma once

#include <QList>
#include <QPointF>
#include <QTransform>
#include <QWidget>

#include "filing/wordboxes.h"

namespace marlox {

// Where a drag lands among the recognised words: pure geometry in image
// pixels, kept apart from the widget so it can be tested directly.
namespace TextSelection {

// The word a press at `point` starts on, or -1 when the press is not on text
// (it then pans instead). `slop` widens each box a little.
int wordAt(const QList<WordBox> &words, const QPointF &point, double slop);
// The word a drag reaching `point` extends the selection to: the nearest line,
// then the nearest word on it. -1 only without words.
int nearestWord(const QList<WordBox> &words, const QPointF &point);
// The words a search for `query` found, in reading order: those holding one
// of its terms, compared as the word index compares them (case and accents
// ignored, split at punctuation), the last part of each typed word as a
// prefix; pieces of Chinese or Japanese as substrings.
QList<int> matchingWords(const QList<WordBox> &words, const QString &query);

} // namespace TextSelection

// An invisible layer over the detail view's image that makes the recognised
// words selectable: drag to select words in reading order (from a word, or
// from anywhere around them, as in a document viewer), double-click for a
// line, Ctrl+A for all, Ctrl+C copies. The middle button, a drag while the
// pan key is held, or any drag over an image without words pans instead. The
// owner keeps the image-to-layer transform current so the selection follows
// zoom and scroll.
class TextLayer : public QWidget
{
    Q_OBJECT

public:
    explicit TextLayer(QWidget *parent = nullptr);

    void setWords(QList<WordBox> words);
    const QList<WordBox> &words() const { return m_words; }
    void setImageTransform(const QTransform &imageToLayer);
    QTransform imageTransform() const { return m_toLayer; }

    // Inclusive range in reading order; empty when first < 0.
    int selectionStart() const { return m_anchor < 0 ? -1 : qMin(m_anchor, m_focus); }
    int selectionEnd() const { return m_anchor < 0 ? -1 : qMax(m_anchor, m_focus); }
    bool hasSelection() const { return m_anchor >= 0; }
    QList<WordBox> selectedWords() const;
    // While held, a left drag pans wherever it starts.
    void setPanKeyHeld(bool held);
    bool isPanKeyHeld() const { return m_panKeyHeld; }
    // Words shown marked, as search hits, by index.
    void setMarkedWords(const QList<int> &indexes);
    const QList<int> &markedWords() const { return m_marked; }
    QString selectedText() const;
    void selectAll();
    void clearSelection();
    void copySelection() const;

Q_SIGNALS:
    void selectionChanged();
    // A drag that did not start on text pans the image by this many pixels.
    void panRequested(const QPoint &delta);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    QPointF toImage(const QPointF &layerPoint) const;
    double slop() const;
    void setSelection(int anchor, int focus);
    void updateCursor(const QPointF &layerPoint);
    void startPanning(const QPoint &globalPos);
    // The selection from the gap before word `caret` to the word nearest
    // the point, whichever way the drag went.
    void selectFromCaret(const QPointF &imagePoint);

    QList<WordBox> m_words;
    QList<int> m_marked;
    QTransform m_toLayer;
    int m_anchor = -1;
    int m_focus = -1;
    // fromGap: pressed between words, waiting to be dragged far enough.
    enum class Drag { none, selecting, fromGap, panning } m_drag = Drag::none;
    QPoint m_lastPanPoint;
    QPointF m_pressPoint; // layer coordinates
    int m_caret = -1;
    bool m_panKeyHeld = false;
};

} // namespace marlox
