// marlox-test-labels: slow
// marlox-test-timeout: 300
#include <QClipboard>
#include <QFontDatabase>
#include <QPainter>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include "filing/wordboxes.h"
#include "library/imagezoomcontroller.h"
#include "library/screenshotdetail.h"
#include "library/textlayer.h"
#include "support/testmain.h"

using namespace marlox;

namespace {

struct DrawnText
{
    QImage image;
    // Where each drawn word sits, by its text.
    QHash<QString, QRect> boxes;
};

// Lines of text drawn at a screen-like size; records every word's box.
DrawnText drawLines(const QStringList &lines, bool dark = false)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(22);
    const QFontMetrics metrics(font);
    DrawnText drawn;
    drawn.image = QImage(760, 60 + int(lines.size()) * 48, QImage::Format_RGB32);
    drawn.image.fill(dark ? QColor(30, 30, 34) : Qt::white);
    QPainter painter(&drawn.image);
    painter.setFont(font);
    painter.setPen(dark ? QColor(235, 235, 235) : Qt::black);
    int baseline = 50;
    for (const QString &line : lines) {
        int x = 30;
        painter.drawText(x, baseline, line);
        const QStringList words = line.split(QLatin1Char(' '));
        for (const QString &word : words) {
            const QRect tight = metrics.tightBoundingRect(word);
            drawn.boxes.insert(word, tight.translated(x, baseline));
            x += metrics.horizontalAdvance(word + QLatin1Char(' '));
        }
        baseline += 48;
    }
    return drawn;
}

WordBox word(const QString &text, int x, int y, int line)
{
    return { text, QRect(x, y, 10 * int(text.size()), 20), line, false };
}

} // namespace

