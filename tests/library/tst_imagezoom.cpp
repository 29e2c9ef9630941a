#include <QSignalSpy>
#include <QTest>

#include "library/imagezoomcontroller.h"
#include "platform/log.h"
#include "support/logcapture.h"
#include "support/testmain.h"

using namespace marlox;

namespace {
// Stands in for the image pane: just holds the magnification it was given.
class FakeView : public ZoomableView
{
public:
    double value = 1.0;
    int sets = 0;
    double magnification() const override { return value; }
    void setMagnification(double magnification) override
    {
        value = magnification;
        ++sets;
    }
};
} // namespace

class TestImageZoom : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(
            QStringLiteral("com.quorvintesha.Marlox.ImageZoom.debug=true"));
    }

    void stepsFromHundred()
    {
        FakeView view;
        ImageZoomController zoom;
        zoom.attach(&view);
        zoom.updateFit(QSizeF(800, 600), QSizeF(800, 600));
        QCOMPARE(zoom.percent(), 100);
        QVERIFY(zoom.isFitting());

        QList<int> seen;
        for (int i = 0; i < 3; ++i) {
            zoom.zoomIn();
            seen.append(zoom.percent());
        }
        QCOMPARE(seen, (QList<int> { 125, 156, 195 }));
        QVERIFY(!zoom.isFitting());

        zoom.zoomOut();
        zoom.zoomOut();
        QCOMPARE(zoom.percent(), 125);
        zoom.zoomOut();
        QCOMPARE(zoom.percent(), 100);
    }

    void neverAboveEightNorBelowFit()
    {
        FakeView view;
        ImageZoomController zoom;
        zoom.attach(&view);
        zoom.updateFit(QSizeF(2000, 1000), QSizeF(1000, 1000)); // fits at 0.5
        QCOMPARE(zoom.percent(), 50);
        for (int i = 0; i < 30; ++i)
            zoom.zoomIn();
        QCOMPARE(zoom.percent(), 800);
        QCOMPARE(view.value, 8.0);
        for (int i = 0; i < 30; ++i)
            zoom.zoomOut();
        QCOMPARE(zoom.percent(), 50);
        QCOMPARE(view.value, 0.5);
        QVERIFY(!zoom.isFitting());
    }

    void fitLevels_data()
    {
        QTest::addColumn<QSizeF>("image");
        QTest::addColumn<QSizeF>("viewport");
        QTest::addColumn<int>("percent");
        QTest::newRow("wide image limited by width")
            << QSizeF(200, 100) << QSizeF(1000, 1000) << 500;
        QTest::newRow("tiny image capped at 8x") << QSizeF(100, 10) << QSizeF(1000, 1000) << 800;
        QTest::newRow("tall image limited by height")
            << QSizeF(1000, 4000) << QSizeF(1000, 1000) << 25;
        QTest::newRow("empty image fits at 1") << QSizeF(0, 0) << QSizeF(1000, 1000) << 100;
        QTest::newRow("collapsed pane fits at 1") << QSizeF(500, 500) << QSizeF(0, 300) << 100;
    }
    void fitLevels()
    {
        QFETCH(QSizeF, image);
        QFETCH(QSizeF, viewport);
        QFETCH(int, percent);
        FakeView view;
        ImageZoomController zoom;
        zoom.attach(&view);
        zoom.updateFit(image, viewport);
        QCOMPARE(zoom.percent(), percent);
        QCOMPARE(ImageZoomController::roundedPercent(view.value), percent);
    }

    void refitsOnResizeOnlyInFitMode()
    {
        test::LogCapture log;
        FakeView view;
        ImageZoomController zoom;
        zoom.attach(&view);
        zoom.updateFit(QSizeF(1000, 500), QSizeF(500, 500));
        QCOMPARE(zoom.percent(), 50);
        QVERIFY(log.contains(QStringLiteral("refit on resize -> 0.500000")));

        zoom.updateFit(QSizeF(1000, 500), QSizeF(800, 800));
        QCOMPARE(zoom.percent(), 80);

        zoom.zoomIn(); // 100
        QCOMPARE(zoom.percent(), 100);
        log.clear();
        const int setsBefore = view.sets;
        zoom.updateFit(QSizeF(1000, 500), QSizeF(300, 300));
        QCOMPARE(zoom.percent(), 100);
        QCOMPARE(view.sets, setsBefore);
        QCOMPARE(zoom.fitMagnification(), 0.3);
        QCOMPARE(log.countStartingWith(QStringLiteral("refit on resize")), 0);

        zoom.zoomToFit();
        QVERIFY(zoom.isFitting());
        QCOMPARE(zoom.percent(), 30);
        zoom.updateFit(QSizeF(1000, 500), QSizeF(600, 600));
        QCOMPARE(zoom.percent(), 60);
    }

    void liveMagnifyLeavesFitMode()
    {
        FakeView view;
        ImageZoomController zoom;
        zoom.attach(&view);
        zoom.updateFit(QSizeF(100, 100), QSizeF(100, 100));
        QSignalSpy fitting(&zoom, &ImageZoomController::isFittingChanged);
        view.value = 1.337;
        zoom.magnificationDidChange(false);
        QCOMPARE(zoom.percent(), 134);
        QVERIFY(zoom.isFitting());
        zoom.magnificationDidChange(true);
        QVERIFY(!zoom.isFitting());
        QCOMPARE(fitting.count(), 1);
    }

    void ignoredWithoutView()
    {
        ImageZoomController zoom;
        zoom.updateFit(QSizeF(200, 100), QSizeF(1000, 1000));
        zoom.zoomIn();
        zoom.zoomOut();
        QCOMPARE(zoom.percent(), 100);
        QCOMPARE(zoom.currentMagnification(), 5.0);
    }

    void logsSteps()
    {
        test::LogCapture log;
        FakeView view;
        ImageZoomController zoom;
        zoom.attach(&view);
        zoom.zoomIn();
        QVERIFY(log.contains(QStringLiteral("zoomIn: 1.000000 -> target 1.250000")));
        zoom.zoomToFit();
        QVERIFY(log.contains(QStringLiteral("zoomToFit -> 1.000000")));
    }
};

MARLOX_TEST_MAIN(TestImageZoom)
#include "tst_imagezoom.moc"
