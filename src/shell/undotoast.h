#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include "app/presenters.h"

class QTimer;

namespace marlox {

// The borderless "Moved to Trash" toast. It never takes the focus and
// reports the pointer entering and leaving it.
class UndoToastWindow : public QWidget
{
    Q_OBJECT

public:
    explicit UndoToastWindow(std::function<void()> onUndo, QWidget *parent = nullptr);
    static Qt::WindowFlags windowFlagsFor(const QString &platform);
    std::function<void(bool hovering)> onHoverChange;

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_translucent = false;
};

// Offers Undo for 3 seconds after a move to the Trash; the countdown pauses
// while the pointer is over the toast and resumes with what was left, never
// less than 1 second.
class UndoToastController : public QObject, public UndoToastPresenter
{
    Q_OBJECT

public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    struct Options
    {
        // Empty: the steady clock.
        Clock clock;
        // Real timer length per countdown second, in seconds. Tests shorten
        // it and move `clock` by hand instead of waiting.
        double timerScale = 1.0;
    };

    static constexpr double displayDuration = 3.0;
    static constexpr double minimumRemaining = 1.0;
    static constexpr int fadeMilliseconds = 200;
    static constexpr QSize size { 220, 40 };
    static constexpr int gap = 8;

    explicit UndoToastController(QObject *parent = nullptr);
    explicit UndoToastController(Options options, QObject *parent = nullptr);
    ~UndoToastController() override;

    void show(
        std::function<void()> onUndo, std::function<void()> onExpire, const QRect &anchor) override;
    void dismiss() override;

    // Right-aligned with the anchor, its top 8 points below the anchor's bottom.
    static QPoint origin(const QRect &anchor);

    UndoToastWindow *toast() const { return m_toast; }
    bool isCounting() const { return m_startedAt.has_value(); }
    double remainingDuration() const { return m_remaining; }
    QTimer *expireTimer() const { return m_timer; }
    void pointerEntered();
    void pointerLeft();

private:
    void closeNow();
    void startCountdown(double seconds);
    void expire();
    std::chrono::steady_clock::time_point now() const;

    Options m_options;
    QPointer<UndoToastWindow> m_toast;
    // Dismissed toasts still fading out: top-level windows nothing else owns.
    QList<QPointer<UndoToastWindow>> m_fading;
    QTimer *m_timer;
    std::optional<std::chrono::steady_clock::time_point> m_startedAt;
    double m_remaining = displayDuration;
    std::function<void()> m_onUndo;
    std::function<void()> m_onExpire;
};

} // namespace marlox
