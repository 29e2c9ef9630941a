#include <cerrno>
#include <memory>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "detection/folderwatcher.h"
#include "platform/log.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;
using marlox::test::LogCapture;

namespace {

// Long enough for a fallback scan and several polls: a file that was going to
// be reported would have been by then.
constexpr int quietMs = 1500;
constexpr int reportMs = 5000;

} // namespace

// Owns a watcher and turns its callbacks into signals on the GUI thread.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(const QString &folder) : watcher(std::make_unique<FolderWatcher>(folder))
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

    std::unique_ptr<FolderWatcher> watcher;

Q_SIGNALS:
    void stable(const QString &name, qint64 size, double latency);
    void lost(int loss);
    void startFailed(int code);
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

    // Starts watching and waits until the sources are up.
    static bool startWatching(
        Recorder &recorder, const LogCapture &log, const QString &folder, int existing)
    {
        recorder.watcher->start();
        const QString line
            = QStringLiteral("Watching %1, %2 existing files").arg(folder).arg(existing);
        return QTest::qWaitFor([&] { return log.contains(line); }, reportMs);
    }

private Q_SLOTS:
    void init()
    {
        m_folder = m_tmp.filePath(QStringLiteral("case/Shots"));
        QDir(m_tmp.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_folder));
    }

    void existingFilesAreCountedButNotReported()
    {
        writeFile(file(QStringLiteral("old.png")));
        writeFile(file(QStringLiteral("old.jpg")));
        writeFile(file(QStringLiteral("notes.txt")));
        writeFile(file(QStringLiteral(".hidden.png")));
        QVERIFY(QDir().mkpath(file(QStringLiteral("folder.png"))));
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy stable(&recorder, &Recorder::stable);
        QVERIFY(startWatching(recorder, log, m_folder, 2));

        writeFile(file(QStringLiteral("new.png")));
        QVERIFY(stable.wait(reportMs));
        QVERIFY(!stable.wait(quietMs));
        QCOMPARE(names(stable), QStringList { QStringLiteral("new.png") });
        QCOMPARE(log.countStartingWith(QStringLiteral("Stable file new.png after ")), 1);
    }

    void onlyVisibleImageFilesAreReported()
    {
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy stable(&recorder, &Recorder::stable);
        QVERIFY(startWatching(recorder, log, m_folder, 0));

        for (const char *name :
            { ".hidden.png", "notes.txt", "scan.tif", "archive.png.zip", "png" })
            writeFile(file(QString::fromLatin1(name)));
        writeFile(file(QStringLiteral("Shout.PNG")));
        writeFile(file(QStringLiteral("photo.jpeg")));
        QTRY_COMPARE_WITH_TIMEOUT(stable.count(), 2, reportMs);
        QVERIFY(!stable.wait(quietMs));
        QStringList reported = names(stable);
        reported.sort();
        QCOMPARE(
            reported, (QStringList { QStringLiteral("Shout.PNG"), QStringLiteral("photo.jpeg") }));
    }

    void growingFileIsReportedOnceAfterItStops()
    {
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy stable(&recorder, &Recorder::stable);
        QVERIFY(startWatching(recorder, log, m_folder, 0));

        QFile out(file(QStringLiteral("growing.png")));
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        // A chunk every 50 ms: never two polls in a row see the same size.
        for (int chunk = 0; chunk < 12; ++chunk) {
            QCOMPARE(out.write(QByteArray(1000, 'c')), 1000);
            QTest::qWait(50);
            QCOMPARE(stable.count(), 0);
        }
        out.close();
        QVERIFY(stable.wait(reportMs));
        QCOMPARE(stable.first().at(1).toLongLong(), 12000);
        QVERIFY(stable.first().at(2).toDouble() >= 0.5);
        QVERIFY(!stable.wait(quietMs));
        QCOMPARE(stable.count(), 1);
    }

    void emptyFileWaitsForContent()
    {
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy stable(&recorder, &Recorder::stable);
        QVERIFY(startWatching(recorder, log, m_folder, 0));

        writeFile(file(QStringLiteral("empty.png")), QByteArray());
        QVERIFY(!stable.wait(quietMs));
        writeFile(file(QStringLiteral("empty.png")), QByteArray(10, 'z'));
        QVERIFY(stable.wait(reportMs));
        QCOMPARE(names(stable), QStringList { QStringLiteral("empty.png") });
    }

    void reportedFileIsNotReportedAgainButItsReplacementIs()
    {
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy stable(&recorder, &Recorder::stable);
        QVERIFY(startWatching(recorder, log, m_folder, 0));

        writeFile(file(QStringLiteral("a.png")));
        QVERIFY(stable.wait(reportMs));
        QVERIFY(!stable.wait(quietMs));
        QVERIFY(QFile::remove(file(QStringLiteral("a.png"))));
        writeFile(file(QStringLiteral("a.png")), QByteArray(80, 'n'));
        QVERIFY(stable.wait(reportMs));
        QCOMPARE(names(stable), (QStringList { QStringLiteral("a.png"), QStringLiteral("a.png") }));
        QCOMPARE(stable.last().at(1).toLongLong(), 80);
    }

    void renameInsideIsReportedUnderTheNewName()
    {
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy stable(&recorder, &Recorder::stable);
        QVERIFY(startWatching(recorder, log, m_folder, 0));

        writeFile(file(QStringLiteral("Screenshot.png")));
        QVERIFY(stable.wait(reportMs));
        QVERIFY(QFile::rename(
            file(QStringLiteral("Screenshot.png")), file(QStringLiteral("Renamed.png"))));
        QVERIFY(stable.wait(reportMs));
        QCOMPARE(names(stable),
            (QStringList { QStringLiteral("Screenshot.png"), QStringLiteral("Renamed.png") }));
    }

    void stoppedWatcherReportsNothing()
    {
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy stable(&recorder, &Recorder::stable);
        QVERIFY(startWatching(recorder, log, m_folder, 0));
        recorder.watcher->stop();
        writeFile(file(QStringLiteral("late.png")));
        QVERIFY(!stable.wait(quietMs));
    }

    void deletingTheFolderIsOneDeletedLoss()
    {
        writeFile(file(QStringLiteral("inside.png")));
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy stable(&recorder, &Recorder::stable);
        QSignalSpy lost(&recorder, &Recorder::lost);
        QVERIFY(startWatching(recorder, log, m_folder, 1));

        QVERIFY(QDir(m_folder).removeRecursively());
        QVERIFY(lost.wait(reportMs));
        QCOMPARE(lost.first().at(0).toInt(), int(Loss::deleted));
        QVERIFY(log.contains(QStringLiteral("Lost watched folder %1: deleted").arg(m_folder)));

        // Nothing more until a restart, not even for a folder back in its place.
        QVERIFY(QDir().mkpath(m_folder));
        writeFile(file(QStringLiteral("after.png")));
        QVERIFY(!lost.wait(quietMs));
        QCOMPARE(lost.count(), 1);
        QCOMPARE(stable.count(), 0);
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
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy lost(&recorder, &Recorder::lost);
        QVERIFY(startWatching(recorder, log, m_folder, 0));

        const QString moved = moveParent ? QFileInfo(m_folder).path() : m_folder;
        QVERIFY(QDir().rename(moved, moved + QStringLiteral(" moved")));
        QVERIFY(lost.wait(reportMs));
        QCOMPARE(lost.first().at(0).toInt(), int(Loss::renamed));
        QVERIFY(!lost.wait(quietMs));
    }

    void restartReportsWhatArrivedWhileLost()
    {
        writeFile(file(QStringLiteral("before.png")));
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy stable(&recorder, &Recorder::stable);
        QSignalSpy lost(&recorder, &Recorder::lost);
        QVERIFY(startWatching(recorder, log, m_folder, 1));

        const QString away = m_folder + QStringLiteral(" away");
        QVERIFY(QDir().rename(m_folder, away));
        QVERIFY(lost.wait(reportMs));
        writeFile(away + QStringLiteral("/arrived.png"));
        QVERIFY(QDir().rename(away, m_folder));

        recorder.watcher->restart(m_folder);
        QVERIFY(stable.wait(reportMs));
        QVERIFY(!stable.wait(quietMs));
        QCOMPARE(names(stable), QStringList { QStringLiteral("arrived.png") });
        QCOMPARE(lost.count(), 1);
    }

    void unopenableFolderIsAStartFailure()
    {
        LogCapture log;
        const QString missing = m_folder + QStringLiteral("/missing");
        Recorder recorder(missing);
        QSignalSpy failed(&recorder, &Recorder::startFailed);
        recorder.watcher->start();
        QVERIFY(failed.wait(reportMs));
        QCOMPARE(failed.first().at(0).toInt(), ENOENT);
        QVERIFY(log.contains(
            QStringLiteral("open() failed for %1: errno %2").arg(missing).arg(ENOENT)));
    }

    void manyFilesAtOnceAreEachReportedOnce()
    {
        LogCapture log;
        Recorder recorder(m_folder);
        QSignalSpy stable(&recorder, &Recorder::stable);
        QVERIFY(startWatching(recorder, log, m_folder, 0));

        constexpr int count = 500;
        QSet<QString> expected;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("burst-%1.png").arg(i, 3, 10, QLatin1Char('0'));
            writeFile(file(name));
            expected.insert(name);
        }
        QTRY_COMPARE_WITH_TIMEOUT(stable.count(), count, 30000);
        QVERIFY(!stable.wait(quietMs));
        const QStringList reported = names(stable);
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
