#include "library/screenshotdetail.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtConcurrent>

#include "app/recordactions.h"
#include "filing/ocrengine.h"
#include "library/detailcodes.h"
#include "library/filemanagerreveal.h"
#include "library/previewwindow.h"
#include "library/textlayer.h"
#include "platform/log.h"
#include "platform/workpools.h"
#include "widgets/windowrules.h"

namespace marlox {

QString detailDisplayName(const ScreenshotRecord &record)
{
    if (!record.title.isEmpty())
        return record.title;
    return QFileInfo(record.path).fileName();
}

QRect detailWindowFrame(const std::optional<QRect> &parentFrame,
    const std::optional<QRect> &parentScreenArea, const std::optional<QRect> &mainScreenArea)
{
    const QRectF fallback(0, 0, 1280, 800);
    QRectF area;
    QRectF reference;
    if (parentFrame) {
        reference = QRectF(*parentFrame);
        area = parentScreenArea ? QRectF(*parentScreenArea)
            : mainScreenArea    ? QRectF(*mainScreenArea)
                                : fallback;
    } else {
        area = mainScreenArea ? QRectF(*mainScreenArea) : fallback;
        reference = area;
    }
    double w = std::max(0.9 * reference.width(), 640.0);
    w = std::min(w, 0.9 * area.width());
    w = std::min(w, area.width());
    double h = std::max(0.9 * reference.height(), 420.0);
    h = std::min(h, 0.9 * area.height());
    h = std::min(h, area.height());
    double x = reference.center().x() - w / 2;
    double y = reference.center().y() - h / 2;
    x = std::min(std::max(x, area.left()), area.left() + area.width() - w);
    y = std::min(std::max(y, area.top()), area.top() + area.height() - h);
    return QRectF(x, y, w, h).toRect();
}

// ---- ScreenshotDetailView

ScreenshotDetailView::ScreenshotDetailView(RecordActions *actions, const ScreenshotRecord &record,
    std::function<void()> onClose, QWidget *parent)
    : QWidget(parent),
      m_actions(actions),
      m_record(record),
      m_onClose(std::move(onClose)),
      m_zoom(new ImageZoomController(this))
{
    setObjectName(QStringLiteral("detail.view"));
    QImageReader reader(record.path);
    reader.setAutoTransform(true);
    if (!reader.read(&m_loadedImage))
        m_loadedImage = QImage();
    buildUi();
    loadText();
}

ScreenshotDetailView::~ScreenshotDetailView()
{
    m_textWatcher.disconnect();
    if (m_preview)
        m_preview->close();
}

void ScreenshotDetailView::buildUi()
{
    const QString name = detailDisplayName(m_record);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(10, 10, 10, 10);
    header->setSpacing(8);
    auto *title = new QLabel(name);
    title->setObjectName(QStringLiteral("detail.title"));
    title->setAccessibleName(name);
    title->setAccessibleDescription(QStringLiteral("Heading"));
    title->setTextFormat(Qt::PlainText);
    QFont headline = title->font();
    headline.setBold(true);
    headline.setPointSizeF(headline.pointSizeF() * 1.15);
    title->setFont(headline);
    title->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *done = new QPushButton(QStringLiteral("Done"));
    done->setObjectName(QStringLiteral("detail.done"));
    connect(done, &QPushButton::clicked, this, [this] {
        if (m_onClose)
            m_onClose();
    });
    header->addWidget(title, 1);
    header->addWidget(done);
    layout->addLayout(header);

    auto divider = [] {
        auto *line = new QFrame;
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        return line;
    };
    layout->addWidget(divider());

    auto *split = new QSplitter(Qt::Horizontal);
    split->setObjectName(QStringLiteral("detail.split"));
    split->setChildrenCollapsible(false);
    split->addWidget(buildImagePane());

    auto *textScroll = new QScrollArea;
    textScroll->setObjectName(QStringLiteral("detail.textPane"));
    textScroll->setWidgetResizable(true);
    textScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    textScroll->setMinimumWidth(240);
    textScroll->setFrameShape(QFrame::NoFrame);
    m_text = new QLabel;
    m_text->setObjectName(QStringLiteral("detail.text"));
    m_text->setTextFormat(Qt::PlainText);
    m_text->setWordWrap(true);
    m_text->setAlignment(Qt::AlignLeading | Qt::AlignTop);
    m_text->setContentsMargins(8, 8, 8, 8);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // The codes go under the text, outside its label, so selecting and
    // copying the text works as before.
    auto *textColumn = new QWidget;
    auto *textLayout = new QVBoxLayout(textColumn);
    textLayout->setContentsMargins(0, 0, 0, 0);
    textLayout->setSpacing(0);
    textLayout->addWidget(m_text);
    m_codes = new DetailCodeList(m_actions ? &m_actions->dialogs() : nullptr);
    textLayout->addWidget(m_codes);
    textLayout->addStretch(1);
    textScroll->setWidget(textColumn);
    split->addWidget(textScroll);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    layout->addWidget(split, 1);
    if (m_imagePane) {
        connect(m_codes, &DetailCodeList::codesChanged, m_imagePane, &DetailImagePane::setCodes);
        connect(m_codes, &DetailCodeList::codeHovered, m_imagePane,
            &DetailImagePane::setHighlightedCode);
        connect(
            m_imagePane, &DetailImagePane::codeMenuRequested, m_codes, &DetailCodeList::showMenu);
    }
    updateTextStatus();

    layout->addWidget(divider());
    auto *actions = new QHBoxLayout;
    actions->setContentsMargins(10, 10, 10, 10);
    actions->setSpacing(8);
    const auto addAction = [&](const QString &text, const QString &id, const QString &tip) {
        auto *button = new QPushButton(text);
        button->setObjectName(id);
        if (!tip.isEmpty())
            button->setToolTip(tip);
        actions->addWidget(button);
        return button;
    };
    connect(addAction(QStringLiteral("Copy All Text"), QStringLiteral("detail.copyText"),
                QStringLiteral("Copy All Text (Ctrl+Shift+C)")),
        &QPushButton::clicked, this, &ScreenshotDetailView::copyAllText);
    connect(addAction(QStringLiteral("Preview"), QStringLiteral("detail.quickLook"),
                QStringLiteral("Preview (Space)")),
        &QPushButton::clicked, this, &ScreenshotDetailView::showPreview);
    connect(addAction(QStringLiteral("Show in File Manager"),
                QStringLiteral("detail.revealInFinder"), QString()),
        &QPushButton::clicked, this, &ScreenshotDetailView::revealInFileManager);
    actions->addStretch(1);
    QPushButton *remove = addAction(QStringLiteral("Delete"), QStringLiteral("detail.delete"), {});
    remove->setIcon(QIcon::fromTheme(QStringLiteral("user-trash")));
    connect(remove, &QPushButton::clicked, this, &ScreenshotDetailView::confirmDelete);
    layout->addLayout(actions);

    const auto shortcut = [this](const QKeySequence &keys, auto slot) {
        auto *sc = new QShortcut(keys, this, slot);
        sc->setContext(Qt::WindowShortcut);
        return sc;
    };
    shortcut(QKeySequence(QStringLiteral("Ctrl+Shift+C")), [this] { copyAllText(); });
    if (m_imagePane)
        connect(m_imagePane, &DetailImagePane::spaceTapped, this, [this] { showPreview(); });
    else
        shortcut(QKeySequence(Qt::Key_Space), [this] { showPreview(); });
    if (m_imagePane) {
        shortcut(QKeySequence(QStringLiteral("Ctrl+-")), [this] { m_zoom->zoomOut(); });
        shortcut(QKeySequence(QStringLiteral("Ctrl+0")), [this] { m_zoom->zoomToFit(); });
        shortcut(QKeySequence(QStringLiteral("Ctrl+=")), [this] { m_zoom->zoomIn(); });
        // Ctrl and the plus key (shifted equals, or the keypad's).
        shortcut(QKeySequence(QStringLiteral("Ctrl++")), [this] { m_zoom->zoomIn(); });
    }
}

QWidget *ScreenshotDetailView::buildImagePane()
{
    auto *pane = new QWidget;
    pane->setMinimumWidth(300);
    auto *layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    if (m_loadedImage.isNull()) {
        auto *missing = new QLabel(QStringLiteral("Image unavailable"));
        missing->setObjectName(QStringLiteral("detail.imageUnavailable"));
        missing->setAlignment(Qt::AlignCenter);
        missing->setForegroundRole(QPalette::PlaceholderText);
        layout->addWidget(missing, 1);
        return pane;
    }

    m_imagePane = new DetailImagePane(m_zoom);
    m_imagePane->viewport()->setAccessibleName(detailDisplayName(m_record));
    layout->addWidget(m_imagePane, 1);

    auto *bar = new QHBoxLayout;
    bar->setContentsMargins(8, 4, 8, 4);
    bar->setSpacing(4);
    m_textStatus = new QLabel;
    m_textStatus->setObjectName(QStringLiteral("detail.liveTextStatus"));
    m_textStatus->setForegroundRole(QPalette::PlaceholderText);
    bar->addWidget(m_textStatus, 1);
    const auto tool = [&](const QString &icon, const QString &fallback, const QString &id,
                          const QString &tip, const QString &accessible) {
        auto *button = new QToolButton;
        button->setObjectName(id);
        button->setToolTip(tip);
        button->setAccessibleName(accessible);
        const QIcon themed = QIcon::fromTheme(icon);
        if (themed.isNull() || icon.isEmpty())
            button->setText(fallback);
        else
            button->setIcon(themed);
        button->setAutoRaise(true);
        bar->addWidget(button);
        return button;
    };
    connect(tool(QStringLiteral("zoom-out"), QStringLiteral("−"), QStringLiteral("detail.zoomOut"),
                QStringLiteral("Zoom Out (Ctrl+-)"), QStringLiteral("Zoom Out")),
        &QToolButton::clicked, m_zoom, &ImageZoomController::zoomOut);
    connect(tool(QString(), QStringLiteral("Fit"), QStringLiteral("detail.zoomToFit"),
                QStringLiteral("Zoom to Fit (Ctrl+0)"), QStringLiteral("Zoom to Fit")),
        &QToolButton::clicked, m_zoom, &ImageZoomController::zoomToFit);
    connect(tool(QStringLiteral("zoom-in"), QStringLiteral("+"), QStringLiteral("detail.zoomIn"),
                QStringLiteral("Zoom In (Ctrl++)"), QStringLiteral("Zoom In")),
        &QToolButton::clicked, m_zoom, &ImageZoomController::zoomIn);
    m_percent = new QLabel;
    m_percent->setObjectName(QStringLiteral("detail.zoomPercent"));
    m_percent->setAccessibleName(QStringLiteral("Zoom"));
    m_percent->setMinimumWidth(
        m_percent->fontMetrics().horizontalAdvance(QStringLiteral("800%")) + 4);
    m_percent->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    bar->addWidget(m_percent);
    const auto showPercent = [this](int percent) {
        m_percent->setText(QStringLiteral("%1%").arg(percent));
        m_percent->setAccessibleDescription(QStringLiteral("%1 percent").arg(percent));
    };
    showPercent(m_zoom->percent());
    connect(m_zoom, &ImageZoomController::percentChanged, this, showPercent);
    layout->addLayout(bar);

    connect(m_imagePane, &DetailImagePane::textStatusChanged, this,
        [this](DetailImagePane::TextStatus status) {
            switch (status) {
            case DetailImagePane::TextStatus::none:
            case DetailImagePane::TextStatus::failed:
                m_textStatus->clear();
                break;
            case DetailImagePane::TextStatus::analysing:
                m_textStatus->setText(QStringLiteral("Finding text in the image…"));
                break;
            case DetailImagePane::TextStatus::ready:
                m_textStatus->setText(m_imagePane->textLayer()->words().isEmpty()
                        ? QString()
                        : QStringLiteral("Drag across the image to select text"));
                break;
            }
        });
    if (m_actions) {
        // Stored boxes when the record has them; read and kept otherwise.
        m_imagePane->setWordLoader([actions = m_actions, record = m_record](const QImage &image,
                                       std::shared_ptr<std::atomic_bool> cancel) {
            return actions ? actions->loadWordBoxes(record, image, std::move(cancel))
                           : QFuture<QList<WordBox>>();
        });
    }
    m_imagePane->setImage(m_loadedImage, m_record.path);
    return pane;
}

void ScreenshotDetailView::loadText()
{
    if (!m_actions) {
        setOcrText(QString());
        return;
    }
    connect(&m_textWatcher, &QFutureWatcher<QString>::finished, this, [this] {
        const QFuture<QString> future = m_textWatcher.future();
        QString text;
        try {
            if (!future.isCanceled() && future.resultCount() > 0)
                text = future.result();
        } catch (const std::exception &error) {
            qCWarning(lcAppState, "Loading the text of %s failed: %s",
                qUtf8Printable(m_record.path), error.what());
        }
        setOcrText(text);
    });
    m_textWatcher.setFuture(m_actions->loadOCRText(m_record));
    m_codes->load(m_actions->loadCodes(m_record, m_loadedImage));
}

void ScreenshotDetailView::setOcrText(const std::optional<QString> &text)
{
    m_ocrText = text;
    updateTextStatus();
}

void ScreenshotDetailView::setSearchQuery(const QString &query)
{
    if (m_imagePane)
        m_imagePane->setSearchQuery(query);
}

void ScreenshotDetailView::updateTextStatus()
{
    if (!m_text)
        return;
    if (!m_ocrText) {
        m_text->setText(QStringLiteral("Loading text…"));
        m_text->setForegroundRole(QPalette::PlaceholderText);
    } else if (m_ocrText->trimmed().isEmpty()) {
        m_text->setText(QStringLiteral("No text recognized."));
        m_text->setForegroundRole(QPalette::PlaceholderText);
    } else {
        m_text->setText(*m_ocrText);
        m_text->setForegroundRole(QPalette::WindowText);
    }
}

void ScreenshotDetailView::copyAllText()
{
    if (m_actions)
        m_actions->copyOCRText(m_record);
}

void ScreenshotDetailView::showPreview()
{
    if (!m_preview) {
        m_preview = new PreviewWindow(window());
        m_preview->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_preview->showFile(m_record.path);
}

void ScreenshotDetailView::revealInFileManager()
{
    showInFileManager(m_record.path, m_actions);
}

void ScreenshotDetailView::confirmDelete()
{
    if (!m_actions)
        return;
    const QString name = detailDisplayName(m_record);
    Dialogs::Alert alert;
    alert.style = Dialogs::AlertStyle::warning;
    alert.message = QStringLiteral("Move “%1” to the Trash?").arg(name);
    alert.informativeText
        = QStringLiteral("You can restore it from the Trash in your file manager.");
    alert.buttons = { QStringLiteral("Move to Trash"), QStringLiteral("Cancel") };
    alert.destructiveButton = 0;
    if (m_actions->dialogs().runAlert(alert) != 0)
        return;
    QPointer<ScreenshotDetailView> self(this);
    const bool gone = m_actions->deleteFromDetail(m_record);
    if (self && gone && m_onClose)
        m_onClose();
}

// ---- the window

class DetailWindow : public QWidget
{
public:
    // A dialog-type window, as X11 window managers honour the transient-for
    // hint (and keep a window above its parent) only for those; it keeps the
    // buttons of a normal window.
    DetailWindow(ScreenshotDetailWindowController *controller, QWidget *parent)
        : QWidget(parent,
            Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
          m_controller(controller)
    { }

protected:
    void closeEvent(QCloseEvent *event) override
    {
        QWidget::closeEvent(event);
        if (m_controller)
            m_controller->windowClosed();
    }

private:
    QPointer<ScreenshotDetailWindowController> m_controller;
};

ScreenshotDetailWindowController::ScreenshotDetailWindowController(RecordActions *actions,
    const ScreenshotRecord &record, QWidget *parentWindow, std::function<void()> onClose)
    : m_actions(actions),
      m_onClose(std::move(onClose)),
      m_parentWindow(parentWindow ? parentWindow->window() : nullptr)
{
    // A child window of the one it was opened from, transient for it.
    auto *window = new DetailWindow(this, m_parentWindow);
    m_window = window;
    setParent(window);
    window->setObjectName(QStringLiteral("detail.window"));
    window->setMinimumSize(640, 420);
    window->setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    buildView(record);

    const auto shortcut = [window](const QList<QKeySequence> &keys, auto slot) {
        auto *sc = new QShortcut(window);
        sc->setKeys(keys);
        sc->setContext(Qt::WindowShortcut);
        connect(sc, &QShortcut::activated, window, slot);
    };
    QList<QKeySequence> closing = QKeySequence::keyBindings(QKeySequence::Close);
    if (!closing.contains(QKeySequence(Qt::CTRL | Qt::Key_W)))
        closing.append(QKeySequence(Qt::CTRL | Qt::Key_W));
    closing.append(QKeySequence(Qt::Key_Escape));
    shortcut(closing, [this] { close(); });
    shortcut(
        { QKeySequence(Qt::Key_Left), QKeySequence(Qt::Key_PageUp) }, [this] { showAdjacent(-1); });
    shortcut({ QKeySequence(Qt::Key_Right), QKeySequence(Qt::Key_PageDown) },
        [this] { showAdjacent(1); });

    std::optional<QRect> parentFrame;
    std::optional<QRect> parentArea;
    std::optional<QRect> mainArea;
    if (m_parentWindow) {
        parentFrame = m_parentWindow->frameGeometry();
        if (QScreen *screen = m_parentWindow->screen())
            parentArea = screen->availableGeometry();
    }
    if (QScreen *primary = QGuiApplication::primaryScreen())
        mainArea = primary->availableGeometry();
    const QRect frame = detailWindowFrame(parentFrame, parentArea, mainArea);
    window->resize(frame.size());
    window->move(frame.topLeft());
}

void ScreenshotDetailWindowController::buildView(const ScreenshotRecord &record)
{
    QList<int> split;
    if (m_view) {
        if (auto *splitter = m_view->findChild<QSplitter *>(QStringLiteral("detail.split")))
            split = splitter->sizes();
        m_view->hide();
        m_view->deleteLater();
    }
    m_view = new ScreenshotDetailView(m_actions, record, [this] { close(); });
    // The text pane keeps the width the user gave it.
    if (auto *splitter = m_view->findChild<QSplitter *>(QStringLiteral("detail.split"));
        splitter && split.size() == splitter->count())
        splitter->setSizes(split);
    m_view->setSearchQuery(m_searchQuery);
    m_window->layout()->addWidget(m_view);
    m_window->setWindowTitle(detailDisplayName(record));
}

void ScreenshotDetailWindowController::setSearchQuery(const QString &query)
{
    m_searchQuery = query;
    if (m_view)
        m_view->setSearchQuery(query);
}

bool ScreenshotDetailWindowController::showAdjacent(int step)
{
    if (!m_neighbours || !m_view)
        return false;
    const std::optional<ScreenshotRecord> next = m_neighbours(m_view->record(), step);
    if (!next)
        return false;
    showRecord(*next);
    return true;
}

void ScreenshotDetailWindowController::showRecord(const ScreenshotRecord &record)
{
    if (!m_window)
        return;
    buildView(record);
    if (m_window->isVisible()) {
        m_view->show();
        if (DetailImagePane *pane = m_view->imagePane())
            pane->textLayer()->setFocus(Qt::OtherFocusReason);
    }
    Q_EMIT recordShown(record);
}

void ScreenshotDetailWindowController::showWindow()
{
    if (!m_window)
        return;
    m_window->show();
    WindowRules::bringForward(m_window);
}

void ScreenshotDetailWindowController::close()
{
    if (m_window)
        m_window->close();
}

void ScreenshotDetailWindowController::windowClosed()
{
    if (m_closed)
        return;
    m_closed = true;
    if (m_onClose)
        m_onClose();
}

} // namespace marlox
