#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "filing/libraryfileservice.h"
#include "support/templibrary.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;
using namespace marlox::LibraryFileService;

class TestLibraryFileService : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TempLibrary> m_lib;
    QString m_root;
    QString m_inbox;

    ScreenshotRecord capture(const QString &name, const QByteArray &bytes = "image bytes")
    {
        const QString path = m_inbox + u'/' + name;
        writeFile(path, bytes);
        ScreenshotRecord record;
        record.path = path;
        record.title = QStringLiteral("Default");
        record.createdAt = 1700000000.25;
        record.ocrText = QStringLiteral("recognised");
        record.contentHash = QStringLiteral("hash");
        record.fileSize = bytes.size();
        record.id = m_lib->db->insertOrUpdate(record.path, record.title, {}, record.createdAt,
            record.ocrText, record.contentHash, ScreenshotStatus::inbox, record.fileSize);
        return record;
    }

private Q_SLOTS:
    void init()
    {
        m_lib = std::make_unique<TempLibrary>();
        QVERIFY(m_lib->dir.isValid());
        m_root = m_lib->root;
        m_inbox = m_lib->dir.filePath(QStringLiteral("Screenshots"));
        QVERIFY(QDir().mkpath(m_inbox));
    }

    void cleanup() { m_lib.reset(); }

    void libraryFileName_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("plain") << "Invoice March" << "png" << "Invoice March.png";
        QTest::newRow("colon and slash become spaces, double spaces halve") << "Trip: day1/day2"
            << "png" << "Trip day1 day2.png";
        QTest::newRow("backslash") << "a\\b" << "png" << "a b.png";
        QTest::newRow("only dots") << "..." << "png" << "Screenshot.png";
        QTest::newRow("only a slash") << "/" << "png" << "Screenshot.png";
        QTest::newRow("path climbing is flattened") << "../../etc/passwd" << "png"
            << "etc passwd.png";
        QTest::newRow("dots and spaces trimmed at ends") << ". Report. ." << "png" << "Report.png";
        QTest::newRow("inner dots kept") << "v1.2 notes" << "jpg" << "v1.2 notes.jpg";
        QTest::newRow("three spaces become two") << "a   b" << "png" << "a  b.png";
        QTest::newRow("four spaces become two") << "a    b" << "png" << "a  b.png";
        QTest::newRow("upper-case extension kept") << "Shot" << "PNG" << "Shot.PNG";
        QTest::newRow("letter case kept") << "MiXeD" << "png" << "MiXeD.png";
        QTest::newRow("no extension still gets the dot") << "Shot" << "" << "Shot.";
        QTest::newRow("other characters untouched") << "Café ☕ <>|?*\""
                                                    << "png"
                                                    << "Café ☕ <>|?*\".png";
        QTest::newRow("tab and newline at the ends trimmed") << "\tName\n" << "png" << "Name.png";
        // 252 bytes of text and the extension would pass the 255-byte limit.
        QTest::newRow("too long: cut between characters")
            << QString(84, QChar(0x6F22)) << "png" << QString(83, QChar(0x6F22)) + ".png";
        QTest::newRow("too long: no space left at the cut") << QString(250, u'a') + " b"
                                                            << "png" << QString(250, u'a') + ".png";
        // clang-format on
    }

    void libraryFileName()
    {
        QFETCH(QString, title);
        QFETCH(QString, extension);
        QFETCH(QString, expected);
        QCOMPARE(LibraryFileService::libraryFileName(title, extension), expected);
    }

    void uniqueFileURL_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("free") << QStringList {} << "T.png" << "T.png";
        QTest::newRow("taken") << QStringList { "T.png" } << "T.png" << "T 2.png";
        QTest::newRow("taken twice") << QStringList { "T.png", "T 2.png" } << "T.png" << "T 3.png";
        QTest::newRow("gap is reused") << QStringList { "T.png", "T 3.png" } << "T.png"
                                       << "T 2.png";
        QTest::newRow("a directory counts") << QStringList { "T.png/" } << "T.png" << "T 2.png";
        QTest::newRow("no extension") << QStringList { "README" } << "README" << "README 2";
        QTest::newRow("only the last extension splits") << QStringList { "a.tar.gz" } << "a.tar.gz"
                                                        << "a.tar 2.gz";
        QTest::newRow("case-sensitive names differ") << QStringList { "t.png" } << "T.png"
                                                     << "T.png";
        // clang-format on
    }

    void uniqueFileURL()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, fileName);
        QFETCH(QString, expected);
        const QString directory = m_lib->dir.filePath(QStringLiteral("collide"));
        QVERIFY(QDir().mkpath(directory));
        for (const QString &name : existing) {
            if (name.endsWith(u'/'))
                QVERIFY(QDir(directory).mkdir(name.chopped(1)));
            else
                writeFile(directory + u'/' + name);
        }
        QCOMPARE(
            LibraryFileService::uniqueFileURL(directory, fileName), directory + u'/' + expected);
    }

    void uniqueFileURLCountsDanglingLinks()
    {
        const QString directory = m_lib->dir.path();
        QVERIFY(QFile::link(QStringLiteral("/nonexistent/target"), directory + "/L.png"));
        QCOMPARE(LibraryFileService::uniqueFileURL(directory, QStringLiteral("L.png")),
            directory + "/L 2.png");
    }

    void libraryFolderName_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("expected"); // "-" for none
        // clang-format off
        QTest::newRow("in a folder") << "/lib/General/a.png" << "/lib" << "General";
        QTest::newRow("directly in the root") << "/lib/a.png" << "/lib" << "-";
        QTest::newRow("nested takes the first") << "/lib/A/B/c.png" << "/lib" << "A";
        QTest::newRow("the root itself") << "/lib" << "/lib" << "-";
        QTest::newRow("outside") << "/other/General/a.png" << "/lib" << "-";
        QTest::newRow("sibling with a shared prefix") << "/lib2/General/a.png" << "/lib" << "-";
        QTest::newRow("trailing slash on the root") << "/lib/Work/a.png" << "/lib/" << "Work";
        QTest::newRow("standardised first") << "/lib/x/../Work/./a.png" << "/lib" << "Work";
        // clang-format on
    }

    void libraryFolderName()
    {
        QFETCH(QString, file);
        QFETCH(QString, root);
        QFETCH(QString, expected);
        const auto folder = LibraryFileService::libraryFolderName(file, root);
        QCOMPARE(folder.value_or(QStringLiteral("-")), expected);
    }

    void filingIntoANewFolderCreatesItAndKeepsTheTypedTitle()
    {
        const ScreenshotRecord record = capture(QStringLiteral("Screenshot 1.png"));
        const ScreenshotRecord filed = fileRecord(record, QStringLiteral("  Trip: day1/day2 \n"),
            QStringLiteral("Work"), m_root, *m_lib->db);

        const QString expectedPath = m_root + QStringLiteral("/Work/Trip day1 day2.png");
        QCOMPARE(filed.path, expectedPath);
        QCOMPARE(filed.title, QStringLiteral("Trip: day1/day2"));
        QCOMPARE(filed.folder, QStringLiteral("Work"));
        QCOMPARE(filed.status, ScreenshotStatus::filed);
        QCOMPARE(filed.id, record.id);
        QCOMPARE(filed.createdAt, record.createdAt);
        QCOMPARE(filed.ocrText, record.ocrText);
        QVERIFY(QFileInfo(expectedPath).isFile());
        QVERIFY(!QFileInfo::exists(record.path));

        // The row says exactly what the disk says.
        const auto row = m_lib->db->allRecords();
        QCOMPARE(row.size(), 1);
        QCOMPARE(row.first(), filed);
    }

    void renamingInPlaceMovesNothingButWritesTheRow()
    {
        const auto record = capture(QStringLiteral("c.png"), "bytes of c");
        const auto filed
            = fileRecord(record, QStringLiteral("T"), QStringLiteral("Work"), m_root, *m_lib->db);
        m_lib->db->updateTitle(filed.id, QStringLiteral("stale"));

        const auto again
            = fileRecord(filed, QStringLiteral("T"), QStringLiteral("Work"), m_root, *m_lib->db);
        QCOMPARE(again.path, filed.path);
        QCOMPARE(m_lib->db->record(filed.id)->title, QStringLiteral("T"));
        QCOMPARE(tree(m_root), (QStringList { "Work", "Work/T.png" }));
    }

    void renamingToATakenNameGetsTheNextSuffix()
    {
        writeFile(m_root + QStringLiteral("/Work/Other.png"), "someone else");
        const auto record = capture(QStringLiteral("c.png"));
        const auto filed
            = fileRecord(record, QStringLiteral("T"), QStringLiteral("Work"), m_root, *m_lib->db);
        const auto renamed = fileRecord(
            filed, QStringLiteral("Other"), QStringLiteral("Work"), m_root, *m_lib->db);
        QCOMPARE(renamed.path, m_root + QStringLiteral("/Work/Other 2.png"));
        QCOMPARE(renamed.title, QStringLiteral("Other"));
        QFile other(m_root + QStringLiteral("/Work/Other.png"));
        QVERIFY(other.open(QIODevice::ReadOnly));
        QCOMPARE(other.readAll(), QByteArray("someone else"));
        QVERIFY(!QFileInfo::exists(filed.path));
    }

    void movingBetweenFolders()
    {
        const auto record = capture(QStringLiteral("c.png"), "the bytes");
        const auto filed
            = fileRecord(record, QStringLiteral("T"), QStringLiteral("Work"), m_root, *m_lib->db);
        const auto moved
            = fileRecord(filed, filed.title, QStringLiteral("Home"), m_root, *m_lib->db);
        QCOMPARE(moved.path, m_root + QStringLiteral("/Home/T.png"));
        QCOMPARE(moved.folder, QStringLiteral("Home"));
        QCOMPARE(tree(m_root), (QStringList { "Home", "Home/T.png", "Work" }));
        QCOMPARE(m_lib->db->record(record.id)->path, moved.path);
        QFile file(moved.path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("the bytes"));
    }

    void upperCaseExtensionIsKept()
    {
        const auto record = capture(QStringLiteral("c.PNG"));
        const auto filed
            = fileRecord(record, QStringLiteral("..."), QStringLiteral("Work"), m_root, *m_lib->db);
        QCOMPARE(QFileInfo(filed.path).fileName(), QStringLiteral("Screenshot.PNG"));
        QCOMPARE(filed.title, QStringLiteral("..."));
    }

    void refusalsTouchNothing_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("withRoot");
        QTest::addColumn<int>("expected"); // 0 no root, 1 empty title, 2 invalid folder
        // clang-format off
        QTest::newRow("no root") << "T" << "Work" << false << 0;
        QTest::newRow("blank title") << " \n\t " << "Work" << true << 1;
        QTest::newRow("empty title") << "" << "Work" << true << 1;
        QTest::newRow("folder climbs out") << "T" << "../Escape" << true << 2;
        QTest::newRow("folder is the parent") << "T" << ".." << true << 2;
        QTest::newRow("folder is the root") << "T" << "." << true << 2;
        QTest::newRow("nested folder") << "T" << "a/b" << true << 2;
        QTest::newRow("absolute folder") << "T" << "/tmp/x" << true << 2;
        QTest::newRow("hidden folder") << "T" << ".secret" << true << 2;
        QTest::newRow("folder with NUL")
            << "T" << QString(QStringLiteral("a") + QChar(0) + "b") << true << 2;
        QTest::newRow("empty folder") << "T" << "" << true << 2;
        // clang-format on
    }

    void refusalsTouchNothing()
    {
        QFETCH(QString, title);
        QFETCH(QString, folder);
        QFETCH(bool, withRoot);
        QFETCH(int, expected);
        const auto record = capture(QStringLiteral("c.png"));
        const QStringList outsideBefore = tree(m_lib->dir.path());
        try {
            fileRecord(record, title, folder, withRoot ? m_root : QString(), *m_lib->db);
            QFAIL("filing should have been refused");
        } catch (const FileError &error) {
            QCOMPARE(expected, 0);
            QVERIFY(error.isNoSuchFile());
        } catch (const ServiceError &error) {
            QCOMPARE(int(error.kind()) + 1, expected);
        }
        QCOMPARE(tree(m_lib->dir.path()), outsideBefore);
        QCOMPARE(m_lib->db->allRecords().first().path, record.path);
        QCOMPARE(m_lib->db->allRecords().first().status, ScreenshotStatus::inbox);
    }

    void vanishedSourceSaysTheCaptureIsGoneAndTheRowStays()
    {
        const auto record = capture(QStringLiteral("c.png"));
        QVERIFY(QFile::remove(record.path));
        try {
            fileRecord(record, QStringLiteral("T"), QStringLiteral("Work"), m_root, *m_lib->db);
            QFAIL("expected an error");
        } catch (const ServiceError &error) {
            QCOMPARE(error.kind(), ServiceError::Kind::captureGone);
        }
        QCOMPARE(m_lib->db->record(record.id)->path, record.path);
        QCOMPARE(tree(m_root), QStringList());
    }

    // A filed file renamed away by hand leaves its row's name behind; the
    // index would refuse that name for another record.
    void nameStillHeldByTheIndexIsSkipped()
    {
        const QString stale = m_root + QStringLiteral("/Work/T.png");
        QVERIFY(QDir(m_root).mkpath(QStringLiteral("Work")));
        m_lib->db->insertOrUpdate(stale, QStringLiteral("T"), QStringLiteral("Work"), 1, {}, {},
            ScreenshotStatus::filed, 0);
        const auto record = capture(QStringLiteral("c.png"));
        const auto filed
            = fileRecord(record, QStringLiteral("T"), QStringLiteral("Work"), m_root, *m_lib->db);
        QCOMPARE(filed.path, m_root + QStringLiteral("/Work/T 2.png"));
        QCOMPARE(m_lib->db->record(record.id)->path, filed.path);
        QVERIFY(!QFileInfo::exists(record.path));
    }

    void longTitlesFitTheNameLimitWithTheirSuffix()
    {
        const QString title = QString(84, QChar(0x6F22));
        for (const QString &expected :
            { QString(83, QChar(0x6F22)) + ".png", QString(83, QChar(0x6F22)) + " 2.png" }) {
            const auto record = capture(QStringLiteral("c.png"));
            const auto filed
                = fileRecord(record, title, QStringLiteral("Work"), m_root, *m_lib->db);
            QCOMPARE(QFileInfo(filed.path).fileName(), expected);
            QVERIFY(QFileInfo(filed.path).isFile());
            QCOMPARE(m_lib->db->record(record.id)->title, title);
        }
    }

    void databaseFailureAfterTheMoveMovesTheFileBack()
    {
        const auto record = capture(QStringLiteral("c.png"));
        // The first statement looks the chosen name up in the index.
        m_lib->db->failNthStatementForTesting(2);
        QVERIFY_THROWS_EXCEPTION(SQLiteError,
            fileRecord(record, QStringLiteral("T"), QStringLiteral("Work"), m_root, *m_lib->db));
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/Work/T.png")));
        QVERIFY(QFileInfo::exists(record.path));
        QCOMPARE(m_lib->db->record(record.id)->path, record.path);
    }
};

MARLOX_TEST_MAIN(TestLibraryFileService)
#include "tst_libraryfileservice.moc"
