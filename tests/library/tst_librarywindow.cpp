#include <atomic>
#include <memory>
#include <thread>

#include <QDir>
#include <QDragEnterEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QToolTip>
#include <QWheelEvent>

#include "app/appstate.h"
#include "library/gridcelltext.h"
#include "library/griddragdata.h"
#include "library/librarygridview.h"
#include "library/librarysorting.h"
#include "library/librarywindow.h"
#include "library/previewwindow.h"
#include "support/appstatescene.h"
#include "support/fakes.h"
#include "support/imagebytes.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

QStringList actionTexts(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions()) {
        if (!action->isSeparator())
            texts.append(action->text());
    }
    return texts;
}

QAction *actionNamed(const QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

QStringList sidebarTexts(const QListWidget *sidebar)
{
    QStringList texts;
    for (int i = 0; i < sidebar->count(); ++i)
        texts.append(sidebar->item(i)->text());
    return texts;
}

// Types into the dialog's field and presses its first (accepting) button.
void answerDialog(QDialog *dialog, const QString &text)
{
    QVERIFY(dialog);
    auto *edit = dialog->findChild<QLineEdit *>();
    QVERIFY(edit);
    edit->setText(text);
    for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
        if (button->text() != QLatin1String("Cancel")) {
            button->click();
            return;
        }
    }
    QFAIL("no accepting button");
}

} // namespace

class TestLibraryWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AppStateScene> m_scene;
    std::shared_ptr<ScriptedDialogs> m_dialogs;
    std::shared_ptr<RecordingToast> m_toast;
    RecordingPrompt *m_prompt = nullptr;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<LibraryWindow> m_window;
    int m_nextFile = 0;

    QString root() const { return m_scene->library; }

    // A real image file in the library and its row in the index.
    ScreenshotRecord addRecord(const QString &title, const QString &folder,
        ScreenshotStatus status = ScreenshotStatus::filed, double ageSeconds = 0,
        const QString &text = {})
    {
        const QString dir = folder.isEmpty() ? m_scene->shots : root() + QLatin1Char('/') + folder;
        QDir().mkpath(dir);
        const QString path = dir + QStringLiteral("/shot%1.png").arg(++m_nextFile);
        filledImage({ 320, 200 }, QColor::fromHsv((m_nextFile * 47) % 360, 120, 220)).save(path);
        const double created = secondsSince1970(QDateTime::currentDateTime()) - ageSeconds;
        const qint64 id = m_state->database().insertOrUpdate(
            path, title, folder, created, text, QString(), status, QFileInfo(path).size());
        return *m_state->database().record(id);
    }

    void reload(int expectedCount)
    {
        m_state->reloadRecords();
        QTRY_COMPARE_WITH_TIMEOUT(m_state->records().size(), expectedCount, 10000);
    }

    // Loads the index's records when asked, then shows a window on them.
    void showWindow(int expectedCount = -1, QSize size = {})
    {
        if (expectedCount >= 0)
            reload(expectedCount);
        m_window = std::make_unique<LibraryWindow>(m_state.get());
        if (size.isValid())
            m_window->resize(size);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void typeQuery(const QString &text)
    {
        QSignalSpy applied(m_window.get(), &LibraryWindow::searchApplied);
        m_window->findChild<QLineEdit *>(QStringLiteral("library.search"))->setText(text);
        QVERIFY(applied.count() > 0 || applied.wait(10000));
    }

    QListWidgetItem *sidebarItem(const QString &text) const
    {
        const auto found = m_window->sidebar()->findItems(text, Qt::MatchExactly);
        return found.isEmpty() ? nullptr : found.first();
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<AppStateScene>();
        m_dialogs = m_scene->dialogs;
        m_toast = std::make_shared<RecordingToast>();
        m_state = m_scene->makeState([this](AppStateDependencies &deps) {
            deps.undoToast = m_toast;
            deps.makeCapturePrompt = [this] {
                auto prompt = std::make_unique<RecordingPrompt>();
                m_prompt = prompt.get();
                return prompt;
            };
            deps.ocr = FakeRecognizer::answering();
        });
        m_state->setLibraryRoot(root(), true);
        QCOMPARE(m_state->libraryRoot(), root());
        m_nextFile = 0;
    }

    void cleanup()
    {
        m_window.reset();
        m_state.reset();
        m_prompt = nullptr;
        m_scene.reset();
    }

    // The texts themselves are the sorting test's; here they follow section and query.
    void emptyLibrary()
    {
        showWindow();
        QCOMPARE(m_window->findChild<QLabel *>(QStringLiteral("library.indexedCount"))->text(),
            QStringLiteral("0 indexed"));
        QCOMPARE(sidebarTexts(m_window->sidebar()),
            (QStringList {
                "Sections", "All Screenshots", "Inbox (0)", "Duplicates", "Folders", "General" }));
        auto *empty = m_window->emptyStateLabel();
        auto *search = m_window->findChild<QLineEdit *>(QStringLiteral("library.search"));
        const auto shows = [&](const LibrarySection &section, const QString &query) {
            return empty->isVisible()
                && empty->text() == LibrarySorting::emptyStateText(section, query)
                && search->placeholderText() == LibrarySorting::searchPlaceholder(section);
        };
        QVERIFY(shows(LibrarySection::all(), {}));
        m_window->sidebar()->setCurrentItem(sidebarItem(QStringLiteral("Inbox (0)")));
        QCOMPARE(m_window->selection(), LibrarySection::inbox());
        QVERIFY(shows(LibrarySection::inbox(), {}));
        typeQuery(QStringLiteral("foo"));
        QVERIFY(shows(LibrarySection::inbox(), QStringLiteral("foo")));
        m_window->sidebar()->setCurrentItem(sidebarItem(QStringLiteral("General")));
        typeQuery(QString());
        QVERIFY(shows(LibrarySection::folder(QStringLiteral("General")), {}));
    }

    void keyboardMovesByColumns()
    {
        QList<qint64> ids;
        for (int i = 0; i < 5; ++i)
            ids.prepend(addRecord(QStringLiteral("R%1").arg(i), QStringLiteral("General"),
                ScreenshotStatus::filed, 100 - i)
                            .id);
        reload(5);
        m_window = std::make_unique<LibraryWindow>(m_state.get());
        LibraryGridView *grid = m_window->grid();
        grid->setFixedWidth(532 + 2 * LibraryGridView::sideMargin);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QTRY_COMPARE(grid->gridWidth(), 532.0);
        QCOMPARE(grid->columns(), 3);

        const auto selectedIndex = [&] {
            const auto record = m_window->selectedRecord();
            return record ? ids.indexOf(record->id) : -1;
        };
        QCOMPARE(grid->displayed().first().id, ids.first());
        grid->setFocus();
        QTest::keyClick(grid, Qt::Key_Right); // nothing selected: from index 0
        QCOMPARE(selectedIndex(), 1);
        QTest::keyClick(grid, Qt::Key_Down);
        QCOMPARE(selectedIndex(), 4);
        QTest::keyClick(grid, Qt::Key_Up);
        QCOMPARE(selectedIndex(), 1);
        QTest::keyClick(grid, Qt::Key_Left);
        QTest::keyClick(grid, Qt::Key_Left);
        QCOMPARE(selectedIndex(), 0);
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->cellRect(2).center());
        QCOMPARE(selectedIndex(), 2);

        // Space previews the selected screenshot; Space closes the preview.
        QTest::keyClick(grid, Qt::Key_Space);
        PreviewWindow *preview = m_window->previewWindow();
        QVERIFY(preview && preview->isVisible());
        QCOMPARE(preview->path(), grid->displayed()[2].path);
        QTest::keyClick(preview, Qt::Key_Space);
        QVERIFY(!preview->isVisible());

        // Return opens the selected screenshot; closing it clears what is presented.
        QTest::keyClick(grid, Qt::Key_Return);
        QVERIFY(m_window->presentedRecord().has_value());
        QCOMPARE(m_window->presentedRecord()->id, grid->displayed()[2].id);
        m_window->closeDetail();
        QVERIFY(!m_window->presentedRecord().has_value());
    }

    // Qt's raster engine runs some draws on the shared thread pool and waits
    // for them: the grid must draw without it, or each repaint waits for a
    // free core behind whatever else runs there.
    void gridDrawsWithoutTheSharedPool()
    {
        addRecord(QStringLiteral("Shown"), QStringLiteral("General"));
        m_state->database().insertOrUpdate(root() + QStringLiteral("/General/gone.png"),
            QStringLiteral("Gone"), QStringLiteral("General"), 1, {}, {}, ScreenshotStatus::filed,
            1);
        showWindow(2);
        QThreadPool *shared = QThreadPool::globalInstance();
        const int threads = shared->maxThreadCount();
        shared->setMaxThreadCount(1);
        QSemaphore hold;
        QSemaphore painted;
        std::atomic_bool gaveUp = false;
        shared->start([&] { hold.acquire(); });
        // Frees the pool after a while, so a grid that waits for it fails instead of hanging.
        std::thread watchdog([&] {
            if (!painted.tryAcquire(1, 10000))
                gaveUp = true;
            hold.release();
        });
        m_window->grid()->viewport()->repaint();
        painted.release();
        watchdog.join();
        shared->waitForDone();
        shared->setMaxThreadCount(threads);
        QVERIFY(!gaveUp);
    }

    void deleteKeysTrashWithUndo()
    {
        const auto a = addRecord(QStringLiteral("A"), QStringLiteral("General"));
        const auto b = addRecord(QStringLiteral("B"), QStringLiteral("General"));
        showWindow(2);
        LibraryGridView *grid = m_window->grid();
        grid->setFocus();

        QTest::keyClick(grid, Qt::Key_Backspace); // nothing selected, and no Ctrl
        m_window->selectRecord(a);
        QTest::keyClick(grid, Qt::Key_Backspace);
        QVERIFY(m_toast->shown.isEmpty());
        QVERIFY(QFileInfo::exists(a.path));

        QTest::keyClick(grid, Qt::Key_Backspace, Qt::ControlModifier);
        QCOMPARE(m_toast->shown.size(), 1);
        QVERIFY(!QFileInfo::exists(a.path));
        QVERIFY(!m_window->selectedRecord().has_value());
        QTRY_COMPARE_WITH_TIMEOUT(m_window->grid()->displayed().size(), 1, 10000);

        m_window->selectRecord(b);
        QTest::keyClick(grid, Qt::Key_Delete);
        QVERIFY(!QFileInfo::exists(b.path));
        QTRY_COMPARE_WITH_TIMEOUT(m_window->grid()->displayed().size(), 0, 10000);
        // Undo brings the last one back into the grid.
        m_toast->shown.last().onUndo();
        QVERIFY(QFileInfo::exists(b.path));
        QTRY_COMPARE_WITH_TIMEOUT(m_window->grid()->displayed().size(), 1, 10000);
    }

    void searchShowsHighlightedSnippets()
    {
        addRecord(QStringLiteral("Receipt"), QStringLiteral("General"), ScreenshotStatus::filed, 0,
            QStringLiteral("total amount due for the zanzibar order number 42"));
        addRecord(QStringLiteral("Other"), QStringLiteral("General"), ScreenshotStatus::filed, 10,
            QStringLiteral("nothing to see here"));
        showWindow(2, { 900, 600 });
        LibraryGridView *grid = m_window->grid();

        const auto accentPixels = [&] {
            const QImage shot = grid->viewport()->grab().toImage();
            const QColor accent = grid->palette().color(QPalette::Highlight);
            const QRect cell = grid->cellRect(0);
            int count = 0;
            // Below the thumbnail and the title: where the excerpt goes.
            for (int y = cell.top() + 125; y < cell.bottom() - 2; ++y) {
                for (int x = cell.left() + 4; x < cell.right() - 4; ++x) {
                    const QColor c
                        = shot.pixelColor(x * shot.devicePixelRatio(), y * shot.devicePixelRatio());
                    if (qAbs(c.red() - accent.red()) + qAbs(c.green() - accent.green())
                            + qAbs(c.blue() - accent.blue())
                        < 60)
                        ++count;
                }
            }
            return count;
        };
        QCOMPARE(accentPixels(), 0);

        // Every keystroke searches; only the newest query's answer stays.
        auto *search = m_window->findChild<QLineEdit *>(QStringLiteral("library.search"));
        search->setText(QStringLiteral("z"));
        search->setText(QStringLiteral("za"));
        typeQuery(QStringLiteral("zanz"));
        QCOMPARE(m_window->searchResults(),
            std::optional(m_state->searchRecords(QStringLiteral("zanz"), LibrarySection::all())));
        QCOMPARE(grid->displayed().size(), 1);
        QCOMPARE(grid->displayed().first().title, QStringLiteral("Receipt"));
        QTRY_VERIFY(accentPixels() > 10);
    }

    void searchFromTheKeyboard()
    {
        addRecord(QStringLiteral("Receipt"), QStringLiteral("General"), ScreenshotStatus::filed, 0,
            QStringLiteral("zanzibar order"));
        addRecord(QStringLiteral("Zanzibar trip"), QStringLiteral("General"),
            ScreenshotStatus::filed, 10);
        addRecord(QStringLiteral("Other"), QStringLiteral("General"), ScreenshotStatus::filed, 20);
        showWindow(3);
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        auto *search = m_window->findChild<QLineEdit *>(QStringLiteral("library.search"));
        auto *count = m_window->findChild<QLabel *>(QStringLiteral("library.indexedCount"));
        LibraryGridView *grid = m_window->grid();
        QTRY_VERIFY(grid->hasFocus());

        QTest::keyClick(m_window.get(), Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY(search->hasFocus());
        QTest::keyClick(search, Qt::Key_Escape);
        QTRY_VERIFY(grid->hasFocus());

        // Typing in the grid goes on in the search field; Ctrl keys do not.
        QTest::keyClick(grid, Qt::Key_A, Qt::ControlModifier);
        QVERIFY(grid->hasFocus());
        QSignalSpy applied(m_window.get(), &LibraryWindow::searchApplied);
        QTest::keyClicks(grid, QStringLiteral("za"));
        QVERIFY(search->hasFocus());
        QTest::keyClicks(search, QStringLiteral("nz"));
        QCOMPARE(search->text(), QStringLiteral("zanz"));
        QTRY_COMPARE_WITH_TIMEOUT(grid->displayed().size(), 2, 10000);
        QCOMPARE(count->text(), QStringLiteral("2 matches · 3 indexed"));

        typeQuery(QStringLiteral("trip"));
        QCOMPARE(count->text(), QStringLiteral("1 match · 3 indexed"));

        QTest::keyClick(search, Qt::Key_Escape);
        QCOMPARE(search->text(), QString());
        QTRY_VERIFY(grid->hasFocus());
        QVERIFY(!m_window->searchResults().has_value());
        QCOMPARE(grid->displayed().size(), 3);
        QCOMPARE(count->text(), QStringLiteral("3 indexed"));
    }

    void cellTitlesWrapAndTellAllOnHover()
    {
        const QFont font = m_window ? m_window->font() : QApplication::font();
        const QString longTitle
            = QStringLiteral("Screenshot 2026-12-07 at 4.15.02 PM of the quarterly report draft");
        const QStringList lines = GridCellText::titleLines(longTitle, font, 140);
        QCOMPARE(lines.size(), 2);
        QVERIFY(longTitle.startsWith(lines.first()));
        QVERIFY(lines.last().endsWith(QChar(0x2026)));
        QVERIFY(QFontMetrics(font).horizontalAdvance(lines.last()) <= 140);
        QCOMPARE(
            GridCellText::titleLines(QStringLiteral("Short"), font, 140), QStringList { "Short" });

        const auto filed = addRecord(longTitle, QStringLiteral("Work"));
        addRecord(QStringLiteral("Waiting"), QString(), ScreenshotStatus::inbox, 60);
        showWindow(2);
        LibraryGridView *grid = m_window->grid();
        QCOMPARE(grid->displayed().first().id, filed.id);
        const QPoint inCell = grid->cellRect(0).center();
        QHelpEvent hover(QEvent::ToolTip, inCell, grid->viewport()->mapToGlobal(inCell));
        QCoreApplication::sendEvent(grid->viewport(), &hover);
        QTRY_VERIFY(QToolTip::isVisible());
        const QStringList tip = QToolTip::text().split(u'\n');
        QCOMPARE(tip.value(0), longTitle);
        QCOMPARE(tip.value(1), QStringLiteral("Folder: Work"));
        QVERIFY(tip.value(2).startsWith(QStringLiteral("Taken ")));
        QVERIFY(
            GridCellText::toolTip(grid->displayed().at(1)).contains(QStringLiteral("\nInbox\n")));
    }

    // Other applications get the file and the image bytes, read only on request.
    void draggedCellCarriesTheFileAndTheImage()
    {
        const QString png = addRecord(QStringLiteral("Shot"), QStringLiteral("General")).path;
        const QString jpeg = m_scene->dir.filePath(QStringLiteral("photo.jpg"));
        QVERIFY(filledImage({ 64, 48 }, Qt::darkCyan).save(jpeg));

        for (const auto &[path, type] :
            { std::pair { png, QStringLiteral("image/png") }, { jpeg, "image/jpeg" } }) {
            ScreenshotDragData data(path);
            QCOMPARE(data.urls(), QList<QUrl> { QUrl::fromLocalFile(path) });
            QVERIFY(data.formats().contains(QStringLiteral("text/uri-list")));
            QVERIFY(data.formats().contains(type));
            QVERIFY(data.hasFormat(type));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(data.data(type), file.readAll());
            QVERIFY(!QImage::fromData(data.data(type)).isNull());
        }

        // A file gone by the time of the drop gives no bytes, never stale ones.
        QVERIFY(QFile::remove(jpeg));
        ScreenshotDragData gone(jpeg);
        QVERIFY(gone.data(QStringLiteral("image/jpeg")).isEmpty());
    }

    // Image files dropped from a file manager onto a folder are filed there
    // as copies; anything else is refused where it hovers.
    void droppedImagesAreFiledAsCopies()
    {
        const QString inside = addRecord(QStringLiteral("Shot"), QStringLiteral("General")).path;
        QVERIFY(QDir().mkpath(root() + QStringLiteral("/Work")));
        const QImage image = filledImage({ 200, 120 }, Qt::darkGreen);
        QVERIFY(image.save(root() + QStringLiteral("/Work/photo.png")));
        const QString photo = m_scene->dir.filePath(QStringLiteral("photo.png"));
        QVERIFY(image.save(photo));
        const QString notes = m_scene->dir.filePath(QStringLiteral("notes.txt"));
        QFile(notes).open(QIODevice::WriteOnly);
        showWindow(1);
        QWidget *viewport = m_window->sidebar()->viewport();
        const auto at = [&](const QString &item) {
            return m_window->sidebar()->visualItemRect(sidebarItem(item)).center();
        };
        const auto hover = [&](const QStringList &paths, const QPoint &pos) {
            QMimeData mime;
            QList<QUrl> urls;
            for (const QString &path : paths)
                urls.append(QUrl::fromLocalFile(path));
            mime.setUrls(urls);
            QDragEnterEvent enter(pos, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, {});
            QCoreApplication::sendEvent(viewport, &enter);
            QDragMoveEvent move(pos, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, {});
            move.setAccepted(false);
            QCoreApplication::sendEvent(viewport, &move);
            return enter.isAccepted() && move.isAccepted() && move.dropAction() == Qt::CopyAction;
        };
        QVERIFY(hover({ photo }, at(QStringLiteral("Work"))));
        QVERIFY(!hover({ photo }, at(QStringLiteral("All Screenshots"))));
        QVERIFY(!hover({ photo, notes }, at(QStringLiteral("Work"))));
        QVERIFY(!hover({ m_scene->dir.path() }, at(QStringLiteral("Work"))));
        QVERIFY(!hover({ inside }, at(QStringLiteral("Work"))));

        QMimeData mime;
        mime.setUrls({ QUrl::fromLocalFile(photo) });
        QDragEnterEvent enter(
            at(QStringLiteral("Work")), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(viewport, &enter);
        QDropEvent drop(at(QStringLiteral("Work")), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(viewport, &drop);
        QVERIFY(drop.isAccepted());
        // Named after the file, the name taken in the folder made unique.
        const QString copy = root() + QStringLiteral("/Work/photo 2.png");
        QTRY_VERIFY_WITH_TIMEOUT(m_state->database().idForPath(copy).has_value(), 10000);
        const ScreenshotRecord record
            = *m_state->database().record(*m_state->database().idForPath(copy));
        QCOMPARE(record.title, QStringLiteral("photo"));
        QCOMPARE(record.folder, QStringLiteral("Work"));
        // What an import reads and leaves behind is the capture pipeline's test.
        QTRY_VERIFY_WITH_TIMEOUT(m_state->records().size() == 2, 10000);
    }

    // The size follows Ctrl+= / Ctrl+- / Ctrl+wheel, arrows follow the drawn
    // columns, and the next window opens at the chosen size.
    void thumbnailSizeFromTheKeyboardAndWheel()
    {
        for (int i = 0; i < 12; ++i)
            addRecord(QStringLiteral("R%1").arg(i), QStringLiteral("General"),
                ScreenshotStatus::filed, i);
        showWindow(12, { 1000, 680 });
        LibraryGridView *grid = m_window->grid();
        QCOMPARE(grid->thumbnailScale(), 100);
        const int standardWidth = grid->cellRect(0).width();
        const int standardColumns = grid->columns();

        QTest::keyClick(grid, Qt::Key_Equal, Qt::ControlModifier);
        QTest::keyClick(grid, Qt::Key_Equal, Qt::ControlModifier);
        QCOMPARE(grid->thumbnailScale(), 150);
        QVERIFY(grid->cellRect(0).width() > standardWidth);
        QVERIFY(grid->columns() < standardColumns);
        m_window->selectRecord(grid->displayed().first());
        QTest::keyClick(grid, Qt::Key_Down);
        QCOMPARE(m_window->selectedRecord()->id, grid->displayed().at(grid->columns()).id);
        QCOMPARE(grid->cellRect(grid->columns()).x(), grid->cellRect(0).x());

        QTest::keyClick(grid, Qt::Key_Minus, Qt::ControlModifier);
        QCOMPARE(grid->thumbnailScale(), 125);
        const QPoint at = grid->viewport()->rect().center();
        QWheelEvent wheel(at, grid->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120),
            Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(grid->viewport(), &wheel);
        QCOMPARE(grid->thumbnailScale(), 100);
        for (int i = 0; i < 5; ++i)
            QTest::keyClick(grid, Qt::Key_Minus, Qt::ControlModifier);
        QCOMPARE(grid->thumbnailScale(), 75);
        QVERIFY(grid->cellRect(0).width() < standardWidth);

        m_window = std::make_unique<LibraryWindow>(m_state.get());
        QCOMPARE(m_window->grid()->thumbnailScale(), 75);
        // Leave the standard size for the tests that follow in this profile.
        QTest::keyClick(m_window->grid(), Qt::Key_Equal, Qt::ControlModifier);
        QCOMPARE(LibraryWindow(m_state.get()).grid()->thumbnailScale(), 100);
    }

    void newFolderFromTheKeyboard()
    {
        showWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        QTest::keyClick(m_window.get(), Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(m_window->activeDialog());
        QCOMPARE(m_window->activeDialog()->windowTitle(), QStringLiteral("New Folder"));
        answerDialog(m_window->activeDialog(), QStringLiteral("Taxes"));
        QTRY_VERIFY_WITH_TIMEOUT(sidebarItem(QStringLiteral("Taxes")), 10000);
    }

    // Guesses for misread words come as their own marked block after the
    // exact results, only while those are few, and never change them.
    void similarMatchesFollowFewExactResults()
    {
        addRecord(QStringLiteral("Exact"), QStringLiteral("General"), ScreenshotStatus::filed, 0,
            QStringLiteral("candidate shortlist"));
        addRecord(QStringLiteral("Misread"), QStringLiteral("General"), ScreenshotStatus::filed, 10,
            QStringLiteral("candiclate shortlist"));
        for (int i = 0; i < 5; ++i)
            addRecord(QStringLiteral("Filler %1").arg(i), QStringLiteral("General"),
                ScreenshotStatus::filed, 20 + i, QStringLiteral("shortlist of names"));
        showWindow(7, { 900, 600 });
        LibraryGridView *grid = m_window->grid();

        typeQuery(QStringLiteral("candidate"));
        QCOMPARE(m_window->searchResults(),
            std::optional(
                m_state->searchRecords(QStringLiteral("candidate"), LibrarySection::all())));
        QCOMPARE(m_window->searchResults()->size(), 1);
        QCOMPARE(m_window->similarResults().size(), 1);
        QCOMPARE(m_window->similarResults().first().record.title, QStringLiteral("Misread"));
        QStringList titles;
        for (const auto &record : grid->displayed())
            titles.append(record.title);
        QCOMPARE(titles, (QStringList { "Exact", "Misread" }));
        QCOMPARE(grid->blocks().size(), 2);
        QVERIFY(!grid->blocks().first().guessed);
        QVERIFY(grid->blocks().last().guessed);
        QCOMPARE(grid->blocks().last().header, QStringLiteral("Similar matches"));

        // Enough exact results: no guesses.
        typeQuery(QStringLiteral("shortlist"));
        QCOMPARE(m_window->searchResults()->size(), 7);
        QVERIFY(m_window->similarResults().isEmpty());
        for (const auto &block : grid->blocks())
            QVERIFY(!block.guessed);

        // No exact result at all: the guesses alone, not the empty state.
        typeQuery(QStringLiteral("candidates shortlist"));
        QCOMPARE(m_window->searchResults()->size(), 0);
        QCOMPARE(grid->displayed().size(), 2);
        QCOMPARE(grid->blocks().size(), 1);
        QVERIFY(grid->blocks().first().guessed);
        QVERIFY(!m_window->emptyStateLabel()->isVisible());

        // A blank query drops them with the search.
        typeQuery(QStringLiteral("  "));
        QVERIFY(m_window->similarResults().isEmpty());
        QCOMPARE(grid->displayed().size(), 7);
    }

    void newFolderAndRenameKeepsSelection()
    {
        showWindow();
        m_window->findChild<QPushButton *>(QStringLiteral("library.newFolder"))->click();
        QCOMPARE(m_window->activeDialog()->windowTitle(), QStringLiteral("New Folder"));
        answerDialog(m_window->activeDialog(), QStringLiteral(" Work "));
        QVERIFY(QFileInfo(root() + QStringLiteral("/Work")).isDir());
        QTRY_VERIFY(sidebarItem(QStringLiteral("Work")));

        const auto record = addRecord(QStringLiteral("Plan"), QStringLiteral("Work"));
        reload(1);
        m_window->sidebar()->setCurrentItem(sidebarItem(QStringLiteral("Work")));
        QCOMPARE(m_window->selection(), LibrarySection::folder(QStringLiteral("Work")));

        std::unique_ptr<QMenu> menu(m_window->folderMenu(QStringLiteral("Work")));
        actionNamed(menu.get(), QStringLiteral("Rename…"))->trigger();
        QCOMPARE(m_window->activeDialog()->windowTitle(), QStringLiteral("Rename Folder"));
        QCOMPARE(
            m_window->activeDialog()->findChild<QLineEdit *>()->text(), QStringLiteral("Work"));
        answerDialog(m_window->activeDialog(), QStringLiteral("Projects "));
        QCOMPARE(m_window->selection(), LibrarySection::folder(QStringLiteral("Projects")));
        QTRY_COMPARE_WITH_TIMEOUT(m_window->grid()->displayed().size(), 1, 10000);
        QCOMPARE(m_window->grid()->displayed().first().id, record.id);
        QCOMPARE(m_window->sidebar()->currentItem()->text(), QStringLiteral("Projects"));
        QVERIFY(!sidebarItem(QStringLiteral("Work")));
    }

    void deletingTheSelectedFolderSelectsAll()
    {
        const auto record = addRecord(QStringLiteral("Old one"), QStringLiteral("Old"));
        showWindow(1);
        m_window->sidebar()->setCurrentItem(sidebarItem(QStringLiteral("Old")));
        QCOMPARE(m_window->selection(), LibrarySection::folder(QStringLiteral("Old")));

        // General has no menu to delete it from.
        QVERIFY(!m_window->folderMenu(QStringLiteral("General")));
        // Cancelling the confirmation keeps everything.
        m_dialogs->alertAnswers = { 1 };
        std::unique_ptr<QMenu> menu(m_window->folderMenu(QStringLiteral("Old")));
        QCOMPARE(actionTexts(menu.get()), (QStringList { "Rename…", "Delete…" }));
        actionNamed(menu.get(), QStringLiteral("Delete…"))->trigger();
        QCOMPARE(m_dialogs->alerts.size(), 1);
        const auto &alert = m_dialogs->alerts.first();
        QCOMPARE(alert.message, QStringLiteral("Delete “Old”?"));
        QCOMPARE(alert.informativeText,
            QStringLiteral(
                "This folder isn't empty. Its contents will be moved to \"General\" first."));
        QCOMPARE(alert.buttons, (QStringList { "Move Contents to General & Delete", "Cancel" }));
        QVERIFY(QFileInfo::exists(record.path));
        QCOMPARE(m_window->selection(), LibrarySection::folder(QStringLiteral("Old")));

        actionNamed(menu.get(), QStringLiteral("Delete…"))->trigger();
        QCOMPARE(m_dialogs->alerts.size(), 2);
        QCOMPARE(m_window->selection(), LibrarySection::all());
        QVERIFY(!QFileInfo::exists(root() + QStringLiteral("/Old")));
        QTRY_VERIFY_WITH_TIMEOUT(!sidebarItem(QStringLiteral("Old")), 10000);
        QCOMPARE(m_window->sidebar()->currentItem()->text(), QStringLiteral("All Screenshots"));

        // An empty folder goes without asking.
        QVERIFY(QDir().mkpath(root() + QStringLiteral("/Empty")));
        m_window->deleteFolderAsked(QStringLiteral("Empty"));
        QCOMPARE(m_dialogs->alerts.size(), 2);
        QVERIFY(!QFileInfo::exists(root() + QStringLiteral("/Empty")));
    }

    void recordMenus()
    {
        QVERIFY(QDir().mkpath(root() + QStringLiteral("/Projects")));
        const auto filed = addRecord(QStringLiteral("Filed"), QStringLiteral("Work"));
        const auto inbox = addRecord(QStringLiteral("New"), QString(), ScreenshotStatus::inbox, 5);
        showWindow(2);

        std::unique_ptr<QMenu> filedMenu(m_window->recordMenu(filed));
        QCOMPARE(actionTexts(filedMenu.get()),
            (QStringList { "Rename…", "Move to Folder", "Preview", "Copy All Text",
                "Show in File Manager", "Delete" }));
        QMenu *moveMenu = actionNamed(filedMenu.get(), QStringLiteral("Move to Folder"))->menu();
        QCOMPARE(actionTexts(moveMenu), (QStringList { "General", "Projects" }));

        std::unique_ptr<QMenu> inboxMenu(m_window->recordMenu(inbox));
        QCOMPARE(actionTexts(inboxMenu.get()),
            (QStringList {
                "File…", "Preview", "Copy All Text", "Show in File Manager", "Delete" }));

        // Moving the selected record keeps it selected with its new place.
        m_window->selectRecord(filed);
        actionNamed(moveMenu, QStringLiteral("Projects"))->trigger();
        QCOMPARE(m_window->selectedRecord()->folder, QStringLiteral("Projects"));
        QVERIFY(QFileInfo::exists(m_window->selectedRecord()->path));
        QVERIFY(m_window->selectedRecord()->path.startsWith(root() + QStringLiteral("/Projects/")));

        actionNamed(inboxMenu.get(), QStringLiteral("File…"))->trigger();
        QVERIFY(m_prompt);
        QTRY_VERIFY(m_prompt->hasModel());
        QCOMPARE(m_prompt->current().recordId, inbox.id);
    }

    void singleChangesMatchAFullListing_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<int>("sectionKind"); // all, Inbox, the folder Work
        for (LibrarySortOrder order : allSortOrders()) {
            for (int kind = 0; kind < 3; ++kind)
                QTest::addRow("%s %d", qPrintable(storedText(order)), kind) << int(order) << kind;
        }
    }

    void singleChangesMatchAFullListing()
    {
        QFETCH(int, order);
        QFETCH(int, sectionKind);
        const LibrarySection section = sectionKind == 0 ? LibrarySection::all()
            : sectionKind == 1                          ? LibrarySection::inbox()
                               : LibrarySection::folder(QStringLiteral("Work"));
        constexpr double day = 86400;
        const auto old = addRecord(
            QStringLiteral("b old"), QStringLiteral("Work"), ScreenshotStatus::filed, 30 * day);
        addRecord(
            QStringLiteral("D yesterday"), QStringLiteral("Home"), ScreenshotStatus::filed, day);
        const auto today
            = addRecord(QStringLiteral("c today"), QStringLiteral("Work"), ScreenshotStatus::filed);
        const auto inbox = addRecord(QStringLiteral("a inbox"), QString(), ScreenshotStatus::inbox);
        reload(4);
        m_window = std::make_unique<LibraryWindow>(m_state.get());
        m_window->setSortOrder(LibrarySortOrder(order));
        m_window->setSelection(section);
        m_window->show();
        ScreenshotDatabase &db = m_state->database();

        const auto shown = [](const LibraryWindow &window) {
            QStringList cells;
            for (const auto &block : window.grid()->blocks()) {
                cells.append(QLatin1Char('#') + block.header);
                for (const auto &record : block.records)
                    cells.append(record.title + QLatin1Char('/') + record.folder);
            }
            return cells;
        };
        const auto check = [&](const char *step) {
            LibraryWindow fresh(m_state.get());
            fresh.setSortOrder(LibrarySortOrder(order));
            fresh.setSelection(section);
            QVERIFY2(shown(*m_window) == shown(fresh), step);
            QCOMPARE(sidebarTexts(m_window->sidebar()), sidebarTexts(fresh.sidebar()));
            QCOMPARE(m_window->emptyStateLabel()->isVisibleTo(m_window.get()),
                fresh.emptyStateLabel()->isVisibleTo(&fresh));
        };
        const qint64 fresh
            = addRecord(QStringLiteral("e new"), QString(), ScreenshotStatus::inbox, 2 * day).id;
        m_state->refreshRecord(fresh);
        check("a capture comes in");
        db.updateLocation(inbox.id, root() + QStringLiteral("/Trips/x.png"),
            QStringLiteral("A filed"), QStringLiteral("Trips"), ScreenshotStatus::filed);
        m_state->refreshRecord(inbox.id);
        check("filed into a new folder");
        db.updateTitle(old.id, QStringLiteral("z renamed"));
        m_state->refreshRecord(old.id);
        check("renamed");
        db.updateLocation(
            today.id, today.path, today.title, QStringLiteral("Home"), ScreenshotStatus::filed);
        m_state->refreshRecord(today.id);
        check("moved to another folder");
        db.deleteRow(old.id);
        m_state->refreshRecord(old.id);
        check("deleted");
    }

    void renameRecordThroughTheDialog()
    {
        const auto record = addRecord(QStringLiteral("Before"), QStringLiteral("General"));
        showWindow(1);
        m_window->selectRecord(record);
        std::unique_ptr<QMenu> menu(m_window->recordMenu(record));
        actionNamed(menu.get(), QStringLiteral("Rename…"))->trigger();
        QCOMPARE(m_window->activeDialog()->windowTitle(), QStringLiteral("Rename"));
        answerDialog(m_window->activeDialog(), QStringLiteral("After"));
        QCOMPARE(m_window->selectedRecord()->title, QStringLiteral("After"));
        QCOMPARE(
            QFileInfo(m_window->selectedRecord()->path).fileName(), QStringLiteral("After.png"));
        QTRY_COMPARE_WITH_TIMEOUT(
            m_window->grid()->displayed().first().title, QStringLiteral("After"), 10000);
    }

    void cellsAreNamedForAutomation()
    {
        const auto record = addRecord(QString(), QStringLiteral("General"));
        showWindow(1);
        const QString name = QStringLiteral("library.thumbnail.%1").arg(record.id);
        QCOMPARE(m_window->grid()->indexOfObjectName(name), 0);
        m_window->selectRecord(record);
        QVERIFY(m_window->grid()->accessibleName().startsWith(
            QFileInfo(record.path).fileName() + QStringLiteral(", General, ")));
        QCOMPARE(m_window->grid()->accessibleDescription(), QStringLiteral("Opens the screenshot"));
        // The visible cell asked for its thumbnail and got it.
        QTRY_VERIFY_WITH_TIMEOUT(
            !ThumbnailProvider::shared().cachedImage(record.path, 180, 100).isNull(), 10000);
    }
};

MARLOX_TEST_MAIN(TestLibraryWindow)
#include "tst_librarywindow.moc"
