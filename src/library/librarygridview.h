#pragma once

#include <functional>
#include <optional>

#include <QAbstractScrollArea>
#include <QFont>
#include <QHash>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QString>

#include "library/librarysorting.h"
#include "library/thumbnailprovider.h"
#include "storage/screenshotrecord.h"

namespace marlox {

// The library's thumbnail grid. Virtualised: the layout is arithmetic over
// the blocks, and only the cells inside the viewport are painted and ask for
// thumbnails, so 100,000 records cost no more than a screenful.
class LibraryGridView : public QAbstractScrollArea
{
    Q_OBJECT

public:
    static constexpr int spacing = 12;
    static constexpr int minColumnWidth = 140;
    static constexpr int maxColumnWidth = 180;
    static constexpr int thumbnailHeight = 100;
    static constexpr int sideMargin = 16;

    struct Block
    {
        QString header; // empty: no header row
        QList<ScreenshotRecord> records;
        bool guessed = false; // not exact matches: drawn apart, marked
        int rank = 0; // blocks of exact matches stand in rising rank
    };

    explicit LibraryGridView(QWidget *parent = nullptr);

    void setContents(QList<Block> blocks, QHash<qint64, QString> snippets);
    // One record in place of rebuilding the contents: a list of 100,000
    // records takes one filing at a time without a full relayout of records.
    // The record goes into the block with its header (made, at its rank, if
    // missing), after every record it does not come before.
    void insertRecord(const ScreenshotRecord &record, const QString &header, int rank,
        const std::function<bool(const ScreenshotRecord &, const ScreenshotRecord &)> &comesBefore);
    // False when no cell shows it; a block left empty goes.
    bool removeRecord(qint64 id);
    void setSelectedId(std::optional<qint64> id);
    std::optional<qint64> selectedId() const { return m_selectedId; }
    void setThumbnailProvider(ThumbnailProvider *provider) { m_provider = provider; }
    // Thumbnail size in percent of the standard cell; Ctrl+wheel, Ctrl+= and
    // Ctrl+- step it between 75 and 200.
    int thumbnailScale() const { return m_scale; }
    void setThumbnailScale(int percent);
    static QList<int> thumbnailScales() { return { 75, 100, 125, 150, 200 }; }

    const QList<ScreenshotRecord> &displayed() const { return m_displayed; }
    const QList<Block> &blocks() const { return m_blocks; }
    // The width the columns are laid out in, in logical pixels.
    double gridWidth() const;
    int columns() const;
    QRect cellRect(int index) const; // viewport coordinates
    int indexAt(const QPoint &viewportPos) const;
    void scrollToIndex(int index);
    QList<int> visibleIndexes() const;

    // Accessibility of one cell; the grid itself announces the selected one.
    static QString cellObjectName(const ScreenshotRecord &record);
    int indexOfObjectName(const QString &objectName) const;
    int pendingThumbnailCount() const { return static_cast<int>(m_pending.size()); }

Q_SIGNALS:
    void clicked(const marlox::ScreenshotRecord &record);
    void activated(const marlox::ScreenshotRecord &record);
    void contextMenuRequested(const marlox::ScreenshotRecord &record, const QPoint &globalPos);
    void moveRequested(marlox::LibrarySorting::Move move);
    void returnPressed();
    void spacePressed();
    void deletePressed();
    // Printable text typed while the grid has the focus; it starts a search.
    void textTyped(const QString &text);
    void gridWidthChanged(double width);
    void thumbnailScaleChanged(int percent);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    bool viewportEvent(QEvent *event) override;

private:
    static constexpr int cellPadding = 4;
    static constexpr int topMargin = 8;
    static constexpr int blockGap = 8;
    // Twelve words of excerpt wrap to about three lines in a 180-wide cell.
    static constexpr int snippetLines = 3;

    struct BlockLayout
    {
        int top = 0; // content coordinates
        int headerHeight = 0;
        int firstIndex = 0;
        int count = 0;
        int rows = 0;
        int height = 0;
    };
    struct Pending
    {
        quint64 serial = 0;
        ThumbnailProvider::Request request;
    };

    void relayout();
    int cellHeight() const;
    int scaled(int length) const { return length * m_scale / 100; }
    void stepThumbnailScale(int steps);
    int columnWidth() const;
    int leftOffset() const;
    QSize thumbnailPixels() const;
    void paintCell(QPainter &painter, int index, const QRect &rect);
    void paintSnippet(QPainter &painter, const QString &snippet, const QRect &rect);
    QImage thumbnailFor(const ScreenshotRecord &record);
    void pruneRequests();
    void startDrag(int index);
    void updateAccessibleText();

    ThumbnailProvider *m_provider;
    QList<Block> m_blocks;
    QList<BlockLayout> m_layout;
    QList<ScreenshotRecord> m_displayed;
    QHash<qint64, QString> m_snippets;
    std::optional<qint64> m_selectedId;
    int m_contentHeight = 0;
    QHash<QString, Pending> m_pending; // by path
    QHash<QString, QImage> m_loaded; // results for cells on screen, by path
    // Titles as wrapped for their cells: laying each out again on every
    // repaint was most of a repaint's cost.
    struct TitleLines
    {
        QString title;
        QFont font;
        int width = 0;
        QStringList lines;
    };
    QHash<qint64, TitleLines> m_titleLines;
    // Thumbnails at the size their cells show them, framed, by path: drawn
    // scaled or framed by the painter, each took fills that Qt's raster
    // engine splits over its shared thread pool and waits for, on every
    // repaint; a plain copy of pixels does not.
    struct Fitted
    {
        qint64 sourceKey = 0;
        QImage image;
    };
    QHash<QString, Fitted> m_fitted;
    // The grey stand-in for a thumbnail not (yet) there, drawn once per size.
    QImage m_placeholder;
    const QImage &fittedThumbnail(const QString &path, const QImage &source, QSize pixels);
    const QStringList &titleLines(const ScreenshotRecord &record, const QFont &font, int width);
    quint64 m_nextSerial = 1;
    QPoint m_pressPos;
    int m_pressIndex = -1;
    int m_scale = 100;
};

} // namespace marlox
