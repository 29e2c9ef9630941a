#include "shell/undotoast.h"

#include <algorithm>

#include <QEnterEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTimer>
#include <QVariantAnimation>

#include "platform/x11session.h"

namespace marlox {

namespace {
// Rounded corners need a compositor on X11; without one the toast is cut to
// its rounded shape instead of being drawn on a transparent window.
bool windowsCanBeTranslucent()
{
    if (X11::isSession())
        return X11::compositorRunning();
    return QGuiApplication::platformName() != QLatin1String("offscreen");
}

constexpr qreal cornerRadius = 8;

// Window opacity is an X11 matter; elsewhere Qt only warns about it.
bool windowsCanFade()
{
    return X11::isSession();
}
} // namespace

Qt::WindowFlags UndoToastWindow::windowFlagsFor(const QString &platform)
{
    const Qt::WindowFlags common
        = Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus | Qt::WindowStaysOnTopHint;
    // A Wayland tool tip must be a popup of a focused window and vanishes
    // with it (the prompt, after a discard): there the toast is a window of
    // its own, placed by the compositor.
    if (platform.startsWith(QLatin1String("wayland")))
        return Qt::Window | common;
    return Qt::ToolTip | common;
}

// ---- UndoToastWindow

UndoToastWindow::UndoToastWindow(std::function<void()> onUndo, QWidget *parent)
    : QWidget(parent, windowFlagsFor(QGuiApplication::platformName())),
      m_translucent(windowsCanBeTranslucent())
{
    setObjectName(QStringLiteral("undoToast"));
    // What window lists and screen readers call it where it is a window.
    setWindowTitle(QStringLiteral("Moved to Trash"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_QuitOnClose, false);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(UndoToastController::size);
    if (m_translucent) {
        setAttribute(Qt::WA_TranslucentBackground);
    } else {
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
        setMask(QRegion(shape.toFillPolygon().toPolygon()));
    }

    QFont caption = font();
    if (caption.pointSizeF() > 0)
        caption.setPointSizeF(caption.pointSizeF() * 0.9);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(6);
    auto *label = new QLabel(QStringLiteral("Moved to Trash"), this);
    label->setObjectName(QStringLiteral("undoToast.message"));
    label->setFont(caption);
    auto *undo = new QPushButton(QStringLiteral("Undo"), this);
    undo->setObjectName(QStringLiteral("undoToast.undo"));
    undo->setAccessibleName(QStringLiteral("Undo Move to Trash"));
    undo->setFocusPolicy(Qt::NoFocus);
    undo->setFlat(true);
    undo->setCursor(Qt::PointingHandCursor);
    QFont bold = caption;
    bold.setBold(true);
    undo->setFont(bold);
    QPalette blue = undo->palette();
    blue.setColor(QPalette::ButtonText, QColor(0x1a, 0x73, 0xe8));
    undo->setPalette(blue);
    connect(undo, &QPushButton::clicked, this, [onUndo = std::move(onUndo)] {
        const auto action = onUndo;
        if (action)
            action();
    });
    row->addWidget(label, 0, Qt::AlignVCenter);
    row->addStretch(1);
    row->addWidget(undo, 0, Qt::AlignVCenter);
}

void UndoToastWindow::enterEvent(QEnterEvent *event)
{
    QWidget::enterEvent(event);
    if (onHoverChange)
        onHoverChange(true);
}

void UndoToastWindow::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    if (onHoverChange)
        onHoverChange(false);
}

void UndoToastWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor outline = palette().color(QPalette::PlaceholderText);
    outline.setAlphaF(0.25);
    painter.setPen(QPen(outline, 1));
    painter.setBrush(palette().color(QPalette::Window));
    painter.drawRoundedRect(
        QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);
}

// ---- UndoToastController

UndoToastController::UndoToastController(QObject *parent) : UndoToastController(Options {}, parent)
{ }

UndoToastController::UndoToastController(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &UndoToastController::expire);
}

UndoToastController::~UndoToastController()
{
    delete m_toast.data();
    for (const QPointer<UndoToastWindow> &fading : std::as_const(m_fading))
        delete fading.data();
}

std::chrono::steady_clock::time_point UndoToastController::now() const
{
    return m_options.clock ? m_options.clock() : std::chrono::steady_clock::now();
}

QPoint UndoToastController::origin(const QRect &anchor)
{
    return { anchor.x() + anchor.width() - size.width(), anchor.y() + anchor.height() + gap };
}

void UndoToastController::show(
    std::function<void()> onUndo, std::function<void()> onExpire, const QRect &anchor)
{
    closeNow();
    m_onUndo = std::move(onUndo);
    m_onExpire = std::move(onExpire);

    auto *toast = new UndoToastWindow([this, self = QPointer<UndoToastController>(this)] {
        if (!self)
            return;
        const QPointer<UndoToastWindow> pressed = m_toast;
        const auto undo = m_onUndo;
        if (undo)
            undo();
        // Undo may already have put up another toast; leave that one alone.
        if (self && m_toast && m_toast == pressed)
            dismiss();
    });
    toast->onHoverChange = [this, window = QPointer<UndoToastWindow>(toast)](bool hovering) {
        if (!window || window != m_toast)
            return;
        if (hovering)
            pointerEntered();
        else
            pointerLeft();
    };
    toast->move(origin(anchor));
    toast->show();
    m_toast = toast;
    m_remaining = displayDuration;
    startCountdown(displayDuration);
}

void UndoToastController::closeNow()
{
    m_timer->stop();
    m_startedAt.reset();
    if (m_toast) {
        m_toast->hide();
        m_toast->deleteLater();
    }
    m_toast = nullptr;
    m_onUndo = nullptr;
    m_onExpire = nullptr;
}

void UndoToastController::dismiss()
{
    if (!m_toast)
        return;
    m_timer->stop();
    m_startedAt.reset();
    UndoToastWindow *fading = m_toast;
    m_fading.removeIf([](const QPointer<UndoToastWindow> &gone) { return gone.isNull(); });
    m_fading.append(fading);
    m_toast = nullptr;
    m_onUndo = nullptr;
    m_onExpire = nullptr;
    // Where windows cannot fade the toast stays for the fade's length.
    auto *fade = new QVariantAnimation(fading);
    fade->setDuration(fadeMilliseconds);
    fade->setStartValue(fading->windowOpacity());
    fade->setEndValue(0.0);
    if (windowsCanFade()) {
        connect(fade, &QVariantAnimation::valueChanged, fading,
            [fading](const QVariant &level) { fading->setWindowOpacity(level.toReal()); });
    }
    connect(fade, &QVariantAnimation::finished, fading, [fading] {
        fading->hide();
        fading->deleteLater();
    });
    fade->start();
}

void UndoToastController::startCountdown(double seconds)
{
    m_timer->stop();
    m_startedAt = now();
    m_timer->start(std::max(1, int(std::lround(seconds * 1000.0 * m_options.timerScale))));
}

void UndoToastController::expire()
{
    const auto onExpire = m_onExpire;
    m_onExpire = nullptr;
    dismiss();
    if (onExpire)
        onExpire();
}

void UndoToastController::pointerEntered()
{
    if (!m_startedAt)
        return;
    m_timer->stop();
    const double elapsed = std::chrono::duration<double>(now() - *m_startedAt).count();
    m_startedAt.reset();
    m_remaining = std::max(m_remaining - elapsed, minimumRemaining);
}

void UndoToastController::pointerLeft()
{
    // Only a paused toast resumes; a leave without an enter changes nothing.
    if (!m_toast || m_startedAt)
        return;
    startCountdown(m_remaining);
}

} // namespace marlox
