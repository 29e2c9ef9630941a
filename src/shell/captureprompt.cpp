#include "shell/captureprompt.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCursor>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QThreadPool>
#include <QVBoxLayout>
#include <QWindow>
#include <QtConcurrent/QtConcurrentRun>

#include "platform/workpools.h"
#include "platform/x11session.h"
#include "shell/filedcopynotice.h"
#include "shell/folderfieldrules.h"
#include "shell/prompttextfields.h"
#include "widgets/fonts.h"

namespace marlox {

namespace {
// A full decode of a larger image (PNG has no reduced decode) stays off the
// GUI thread: decoding and scaling a 1080p PNG took 155 ms here.
qint64 g_synchronousDecodeLimit = 1'000'000;

// Asks an X11 window manager to keep the window on every workspace. Wayland
// has no such request; the window then shows on the current workspace.
void showOnAllWorkspaces(QWidget *window, bool mapped)
{
    window->winId(); // the request needs the native window
    X11::showOnAllWorkspaces(window->windowHandle(), mapped);
}

QImage decodePreview(const QString &path, const QSize &size)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    if (size.isValid())
        reader.setScaledSize(size);
    return reader.read();
}
} // namespace

// ---- CapturePromptModel

CapturePromptModel::CapturePromptModel(const QString &title, int queueCount, const QString &folder,
    const QString &defaultTitle, QObject *parent)
    : QObject(parent),
      m_title(title),
      m_queueCount(queueCount),
      m_folder(folder),
      m_defaultTitle(defaultTitle)
{ }

void CapturePromptModel::setErrorMessage(const std::optional<QString> &message)
{
    if (m_errorMessage == message)
        return;
    m_errorMessage = message;
    Q_EMIT errorMessageChanged();
}

void CapturePromptModel::setTitle(const QString &title)
{
    if (m_title == title)
        return;
    m_title = title;
    Q_EMIT titleChanged();
}

void CapturePromptModel::setQueueCount(int count)
{
    if (m_queueCount == count)
        return;
    m_queueCount = count;
    Q_EMIT queueCountChanged();
}

void CapturePromptModel::setFolder(const QString &folder)
{
    if (m_folder == folder)
        return;
    m_folder = folder;
    Q_EMIT folderChanged();
}

void CapturePromptModel::setFolderSuggestionIndex(int index)
{
    if (m_folderSuggestionIndex == index)
        return;
    m_folderSuggestionIndex = index;
    Q_EMIT folderSuggestionIndexChanged();
}

void CapturePromptModel::setFolderFieldFocused(bool focused)
{
    if (m_isFolderFieldFocused == focused)
        return;
    m_isFolderFieldFocused = focused;
    Q_EMIT isFolderFieldFocusedChanged();
}

// ---- geometry

namespace CapturePromptGeometry {
QPoint placement(const QList<Screen> &screens, const QPoint &pointer, const QSize &size)
{
    QRect area;
    const auto under = std::find_if(screens.cbegin(), screens.cend(),
        [&](const Screen &screen) { return screen.frame.contains(pointer); });
    if (under != screens.cend())
        area = under->available;
    else if (!screens.isEmpty())
        area = screens.first().available;
    const int clampedWidth = std::min(size.width(), std::max(area.width() - 2 * margin, 0));
    return { area.x() + area.width() - clampedWidth - margin, area.y() + margin };
}

std::optional<QRectF> resized(const QRectF &frame, qreal contentHeight)
{
    if (contentHeight <= 0 || std::abs(contentHeight - frame.height()) <= resizeThreshold)
        return std::nullopt;
    return QRectF(frame.x(), frame.y(), frame.width(), contentHeight);
}
} // namespace CapturePromptGeometry

// ---- CapturePromptController

CapturePromptController::CapturePromptController(QObject *parent) : QObject(parent)
{ }

CapturePromptController::~CapturePromptController()
{
    removeKeyMonitor();
    delete m_panel.data();
}

void CapturePromptController::show(const CapturePromptContent &content)
{
    m_recordId = content.recordId;
    ++m_generation;
    auto *model = new CapturePromptModel(
        content.title, content.queueCount, content.initialFolder, content.defaultTitle, this);
    model->setErrorMessage(content.initialError);
    CapturePromptModel *previous = m_model;
    m_model = model;
    m_currentOnDiscard = content.onDiscard;

    const CapturePromptView::Actions actions {
        .save = content.onSave,
        .skip = content.onSkip,
        .discard = content.onDiscard,
    };
    if (!m_panel) {
        createPanel(content);
        m_panel->view()->setContent(model, content.folderNames, actions);
        m_panel->view()->setFiledCopy(content.filedCopy);
        loadThumbnail(content.path);
        const int height = m_panel->view()->fittingHeight();
        m_panel->setFixedSize(CapturePromptGeometry::width, std::max(height, 1));
        QList<CapturePromptGeometry::Screen> screens;
        for (const QScreen *screen : QGuiApplication::screens())
            screens.append({ screen->geometry(), screen->availableGeometry() });
        m_panel->move(CapturePromptGeometry::placement(
            screens, QCursor::pos(), m_panel->frameGeometry().size()));
        m_panel->winId();
        showOnAllWorkspaces(m_panel, false);
        m_panel->show();
        showOnAllWorkspaces(m_panel, true);
        m_panel->raise();
        m_panel->activateWindow();
        installKeyMonitor();
    } else {
        m_panel->view()->setContent(model, content.folderNames, actions);
        m_panel->view()->setFiledCopy(content.filedCopy);
        loadThumbnail(content.path);
        const int height = m_panel->view()->fittingHeight();
        if (height > 0)
            applyContentHeight(height);
        if (!m_panel->isVisible()) {
            // Ordered front without taking the focus from whatever has it.
            m_panel->setAttribute(Qt::WA_ShowWithoutActivating, true);
            showOnAllWorkspaces(m_panel, false);
            m_panel->show();
            showOnAllWorkspaces(m_panel, true);
            m_panel->setAttribute(Qt::WA_ShowWithoutActivating, false);
        }
        m_panel->raise();
    }
    if (previous)
        previous->deleteLater();
}

