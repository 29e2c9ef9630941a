// marlox-test-labels: fault slow
// marlox-test-timeout: 240
#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include "storage/screenshotdatabase.h"
#include "support/filecensus.h"
#include "support/marloxprocess.h"
#include "support/marloxrun.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

// What people and other programs do to the folders behind Marlox's back, run
// against the real binary: files written slowly, filed screenshots renamed or
// copied by hand, the index lost while Marlox is not running.
class TestHandEdits : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_shots;
    QString m_library;

    static void waitForWatching(MarloxRun &marlox)
    {
        QVERIFY2(marlox.waitFor(QStringLiteral("Watching ")), qPrintable(marlox.output()));
    }

    static void stop(MarloxRun &marlox)
    {
        marlox.process().terminate();
        QVERIFY(marlox.finished());
        QCOMPARE(marlox.process().exitCode(), 0);
    }

    // Every library file has exactly one row, on its own path.
    static bool indexMatchesLibrary(const QString &library)
    {
        ScreenshotDatabase database(binaryIndexPath());
        QStringList indexed;
        for (const ScreenshotRecord &record : database.allRecords())
            indexed.append(record.path);
        QStringList files = regularFilesBelow({ library });
        indexed.sort();
        files.sort();
        return !files.isEmpty() && indexed == files;
    }

    static int detections(MarloxRun &marlox)
    {
        return int(marlox.output().count(QStringLiteral("Detected stable screenshot")));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(QFileInfo(marloxBinary()).isExecutable(), qPrintable(marloxBinary()));
        m_shots = m_dir.filePath(QStringLiteral("Shots"));
        m_library = m_dir.filePath(QStringLiteral("Library"));
        configureBinary(m_shots, m_library);
    }

    // A screenshot tool that writes in pieces, pausing longer than the
    // stability check waits: the capture is filed only once it is whole.
    void slowlyWrittenCaptureIsFiledWhole()
    {
        MarloxRun marlox;
        waitForWatching(marlox);

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
        ScreenshotDatabase database(binaryIndexPath());
        QTRY_VERIFY_WITH_TIMEOUT(database.idForPath(filed.first()).has_value(), 10000);
        const ScreenshotRecord row = *database.record(*database.idForPath(filed.first()));
        QCOMPARE(row.fileSize, bytes.size());
        QCOMPARE(row.contentHash.toLatin1(), digest);
        stop(marlox);
    }

    // Renaming a filed screenshot by hand leaves its old name free on disk;
    // the next capture with that default title must not take it and loop.
    void handRenamedScreenshotDoesNotLoopTheNextCapture()
    {
        MarloxRun marlox;
        waitForWatching(marlox);

        const QStringList before = regularFilesBelow({ m_library });
        QCOMPARE(before.size(), 1);
        QVERIFY(QFile::rename(
            before.first(), QFileInfo(before.first()).path() + QStringLiteral("/Renamed.png")));
        const int detectedBefore = detections(marlox);
        QVERIFY(writeWholeFile(m_shots + QStringLiteral("/Screenshot again.png"), distinctPng(42)));

        QTRY_VERIFY_WITH_TIMEOUT(regularFilesBelow({ m_library }).size() == 2
                && regularFilesBelow({ m_shots }).isEmpty(),
            30000);
        QTest::qWait(3000); // a loop used to report the file again about three times a second
        QCOMPARE(detections(marlox) - detectedBefore, 1);
        QCOMPARE(regularFilesBelow({ m_shots }), QStringList());
        stop(marlox);
    }

    // Files copied into the library by hand, and an index lost while Marlox
    // was not running: the next launch indexes every library file once.
    void nextLaunchIndexesWhatChangedByHand()
    {
        QVERIFY(writeWholeFile(m_library + QStringLiteral("/Copied/By hand.png"), distinctPng(43)));
        QVERIFY(
            writeWholeFile(m_library + QStringLiteral("/General/Dropped in.png"), distinctPng(44)));
        {
            MarloxRun marlox;
            waitForWatching(marlox);
            QTRY_VERIFY_WITH_TIMEOUT(indexMatchesLibrary(m_library), 60000);
            stop(marlox);
        }
        const QMap<QByteArray, int> census = contentCensus({ m_library, m_shots });

        removeBinaryIndex();
        MarloxRun marlox;
        waitForWatching(marlox);
        QTRY_VERIFY_WITH_TIMEOUT(indexMatchesLibrary(m_library), 60000);
        QCOMPARE(contentCensus({ m_library, m_shots }), census);
        stop(marlox);
    }
};

MARLOX_TEST_MAIN(TestHandEdits)
#include "tst_handedits.moc"
