#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTest>

#include "app/appstate.h"
#include "app/backlogimport.h"
#include "app/prompttext.h"
#include "support/appstatescene.h"
#include "support/codeimages.h"
#include "support/fakerecognizer.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

const QDateTime kOldest = QDateTime(QDate(2025, 3, 1), QTime(9, 0));

// Screenshots named in one order and dated in another, so "newest first"
// can't pass by following the names. Returns their paths, newest first.
QStringList writeShots(const QString &folder, int count)
{
    QList<std::pair<QDateTime, QString>> dated;
    for (int i = 0; i < count; ++i) {
        QImage image(80, 50, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.drawText(image.rect(), Qt::AlignCenter, QStringLiteral("shot %1").arg(i));
        painter.end();
        const QString path = folder + QStringLiteral("/Shot %1.png").arg(i, 2, 10, QChar(u'0'));
        image.save(path);
        QFile file(path);
        const QDateTime time = kOldest.addSecs(3600 * ((i * 7) % count));
        if (!file.open(QIODevice::ReadWrite)
            || !file.setFileTime(time, QFile::FileModificationTime))
            qFatal("couldn't date %s", qPrintable(path));
        dated.append({ time, path });
    }
    std::sort(dated.begin(), dated.end(), [](const auto &a, const auto &b) { return a > b; });
    QStringList paths;
    for (const auto &entry : dated)
        paths.append(entry.second);
    return paths;
}

struct Snapshot
{
    QStringList names;
    QList<QByteArray> bytes;
    QList<QDateTime> times;
    bool operator==(const Snapshot &) const = default;
};

Snapshot snapshot(const QString &folder)
{
    Snapshot shot;
    shot.names = tree(folder);
    for (const QString &name : shot.names) {
        shot.bytes.append(readFile(folder + u'/' + name));
        shot.times.append(QFileInfo(folder + u'/' + name).lastModified());
    }
    return shot;
}

// Paths of the Inbox rows in the order they went in.
QStringList inboxByInsertion(AppState &state)
{
    QList<ScreenshotRecord> rows = state.database().allRecordsForList();
    std::sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) { return a.id < b.id; });
    QStringList paths;
    for (const ScreenshotRecord &row : rows) {
        if (row.status == ScreenshotStatus::inbox)
            paths.append(row.path);
    }
    return paths;
}

// Calls act once, as the first batch of rows of a run has gone in.
void afterFirstBatch(AppState &state, std::function<void()> act)
{
    BacklogImport &backlog = state.backlogImport();
    auto once = std::make_shared<bool>(false);
    QObject::connect(&backlog, &BacklogImport::changed, &backlog, [&backlog, act, once] {
        if (*once || backlog.progress().phase != BacklogImport::Phase::adding
            || backlog.progress().added == 0)
            return;
        *once = true;
        act();
    });
}

} // namespace

class TestBacklogImport : public QObject
{
    Q_OBJECT

    std::unique_ptr<AppStateScene> m_scene;
    std::shared_ptr<FakeRecognizer> m_ocr;

    std::unique_ptr<AppState> makeState()
    {
        return m_scene->makeState([this](AppStateDependencies &deps) { deps.ocr = m_ocr; });
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<AppStateScene>();
        m_scene->rememberShots();
        m_ocr = std::make_shared<FakeRecognizer>();
        m_ocr->open();
    }
    void cleanup() { m_scene.reset(); }