void CapturePromptController::createPanel(const CapturePromptContent &)
{
    m_panel = new CapturePromptPanel;
    connect(m_panel->view(), &CapturePromptView::contentHeightChanged, this,
        &CapturePromptController::applyContentHeight);
}

void CapturePromptController::setSynchronousDecodeLimit(qint64 pixels)
{
    g_synchronousDecodeLimit = pixels;
}

void CapturePromptController::loadThumbnail(const QString &path)
{
    CapturePromptView *view = m_panel->view();
    QImageReader reader(path);
    const QSize full = reader.size();
    if (!reader.canRead()) {
        view->setThumbnail({});
        return;
    }
    const qreal scale = std::max<qreal>(1.0, view->devicePixelRatioF());
    const QSize box = (QSizeF(CapturePromptView::previewSize) * scale).toSize();
    QSize target;
    if (full.isValid() && (full.width() > box.width() || full.height() > box.height()))
        target = full.scaled(box, Qt::KeepAspectRatio);
    const bool reduced = reader.supportsOption(QImageIOHandler::ScaledSize);
    const qint64 pixels = full.isValid() ? qint64(full.width()) * full.height() : 0;
    if (reduced || (full.isValid() && pixels <= g_synchronousDecodeLimit)) {
        view->setThumbnail(decodePreview(path, target));
        return;
    }
    // Keep the preview's place while the decode runs, so the panel does not
    // jump when the image arrives.
    view->setPreviewReserved(true);
    const quint64 generation = m_generation;
    QtConcurrent::run(&WorkPools::interactive(), decodePreview, path, target)
        .then(this, [this, generation](const QImage &image) {
            if (generation != m_generation || !m_panel)
                return;
            m_panel->view()->setThumbnail(image);
        });
}

void CapturePromptController::close()
{
    if (m_panel) {
        m_panel->hide();
        m_panel->deleteLater();
    }
    m_panel = nullptr;
    if (m_model)
        m_model->deleteLater();
    m_model = nullptr;
    m_recordId.reset();
    m_currentOnDiscard = nullptr;
    ++m_generation;
    removeKeyMonitor();
}

void CapturePromptController::setQueueCount(int count)
{
    if (m_model)
        m_model->setQueueCount(count);
}

std::optional<QRect> CapturePromptController::panelFrame() const
{
    if (!m_panel)
        return std::nullopt;
    return m_panel->frameGeometry();
}

bool CapturePromptController::isVisible() const
{
    return m_panel && m_panel->isVisible();
}

void CapturePromptController::reopen()
{
    if (!m_panel || !m_model)
        return;
    // A hidden window loses its window-manager state; ask again.
    if (!m_panel->isVisible()) {
        showOnAllWorkspaces(m_panel, false);
        m_panel->show();
        showOnAllWorkspaces(m_panel, true);
    }
    m_panel->raise();
    m_panel->activateWindow();
}

void CapturePromptController::applyContentHeight(qreal height)
{
    if (!m_panel)
        return;
    const std::optional<QRectF> frame
        = CapturePromptGeometry::resized(QRectF(m_panel->geometry()), height);
    if (!frame)
        return;
    // Only the height changes: the panel's position, and so its top edge, stays.
    m_panel->setFixedSize(int(std::lround(frame->width())), int(std::lround(frame->height())));
}

void CapturePromptController::installKeyMonitor()
{
    if (m_keyMonitorInstalled)
        return;
    qApp->installEventFilter(this);
    m_keyMonitorInstalled = true;
}

void CapturePromptController::removeKeyMonitor()
{
    if (!m_keyMonitorInstalled)
        return;
    qApp->removeEventFilter(this);
    m_keyMonitorInstalled = false;
}

// Ctrl+Backspace while the panel is active but neither field has the focus
// discards the capture. The fields handle it themselves; the Discard button's
// own shortcut is kept from firing so a capture is never discarded twice.
// Alt+D is Discard Copy's wherever the focus is: the line edits would take it
// as a key of their own before the button's shortcut saw it.
bool CapturePromptController::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
        return false;
    if (!m_panel || QApplication::activeWindow() != m_panel)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    CapturePromptView *view = m_panel->view();
    const bool copyKey = key->key() == Qt::Key_D
        && (key->modifiers() & ~Qt::KeypadModifier) == Qt::AltModifier
        && view->filedCopyNotice()->isVisible();
    if (!copyKey && PromptKeys::command(key) != PromptKeys::Command::discard)
        return false;
    const QWidget *focus = QApplication::focusWidget();
    if (!copyKey && (focus == view->titleField() || focus == view->folderField()))
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (event->type() == QEvent::ShortcutOverride) {
        const bool inPanel
            = widget ? widget->window() == m_panel : watched == m_panel->windowHandle();
        if (!inPanel)
            return false;
        event->accept();
        return true;
    }
    // A key press reaches the window first and then its focus widget; act once.
    if (!widget || widget->window() != m_panel)
        return false;
    if (copyKey) {
        view->filedCopyNotice()->discardButton()->click();
        return true;
    }
    const auto discard = m_currentOnDiscard;
    if (discard)
        discard();
    return true;
}

} // namespace marlox
