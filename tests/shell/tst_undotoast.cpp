#include <QAbstractAnimation>
#include <QEnterEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include "shell/undotoast.h"
#include "support/testmain.h"

using namespace marlox;
using namespace std::chrono_literals;

namespace {
// A clock the test moves by hand, so countdown arithmetic never waits.
struct FakeClock
{
    std::chrono::steady_clock::time_point now {};
    UndoToastController::Clock clock()
    {
        return [this] { return now; };
    }
};

void hover(QWidget *toast, bool entering)
{
    if (entering) {
        QEnterEvent event(QPointF(10, 10), QPointF(10, 10), toast->mapToGlobal(QPointF(10, 10)));
        QCoreApplication::sendEvent(toast, &event);
    } else {
        QEvent event(QEvent::Leave);
        QCoreApplication::sendEvent(toast, &event);
    }
}

QPushButton *undoButton(QWidget *toast)
{
    return toast->findChild<QPushButton *>(QStringLiteral("undoToast.undo"));
}
} // namespace

class TestUndoToast : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sitsRightAlignedBelowTheAnchor_data()
    {
        QTest::addColumn<QRect>("anchor");
        QTest::addColumn<QPoint>("origin");
        QTest::newRow("prompt panel") << QRect(1220, 20, 360, 412) << QPoint(1360, 440);
        QTest::newRow("zero rectangle") << QRect() << QPoint(-220, 8);
    }

    void sitsRightAlignedBelowTheAnchor()
    {
        QFETCH(QRect, anchor);
        QFETCH(QPoint, origin);
        QCOMPARE(UndoToastController::origin(anchor), origin);

        UndoToastController toasts;
        toasts.show({}, {}, anchor);
        QCOMPARE(toasts.toast()->geometry(), QRect(origin, QSize(220, 40)));
    }

    void isASmallWindowThatNeverTakesFocus()
    {
        UndoToastController toasts;
        toasts.show({}, {}, QRect(100, 100, 360, 300));
        QWidget *toast = toasts.toast();
        QVERIFY(toast->isVisible());
        QVERIFY(toast->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
        QVERIFY(toast->windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(toast->testAttribute(Qt::WA_ShowWithoutActivating));
        QPushButton *undo = undoButton(toast);
        QVERIFY(undo);
        QCOMPARE(undo->text(), QStringLiteral("Undo"));
        QCOMPARE(undo->accessibleName(), QStringLiteral("Undo Move to Trash"));
        QCOMPARE(undo->focusPolicy(), Qt::NoFocus);
        QVERIFY(QApplication::activeWindow() != toast);

        // On Wayland a tool tip hangs off the focused window and dies with it.
        const Qt::WindowFlags wayland = UndoToastWindow::windowFlagsFor(QStringLiteral("wayland"));
        QCOMPARE(wayland & Qt::WindowType_Mask, Qt::Window);
        QVERIFY(wayland.testFlag(Qt::WindowDoesNotAcceptFocus));
        QVERIFY(wayland.testFlag(Qt::FramelessWindowHint));
        QCOMPARE(UndoToastWindow::windowFlagsFor(QStringLiteral("xcb")) & Qt::WindowType_Mask,
            Qt::ToolTip);
    }

    void expiresAfterTheCountdownOnceTheFadeHasBegun()
    {
        // Offscreen, as on Wayland, windows have no opacity to animate.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("opacity")));
        FakeClock clock;
        UndoToastController toasts({ .clock = clock.clock(), .timerScale = 0.01 });
        QPointer<QWidget> window;
        int expired = 0;
        bool toastGoneAtExpiry = false;
        bool fadingAtExpiry = false;
        toasts.show(
            {},
            [&] {
                ++expired;
                toastGoneAtExpiry = toasts.toast() == nullptr;
                const auto *fade = window ? window->findChild<QAbstractAnimation *>() : nullptr;
                fadingAtExpiry = fade && fade->state() == QAbstractAnimation::Running;
            },
            QRect(0, 0, 400, 300));
        window = toasts.toast();
        QCOMPARE(toasts.expireTimer()->interval(), 30);

        QTRY_COMPARE(expired, 1);
        QVERIFY(toastGoneAtExpiry);
        QVERIFY(fadingAtExpiry);
        QTRY_VERIFY(window.isNull());
        QCOMPARE(expired, 1);
        QVERIFY(!toasts.expireTimer()->isActive());
    }

    void undoRunsBeforeTheFadeAndCancelsExpiry()
    {
        FakeClock clock;
        UndoToastController toasts({ .clock = clock.clock(), .timerScale = 0.01 });
        int expired = 0;
        int undone = 0;
        bool upDuringUndo = false;
        toasts.show(
            [&] {
                ++undone;
                upDuringUndo = toasts.toast() && toasts.toast()->windowOpacity() == 1.0;
            },
            [&] { ++expired; }, QRect(0, 0, 400, 300));
        const QPointer<QWidget> window = toasts.toast();

        QTest::mouseClick(undoButton(window), Qt::LeftButton);

        QCOMPARE(undone, 1);
        QVERIFY(upDuringUndo);
        QCOMPARE(toasts.toast(), nullptr);
        QVERIFY(!toasts.expireTimer()->isActive());
        QTRY_VERIFY(window.isNull());
        QCOMPARE(expired, 0);
    }

    void secondShowStartsAFreshCountdownAndDropsTheFirst()
    {
        FakeClock clock;
        UndoToastController toasts({ .clock = clock.clock(), .timerScale = 1.0 });
        int firstExpired = 0;
        int secondExpired = 0;
        toasts.show(
            {}, [&] { ++firstExpired; }, QRect(0, 0, 400, 300));
        const QPointer<QWidget> first = toasts.toast();
        clock.now += 2s;
        hover(first, true);
        QCOMPARE(toasts.remainingDuration(), 1.0);

        toasts.show(
            {}, [&] { ++secondExpired; }, QRect(0, 0, 400, 300));

        QVERIFY(toasts.toast() != first);
        QVERIFY(!first || !first->isVisible()); // closed at once, no fade
        QCOMPARE(toasts.remainingDuration(), 3.0);
        QVERIFY(toasts.isCounting());
        QCOMPARE(toasts.expireTimer()->interval(), 3000);

        // Let the countdown run out without waiting for it.
        toasts.expireTimer()->setInterval(1);
        toasts.expireTimer()->start();
        QTRY_COMPARE(secondExpired, 1);
        QCOMPARE(firstExpired, 0);
    }

    void hoverPausesWithAtLeastOneSecondLeft_data()
    {
        QTest::addColumn<int>("enterAfterMs");
        QTest::addColumn<int>("hoverForMs");
        QTest::addColumn<double>("remaining");
        QTest::newRow("late entry keeps one second") << 2500 << 400 << 1.0;
        QTest::newRow("early entry keeps the rest") << 1000 << 10000 << 2.0;
        QTest::newRow("entry after the time is up") << 3200 << 0 << 1.0;
    }

    void hoverPausesWithAtLeastOneSecondLeft()
    {
        QFETCH(int, enterAfterMs);
        QFETCH(int, hoverForMs);
        QFETCH(double, remaining);

        FakeClock clock;
        UndoToastController toasts({ .clock = clock.clock(), .timerScale = 1.0 });
        toasts.show({}, {}, QRect(0, 0, 400, 300));
        QWidget *toast = toasts.toast();

        clock.now += std::chrono::milliseconds(enterAfterMs);
        hover(toast, true);
        QVERIFY(!toasts.isCounting());
        QVERIFY(!toasts.expireTimer()->isActive());
        QCOMPARE(toasts.remainingDuration(), remaining);

        // Entering again while paused (a child widget's enter) measures nothing new.
        clock.now += std::chrono::milliseconds(hoverForMs);
        hover(toast, true);
        QCOMPARE(toasts.remainingDuration(), remaining);

        hover(toast, false);
        QVERIFY(toasts.isCounting());
        QCOMPARE(toasts.expireTimer()->interval(), int(remaining * 1000));

        // A second pause measures from the resumption.
        clock.now += 200ms;
        hover(toast, true);
        QCOMPARE(toasts.remainingDuration(), std::max(remaining - 0.2, 1.0));
    }

    void hoverOverAFadingToastChangesNothing()
    {
        FakeClock clock;
        UndoToastController toasts({ .clock = clock.clock(), .timerScale = 1.0 });
        toasts.show({}, {}, QRect(0, 0, 400, 300));
        const QPointer<QWidget> fading = toasts.toast();
        toasts.dismiss();
        QVERIFY(fading);

        hover(fading, true);
        hover(fading, false);
        QVERIFY(!toasts.isCounting());
        QVERIFY(!toasts.expireTimer()->isActive());
    }

    void dismissWithoutAToastIsHarmless()
    {
        UndoToastController toasts;
        toasts.dismiss();
        QCOMPARE(toasts.toast(), nullptr);
        toasts.show({}, {}, QRect(0, 0, 400, 300));
        toasts.dismiss();
        toasts.dismiss();
        QCOMPARE(toasts.toast(), nullptr);
    }
};

MARLOX_TEST_MAIN(TestUndoToast)
#include "tst_undotoast.moc"
