// marlox-test-labels: fault slow
// marlox-test-timeout: 240
#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "app/preferences.h"
#include "storage/bookmarkstore.h"
#include "storage/screenshotdatabase.h"
#include "support/filecensus.h"
#include "support/marloxprocess.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

// What people and other programs do to the folders behind Marlox's back, run
// against the real binary: files written slowly, filed screenshots renamed or
// copied by hand, the index lost while Marlox is not running.
class TestHandEdits : public QObject
{
    Q_OBJECT

    QString m_binary;
    QString m_output;
    QTemporaryDir m_dir;
    QString m_shots;
    QString m_library;

    static QString databasePath()
    {
        return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Marlox/library.sqlite3");
    }

    void start(QProcess &process)
    {
        m_output.clear();
        QVERIFY2(startOffscreen(process, m_binary), qPrintable(process.errorString()));
        QVERIFY2(waitForOutput(process, m_output, QStringLiteral("Watching "), 30000),
            qPrintable(m_output));
    }

    static void stop(QProcess &process)
    {
        process.terminate();
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
    }

    // Every library file has exactly one row, on its own path.
    static bool indexMatchesLibrary(const QString &library)
    {
        ScreenshotDatabase database(databasePath());
        QStringList indexed;
        for (const ScreenshotRecord &record : database.allRecords())
            indexed.append(record.path);
        QStringList files = regularFilesBelow({ library });
        indexed.sort();
        files.sort();
        return !files.isEmpty() && indexed == files;
    }

    int detections() const
    {
        return int(m_output.count(QStringLiteral("Detected stable screenshot")));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_binary = marloxBinary();
        QVERIFY2(QFileInfo(m_binary).isExecutable(), qPrintable(m_binary));
        m_shots = m_dir.filePath(QStringLiteral("Shots"));
        m_library = m_dir.filePath(QStringLiteral("Library"));
        QVERIFY(QDir().mkpath(m_shots) && QDir().mkpath(m_library));
        QFile::remove(Preferences::filePath());
        Preferences::setValue(Preferences::autoSaveEnabled, true);
        Preferences::setValue(Preferences::onboardingCompleted, true);
        BookmarkStore().save(m_shots, Preferences::screenshotFolderBookmark);
        BookmarkStore().save(m_library, Preferences::libraryRootBookmark);
    }

    // A screenshot tool that writes in pieces, pausing longer than the
    // stability check waits: the capture is filed only once it is whole.
    void slowlyWrittenCaptureIsFiledWhole()
    {
        QProcess marlox;
        start(marlox);
        auto reap = qScopeGuard([&marlox] { marlox.kill(), marlox.waitForFinished(10000); });

        // Qt decodes the first part of a JPEG without complaint.
        QImage image(900, 600, QImage::Format_RGB32);
        QRandomGenerator noise(41);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, noise.generate() | 0xff000000u);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "JPG", 90));
        QFile file(m_shots + QStringLiteral("/Screenshot slow.jpg"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const qsizetype piece = bytes.size() / 3 + 1;
        for (qsizetype at = 0; at < bytes.size(); at += piece) {
            QVERIFY(file.write(bytes.mid(at, piece)) > 0 && file.flush());
            if (at + piece < bytes.size())
                QTest::qWait(900); // the tool still writing, well past two stability polls
        }
        file.close();

        QTRY_VERIFY_WITH_TIMEOUT(regularFilesBelow({ m_shots }).isEmpty(), 30000);
        const QStringList filed = regularFilesBelow({ m_library });
        QCOMPARE(filed.size(), 1);
        const QByteArray digest = contentDigest(filed.first());
        QCOMPARE(digest, QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        QCOMPARE(QFileInfo(filed.first()).size(), bytes.size());
        ScreenshotDatabase database(databasePath());
        QTRY_VERIFY_WITH_TIMEOUT(database.idForPath(filed.first()).has_value(), 10000);
        const ScreenshotRecord row = *database.record(*database.idForPath(filed.first()));
        QCOMPARE(row.fileSize, bytes.size());
        QCOMPARE(row.contentHash.toLatin1(), digest);
        stop(marlox);
        reap.dismiss();
    }

    // Renaming a filed screenshot by hand leaves its old name free on disk;
    // the next capture with that default title must not take it and loop.
    void handRenamedScreenshotDoesNotLoopTheNextCapture()
    {
        QProcess marlox;
        start(marlox);
        auto reap = qScopeGuard([&marlox] { marlox.kill(), marlox.waitForFinished(10000); });

        const QStringList before = regularFilesBelow({ m_library });
        QCOMPARE(before.size(), 1);
        QVERIFY(QFile::rename(
            before.first(), QFileInfo(before.first()).path() + QStringLiteral("/Renamed.png")));
        const int detectedBefore = detections();
        QVERIFY(writeWholeFile(m_shots + QStringLiteral("/Screenshot again.png"), distinctPng(42)));

        QTRY_VERIFY_WITH_TIMEOUT(regularFilesBelow({ m_library }).size() == 2
                && regularFilesBelow({ m_shots }).isEmpty(),
            30000);
        QTest::qWait(3000); // a loop used to report the file again about three times a second
        m_output += QString::fromUtf8(marlox.readAll());
        QCOMPARE(detections() - detectedBefore, 1);
        QCOMPARE(regularFilesBelow({ m_shots }), QStringList());
        stop(marlox);
        reap.dismiss();
    }

    // Files copied into the library by hand, and an index lost while Marlox
    // was not running: the next launch indexes every library file once.
    void nextLaunchIndexesWhatChangedByHand()
    {
        QVERIFY(writeWholeFile(m_library + QStringLiteral("/Copied/By hand.png"), distinctPng(43)));
        QVERIFY(
            writeWholeFile(m_library + QStringLiteral("/General/Dropped in.png"), distinctPng(44)));
        {
            QProcess marlox;
            start(marlox);
            auto reap = qScopeGuard([&marlox] { marlox.kill(), marlox.waitForFinished(10000); });
            QTRY_VERIFY_WITH_TIMEOUT(indexMatchesLibrary(m_library), 60000);
            stop(marlox);
            reap.dismiss();
        }
        const QMap<QByteArray, int> census = contentCensus({ m_library, m_shots });

        for (const char *suffix : { "", "-wal", "-shm" })
            QFile::remove(databasePath() + QLatin1String(suffix));
        QProcess marlox;
        start(marlox);
        auto reap = qScopeGuard([&marlox] { marlox.kill(), marlox.waitForFinished(10000); });
        QTRY_VERIFY_WITH_TIMEOUT(indexMatchesLibrary(m_library), 60000);
        QCOMPARE(contentCensus({ m_library, m_shots }), census);
        stop(marlox);
        reap.dismiss();
    }
};

MARLOX_TEST_MAIN(TestHandEdits)
#include "tst_handedits.moc"
