#include <atomic>

#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "app/appstate.h"
#include "app/coalescedloader.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/logcapture.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;
using namespace std::chrono_literals;

namespace {

// Where the loader's deliveries land.
class Sink : public QObject
{
    Q_OBJECT
public:
    std::atomic<bool> deliveredOffGuiThread { false };
Q_SIGNALS:
    void delivered(int value);
};

ScreenshotRecord entry(qint64 id, double createdAt, const QString &title = QStringLiteral("t"))
{
    ScreenshotRecord record;
    record.id = id;
    record.createdAt = createdAt;
    record.title = title;
    return record;
}

QList<qint64> idsOf(const QList<ScreenshotRecord> &records)
{
    QList<qint64> ids;
    for (const auto &record : records)
        ids.append(record.id);
    return ids;
}

} // namespace

class TestRecordLoading : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AppStateScene> m_scene;

    std::unique_ptr<CoalescedLoader<int>> makeLoader(
        Sink &sink, std::function<std::optional<int>()> fetch, QObject *context = nullptr)
    {
        Sink *target = &sink;
        return std::make_unique<CoalescedLoader<int>>(QStringLiteral("test.loader"), 100ms,
            std::move(fetch), context ? context : &sink, [target](std::optional<int> value) {
                if (QThread::currentThread() != QCoreApplication::instance()->thread())
                    target->deliveredOffGuiThread = true;
                Q_EMIT target->delivered(value.value_or(-1));
            });
    }

    static qint64 add(AppState &state, const QString &name, double createdAt,
        const QString &text = QStringLiteral("recognised words"))
    {
        return state.database().insertOrUpdate(QStringLiteral("/shots/") + name, name, {},
            createdAt, text, QStringLiteral("hash"), ScreenshotStatus::inbox, 10);
    }

