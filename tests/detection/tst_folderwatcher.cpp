#include <cerrno>
#include <ctime>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "detection/folderwatcher.h"
#include "detection/stabilitytracker.h"
#include "platform/log.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;
using marlox::test::LogCapture;

namespace {

// Generous: waits end as soon as the report comes, and a loaded machine is slow.
constexpr int reportMs = 30000;

// Timers that never fire within a test: the test drives scans and polls.
FolderWatcher::Options drivenByTheTest()
{
    FolderWatcher::Options options;
    options.pollInterval = options.fallbackScanInterval = options.folderCheckInterval
        = std::chrono::hours(1);
    return options;
}

double coarseNow()
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Files changed in the same clock tick as a start request may be new to it;
// the ones a test puts in place first must be older.
void waitForTheNextClockTick()
{
    const double before = coarseNow();
    QTRY_VERIFY(coarseNow() > before);
}

} // namespace

// Owns a watcher and turns its callbacks into signals on the GUI thread.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(const QString &folder, FolderWatcher::Options options = drivenByTheTest())
        : watcher(std::make_unique<FolderWatcher>(folder, std::move(options)))
    {
        const QPointer<Recorder> self(this);
        watcher->setOnStableFile([self](const Detection &detection) {
            Q_ASSERT(QThread::currentThread() == qApp->thread());
            if (self)
                Q_EMIT self->stable(QFileInfo(detection.url).fileName(),
                    QFileInfo(detection.url).size(), detection.detectionLatency);
        });
        watcher->setOnFolderLost([self](Loss loss) {
            QMetaObject::invokeMethod(
                qApp,
                [self, loss] {
                    if (self)
                        Q_EMIT self->lost(int(loss));
                },
                Qt::QueuedConnection);
        });
        watcher->setOnStartFailure([self](int code) {
            QMetaObject::invokeMethod(
                qApp,
                [self, code] {
                    if (self)
                        Q_EMIT self->startFailed(code);
                },
                Qt::QueuedConnection);
        });
    }
    ~Recorder() override { watcher.reset(); }

    // One fallback scan and enough polls to report whatever is stable,
    // with the reports delivered.
    void settle()
    {
        watcher->scanNow();
        for (int i = 0; i <= FolderWatcher::requiredStableTicks; ++i)
            watcher->pollNow();
        QCoreApplication::processEvents();
    }

    std::unique_ptr<FolderWatcher> watcher;

Q_SIGNALS:
    void stable(const QString &name, qint64 size, double latency);
    void lost(int loss);
    void startFailed(int code);
};

// A watcher on a folder with its reports collected.
struct Watch
{
    LogCapture log;
    Recorder recorder;
    QSignalSpy stable { &recorder, &Recorder::stable };
    QSignalSpy lost { &recorder, &Recorder::lost };

    explicit Watch(const QString &folder, FolderWatcher::Options options = drivenByTheTest())
        : recorder(folder, std::move(options)), m_folder(folder)
    { }

    // Starts watching and waits until the sources are up.
    bool start(int existing)
    {
        recorder.watcher->start();
        const QString line
            = QStringLiteral("Watching %1, %2 existing files").arg(m_folder).arg(existing);
        return QTest::qWaitFor([&] { return log.contains(line); }, reportMs);
    }
    void settle() { recorder.settle(); }

private:
    QString m_folder;
};

class TestFolderWatcher : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_folder;

    QString file(const QString &name) const { return m_folder + QLatin1Char('/') + name; }

    static QStringList names(const QSignalSpy &spy)
    {
        QStringList out;
        for (const auto &args : spy)
            out.append(args.at(0).toString());
        return out;
    }