    void addsEveryShotInPlaceNewestFirstWithItsText()
    {
        const QStringList newestFirst = writeShots(m_scene->shots, 9);
        // Cut short as if still being written, and a file that is no image.
        QByteArray png = readFile(newestFirst.first());
        writeFile(m_scene->shots + QStringLiteral("/cut.png"), png.left(png.size() / 2));
        writeFile(m_scene->shots + QStringLiteral("/notes.txt"));
        // One holds a QR code, read with its text.
        const QString &ticket = newestFirst.at(1);
        const QDateTime ticketTime = QFileInfo(ticket).lastModified();
        const QString link = QStringLiteral("https://tickets.example.org/7");
        QVERIFY(test::screenshotWithCode(link, QPoint(40, 40)).save(ticket, "PNG"));
        {
            QFile file(ticket);
            QVERIFY(file.open(QIODevice::ReadWrite)
                && file.setFileTime(ticketTime, QFileDevice::FileModificationTime));
        }
        const Snapshot before = snapshot(m_scene->shots);

        auto state = makeState();
        BacklogImport &backlog = state->backlogImport();
        backlog.refreshCount();
        QTRY_COMPARE(backlog.waitingCount().value_or(-1), 10);
        backlog.start();
        QTRY_VERIFY_WITH_TIMEOUT(backlog.progress().finished, 20000);

        QCOMPARE(inboxByInsertion(*state), newestFirst);
        QCOMPARE(backlog.progress().skipped, 1);
        QCOMPARE(snapshot(m_scene->shots), before);
        const QDateTime time = QFileInfo(newestFirst.last()).lastModified();
        const auto oldest
            = state->database().record(*state->database().idForPath(newestFirst.last()));
        QCOMPARE(oldest->title, defaultTitle(std::nullopt, time));
        QCOMPARE(oldest->createdAt, secondsSince1970(time));
        QCOMPARE(state->database().search(oldest->title, LibrarySection::inbox(), 50).size(), 1);
        QCOMPARE(state->database().ocrText(oldest->id), QStringLiteral("read 80x50"));
        QVERIFY(state->database().pendingRecognition().isEmpty());
        const QList<ScreenshotCode> codes
            = state->database().codes(*state->database().idForPath(ticket));
        QCOMPARE(codes.size(), 1);
        QCOMPARE(codes.first().text, link);
        QCOMPARE(m_ocr->calls.load(), 9);
        // Nothing left to offer: the cut file is not offered again.
        QTRY_COMPARE(backlog.waitingCount().value_or(-1), 0);
        QCOMPARE(state->records().size(), 9);
        AppStateScene::finish(state);
    }

    void resumesAfterAQuitAndAfterACancel()
    {
        const QStringList newestFirst = writeShots(m_scene->shots, 10);
        auto state = makeState();
        // Gone in the middle, with nothing cancelled: as a crash or a quit.
        afterFirstBatch(*state, [&state] { state.reset(); });
        state->backlogImport().start();
        QTRY_VERIFY(!state);
        AppStateScene::finish(state);

        state = makeState();
        QCOMPARE(inboxByInsertion(*state).size(), BacklogImport::firstBatch);
        afterFirstBatch(*state, [&state] { state->backlogImport().cancel(); });
        QTRY_VERIFY(state->backlogImport().progress().finished);
        QVERIFY(state->backlogImport().progress().cancelled);
        QCOMPARE(state->backlogImport().progress().total, 10);
        const qsizetype added = inboxByInsertion(*state).size();
        QCOMPARE(added, 2 * BacklogImport::firstBatch);
        AppStateScene::finish(state);

        // Cancelled stays cancelled until asked again.
        state = makeState();
        state->backlogImport().refreshCount();
        QTRY_COMPARE(state->backlogImport().waitingCount().value_or(-1), 10 - added);
        QVERIFY(!state->backlogImport().isRunning());
        state->backlogImport().start();
        QTRY_VERIFY_WITH_TIMEOUT(state->backlogImport().progress().finished, 20000);
        QCOMPARE(inboxByInsertion(*state), newestFirst);
        AppStateScene::finish(state);
    }

    void aShotDetectedDuringTheImportIsHandledOnce()
    {
        const QStringList newestFirst = writeShots(m_scene->shots, 6);
        auto state = makeState();
        afterFirstBatch(*state, [&] {
            // One already added, one still waiting to be.
            state->handleDetection({ newestFirst.first(), 0.1 });
            state->handleDetection({ newestFirst.last(), 0.1 });
        });
        state->backlogImport().start();
        QTRY_VERIFY_WITH_TIMEOUT(state->backlogImport().progress().finished, 20000);
        QTRY_COMPARE(state->promptQueue().count(), 1);

        QCOMPARE(state->promptQueue().items.first().record.path, newestFirst.last());
        QCOMPARE(inboxByInsertion(*state).size(), 6);
        QCOMPARE(state->backlogImport().progress().added, 5);
        QTRY_COMPARE(m_ocr->calls.load(), 6);
        AppStateScene::finish(state);
        QCOMPARE(m_ocr->calls.load(), 6);
    }
};

MARLOX_TEST_MAIN(TestBacklogImport)
#include "tst_backlogimport.moc"