private Q_SLOTS:
    void init() { m_scene = std::make_unique<AppStateScene>(); }

    void cleanup() { m_scene.reset(); }

    void aBurstCostsOneFetch()
    {
        Sink sink;
        QSignalSpy spy(&sink, &Sink::delivered);
        std::atomic<int> fetches { 0 };
        std::atomic<bool> fetchedOnGuiThread { false };
        auto loader = makeLoader(sink, [&]() -> std::optional<int> {
            if (QThread::currentThread() == QCoreApplication::instance()->thread())
                fetchedOnGuiThread = true;
            return ++fetches;
        });
        for (int i = 0; i < 10; ++i)
            loader->request();
        QVERIFY(loader->isScheduledOrInFlight());
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().first().toInt(), 1);
        QVERIFY(!spy.wait(400));
        QCOMPARE(fetches.load(), 1);
        QVERIFY(!loader->isScheduledOrInFlight());
        QVERIFY(!fetchedOnGuiThread);
        QVERIFY(!sink.deliveredOffGuiThread);
    }

    void aRequestDuringAFetchCostsOneMoreAndOnlyTheNewestIsDelivered()
    {
        Sink sink;
        QSignalSpy spy(&sink, &Sink::delivered);
        std::atomic<int> fetches { 0 };
        QSemaphore started;
        QSemaphore gate;
        auto loader = makeLoader(sink, [&]() -> std::optional<int> {
            const int n = ++fetches;
            started.release();
            gate.acquire();
            return n;
        });
        loader->request();
        QVERIFY(started.tryAcquire(1, 5000));
        loader->request();
        loader->request();
        gate.release(); // the first result is now stale
        QVERIFY(started.tryAcquire(1, 5000));
        gate.release();
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().first().toInt(), 2);
        QVERIFY(!spy.wait(400));
        QCOMPARE(fetches.load(), 2);
        QVERIFY(!loader->isScheduledOrInFlight());
    }

    void aThrowingFetchDeliversNothingAndTheLoaderKeepsWorking()
    {
        Sink sink;
        QSignalSpy spy(&sink, &Sink::delivered);
        std::atomic<int> fetches { 0 };
        auto loader = makeLoader(sink, [&]() -> std::optional<int> {
            if (++fetches == 1)
                throw std::runtime_error("disk on fire");
            return 7;
        });
        loader->request();
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.takeFirst().first().toInt(), -1);
        QTRY_VERIFY_WITH_TIMEOUT(!loader->isScheduledOrInFlight(), 5000);
        loader->request();
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.takeFirst().first().toInt(), 7);
    }

    void aDestroyedContextGetsNoDelivery()
    {
        Sink sink;
        QSignalSpy spy(&sink, &Sink::delivered);
        QSemaphore fetched;
        auto *context = new QObject;
        auto loader = makeLoader(
            sink,
            [&]() -> std::optional<int> {
                fetched.release();
                return 1;
            },
            context);
        loader->request();
        delete context;
        QVERIFY(fetched.tryAcquire(1, 5000));
        QVERIFY(!spy.wait(400));
        QTRY_VERIFY_WITH_TIMEOUT(!loader->isScheduledOrInFlight(), 5000);
    }

    void mergeRecord_data()
    {
        QTest::addColumn<qint64>("id");
        QTest::addColumn<double>("createdAt"); // negative: no record
        QTest::addColumn<QList<qint64>>("expected");
        // The list is 1@30, 2@20, 3@20, 4@10.
        QTest::newRow("newest goes first") << qint64(9) << 40.0 << QList<qint64> { 9, 1, 2, 3, 4 };
        QTest::newRow("oldest goes last") << qint64(9) << 5.0 << QList<qint64> { 1, 2, 3, 4, 9 };
        QTest::newRow("equal times stay ahead")
            << qint64(9) << 20.0 << QList<qint64> { 1, 2, 3, 9, 4 };
        QTest::newRow("same time replaces in place")
            << qint64(2) << 20.0 << QList<qint64> { 1, 2, 3, 4 };
        QTest::newRow("a changed time moves it")
            << qint64(4) << 25.0 << QList<qint64> { 1, 4, 2, 3 };
        QTest::newRow("moved next to equals lands after them")
            << qint64(1) << 20.0 << QList<qint64> { 2, 3, 1, 4 };
        QTest::newRow("no record removes it") << qint64(3) << -1.0 << QList<qint64> { 1, 2, 4 };
        QTest::newRow("no record and unknown id")
            << qint64(99) << -1.0 << QList<qint64> { 1, 2, 3, 4 };
    }

    void mergeRecord()
    {
        QFETCH(qint64, id);
        QFETCH(double, createdAt);
        QFETCH(QList<qint64>, expected);
        QList<ScreenshotRecord> merged { entry(1, 30), entry(2, 20), entry(3, 20), entry(4, 10) };
        std::optional<ScreenshotRecord> record;
        if (createdAt >= 0)
            record = entry(id, createdAt, QStringLiteral("changed"));
        const std::optional<ScreenshotRecord> before = marlox::mergeRecord(merged, id, record);
        QCOMPARE(before ? before->id : 0, id <= 4 ? id : 0);
        QCOMPARE(idsOf(merged), expected);
        if (record)
            QCOMPARE(merged.at(expected.indexOf(id)).title, QStringLiteral("changed"));
    }

    void reloadIsOffTheGuiThreadAndPublishesTheList()
    {
        auto state = m_scene->makeState();
        QVERIFY(state->records().isEmpty());
        const qint64 older = add(*state, QStringLiteral("a.png"), 100);
        const qint64 newer = add(*state, QStringLiteral("b.png"), 200);
        QSignalSpy changed(state.get(), &AppState::recordsChanged);
        state->reloadRecords();
        state->reloadRecords();
        QVERIFY(state->records().isEmpty()); // nothing is read on the caller's thread
        QVERIFY(changed.wait(5000));
        QCOMPARE(idsOf(state->records()), (QList<qint64> { newer, older }));
        for (const auto &record : state->records())
            QCOMPARE(record.ocrText, QString());
        QVERIFY(!changed.wait(300));
        QCOMPARE(changed.count(), 1);
    }

    void aFailingListQueryLeavesTheRecords()
    {
        auto state = m_scene->makeState();
        add(*state, QStringLiteral("a.png"), 100);
        state->reloadRecords();
        QTRY_COMPARE_WITH_TIMEOUT(state->records().size(), 1, 5000);
        add(*state, QStringLiteral("b.png"), 200);

        LogCapture log;
        QSignalSpy changed(state.get(), &AppState::recordsChanged);
        state->database().failNthStatementForTesting(1, true);
        state->reloadRecords();
        QTRY_COMPARE_WITH_TIMEOUT(
            log.countStartingWith(QStringLiteral("Failed to load records")), 1, 5000);
        QVERIFY(!changed.wait(300));
        QCOMPARE(state->records().size(), 1);
    }

    void refreshMergesChangesAndDropsDeletedRows()
    {
        auto state = m_scene->makeState();
        const qint64 a = add(*state, QStringLiteral("a.png"), 100);
        const qint64 b = add(*state, QStringLiteral("b.png"), 200);
        state->reloadRecords();
        QTRY_COMPARE_WITH_TIMEOUT(state->records().size(), 2, 5000);

        state->database().updateTitle(a, QStringLiteral("Renamed"));
        state->refreshRecord(a);
        QCOMPARE(state->records().at(1).title, QStringLiteral("Renamed"));
        QCOMPARE(state->records().at(1).ocrText, QString());

        state->database().deleteRow(b);
        state->refreshRecord(b);
        QCOMPARE(idsOf(state->records()), QList<qint64> { a });

        const qint64 c = add(*state, QStringLiteral("c.png"), 300);
        state->refreshRecord(c);
        QCOMPARE(idsOf(state->records()), (QList<qint64> { c, a }));
    }

    void blankSearchesNeverTouchTheDatabase()
    {
        auto state = m_scene->makeState();
        const qint64 id
            = add(*state, QStringLiteral("invoice.png"), 100, QStringLiteral("total due"));
        state->database().failNthStatementForTesting(1);
        QVERIFY(state->searchRecords(QStringLiteral(" \t  "), LibrarySection::all()).isEmpty());
        // The armed failure is still waiting for the first real statement.
        QVERIFY_THROWS_EXCEPTION(SQLiteError, state->database().record(id));

        const auto results = state->searchRecords(QStringLiteral(" total "), LibrarySection::all());
        QCOMPARE(results.size(), 1);
        QCOMPARE(results.first().id(), id);

        LogCapture log;
        state->database().failNthStatementForTesting(1);
        QVERIFY(state->searchRecords(QStringLiteral("total"), LibrarySection::all()).isEmpty());
        QCOMPARE(log.countStartingWith(QStringLiteral("Search failed")), 1);
    }

    void textIsLoadedInTheBackground()
    {
        auto state = m_scene->makeState();
        const qint64 id
            = add(*state, QStringLiteral("a.png"), 100, QStringLiteral("line one\nline two"));
        ScreenshotRecord record;
        record.id = id;
        QFuture<QString> text = state->loadOCRText(record);
        QTRY_VERIFY_WITH_TIMEOUT(text.isFinished(), 5000);
        QCOMPARE(text.result(), QStringLiteral("line one\nline two"));

        record.id = id + 1000;
        QFuture<QString> missing = state->loadOCRText(record);
        QTRY_VERIFY_WITH_TIMEOUT(missing.isFinished(), 5000);
        QCOMPARE(missing.result(), QString());
    }

    void copyPutsTheStoredTextOnTheClipboard()
    {
        auto state = m_scene->makeState();
        const qint64 id = add(*state, QStringLiteral("a.png"), 100, QStringLiteral("stored text"));
        ScreenshotRecord record;
        record.id = id;
        record.ocrText = QStringLiteral("stale list text");
        state->copyOCRText(record);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("stored text"));

        record.id = id + 1000; // no row: the record's own text
        state->copyOCRText(record);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("stale list text"));
    }
};

MARLOX_TEST_MAIN(TestRecordLoading)
#include "tst_recordloading.moc"
