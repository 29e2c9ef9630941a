// marlox-test-timeout: 300
#include <algorithm>
#include <functional>

#include <sys/stat.h>

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "app/appstate.h"
#include "app/prompttext.h"
#include "filing/contenthash.h"
#include "filing/ocrengine.h"
#include "platform/frontmostapp.h"
#include "platform/workpools.h"
#include "storage/bookmarkstore.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/codeimages.h"
#include "support/fakerecognizer.h"
#include "support/fakes.h"
#include "support/imagebytes.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

const QString noLibraryText
    = QStringLiteral("No library folder set — choose one from the menu bar, then try again.");

class FakeFrontmost : public FrontmostApplication
{
public:
    std::optional<Info> app;
    std::optional<Info> frontmost() override { return app; }
};

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray encodedImage(const char *format, int width = 640)
{
    QImage image(width, 200, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(32);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(40, 110, QStringLiteral("Quarterly revenue report"));
    painter.end();
    return imageBytes(image, format);
}

} // namespace

class TestCapturePipeline : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AppStateScene> m_scene;
    QString m_shots;
    QString m_library;
    std::shared_ptr<ScriptedDialogs> m_dialogs;
    std::shared_ptr<FakeRecognizer> m_ocr;
    std::shared_ptr<FakeFrontmost> m_frontmost;
    RecordingPrompt *m_prompt = nullptr;
    int m_promptsMade = 0;

    std::unique_ptr<AppState> makeState(bool autoSave, bool withLibrary,
        QList<double> delays = { 0.02, 0.04, 0.08, 0.16 }, std::shared_ptr<TextRecognizer> ocr = {})
    {
        Preferences::setValue(Preferences::autoSaveEnabled, autoSave);
        if (withLibrary)
            m_scene->rememberLibrary();
        return m_scene->makeState([&](AppStateDependencies &deps) {
            deps.makeCapturePrompt = [this] {
                auto prompt = std::make_unique<RecordingPrompt>();
                m_prompt = prompt.get();
                ++m_promptsMade;
                return prompt;
            };
            deps.ocr = ocr ? ocr : m_ocr;
            deps.frontmost = m_frontmost;
            deps.readRetryDelays = delays;
        });
    }

    QString shot(const QString &name) const { return QDir(m_shots).filePath(name); }

    static QString expectedTitle(const QString &app, const QString &path)
    {
        return marlox::defaultTitle(app, QFileInfo(path).birthTime());
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<AppStateScene>();
        m_shots = m_scene->shots;
        m_library = m_scene->library;
        Preferences::remove(Preferences::libraryRootBookmark);
        Preferences::remove(Preferences::recentFolders);
        m_dialogs = m_scene->dialogs;
        m_ocr = FakeRecognizer::answering(QStringLiteral("Quarterly revenue\nreport draft"));
        m_frontmost = std::make_shared<FakeFrontmost>();
        m_frontmost->app = FrontmostApplication::Info { QStringLiteral("Notes"),
            QStringLiteral("org.example.Notes") };
        m_prompt = nullptr;
        m_promptsMade = 0;
    }
    void cleanup()
    {
        m_ocr->gated = false;
        m_ocr->gate.release(100);
        WorkPools::capture().waitForDone();
    }

    void defaultTitle_data()
    {
        QTest::addColumn<QString>("app");
        QTest::addColumn<QDateTime>("time");
        QTest::addColumn<QString>("title");
        const QDate day(2026, 3, 5);
        QTest::newRow("afternoon") << QStringLiteral("Notes") << QDateTime(day, QTime(14, 7))
                                   << QStringLiteral("Notes 2026-03-05 at 2.07 PM");
        QTest::newRow("no application") << QString() << QDateTime(day, QTime(14, 7))
                                        << QStringLiteral("Screenshot 2026-03-05 at 2.07 PM");
        QTest::newRow("just after midnight") << QString() << QDateTime(day, QTime(0, 30))
                                             << QStringLiteral("Screenshot 2026-03-05 at 12.30 AM");
        QTest::newRow("noon") << QStringLiteral("Files") << QDateTime(day, QTime(12, 0))
                              << QStringLiteral("Files 2026-03-05 at 12.00 PM");
    }
    void defaultTitle()
    {
        QFETCH(QString, app);
        QFETCH(QDateTime, time);
        QFETCH(QString, title);
        QCOMPARE(
            marlox::defaultTitle(app.isEmpty() ? std::nullopt : std::optional<QString>(app), time),
            title);
    }

    // Imports are filed into their folder with their text even with the
    // prompt on; only copies are made, and one that can't be read is dropped
    // while its original stays.
    void importsFileCopiesAndNeverTouchTheOriginals()
    {
        auto state = makeState(false, true);
        LogCapture log;
        const QString elsewhere = m_scene->dir.filePath(QStringLiteral("Downloads"));
        QDir().mkpath(elsewhere);
        const QString good = elsewhere + QStringLiteral("/Receipt.png");
        const QString broken = elsewhere + QStringLiteral("/Broken.png");
        writeFile(good, encodedImage("PNG"));
        writeFile(broken, QByteArrayLiteral("not an image"));
        QCOMPARE(
            state->importFiles({ good, broken, elsewhere, elsewhere + QStringLiteral("/x.txt") },
                QStringLiteral("Bills")),
            2);

        const QString filed = m_library + QStringLiteral("/Bills/Receipt.png");
        QTRY_VERIFY_WITH_TIMEOUT(state->database().idForPath(filed).has_value(), 10000);
        const qint64 id = *state->database().idForPath(filed);
        QCOMPARE(state->database().record(id)->status, ScreenshotStatus::filed);
        QCOMPARE(state->database().ocrText(id), std::optional<QString>(m_ocr->text));
        QTRY_VERIFY_WITH_TIMEOUT(
            log.contains(QStringLiteral("Couldn't read Broken.png to import it; leaving it out")),
            10000);
        QCOMPARE(state->database().allRecords().size(), 1);
        QCOMPARE(m_promptsMade, 0);
        QCOMPARE(readFile(good), encodedImage("PNG"));
        QCOMPARE(readFile(broken), QByteArrayLiteral("not an image"));
        QCOMPARE(QDir(m_library + QStringLiteral("/.marlox-import")).entryList(QDir::Files),
            QStringList());
    }

    void autoSaveFilesIntoGeneralWithTextAndHash()
    {
        // The real engine on a small image: what the user will search for.
        auto state = makeState(true, true, { 0.5, 1.0, 2.0, 4.0 }, std::make_shared<OCREngine>());
        LogCapture log;
        const QString path = shot(QStringLiteral("Screenshot 1.png"));
        const QByteArray bytes = encodedImage("PNG");
        writeFile(path, bytes);
        const QString title = expectedTitle(QStringLiteral("Notes"), path);
        QSignalSpy saved(state.get(), &AppState::lastSavedAtChanged);

        state->handleDetection({ path, 0.25 });
        QVERIFY(state->lastDetectionAt().isValid());
        QVERIFY(saved.wait(60000));

        const auto all = state->database().allRecords();
        QCOMPARE(all.size(), 1);
        const ScreenshotRecord &record = all.first();
        QCOMPARE(record.status, ScreenshotStatus::filed);
        QCOMPARE(record.folder, QStringLiteral("General"));
        QCOMPARE(record.title, title);
        QCOMPARE(
            record.path, QDir(m_library).filePath(QStringLiteral("General/") + title + ".png"));
        QVERIFY(QFile::exists(record.path));
        QVERIFY(!QFile::exists(path));
        QVERIFY2(record.ocrText.contains(QStringLiteral("revenue")), qPrintable(record.ocrText));
        QCOMPARE(record.contentHash.toLatin1(), sha256Hex(bytes));
        QCOMPARE(record.fileSize, bytes.size());
        QCOMPARE(
            state->database().search(QStringLiteral("quarterly"), LibrarySection::all(), 10).size(),
            1);
        QCOMPARE(state->recentFolders().value(0), QStringLiteral("General"));
        QVERIFY(state->promptQueue().isEmpty());
        QCOMPARE(m_promptsMade, 0);
        QVERIFY(
            log.contains(QStringLiteral("Detected stable screenshot Screenshot 1.png in 0.250s")));
        QVERIFY(log.contains(QStringLiteral("Auto-saved capture %1").arg(record.id)));
        QCOMPARE(log.countStartingWith(QStringLiteral("OCR done for Screenshot 1.png: ")), 1);
    }

    void promptSaysWhenTheBytesAreAlreadyFiledAndItsDiscardTrashesTheCopy()
    {
        auto state = makeState(false, false);
        const QByteArray bytes = encodedImage("PNG");
        const QString filed = QDir(m_library).filePath(QStringLiteral("Work/Invoice.png"));
        writeFile(filed, bytes);
        state->database().insertOrUpdate(filed, QStringLiteral("Invoice"), QStringLiteral("Work"),
            100, QString(), ContentHash::ofData(bytes), ScreenshotStatus::filed, bytes.size());
        const QString path = shot(QStringLiteral("Screenshot 2.png"));
        writeFile(path, bytes);

        state->handleDetection({ path, 0 });
        QTRY_VERIFY(m_prompt && m_prompt->hasModel());
        const std::optional<ScreenshotRecord> copy = m_prompt->current().filedCopy;
        QVERIFY(copy.has_value());
        QCOMPARE(copy->path, filed);
        QCOMPARE(copy->title, QStringLiteral("Invoice"));

        m_prompt->current().onDiscard();
        QVERIFY(!QFile::exists(path));
        QVERIFY(QFile::exists(filed));
        QCOMPARE(state->database().allRecords().size(), 1);
    }

    void autoSaveKeepsTheCodesOfTheImage()
    {
        auto state = makeState(true, true);
        const QString path = shot(QStringLiteral("Screenshot 2.png"));
        QRect drawn;
        QVERIFY(test::screenshotWithCode(
            QStringLiteral("https://tickets.example.org/42A"), QPoint(100, 150), &drawn)
                    .save(path));
        QSignalSpy saved(state.get(), &AppState::lastSavedAtChanged);
        state->handleDetection({ path, 0.1 });
        QVERIFY(saved.wait(30000));
        const auto found = state->database().search(
            QStringLiteral("tickets.example"), LibrarySection::all(), 10);
        QCOMPARE(found.size(), 1);
        const QList<ScreenshotCode> codes = state->database().codes(found.first().id());
        QCOMPARE(codes.size(), 1);
        QVERIFY(drawn.contains(codes.first().corners[0]));
    }

    void promptPathIndexesFirstAndFillsTextLater()
    {
        auto state = makeState(false, true);
        // Start-up's reconcile would fill in the size the capture path leaves
        // for later; let it pass first.
        QSignalSpy reconciled(state.get(), &AppState::libraryReconciled);
        QVERIFY(reconciled.wait(30000));
        LogCapture log;
        m_ocr->gated = true; // recognition waits until the prompt has been checked
        const QString path = shot(QStringLiteral("shot.png"));
        const QByteArray bytes = encodedImage("PNG");
        writeFile(path, bytes);
        QSignalSpy queueChanged(state.get(), &AppState::promptQueueChanged);

        state->handleDetection({ path, 0.1 });

        // Indexed and prompted while recognition is still held back.
        QTRY_COMPARE_WITH_TIMEOUT(state->promptQueue().count(), 1, 10000);
        QVERIFY(queueChanged.count() >= 1);
        const ScreenshotRecord queued = state->promptQueue().items.first().record;
        const auto stored = state->database().record(queued.id);
        QVERIFY(stored.has_value());
        QCOMPARE(stored->status, ScreenshotStatus::inbox);
        QCOMPARE(stored->folder, QString());
        QCOMPARE(stored->path, path);
        QCOMPARE(stored->contentHash, QString());
        QCOMPARE(stored->fileSize, 0);
        QCOMPARE(state->database().ocrText(queued.id), std::optional<QString>(QString()));
        QVERIFY(m_prompt && m_prompt->isVisible());
        QCOMPARE(m_prompt->current().recordId, queued.id);
        QCOMPARE(m_prompt->current().title, QString());
        QCOMPARE(m_prompt->current().defaultTitle, expectedTitle(QStringLiteral("Notes"), path));
        QCOMPARE(m_prompt->current().queueCount, 1);
        QCOMPARE(log.countStartingWith(QStringLiteral("Capture prompt shown ")), 1);
        QCOMPARE(m_ocr->answered.load(), 0);
        QVERIFY(std::any_of(state->records().begin(), state->records().end(),
            [&](const ScreenshotRecord &r) { return r.id == queued.id; }));

        m_ocr->gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(
            state->database().record(queued.id)->contentHash.toLatin1(), sha256Hex(bytes), 30000);
        QCOMPARE(state->database().ocrText(queued.id), std::optional<QString>(m_ocr->text));
        QCOMPARE(state->database().record(queued.id)->fileSize, bytes.size());
        QCOMPARE(state->database().record(queued.id)->status, ScreenshotStatus::inbox);
        QVERIFY(!m_ocr->ranOnGuiThread);
        QVERIFY(log.contains(QStringLiteral("OCR done for record %1: %2 chars")
                                 .arg(queued.id)
                                 .arg(m_ocr->text.size())));
    }

    void secondCaptureJoinsTheQueue()
    {
        m_frontmost->app = FrontmostApplication::Info { QStringLiteral("Screenshot"),
            QStringLiteral("org.gnome.Screenshot") };
        auto state = makeState(false, true);
        const QString first = shot(QStringLiteral("a.png"));
        const QString second = shot(QStringLiteral("b.png"));
        writeFile(first, encodedImage("PNG"));
        writeFile(second, encodedImage("PNG"));
        state->handleDetection({ first, 0 });
        state->handleDetection({ second, 0 });
        QTRY_COMPARE_WITH_TIMEOUT(state->promptQueue().count(), 2, 10000);
        QCOMPARE(m_prompt->shown.size(), 1);
        QCOMPARE(m_prompt->current().path, first);
        QCOMPARE(m_prompt->queueCount, 2);
        // The screenshot tool in front counts as no application.
        QVERIFY(m_prompt->current().defaultTitle.startsWith(QStringLiteral("Screenshot 20")));
    }

    void recognitionStaysOffTheSharedPool()
    {
        // Qt paints on the shared pool and waits for it: a recognition
        // there would hold up every repaint of the library window.
        auto state = makeState(false, true);
        m_ocr->gated = true;
        for (const QString &name : { QStringLiteral("p1.png"), QStringLiteral("p2.png") }) {
            writeFile(shot(name), encodedImage("PNG"));
            state->handleDetection({ shot(name), 0 });
        }
        QVERIFY(m_ocr->started.tryAcquire(1, 10000));
        QCOMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(state->promptQueue().count(), 2, 10000);
    }

    void burstIsFiledInDetectionOrder()
    {
        // Earlier captures take longer to recognise, so they finish last.
        constexpr int count = 10;
        auto state = makeState(true, true);
        m_ocr->delay = [](const QImage &image) { return (400 + 10 * count - image.width()) * 4; };
        QStringList hashes;
        for (int i = 0; i < count; ++i) {
            const QString path = shot(QStringLiteral("burst-%1.png").arg(i));
            const QByteArray bytes = encodedImage("PNG", 400 + 10 * i);
            writeFile(path, bytes);
            hashes.append(QString::fromLatin1(sha256Hex(bytes)));
            state->handleDetection({ path, 0 });
        }
        QTRY_COMPARE_WITH_TIMEOUT(state->database().allRecords().size(), qsizetype(count), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(state->records().begin(), state->records().end(),
                [](const ScreenshotRecord &r) { return r.status == ScreenshotStatus::filed; }),
            60000);
        QList<ScreenshotRecord> byRow = state->database().allRecords();
        std::sort(byRow.begin(), byRow.end(),
            [](const ScreenshotRecord &a, const ScreenshotRecord &b) { return a.id < b.id; });
        QStringList filed;
        for (const ScreenshotRecord &record : byRow)
            filed.append(record.contentHash);
        QCOMPARE(filed, hashes);
    }

    void fileReadableLaterIsProcessedOnRetry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("firstPiece");
        const QByteArray png = encodedImage("PNG");
        QTest::newRow("PNG") << "late.png" << png << png.left(png.size() / 2);
        // Qt decodes the first frame of a GIF whose later ones are still to come.
        const QByteArray gif = gifBytes(3);
        QTest::newRow("GIF written frame by frame")
            << "late.gif" << gif << gif.left(gifBytes(1).size() - 1);
    }
    void fileReadableLaterIsProcessedOnRetry()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, firstPiece);
        auto state = makeState(false, true, { 0.5, 1.0, 2.0, 4.0 });
        LogCapture log;
        const QString path = shot(name);
        writeFile(path, firstPiece);
        QTimer::singleShot(1000, this, [&] { writeFile(path, bytes); });

        state->handleDetection({ path, 0 });
        QCOMPARE(state->promptQueue().count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(state->promptQueue().count(), 1, 15000);
        const qint64 id = state->promptQueue().items.first().record.id;
        QCOMPARE(state->promptQueue().items.first().record.path, path);
        QTRY_COMPARE_WITH_TIMEOUT(
            state->database().record(id)->contentHash.toLatin1(), sha256Hex(bytes), 30000);
        QCOMPARE(state->database().record(id)->fileSize, bytes.size());
        QCOMPARE(
            log.count(QStringLiteral("Couldn't read screenshot %1 yet; retrying").arg(name)), 1);
        QCOMPARE(
            log.countStartingWith(QStringLiteral("Couldn't read screenshot %1 after").arg(name)),
            0);
    }

    void vanishedFileIsNotIndexed()
    {
        auto state = makeState(false, true);
        LogCapture log;
        const QString path = shot(QStringLiteral("gone.png"));
        writeFile(path, encodedImage("PNG").left(40));
        state->handleDetection({ path, 0 });
        QVERIFY(QFile::remove(path));
        QTRY_VERIFY_WITH_TIMEOUT(
            log.contains(
                QStringLiteral("Detected screenshot gone.png vanished before it could be read")),
            10000);
        QVERIFY(state->database().allRecords().isEmpty());
        QVERIFY(state->promptQueue().isEmpty());
        QCOMPARE(m_promptsMade, 0);
        QCOMPARE(log.count(QStringLiteral("Couldn't read screenshot gone.png yet; retrying")), 1);
    }

    void neverReadableLandsInInboxWithoutText_data()
    {
        QTest::addColumn<bool>("autoSave");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        // Qt decodes a JPEG without its end-of-image marker: it must still count as partial.
        const QByteArray jpeg = encodedImage("JPEG");
        QVERIFY(jpeg.endsWith("\xFF\xD9"));
        QVERIFY(!QImage::fromData(jpeg.left(jpeg.size() - 2)).isNull());
        QTest::newRow("truncated JPEG, prompt") << false << "cut.jpg" << jpeg.left(jpeg.size() - 2);
        QTest::newRow("truncated PNG, auto-save")
            << true << "cut.png" << encodedImage("PNG").left(300);
        QTest::newRow("empty file") << false << "empty.png" << QByteArray();
    }
    void neverReadableLandsInInboxWithoutText()
    {
        QFETCH(bool, autoSave);
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        auto state = makeState(autoSave, true);
        LogCapture log;
        const QString path = shot(name);
        writeFile(path, bytes);
        state->handleDetection({ path, 0 });
        QTRY_COMPARE_WITH_TIMEOUT(state->database().allRecords().size(), 1, 10000);
        const ScreenshotRecord record = state->database().allRecords().first();
        QCOMPARE(record.path, path);
        QCOMPARE(record.status, ScreenshotStatus::inbox);
        QCOMPARE(record.ocrText, QString());
        QCOMPARE(record.contentHash, QString());
        QCOMPARE(record.fileSize, 0);
        QCOMPARE(record.title, expectedTitle(QStringLiteral("Notes"), path));
        QCOMPARE(log.count(QStringLiteral("Couldn't read screenshot %1 after retries; adding it to "
                                          "the Inbox without text")
                               .arg(name)),
            1);
        QCOMPARE(
            log.count(QStringLiteral("Couldn't read screenshot %1 yet; retrying").arg(name)), 1);
        QCOMPARE(state->promptQueue().count(), autoSave ? 0 : 1);
        QCOMPARE(m_ocr->calls.load(), 0);
        QVERIFY(QFile::exists(path));
    }

    void fifoIsNeverOpenedForReading()
    {
        auto state = makeState(false, true);
        const QString path = shot(QStringLiteral("pipe.png"));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        // Would block forever in open() if the pipeline opened it for reading.
        state->handleDetection({ path, 0 });
        QTRY_COMPARE_WITH_TIMEOUT(state->promptQueue().count(), 1, 10000);
        QCOMPARE(m_ocr->calls.load(), 0);
    }

    void autoSaveWithoutLibraryFallsBackToPrompt()
    {
        auto state = makeState(true, false);
        LogCapture log;
        const QString path = shot(QStringLiteral("nolib.png"));
        writeFile(path, encodedImage("PNG"));
        state->handleDetection({ path, 0 });
        QTRY_COMPARE_WITH_TIMEOUT(state->promptQueue().count(), 1, 30000);
        const PromptQueue::Item item = state->promptQueue().items.first();
        QCOMPARE(item.initialError, std::optional<QString>(noLibraryText));
        QCOMPARE(item.title, QString());
        QCOMPARE(item.defaultTitle, expectedTitle(QStringLiteral("Notes"), path));
        QCOMPARE(m_prompt->current().initialError, std::optional<QString>(noLibraryText));
        QCOMPARE(m_prompt->current().initialFolder, QStringLiteral("General"));
        const auto record = state->database().record(item.record.id);
        QCOMPARE(record->status, ScreenshotStatus::inbox);
        QCOMPARE(record->path, path);
        QCOMPARE(state->database().ocrText(item.record.id), std::optional<QString>(m_ocr->text));
        QVERIFY(QFile::exists(path));
        QCOMPARE(log.countStartingWith(
                     QStringLiteral("Auto-save failed for capture %1, falling back to prompt: ")
                         .arg(item.record.id)),
            1);
    }

    void pendingRetryEndsWithAppState()
    {
        auto state = makeState(false, true, { 0.05, 0.05, 0.05, 0.05 });
        LogCapture log;
        const QString path = shot(QStringLiteral("orphan.png"));
        writeFile(path, QByteArray("not an image"));
        state->handleDetection({ path, 0 });
        state.reset();
        // The cancelled waits end the retry silently.
        QTest::qWait(400);
        QCOMPARE(
            log.countStartingWith(QStringLiteral("Couldn't read screenshot orphan.png after")), 0);
    }
};

MARLOX_TEST_MAIN(TestCapturePipeline)
#include "tst_capturepipeline.moc"
