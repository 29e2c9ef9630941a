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
#include <QRect>
#include <QWidget>

#include "library/detailimagepane.h"
#include "storage/screenshotrecord.h"

class QLabel;
class QPushButton;
class QToolButton;

namespace marlox {

class DetailCodeList;
class PreviewWindow;
class RecordActions;
class TextLayer;

// The title, or the file name when the title is empty.
QString detailDisplayName(const ScreenshotRecord &record);

// Where the detail window goes: 90% of the parent window (at least 640 x 420,
// at most 90% of the available area), centred on it and clamped into the
// area. Without a parent it is centred in the main screen's area; without any
// screen the area is 1280 x 800.
QRect detailWindowFrame(const std::optional<QRect> &parentFrame,
    const std::optional<QRect> &parentScreenArea, const std::optional<QRect> &mainScreenArea);

// The content of the detail window: header, image pane with zoom controls,
// the recognised text, and the actions.
class ScreenshotDetailView : public QWidget
{
    Q_OBJECT

public:
    ScreenshotDetailView(RecordActions *actions, const ScreenshotRecord &record,
        std::function<void()> onClose, QWidget *parent = nullptr);
    ~ScreenshotDetailView() override;

    const ScreenshotRecord &record() const { return m_record; }
    ImageZoomController *zoomController() const { return m_zoom; }
    DetailImagePane *imagePane() const { return m_imagePane; }
    QLabel *textLabel() const { return m_text; }
    DetailCodeList *codeList() const { return m_codes; }
    std::optional<QString> ocrText() const { return m_ocrText; }
    void setOcrText(const std::optional<QString> &text);
    // The search the record was opened from: its hits are marked on the image.
    void setSearchQuery(const QString &query);

    // Asks to move the file to the Trash; closes when the record is gone.
    void confirmDelete();
    void copyAllText();
    void showPreview();
    void revealInFileManager();

private:
    void buildUi();
    QWidget *buildImagePane();
    void loadText();
    void updateTextStatus();

    QPointer<RecordActions> m_actions;
    ScreenshotRecord m_record;
    std::function<void()> m_onClose;
    ImageZoomController *m_zoom = nullptr;
    std::optional<QString> m_ocrText;
    QImage m_loadedImage;

    DetailImagePane *m_imagePane = nullptr;
    QLabel *m_text = nullptr;
    DetailCodeList *m_codes = nullptr;
    QLabel *m_percent = nullptr;
    QLabel *m_textStatus = nullptr;
    QPointer<PreviewWindow> m_preview;
    QFutureWatcher<QString> m_textWatcher;
};

// Builds the detail window for one record next to the window it was opened
// from (a child window kept above it), shows it and brings it forward. The
// controller belongs to its window and goes away with it; onClose runs when
// the window closes. Escape and Ctrl+W close it; Left/Right and Page Up/Down
// step through the records the neighbours function gives.
class ScreenshotDetailWindowController : public QObject
{
    Q_OBJECT

public:
    ScreenshotDetailWindowController(RecordActions *actions, const ScreenshotRecord &record,
        QWidget *parentWindow, std::function<void()> onClose = {});

    QWidget *window() const { return m_window; }
    ScreenshotDetailView *view() const { return m_view; }
    void showWindow();
    void close();

    // The record `step` places before (negative) or after the one shown, or
    // none at the ends of the list.
    using Neighbours
        = std::function<std::optional<ScreenshotRecord>(const ScreenshotRecord &from, int step)>;
    void setNeighbours(Neighbours neighbours) { m_neighbours = std::move(neighbours); }
    // False, showing the same record, when there is no such neighbour.
    bool showAdjacent(int step);
    // Shows another record in the same window, zoomed to fit, its search
    // hits marked.
    void showRecord(const ScreenshotRecord &record);
    void setSearchQuery(const QString &query);

Q_SIGNALS:
    void recordShown(const marlox::ScreenshotRecord &record);

private:
    friend class DetailWindow;
    void windowClosed();
    void buildView(const ScreenshotRecord &record);

    QPointer<RecordActions> m_actions;
    std::function<void()> m_onClose;
    Neighbours m_neighbours;
    QString m_searchQuery;
    QPointer<QWidget> m_parentWindow;
    QPointer<QWidget> m_window;
    ScreenshotDetailView *m_view = nullptr;
    bool m_closed = false;
};

} // namespace marlox