private Q_SLOTS:
    void init()
    {
        m_folder = m_tmp.filePath(QStringLiteral("case/Shots"));
        QDir(m_tmp.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_folder));
    }

    // Only visible image files count, before the start and after it; the
    // ones there before are counted but not reported.
    void onlyNewVisibleImageFilesAreReported()
    {
        for (const char *name : { "old.png", "old.jpg", "notes.txt", ".hidden.png" })
            writeFile(file(QString::fromLatin1(name)));
        QVERIFY(QDir().mkpath(file(QStringLiteral("folder.png"))));
        waitForTheNextClockTick();
        Watch w(m_folder);
        QVERIFY(w.start(2));

        for (const char *name : { ".hidden.png", "notes.txt", "scan.tif", "archive.png.zip", "png",
                 "Shout.PNG", "photo.jpeg" })
            writeFile(file(QString::fromLatin1(name)));
        QVERIFY(QDir().mkpath(file(QStringLiteral("folder2.png"))));
        w.settle();
        w.settle();
        QStringList reported = names(w.stable);
        reported.sort();
        QCOMPARE(
            reported, (QStringList { QStringLiteral("Shout.PNG"), QStringLiteral("photo.jpeg") }));
        QCOMPARE(w.log.countStartingWith(QStringLiteral("Stable file Shout.PNG after ")), 1);
    }

    // A screenshot saved after the watch was asked to start, but before the
    // watcher thread listed the folder, is new.
    void fileSavedWhileTheWatchStartsIsReported()
    {
        writeFile(file(QStringLiteral("old.png")));
        waitForTheNextClockTick();
        FolderWatcher::Options options = drivenByTheTest();
        options.beforeBaseline = [this] { writeFile(file(QStringLiteral("meanwhile.png"))); };
        Watch w(m_folder, options);
        QVERIFY(w.start(1));
        w.settle();
        QCOMPARE(names(w.stable), QStringList { QStringLiteral("meanwhile.png") });
    }

    // The rule on its own: the sizes each poll sees (-1: the file is gone)
    // and the poll that reports the file, counting from 1 (0: none does).
    void stabilityRule_data()
    {
        QTest::addColumn<qint64>("added");
        QTest::addColumn<QList<qint64>>("polls");
        QTest::addColumn<int>("reportedAt");
        using Sizes = QList<qint64>;
        QTest::newRow("same size twice") << qint64(10) << Sizes { 10, 10, 10 } << 2;
        QTest::newRow("grew before the first poll") << qint64(10) << Sizes { 20, 20, 20 } << 3;
        QTest::newRow("grew between the polls") << qint64(10) << Sizes { 10, 20, 20, 20 } << 4;
        QTest::newRow("shrank between the polls") << qint64(10) << Sizes { 10, 4, 4, 4 } << 4;
        QTest::newRow("empty never counts") << qint64(0) << Sizes { 0, 0, 0, 0 } << 0;
        QTest::newRow("gone is forgotten") << qint64(10) << Sizes { 10, -1, 10, 10 } << 0;
    }

    void stabilityRule()
    {
        QFETCH(qint64, added);
        QFETCH(QList<qint64>, polls);
        QFETCH(int, reportedAt);
        StabilityTracker tracker(FolderWatcher::requiredStableTicks);
        const FileIdentity identity { 7, 1.5 };
        QVERIFY(tracker.add(QStringLiteral("a.png"), identity, added));
        QVERIFY(!tracker.add(QStringLiteral("a.png"), identity, added + 1));
        int reported = 0;
        for (int i = 0; i < polls.size(); ++i) {
            const auto stable = tracker.poll([&](const QString &) {
                return polls[i] < 0 ? std::nullopt : std::optional<qint64>(polls[i]);
            });
            if (stable.isEmpty())
                continue;
            QCOMPARE(reported, 0);
            QCOMPARE(stable.size(), 1);
            QCOMPARE(stable.first().first, QStringLiteral("a.png"));
            QVERIFY(stable.first().second == identity);
            reported = i + 1;
        }
        QCOMPARE(reported, reportedAt);
        QCOMPARE(tracker.isEmpty(), reportedAt > 0 || polls.contains(-1));
    }

    // Reported only after two polls in a row saw the same size, not counting
    // from a size seen before the file grew; an empty file waits for content.
    void sizeMustHoldForTwoPollsInARow()
    {
        Watch w(m_folder);
        QVERIFY(w.start(0));

        QFile out(file(QStringLiteral("growing.png")));
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QCOMPARE(out.write(QByteArray(1000, 'c')), 1000);
        w.recorder.watcher->scanNow();
        w.recorder.watcher->pollNow(); // the same size once
        QCoreApplication::processEvents();
        QCOMPARE(w.stable.count(), 0);
        QCOMPARE(out.write(QByteArray(1000, 'c')), 1000);
        w.recorder.watcher->pollNow(); // saw it grow: counting starts over
        w.recorder.watcher->pollNow(); // first time the same
        QCoreApplication::processEvents();
        QCOMPARE(w.stable.count(), 0);
        w.recorder.watcher->pollNow(); // second time the same
        QCoreApplication::processEvents();
        QCOMPARE(names(w.stable), QStringList { QStringLiteral("growing.png") });
        QCOMPARE(w.stable.first().at(1).toLongLong(), 2000);

        writeFile(file(QStringLiteral("empty.png")), QByteArray());
        w.settle();
        w.settle();
        QCOMPARE(w.stable.count(), 1);
        writeFile(file(QStringLiteral("empty.png")), QByteArray(10, 'z'));
        w.settle();
        QCOMPARE(names(w.stable),
            (QStringList { QStringLiteral("growing.png"), QStringLiteral("empty.png") }));
    }

    // Once per file: not again, but a replacement under the same name and a
    // rename are new.
    void eachFileIsReportedOnceUnderItsName()
    {
        Watch w(m_folder);
        QVERIFY(w.start(0));
        writeFile(file(QStringLiteral("a.png")));
        w.settle();
        w.settle();
        QCOMPARE(w.stable.count(), 1);
        QVERIFY(QFile::remove(file(QStringLiteral("a.png"))));
        writeFile(file(QStringLiteral("a.png")), QByteArray(80, 'n'));
        w.settle();
        QVERIFY(QFile::rename(file(QStringLiteral("a.png")), file(QStringLiteral("Renamed.png"))));
        w.settle();
        QCOMPARE(names(w.stable),
            (QStringList {
                QStringLiteral("a.png"), QStringLiteral("a.png"), QStringLiteral("Renamed.png") }));
        QCOMPARE(w.stable.at(1).at(1).toLongLong(), 80);
    }

    // A name that cannot become a path string is skipped with one log line,
    // not rescanned for ever; a newline in a name stays inside its log line.
    void awkwardNamesAreHandledOnce()
    {
        Watch w(m_folder);
        QVERIFY(w.start(0));

        const QByteArray raw = QFile::encodeName(m_folder) + "/bad-\xff.png";
        const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        // Qt cannot name it to remove it with the folder.
        const auto cleanup = qScopeGuard([&raw] { ::unlink(raw.constData()); });
        QCOMPARE(::write(fd, "bytes", 5), ssize_t(5));
        ::close(fd);
        writeFile(file(QStringLiteral("two\nlines.png")));
        for (int i = 0; i < 3; ++i) {
            w.settle();
            writeFile(file(QStringLiteral("change-%1.txt").arg(i))); // lists again
        }
        w.settle();
        QCOMPARE(names(w.stable), QStringList { QStringLiteral("two\nlines.png") });
        QCOMPARE(
            w.log.count(QStringLiteral("Skipping bad-\\xff.png: its name is not valid UTF-8")), 1);
        QCOMPARE(w.log.countStartingWith(QStringLiteral("Stable file two\\nlines.png after ")), 1);
        for (const QString &message : w.log.messages())
            QVERIFY2(!message.contains(QLatin1Char('\n')), qPrintable(message));
    }

    void stoppedWatcherReportsNothingAndAStartCatchesUp()
    {
        Watch w(m_folder);
        QVERIFY(w.start(0));
        w.recorder.watcher->stop();
        writeFile(file(QStringLiteral("late.png")));
        w.settle();
        QCOMPARE(w.stable.count(), 0);

        // Whatever arrived while stopped is new once watching again.
        w.log.clear();
        QVERIFY(w.start(0));
        w.settle();
        QCOMPARE(names(w.stable), QStringList { QStringLiteral("late.png") });
    }

    void deletingTheFolderIsOneDeletedLoss()
    {
        writeFile(file(QStringLiteral("inside.png")));
        waitForTheNextClockTick();
        Watch w(m_folder);
        QVERIFY(w.start(1));

        QVERIFY(QDir(m_folder).removeRecursively());
        QVERIFY(w.lost.wait(reportMs));
        QCOMPARE(w.lost.first().at(0).toInt(), int(Loss::deleted));
        QVERIFY(w.log.contains(QStringLiteral("Lost watched folder %1: deleted").arg(m_folder)));

        // Nothing more until a restart, not even for a folder back in its place.
        QVERIFY(QDir().mkpath(m_folder));
        writeFile(file(QStringLiteral("after.png")));
        w.settle();
        w.settle();
        QCOMPARE(w.lost.count(), 1);
        QCOMPARE(w.stable.count(), 0);
    }

    void movingTheFolderAwayIsARenamedLoss_data()
    {
        QTest::addColumn<bool>("moveParent");
        QTest::newRow("the folder itself") << false;
        QTest::newRow("a folder above it") << true;
    }

    void movingTheFolderAwayIsARenamedLoss()
    {
        QFETCH(bool, moveParent);
        Watch w(m_folder);
        QVERIFY(w.start(0));

        const QString moved = moveParent ? QFileInfo(m_folder).path() : m_folder;
        QVERIFY(QDir().rename(moved, moved + QStringLiteral(" moved")));
        // A vanished path is called moved at the second look.
        w.settle();
        w.settle();
        QTRY_COMPARE_WITH_TIMEOUT(w.lost.count(), 1, reportMs);
        QCOMPARE(w.lost.first().at(0).toInt(), int(Loss::renamed));
        w.settle();
        QCOMPARE(w.lost.count(), 1);
    }

    void restartReportsWhatArrivedWhileLost()
    {
        writeFile(file(QStringLiteral("before.png")));
        waitForTheNextClockTick();
        Watch w(m_folder);
        QVERIFY(w.start(1));

        const QString away = m_folder + QStringLiteral(" away");
        QVERIFY(QDir().rename(m_folder, away));
        QVERIFY(w.lost.wait(reportMs));
        writeFile(away + QStringLiteral("/arrived.png"));
        QVERIFY(QDir().rename(away, m_folder));

        w.recorder.watcher->restart(m_folder);
        w.settle();
        w.settle();
        QCOMPARE(names(w.stable), QStringList { QStringLiteral("arrived.png") });
        QCOMPARE(w.lost.count(), 1);
    }

    void unopenableFolderIsAStartFailure()
    {
        const QString missing = m_folder + QStringLiteral("/missing");
        Watch w(missing);
        QSignalSpy failed(&w.recorder, &Recorder::startFailed);
        w.recorder.watcher->start();
        QVERIFY(failed.wait(reportMs));
        QCOMPARE(failed.first().at(0).toInt(), ENOENT);
        QVERIFY(w.log.contains(
            QStringLiteral("open() failed for %1: errno %2").arg(missing).arg(ENOENT)));
    }

    // With the timers running on their own (at short intervals).
    void manyFilesAtOnceAreEachReportedOnce()
    {
        FolderWatcher::Options options;
        options.pollInterval = std::chrono::milliseconds(10);
        options.fallbackScanInterval = std::chrono::milliseconds(50);
        Watch w(m_folder, options);
        QVERIFY(w.start(0));

        constexpr int count = 500;
        QSet<QString> expected;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("burst-%1.png").arg(i, 3, 10, QLatin1Char('0'));
            writeFile(file(name));
            expected.insert(name);
        }
        QTRY_COMPARE_WITH_TIMEOUT(w.stable.count(), count, 30000);
        w.settle();
        const QStringList reported = names(w.stable);
        QCOMPARE(reported.size(), count);
        QCOMPARE(QSet<QString>(reported.cbegin(), reported.cend()), expected);
    }

    void destroyingWhileBusyLeavesNoDescriptor()
    {
        const auto openDescriptors = [] { return QDir(QStringLiteral("/proc/self/fd")).count(); };
        const auto before = openDescriptors();
        for (int round = 0; round < 5; ++round) {
            auto watcher = std::make_unique<FolderWatcher>(m_folder);
            watcher->setOnStableFile([](const Detection &) {});
            watcher->start();
            for (int i = 0; i < 20; ++i)
                writeFile(file(QStringLiteral("r%1-%2.png").arg(round).arg(i)));
            if (round % 2)
                watcher->stop();
            watcher.reset();
        }
        QCOMPARE(openDescriptors(), before);
    }
};

MARLOX_TEST_MAIN(TestFolderWatcher)
#include "tst_folderwatcher.moc"
