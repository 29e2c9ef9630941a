#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>
#include <QtConcurrent>

#include "app/appstate.h"
#include "library/detailcodes.h"
#include "library/librarywindow.h"
#include "library/screenshotdetail.h"
#include "library/textlayer.h"
#include "platform/errors.h"
#include "platform/trash.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/codeimages.h"
#include "support/fakerecognizer.h"
#include "support/fakes.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

class TestScreenshotDetail : public QObject
{
    Q_OBJECT

    std::unique_ptr<AppStateScene> m_scene;
    std::shared_ptr<ScriptedDialogs> m_dialogs;

    std::unique_ptr<AppState> makeState(
        std::shared_ptr<FileTrashing> trasher = {}, std::shared_ptr<TextRecognizer> ocr = {})
    {
        return m_scene->makeState([&](AppStateDependencies &deps) {
            deps.trasher = std::move(trasher);
            deps.ocr = std::move(ocr);
        });
    }

    // A real image file with an indexed record.
    ScreenshotRecord addScreenshot(AppState &state, const QString &fileName, const QString &title,
        const QString &text, QSize size = QSize(320, 200))
    {
        const QString path = m_scene->dir.filePath(fileName);
        QImage image(size, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter(&image).fillRect(20, 20, 100, 60, Qt::darkBlue);
        image.save(path);
        const qint64 id = state.database().insertOrUpdate(path, title, QStringLiteral("General"),
            1.7e9, text, QString(), ScreenshotStatus::filed, QFileInfo(path).size());
        ScreenshotRecord record;
        record.id = id;
        record.path = path;
        record.title = title;
        record.folder = QStringLiteral("General");
        record.status = ScreenshotStatus::filed;
        return record;
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<AppStateScene>();
        m_dialogs = m_scene->dialogs;
        Preferences::remove(Preferences::libraryRootBookmark);
        Preferences::remove(Preferences::screenshotFolderBookmark);
    }
    void cleanup() { m_scene.reset(); }

    void windowFrame_data()
    {
        using Rect = std::optional<QRect>;
        QTest::addColumn<Rect>("parent");
        QTest::addColumn<Rect>("parentScreen");
        QTest::addColumn<Rect>("mainScreen");
        QTest::addColumn<QRect>("expected");
        const QRect screen(0, 0, 1600, 1000);
        QTest::newRow("small parent: minimum size, centred, clamped left") << Rect(
            QRect(100, 100, 400, 300)) << Rect(screen) << Rect(screen) << QRect(0, 40, 640, 420);
        QTest::newRow("small parent in the middle: centred on it")
            << Rect(QRect(600, 400, 400, 300)) << Rect(screen) << Rect(screen)
            << QRect(480, 340, 640, 420);
        QTest::newRow("large parent: 90% of it") << Rect(QRect(100, 50, 1000, 800)) << Rect(screen)
                                                 << Rect(screen) << QRect(150, 90, 900, 720);
        QTest::newRow("parent larger than the screen: 90% of the screen, clamped")
            << Rect(QRect(-100, -100, 2000, 1400)) << Rect(screen) << Rect(screen)
            << QRect(160, 100, 1440, 900);
        QTest::newRow("parent on a second screen uses that screen")
            << Rect(QRect(1700, 0, 800, 600)) << Rect(QRect(1600, 0, 1000, 800)) << Rect(screen)
            << QRect(1740, 30, 720, 540);
        QTest::newRow("parent without its screen uses the main screen")
            << Rect(QRect(0, 0, 1000, 800)) << Rect() << Rect(screen) << QRect(50, 40, 900, 720);
        QTest::newRow("no parent: 90% of the main screen, centred")
            << Rect() << Rect() << Rect(screen) << QRect(80, 50, 1440, 900);
        QTest::newRow("no screen at all: 1280 x 800")
            << Rect() << Rect() << Rect() << QRect(64, 40, 1152, 720);
        QTest::newRow("tiny screen wins over the minimum")
            << Rect(QRect(0, 0, 300, 200)) << Rect(QRect(0, 0, 600, 400)) << Rect(screen)
            << QRect(0, 0, 540, 360);
    }
    void windowFrame()
    {
        QFETCH(std::optional<QRect>, parent);
        QFETCH(std::optional<QRect>, parentScreen);
        QFETCH(std::optional<QRect>, mainScreen);
        QFETCH(QRect, expected);
        QCOMPARE(detailWindowFrame(parent, parentScreen, mainScreen), expected);
    }

    void displayNameFallsBackToFileName()
    {
        ScreenshotRecord record;
        record.path = QStringLiteral("/lib/General/Screenshot 2026-12-06 at 10.00.00.png");
        QCOMPARE(
            detailDisplayName(record), QStringLiteral("Screenshot 2026-12-06 at 10.00.00.png"));
        record.title = QStringLiteral("Invoice");
        QCOMPARE(detailDisplayName(record), QStringLiteral("Invoice"));
    }

    void textPaneStates()
    {
        auto state = makeState();
        const ScreenshotRecord withText = addScreenshot(
            *state, QStringLiteral("a.png"), QStringLiteral("A"), QStringLiteral("Total 42 EUR"));
        const ScreenshotRecord without
            = addScreenshot(*state, QStringLiteral("b.png"), QStringLiteral("B"), QString());

        ScreenshotDetailView first(&state->recordActions(), withText, {});
        // The record list carries no text: it arrives later.
        QCOMPARE(first.textLabel()->text(), QStringLiteral("Loading text…"));
        QTRY_COMPARE_WITH_TIMEOUT(first.textLabel()->text(), QStringLiteral("Total 42 EUR"), 10000);
        QVERIFY(first.textLabel()->textInteractionFlags() & Qt::TextSelectableByMouse);

        ScreenshotDetailView second(&state->recordActions(), without, {});
        QTRY_COMPARE_WITH_TIMEOUT(
            second.textLabel()->text(), QStringLiteral("No text recognized."), 10000);
    }

    void missingImageStillOffersTheRest()
    {
        auto state = makeState();
        ScreenshotRecord record
            = addScreenshot(*state, QStringLiteral("gone.png"), QString(), QStringLiteral("words"));
        QFile::remove(record.path);
        ScreenshotDetailView view(&state->recordActions(), record, {});
        QVERIFY(!view.imagePane());
        auto *unavailable = view.findChild<QLabel *>(QStringLiteral("detail.imageUnavailable"));
        QVERIFY(unavailable);
        QCOMPARE(unavailable->text(), QStringLiteral("Image unavailable"));
        QVERIFY(view.findChild<QPushButton *>(QStringLiteral("detail.delete")));
        QVERIFY(view.findChild<QPushButton *>(QStringLiteral("detail.copyText")));
    }

    void deleteAsksAndClosesOnlyWhenGone_data()
    {
        QTest::addColumn<bool>("trashFails");
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<int>("alerts");
        QTest::newRow("cancelled") << false << QList<int> { 1 } << false << 1;
        QTest::newRow("moved to the Trash") << false << QList<int> { 0 } << true << 1;
        QTest::newRow("trash failed, user kept it") << true << QList<int> { 0, 0 } << false << 2;
        QTest::newRow("trash failed, deleted permanently")
            << true << QList<int> { 0, 1 } << true << 2;
    }
    void deleteAsksAndClosesOnlyWhenGone()
    {
        QFETCH(bool, trashFails);
        QFETCH(QList<int>, answers);
        QFETCH(bool, closes);
        QFETCH(int, alerts);
        auto refusing = std::make_shared<FolderTrasher>();
        refusing->refuse = true;
        auto state = makeState(trashFails ? refusing : nullptr);
        const ScreenshotRecord record = addScreenshot(
            *state, QStringLiteral("Screenshot 1.png"), QString(), QStringLiteral("words"));
        m_dialogs->alertAnswers = answers;

        QWidget parent;
        parent.resize(800, 600);
        int closed = 0;
        auto *controller = new ScreenshotDetailWindowController(
            &state->recordActions(), record, &parent, [&closed] { ++closed; });
        QPointer<QWidget> window = controller->window();
        controller->showWindow();
        QVERIFY(window->isVisible());

        auto *remove = window->findChild<QPushButton *>(QStringLiteral("detail.delete"));
        QVERIFY(remove);
        remove->click();

        QCOMPARE(m_dialogs->alerts.size(), alerts);
        const Dialogs::Alert &question = m_dialogs->alerts.constFirst();
        QCOMPARE(question.message, QStringLiteral("Move “Screenshot 1.png” to the Trash?"));
        QCOMPARE(question.informativeText,
            QStringLiteral("You can restore it from the Trash in your file manager."));
        QCOMPARE(question.buttons,
            (QStringList { QStringLiteral("Move to Trash"), QStringLiteral("Cancel") }));

        const bool recordGone = !state->database().record(record.id).has_value();
        QCOMPARE(recordGone, closes);
        QCOMPARE(closed, closes ? 1 : 0);
        if (closes) {
            QTRY_VERIFY(window.isNull());
            QVERIFY(!QFile::exists(record.path));
        } else {
            QVERIFY(window && window->isVisible());
            QVERIFY(QFile::exists(record.path));
            window->close();
            QCOMPARE(closed, 1);
        }
    }

    void wordBoxesAreReadOnceThenKept()
    {
        auto ocr = std::make_shared<test::FakeRecognizer>();
        ocr->open();
        auto state = makeState({}, ocr);
        const ScreenshotRecord record = addScreenshot(
            *state, QStringLiteral("w.png"), QStringLiteral("W"), QStringLiteral("indexed"));
        for (int opening = 0; opening < 2; ++opening) {
            ScreenshotDetailView view(&state->recordActions(), record, {});
            DetailImagePane *pane = view.imagePane();
            QTRY_COMPARE_WITH_TIMEOUT(
                pane->textStatus(), DetailImagePane::TextStatus::ready, 10000);
            QCOMPARE(
                WordBoxes::joinedText(pane->textLayer()->words()), QStringLiteral("read 320x200"));
        }
        QCOMPARE(ocr->calls.load(), 1);
        // Only the boxes were kept: the indexed text changes only when the
        // record is recognised again.
        QCOMPARE(state->database().ocrText(record.id), QStringLiteral("indexed"));
    }

    void codesAreOutlinedListedAndOpenedOnlyWhenConfirmed()
    {
        auto state = makeState();
        const ScreenshotRecord record = addScreenshot(
            *state, QStringLiteral("pass.png"), QStringLiteral("Pass"), QStringLiteral("Gate B7"));
        const QString link = QStringLiteral("https://tickets.example.org/seat/42A?ref=mail");
        const QString secret = QStringLiteral("otpauth://totp/Example:alice?secret=JBSWY3DP");
        const QList<ScreenshotCode> codes {
            { QStringLiteral("QRCode"), link,
                { QPoint(20, 20), QPoint(80, 20), QPoint(80, 80), QPoint(20, 80) } },
            { QStringLiteral("QRCode"), secret,
                { QPoint(200, 20), QPoint(260, 20), QPoint(260, 80), QPoint(200, 80) } },
        };
        state->database().storeCodes(record.id, codes);

        ScreenshotDetailView view(&state->recordActions(), record, {});
        DetailCodeList *list = view.codeList();
        QTRY_COMPARE_WITH_TIMEOUT(list->codes(), codes, 10000);
        QCOMPARE(view.imagePane()->codes(), codes);
        QTRY_COMPARE(view.textLabel()->text(), QStringLiteral("Gate B7"));
        const QTransform zoomed = QTransform::fromTranslate(5, 7).scale(2, 2);
        QCOMPARE(
            CodeOutlines::outline(codes.at(0), zoomed).boundingRect(), QRectF(45, 47, 120, 120));
        QCOMPARE(CodeOutlines::codeAt(codes, QPointF(230, 50)), 1);
        QCOMPARE(CodeOutlines::codeAt(codes, QPointF(120, 50)), -1);

        // Only the web address opens, and only once the user saw it whole.
        QCOMPARE(
            list->findChildren<QPushButton *>(QStringLiteral("detail.openCodeLink")).size(), 1);
        QList<QUrl> opened;
        list->setLinkOpener([&opened](const QUrl &url) { return opened.append(url), true; });
        m_dialogs->alertAnswers = { 1 };
        QVERIFY(!list->openLink(0));
        QCOMPARE(m_dialogs->alerts.first().informativeText, link);
        QVERIFY(opened.isEmpty());
        QVERIFY(list->openLink(0));
        QVERIFY(!list->openLink(1));
        QCOMPARE(opened, QList<QUrl> { QUrl(link) });
        QCOMPARE(m_dialogs->alerts.size(), 2);
        list->copyCode(1);
        QCOMPARE(QGuiApplication::clipboard()->text(), secret);
    }

    void codesNotStoredYetAreReadFromTheShownImage()
    {
        auto state = makeState();
        const ScreenshotRecord record = addScreenshot(
            *state, QStringLiteral("old.png"), QStringLiteral("Old"), QStringLiteral("indexed"));
        QVERIFY(test::screenshotWithCode(QStringLiteral("https://example.net/b7"), QPoint(40, 120))
                    .save(record.path));
        ScreenshotDetailView view(&state->recordActions(), record, {});
        QTRY_COMPARE_WITH_TIMEOUT(view.codeList()->codes().size(), 1, 10000);
        QCOMPARE(state->database().codes(record.id), view.codeList()->codes());
    }

    void openedFromASearchTheHitsAreMarkedAndShown()
    {
        auto state = makeState();
        const ScreenshotRecord record
            = addScreenshot(*state, QStringLiteral("bill.png"), QStringLiteral("Bill"),
                QStringLiteral("Paid\nInvoice 4821 overdue"), QSize(1600, 1000));
        // Stored boxes: opening the record recognises nothing. The hit sits
        // far from the centre and is too small to read at the fit.
        const QList<WordBox> words
            = { { QStringLiteral("Paid"), QRect(100, 100, 40, 12), 0, false },
                  { QStringLiteral("Invoice"), QRect(1300, 900, 70, 12), 1, true },
                  { QStringLiteral("4821"), QRect(1380, 900, 40, 12), 1, false },
                  { QStringLiteral("overdue"), QRect(1430, 900, 60, 12), 1, false } };
        state->database().storeWordBoxes(record.id, WordBoxes::encoded(words));
        state->reloadRecords();
        QTRY_COMPARE_WITH_TIMEOUT(state->records().size(), 1, 10000);

        LibraryWindow library(state.get());
        library.resize(900, 600);
        library.show();
        const auto open = [&](const QString &query) -> DetailImagePane * {
            QSignalSpy applied(&library, &LibraryWindow::searchApplied);
            library.findChild<QLineEdit *>(QStringLiteral("library.search"))->setText(query);
            if (!query.isEmpty() && !applied.count() && !applied.wait(10000))
                return nullptr;
            library.openRecord(record);
            auto *detail = qobject_cast<ScreenshotDetailWindowController *>(
                library.detailWindowController());
            if (!detail || !QTest::qWaitForWindowExposed(detail->window()))
                return nullptr;
            return detail->view()->imagePane();
        };

        DetailImagePane *pane = open(QStringLiteral("overd"));
        QVERIFY(pane);
        QTRY_COMPARE_WITH_TIMEOUT(pane->textLayer()->markedWords(), QList<int> { 3 }, 10000);
        // Enlarged to actual pixels and scrolled to it.
        ImageZoomController *zoom
            = qobject_cast<ScreenshotDetailWindowController *>(library.detailWindowController())
                  ->view()
                  ->zoomController();
        QTRY_COMPARE(zoom->percent(), 100);
        QVERIFY(!zoom->isFitting());
        const QRect hit = pane->imageToViewport().mapRect(QRectF(words.at(3).box)).toRect();
        QVERIFY2(pane->viewport()->rect().contains(hit),
            qPrintable(QStringLiteral("%1,%2").arg(hit.x()).arg(hit.y())));
        // Shown: the white page turns marker-yellow under the hit only.
        const QImage shot = pane->viewport()->grab().toImage();
        const QColor marked = shot.pixelColor(hit.center());
        QVERIFY2(marked.blue() < 200 && marked.red() > 200, qPrintable(marked.name()));
        QCOMPARE(shot.pixelColor(hit.center() - QPoint(0, 30)), QColor(Qt::white));

        // Opened without a search: nothing marked, the whole image in view.
        pane = open(QString());
        QVERIFY(pane);
        QTRY_COMPARE_WITH_TIMEOUT(pane->textStatus(), DetailImagePane::TextStatus::ready, 10000);
        QVERIFY(pane->textLayer()->markedWords().isEmpty());
        library.closeDetail();
    }

    void zoomKeysReachTheImage()
    {
        auto state = makeState();
        const ScreenshotRecord record
            = addScreenshot(*state, QStringLiteral("k.png"), QStringLiteral("K"), QString());
        auto *detail = new ScreenshotDetailWindowController(&state->recordActions(), record, {});
        QPointer<QWidget> window = detail->window();
        detail->showWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        ImageZoomController *zoom = detail->view()->zoomController();
        auto *percent = window->findChild<QLabel *>(QStringLiteral("detail.zoomPercent"));
        QVERIFY(percent);
        QTRY_VERIFY(zoom->isFitting());
        const int fit = zoom->percent();
        QCOMPARE(percent->text(), QStringLiteral("%1%").arg(fit));

        QTest::keyClick(window, Qt::Key_Equal, Qt::ControlModifier);
        QVERIFY(!zoom->isFitting());
        QCOMPARE(zoom->percent(), ImageZoomController::roundedPercent(fit / 100.0 * 1.25));
        QCOMPARE(percent->text(), QStringLiteral("%1%").arg(zoom->percent()));
        QTest::keyClick(window, Qt::Key_Minus, Qt::ControlModifier);
        QTest::keyClick(window, Qt::Key_Minus, Qt::ControlModifier);
        QCOMPARE(zoom->percent(), fit);
        QTest::keyClick(window, Qt::Key_Equal, Qt::ControlModifier);
        QTest::keyClick(window, Qt::Key_0, Qt::ControlModifier);
        QVERIFY(zoom->isFitting());
        QCOMPARE(zoom->percent(), fit);
        window->close();
    }

    // Kept above the library; Escape and Ctrl+W close it; the arrows and
    // Page Up/Down step through the library's list as sorted, stopping at
    // its ends, each record shown afresh.
    void detailKeysCloseAndStepThroughTheList()
    {
        auto state = makeState();
        QList<ScreenshotRecord> records;
        for (const QString &title :
            { QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C") })
            records.append(addScreenshot(*state, title + QStringLiteral(".png"), title, title));
        state->reloadRecords();
        QTRY_COMPARE_WITH_TIMEOUT(state->records().size(), 3, 10000);
        LibraryWindow library(state.get());
        library.setSortOrder(LibrarySortOrder::title);
        library.show();
        QVERIFY(QTest::qWaitForWindowExposed(&library));

        const auto detail = [&] {
            return qobject_cast<ScreenshotDetailWindowController *>(
                library.detailWindowController());
        };
        library.openRecord(records.at(1));
        QVERIFY(detail());
        QPointer<QWidget> window = detail()->window();
        // Waited for itself: a transient window counts as active with its parent.
        QTRY_COMPARE(QApplication::activeWindow(), window.data());
        QCOMPARE(window->windowHandle()->transientParent(), library.windowHandle());
        // X11 writes the transient-for hint only for dialog-type windows.
        QCOMPARE(window->windowType(), Qt::Dialog);

        QTest::keyClick(window, Qt::Key_Equal, Qt::ControlModifier);
        QVERIFY(!detail()->view()->zoomController()->isFitting());
        const QList<std::pair<Qt::Key, QString>> steps = { { Qt::Key_Right, "C" },
            { Qt::Key_Right, "C" }, { Qt::Key_PageDown, "C" }, { Qt::Key_PageUp, "B" },
            { Qt::Key_Left, "A" }, { Qt::Key_Left, "A" }, { Qt::Key_PageDown, "B" } };
        for (const auto &[key, title] : steps) {
            QTest::keyClick(window, key);
            QCOMPARE(window->windowTitle(), title);
            QCOMPARE(detail()->view()->record().title, title);
            QCOMPARE(library.presentedRecord()->title, title);
            QCOMPARE(library.selectedRecord()->title, title);
            QVERIFY(detail()->view()->zoomController()->isFitting());
            QTRY_COMPARE_WITH_TIMEOUT(detail()->view()->textLabel()->text(), title, 10000);
        }

        // Escape clears a text selection first, then closes.
        DetailImagePane *pane = detail()->view()->imagePane();
        pane->setWords({ { QStringLiteral("B"), QRect(20, 20, 40, 20), 0, false } });
        pane->textLayer()->selectAll();
        pane->textLayer()->setFocus();
        QTest::keyClick(pane->textLayer(), Qt::Key_Escape);
        QVERIFY(!pane->textLayer()->hasSelection());
        QVERIFY(window->isVisible());
        QTest::keyClick(window, Qt::Key_Escape);
        QTRY_VERIFY(window.isNull());
        QVERIFY(!library.presentedRecord());

        library.openRecord(records.at(0));
        window = detail()->window();
        QTRY_COMPARE(QApplication::activeWindow(), window.data());
        QTest::keyClick(window, Qt::Key_W, Qt::ControlModifier);
        QTRY_VERIFY(window.isNull());
        QVERIFY(!library.detailWindowController());
    }

    // Below half size the image is drawn from a smoothly halved copy: fine
    // stripes turn grey instead of breaking into black and white bands.
    void shrunkImageIsSmoothed()
    {
        QImage stripes(1200, 900, QImage::Format_RGB32);
        for (int x = 0; x < stripes.width(); ++x) {
            for (int y = 0; y < stripes.height(); ++y)
                stripes.setPixel(x, y, x % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
        }
        ImageZoomController zoom;
        DetailImagePane pane(&zoom);
        pane.setWordLoader([](const QImage &, std::shared_ptr<std::atomic_bool>) {
            return QtFuture::makeReadyFuture(QList<WordBox>());
        });
        pane.resize(400, 300);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        pane.setImage(stripes, QStringLiteral("/virtual/stripes.png"));
        QCOMPARE(zoom.percent(), 33);
        QCOMPARE(DetailImagePane::levelFor(pane.magnification()), 1);
        const QImage shot = pane.viewport()->grab().toImage();
        const QRect inside = pane.imageToViewport().mapRect(QRectF(stripes.rect())).toRect();
        int darkest = 255;
        int lightest = 0;
        for (int x = inside.left() + 4; x < inside.right() - 4; ++x) {
            const int grey = qGray(shot.pixel(x, inside.center().y()));
            darkest = std::min(darkest, grey);
            lightest = std::max(lightest, grey);
        }
        QVERIFY2(darkest > 100 && lightest < 160,
            qPrintable(QStringLiteral("%1..%2").arg(darkest).arg(lightest)));
    }
};

MARLOX_TEST_MAIN(TestScreenshotDetail)
#include "tst_screenshotdetail.moc"
