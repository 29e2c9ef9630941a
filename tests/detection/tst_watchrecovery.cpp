#include <memory>

#include <sys/mount.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "app/appstate.h"
#include "detection/watchrecovery.h"
#include "platform/mounts.h"
#include "storage/bookmarkstore.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/imagebytes.h"
#include "support/logcapture.h"
#include "support/testmain.h"

using namespace marlox;
using marlox::test::LogCapture;
using Resolution = BookmarkStore::Resolution;

Q_DECLARE_METATYPE(marlox::BookmarkStore::Resolution)
Q_DECLARE_METATYPE(marlox::WatchRecovery::Location)

namespace {
constexpr int waitMs = 5000;
constexpr auto retry = WatchTrigger::retry;
} // namespace

class TestWatchRecovery : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<test::AppStateScene> m_scene;
    QString m_folder;
    QString m_mountPoint;

    // Retries come only when a test asks for them, unless it sets a retry interval.
    std::unique_ptr<AppState> makeAppState(bool systemObservers = false, double retrySeconds = 3600)
    {
        return m_scene->makeState([&](AppStateDependencies &deps) {
            deps.installSystemObservers = systemObservers;
            deps.watchRetryInterval = retrySeconds;
        });
    }

    QString watchingLine(const QString &folder) const
    {
        return QStringLiteral("Watching %1, 0 existing files").arg(folder);
    }

    static bool writeScreenshot(const QString &path)
    {
        return test::filledImage({ 40, 30 }, Qt::darkCyan).save(path, "PNG");
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<test::AppStateScene>();
        m_folder = m_scene->dir.filePath(QStringLiteral("Pictures/Shots"));
        QVERIFY(QDir().mkpath(m_folder));
        BookmarkStore().save(m_folder, Preferences::screenshotFolderBookmark);
    }

    void cleanup()
    {
        if (!m_mountPoint.isEmpty())
            umount2(QFile::encodeName(m_mountPoint).constData(), MNT_DETACH);
        m_mountPoint.clear();
    }

    void messages()
    {
        const QString folder = QStringLiteral("/media/u/Photos/Shots");
        const QList<std::pair<QString, QString>> messages {
            { WatchRecovery::lossMessage(Loss::deleted, folder),
                QStringLiteral("Shots was deleted or moved to the Trash. Retrying…") },
            { WatchRecovery::lossMessage(Loss::renamed, folder),
                QStringLiteral("Shots was renamed or moved. Retrying…") },
            { WatchRecovery::lossMessage(Loss::revoked, folder),
                QStringLiteral("The disk holding Shots was disconnected. Retrying…") },
            { WatchRecovery::lossMessage(Loss::unreadable, folder + "/"),
                QStringLiteral("Shots can't be read right now. Retrying…") },
            { WatchRecovery::unmountMessage(QStringLiteral("/media/u/Photos"), folder),
                QStringLiteral("The disk “Photos” holding Shots was disconnected. Retrying…") },
        };
        for (const auto &[message, expected] : messages)
            QCOMPARE(message, expected);
    }

    void isInside_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("container");
        QTest::addColumn<bool>("inside");
        // clang-format off
        QTest::newRow("same folder") << "/media/Photos" << "/media/Photos" << true;
        QTest::newRow("same with trailing slash") << "/media/Photos/" << "/media/Photos" << true;
        QTest::newRow("below") << "/media/Photos/a/Shots" << "/media/Photos" << true;
        QTest::newRow("sibling sharing a prefix") << "/media/Photos2/Shots"
                                                  << "/media/Photos" << false;
        QTest::newRow("container inside folder") << "/media" << "/media/Photos" << false;
        QTest::newRow("unrelated") << "/home/u/Shots" << "/media/Photos" << false;
        // clang-format on
    }

    void isInside()
    {
        QFETCH(QString, folder);
        QFETCH(QString, container);
        QFETCH(bool, inside);
        QCOMPARE(WatchRecovery::isInside(folder, container), inside);
    }

    void locate_data()
    {
        QTest::addColumn<QStringList>("reachable");
        QTest::addColumn<Resolution>("resolution");
        QTest::addColumn<WatchRecovery::Location>("expected");
        QTest::addColumn<bool>("resolves");
        const QString shots = QStringLiteral("/home/u/Shots");
        const QString moved = QStringLiteral("/home/u/Old/Shots 2");
        using L = WatchRecovery::Location;
        QTest::newRow("reachable")
            << QStringList { shots } << Resolution::resolved(moved) << L::available(shots) << false;
        QTest::newRow("moved, found by reference")
            << QStringList { moved } << Resolution::resolved(moved) << L::available(moved) << true;
        QTest::newRow("reference unreachable")
            << QStringList() << Resolution::resolved(moved)
            << L::unavailable(QStringLiteral("Shots 2 isn't available — it may have been moved, "
                                             "deleted, or its disk disconnected. Retrying…"))
            << true;
        QTest::newRow("reference failed")
            << QStringList() << Resolution::failed(QStringLiteral("gone"))
            << L::unavailable(QStringLiteral("Couldn't reopen Shots (gone). Retrying…")) << true;
        QTest::newRow("no reference")
            << QStringList() << Resolution::notSet()
            << L::unavailable(QStringLiteral("No screenshot folder is set.")) << true;
    }

    void locate()
    {
        QFETCH(QStringList, reachable);
        QFETCH(Resolution, resolution);
        QFETCH(WatchRecovery::Location, expected);
        QFETCH(bool, resolves);
        bool resolved = false;
        const auto location = WatchRecovery::locate(
            QStringLiteral("/home/u/Shots"),
            [&](const QString &path) { return reachable.contains(path); },
            [&] {
                resolved = true;
                return resolution;
            });
        QCOMPARE(location, expected);
        QCOMPARE(resolved, resolves);
    }

    void startUpWatchesTheStoredFolder()
    {
        LogCapture log;
        auto state = makeAppState();
        QCOMPARE(state->watchStatus(), WatchStatus::watching(m_folder));
        QVERIFY(log.contains(QStringLiteral("Starting watch on %1").arg(m_folder)));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(watchingLine(m_folder)), waitMs);

        QSignalSpy detected(state.get(), &AppState::lastDetectionAtChanged);
        QVERIFY(writeScreenshot(m_folder + QStringLiteral("/first.png")));
        QVERIFY(detected.wait(waitMs));
    }

    void wakeWhileWatchingRestartsOnTheSameFolder()
    {
        LogCapture log;
        auto state = makeAppState();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(watchingLine(m_folder)), waitMs);
        log.clear();

        state->recoverWatcher(WatchTrigger::wake);
        QVERIFY(log.contains(QStringLiteral("Recovering watcher (wake) at %1").arg(m_folder)));
        QCOMPARE(state->watchStatus(), WatchStatus::watching(m_folder));
        QCOMPARE(state->screenshotFolder(), m_folder);
        // The same watcher starts its sources again.
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(watchingLine(m_folder)), waitMs);
        QCOMPARE(log.countStartingWith(QStringLiteral("Starting watch on ")), 0);
    }

    void mountOrRetryWhileWatchingDoNothing()
    {
        LogCapture log;
        auto state = makeAppState();
        log.clear();
        state->recoverWatcher(WatchTrigger::mount);
        state->recoverWatcher(retry);
        QCOMPARE(log.countStartingWith(QStringLiteral("Recovering watcher")), 0);
        QCOMPARE(state->watchStatus(), WatchStatus::watching(m_folder));
    }

    void unmountOfAnUnrelatedVolumeChangesNothing()
    {
        auto state = makeAppState();
        state->handleVolumeUnmount(m_scene->dir.filePath(QStringLiteral("Pictures/Sh")));
        state->handleVolumeUnmount(m_folder + QStringLiteral("/inner"));
        state->handleVolumeUnmount(QString());
        QCOMPARE(state->watchStatus(), WatchStatus::watching(m_folder));
        QVERIFY(!state->isRetryingWatch());
    }

    void unmountOfTheFoldersVolumeStopsWatching()
    {
        LogCapture log;
        auto state = makeAppState(false, 0.05);
        state->handleVolumeUnmount(m_scene->dir.filePath(QStringLiteral("Pictures")));
        const QString message
            = QStringLiteral("The disk “Pictures” holding Shots was disconnected. Retrying…");
        QCOMPARE(state->watchStatus(), WatchStatus::notWatching(message));
        QVERIFY(log.contains(QStringLiteral("Not watching: ") + message));
        QVERIFY(state->isRetryingWatch());

        // The folder is still there, so the first retry on the schedule resumes.
        QTRY_VERIFY_WITH_TIMEOUT(state->watchStatus().isWatching(), waitMs);
        QVERIFY(log.contains(QStringLiteral("Recovering watcher (retry) at %1").arg(m_folder)));
        QVERIFY(!state->isRetryingWatch());
    }

    void deletedFolderIsRetriedUntilItComesBack()
    {
        LogCapture log;
        auto state = makeAppState();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(watchingLine(m_folder)), waitMs);

        QVERIFY(QDir(m_folder).removeRecursively());
        const QString deleted
            = QStringLiteral("Shots was deleted or moved to the Trash. Retrying…");
        QTRY_COMPARE_WITH_TIMEOUT(state->watchStatus(), WatchStatus::notWatching(deleted), waitMs);
        QVERIFY(state->isRetryingWatch());
        // Retries replace the reason with what the reference says now.
        state->recoverWatcher(retry);
        state->recoverWatcher(retry);
        const QString retried = QStringLiteral("Not watching: Couldn't reopen Shots (");
        QCOMPARE(log.countStartingWith(retried), 2);
        QCOMPARE(log.count(QStringLiteral("Not watching: ") + deleted), 1);
        QVERIFY(!state->watchStatus().isWatching());
        QVERIFY(state->isRetryingWatch());

        QVERIFY(QDir().mkpath(m_folder));
        state->recoverWatcher(retry);
        QCOMPARE(state->watchStatus(), WatchStatus::watching(m_folder));
        QVERIFY(log.contains(QStringLiteral("Recovering watcher (retry) at %1").arg(m_folder)));
        QVERIFY(!state->isRetryingWatch());

        QSignalSpy detected(state.get(), &AppState::lastDetectionAtChanged);
        QVERIFY(writeScreenshot(m_folder + QStringLiteral("/next.png")));
        QVERIFY(detected.wait(waitMs));
    }

    void startFailureIsReportedAndRetried()
    {
        LogCapture log;
        auto state = makeAppState();
        const QString missing = m_scene->dir.filePath(QStringLiteral("Nowhere/Gone"));
        state->startWatching(missing);
        const QString message
            = QStringLiteral("Couldn't open Gone (errno 2: No such file or directory)");
        QTRY_COMPARE_WITH_TIMEOUT(state->watchStatus(), WatchStatus::notWatching(message), waitMs);
        QVERIFY(log.contains(message));
        QVERIFY(state->isRetryingWatch());

        // The screenshot folder itself is fine: the retry restarts the watcher there.
        state->recoverWatcher(retry);
        QCOMPARE(state->watchStatus(), WatchStatus::watching(m_folder));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(watchingLine(m_folder)), waitMs);
        QCOMPARE(log.count(QStringLiteral("Not watching: ") + message), 1);
    }

    void parseMountPoints_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QStringList>("points");
        QTest::newRow("plain") << QByteArray("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                             "36 22 0:5 / /proc rw - proc proc rw\n")
                               << QStringList { "/", "/proc" };
        QTest::newRow("space, tab, newline and backslash escaped")
            << QByteArray("40 22 0:39 / /media/u/My\\040Disk rw - vfat /dev/sdb1 rw\n"
                          "41 22 0:40 / /mnt/a\\011b\\012c\\134d rw - tmpfs tmpfs rw")
            << QStringList { "/media/u/My Disk", "/mnt/a\tb\nc\\d" };
        QTest::newRow("short and empty lines") << QByteArray("\n1 2 3\n") << QStringList();
    }

    void parseMountPoints()
    {
        QFETCH(QByteArray, table);
        QFETCH(QStringList, points);
        QCOMPARE(
            MountWatcher::parseMountPoints(table), QSet<QString>(points.cbegin(), points.cend()));
    }

    void realVolumeMountAndUnmount()
    {
        if (geteuid() != 0)
            QSKIP("Mounting a tmpfs needs root");
        const QString point = m_scene->dir.filePath(QStringLiteral("Pictures/Photo Disk"));
        QVERIFY(QDir().mkpath(point));
        MountWatcher mounts;
        QSignalSpy mounted(&mounts, &MountWatcher::mounted);
        QSignalSpy unmounted(&mounts, &MountWatcher::unmounted);
        if (mount("tmpfs", QFile::encodeName(point).constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP(qPrintable(
                QStringLiteral("mount -t tmpfs failed: %1").arg(qt_error_string(errno))));
        m_mountPoint = point;
        QTRY_VERIFY_WITH_TIMEOUT(mounted.contains(QVariantList { point }), waitMs);
        QVERIFY(mounts.mountPoints().contains(point));

        const QString shots = point + QStringLiteral("/Shots");
        QVERIFY(QDir().mkpath(shots));
        BookmarkStore().save(shots, Preferences::screenshotFolderBookmark);
        LogCapture log;
        // Only the mount can bring the watch back within this test.
        auto state = makeAppState(true);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(watchingLine(shots)), waitMs);

        QCOMPARE(umount(QFile::encodeName(point).constData()), 0);
        m_mountPoint.clear();
        QTRY_VERIFY_WITH_TIMEOUT(unmounted.contains(QVariantList { point }), waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("Not watching: The disk “Photo Disk” "
                                                             "holding Shots was disconnected. "
                                                             "Retrying…")),
            waitMs);
        QVERIFY(!state->watchStatus().isWatching());
        QVERIFY(state->isRetryingWatch());

        // The disk comes back with the folder on it: moving a prepared mount
        // into place makes it appear at once.
        const QString staging = m_scene->dir.filePath(QStringLiteral("staging"));
        QVERIFY(QDir().mkpath(staging));
        QCOMPARE(mount("tmpfs", QFile::encodeName(staging).constData(), "tmpfs", 0, "size=1m"), 0);
        m_mountPoint = staging;
        QVERIFY(QDir().mkpath(staging + QStringLiteral("/Shots")));
        QCOMPARE(mount(QFile::encodeName(staging).constData(), QFile::encodeName(point).constData(),
                     nullptr, MS_MOVE, nullptr),
            0);
        m_mountPoint = point;
        QTRY_COMPARE_WITH_TIMEOUT(state->watchStatus(), WatchStatus::watching(shots), waitMs);
        QVERIFY(log.contains(QStringLiteral("Recovering watcher (mount) at %1").arg(shots)));
        QVERIFY(!state->isRetryingWatch());
    }
};

MARLOX_TEST_MAIN(TestWatchRecovery)
#include "tst_watchrecovery.moc"