class TestTextLayer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nearestWordFollowsLines_data()
    {
        QTest::addColumn<QPointF>("point");
        QTest::addColumn<QString>("expected");
        QTest::newRow("inside a word") << QPointF(15, 10) << "one";
        QTest::newRow("past the end of a short line stays on it") << QPointF(300, 12) << "two";
        QTest::newRow("left of a line takes its first word") << QPointF(-40, 42) << "three";
        QTest::newRow("between lines, nearer the lower") << QPointF(50, 33) << "three";
        QTest::newRow("below everything takes the last line") << QPointF(60, 500) << "five";
    }
    void nearestWordFollowsLines()
    {
        QFETCH(QPointF, point);
        QFETCH(QString, expected);
        const QList<WordBox> words = { word(QStringLiteral("one"), 0, 0, 0),
            word(QStringLiteral("two"), 40, 0, 0), word(QStringLiteral("three"), 0, 36, 1),
            word(QStringLiteral("four"), 60, 36, 1), word(QStringLiteral("five"), 0, 72, 2) };
        const int index = TextSelection::nearestWord(words, point);
        QVERIFY(index >= 0);
        QCOMPARE(words.at(index).text, expected);
    }

    void searchHitsAreMarked_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("marked");
        QTest::newRow("whole word, any case") << "INVOICE" << QStringList { "Invoice" };
        QTest::newRow("every typed word a prefix")
            << "inv ove" << QStringList { "Invoice", "overdue:" };
        QTest::newRow("accents ignored both ways")
            << "GRUßE koln" << QStringList { "Grüße", "Köln" };
        QTest::newRow("typed accents") << "kÖln" << QStringList { "Köln" };
        QTest::newRow("punctuation splits like the index")
            << "2026-12-07" << QStringList { "2026-12-07" };
        QTest::newRow("the inner parts are whole words") << "202-12" << QStringList {};
        QTest::newRow("a part inside a word") << "main.py" << QStringList { "src/main.py" };
        QTest::newRow("a phrase across two words")
            << "4821-over" << QStringList { "4821", "overdue:" };
        QTest::newRow("a prefix never matches mid-word") << "voice" << QStringList {};
        QTest::newRow("Japanese as substrings")
            << "東京" << QStringList { "東京", "東京スカイツリー" };
        QTest::newRow("blank and punctuation-only mark nothing") << " \t— " << QStringList {};
    }
    void searchHitsAreMarked()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, marked);
        QList<WordBox> words;
        const QStringList texts = { "Invoice", "4821", "overdue:", "Grüße", "aus", "Köln",
            "2026-12-07", "src/main.py", "東京", "東京スカイツリー", "大阪" };
        for (int i = 0; i < texts.size(); ++i)
            words.append(word(texts.at(i), 0, 30 * i, i));
        QStringList got;
        for (const int index : TextSelection::matchingWords(words, query))
            got.append(words.at(index).text);
        QCOMPARE(got, marked);
    }

    void selectionJoinsLinesInReadingOrder()
    {
        TextLayer layer;
        layer.resize(400, 200);
        layer.setWords({ word(QStringLiteral("alpha"), 0, 0, 0),
            word(QStringLiteral("beta"), 60, 0, 0), word(QStringLiteral("gamma"), 0, 30, 1),
            word(QStringLiteral("delta"), 60, 30, 1) });
        // Dragged backwards, from "gamma" up to "beta".
        QTest::mousePress(&layer, Qt::LeftButton, {}, QPoint(5, 40));
        QTest::mouseMove(&layer, QPoint(70, 10));
        QTest::mouseRelease(&layer, Qt::LeftButton, {}, QPoint(70, 10));
        QCOMPARE(layer.selectedText(), QStringLiteral("beta\ngamma"));

        layer.setFocus();
        QTest::keyClick(&layer, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("beta\ngamma"));

        // A click off the text clears the selection instead of selecting.
        QTest::mouseClick(&layer, Qt::LeftButton, {}, QPoint(300, 150));
        QVERIFY(!layer.hasSelection());

        const auto drag = [&](Qt::MouseButton button, QPoint from, QPoint to) {
            QTest::mousePress(&layer, button, {}, from);
            QTest::mouseMove(&layer, (from + to) / 2);
            QTest::mouseMove(&layer, to);
            QTest::mouseRelease(&layer, button, {}, to);
        };
        // From the margin, as in a document viewer: from right of the first
        // line down onto "delta" takes the second line only, and from below
        // everything back up to "alpha" takes it all.
        drag(Qt::LeftButton, QPoint(200, 10), QPoint(70, 40));
        QCOMPARE(layer.selectedText(), QStringLiteral("gamma delta"));
        drag(Qt::LeftButton, QPoint(300, 150), QPoint(5, 10));
        QCOMPARE(layer.selectedText(), QStringLiteral("alpha beta\ngamma delta"));

        // The middle button and a held pan key pan, even from a word, and
        // leave the selection; so does any drag over an image without words.
        QSignalSpy pans(&layer, &TextLayer::panRequested);
        drag(Qt::MiddleButton, QPoint(5, 10), QPoint(25, 20));
        layer.setPanKeyHeld(true);
        drag(Qt::LeftButton, QPoint(70, 40), QPoint(90, 50));
        layer.setPanKeyHeld(false);
        QCOMPARE(layer.selectedText(), QStringLiteral("alpha beta\ngamma delta"));
        layer.setWords({});
        drag(Qt::LeftButton, QPoint(70, 40), QPoint(90, 50));
        QCOMPARE(pans.size(), 6);
        QPoint panned;
        for (const QList<QVariant> &pan : pans)
            panned += pan.at(0).toPoint();
        QCOMPARE(panned, QPoint(-60, -30));
    }

    void dragAcrossTwoWordsAtTwoZoomLevels()
    {
        const DrawnText drawn = drawLines({ QStringLiteral("Invoice number 4821 is due Friday"),
            QStringLiteral("Contact the billing team today"),
            QStringLiteral("Thanks for choosing Parcelwise") });

        ImageZoomController zoom;
        DetailImagePane pane(&zoom);
        pane.resize(640, 300);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        pane.setImage(drawn.image, QStringLiteral("/virtual/invoice.png"));
        QTRY_VERIFY_WITH_TIMEOUT(pane.textStatus() == DetailImagePane::TextStatus::ready, 60000);
        TextLayer *layer = pane.textLayer();
        QVERIFY2(layer->words().size() >= 12, qPrintable(WordBoxes::joinedText(layer->words())));

        const QRect billing = drawn.boxes.value(QStringLiteral("billing"));
        const QRect team = drawn.boxes.value(QStringLiteral("team"));
        // From just inside the first letter to just inside the last.
        const QPointF from(billing.left() + 2, billing.center().y());
        const QPointF to(team.right() - 2, team.center().y());

        const auto drag = [&] {
            const QTransform map = pane.imageToViewport();
            const QPoint a = map.map(from).toPoint();
            const QPoint b = map.map(to).toPoint();
            QVERIFY(layer->rect().contains(a) && layer->rect().contains(b));
            QTest::mousePress(layer, Qt::LeftButton, {}, a);
            QTest::mouseMove(layer, (a + b) / 2);
            QTest::mouseMove(layer, b);
            QTest::mouseRelease(layer, Qt::LeftButton, {}, b);
        };

        QVERIFY(zoom.isFitting());
        QVERIFY(zoom.percent() < 100);
        drag();
        QCOMPARE(layer->selectedText(), QStringLiteral("billing team"));

        layer->clearSelection();
        for (int i = 0; i < 5; ++i)
            zoom.zoomIn();
        QVERIFY(zoom.percent() > 200);
        // Scroll the two words into view; the layer must follow.
        const QPointF middle = (from + to) / 2 * pane.magnification();
        pane.horizontalScrollBar()->setValue(int(middle.x()) - pane.viewport()->width() / 2);
        pane.verticalScrollBar()->setValue(int(middle.y()) - pane.viewport()->height() / 2);
        QVERIFY(pane.horizontalScrollBar()->value() > 0);
        QCOMPARE(layer->imageTransform(), pane.imageToViewport());
        drag();
        QCOMPARE(layer->selectedText(), QStringLiteral("billing team"));
    }

    void newImageDropsTheOldAnalysis()
    {
        const DrawnText first = drawLines({ QStringLiteral("Quarterly revenue report draft") });
        const DrawnText second = drawLines({ QStringLiteral("Zebra crossing ahead") }, true);
        ImageZoomController zoom;
        DetailImagePane pane(&zoom);
        pane.resize(640, 300);
        QSignalSpy status(&pane, &DetailImagePane::textStatusChanged);
        pane.setImage(first.image, QStringLiteral("/virtual/first.png"));
        pane.setImage(second.image, QStringLiteral("/virtual/second.png"));
        QTRY_VERIFY_WITH_TIMEOUT(pane.textStatus() == DetailImagePane::TextStatus::ready, 60000);
        const QString text = WordBoxes::joinedText(pane.textLayer()->words());
        QVERIFY2(text.contains(QStringLiteral("Zebra")), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("revenue")), qPrintable(text));
        // The first analysis, cancelled, must not land later either.
        QVERIFY(!status.wait(1500));
        QCOMPARE(WordBoxes::joinedText(pane.textLayer()->words()), text);
    }
};

MARLOX_TEST_MAIN(TestTextLayer)
#include "tst_textlayer.moc"
