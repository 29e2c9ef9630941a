#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "filing/recordtrashservice.h"
#include "platform/errors.h"
#include "platform/trash.h"
#include "support/fakes.h"
#include "support/lazyindex.h"
#include "support/testfiles.h"
#include "support/testmain.h"
#include "support/tmpfsmount.h"

using namespace marlox;
using namespace marlox::test;
using Kind = RecordTrashService::Outcome::Kind;

namespace {

QMap<QString, QString> trashInfo(const QString &trashedPath)
{
    const QFileInfo trashed(trashedPath);
    const QString infoPath = trashed.dir().absolutePath() + QStringLiteral("/../info/")
        + trashed.fileName() + QStringLiteral(".trashinfo");
    QMap<QString, QString> values;
    const QStringList lines
        = QString::fromUtf8(readFile(infoPath)).split(u'\n', Qt::SkipEmptyParts);
    if (lines.value(0) != QLatin1String("[Trash Info]"))
        return values;
    for (const QString &line : lines.mid(1)) {
        const qsizetype equals = line.indexOf(u'=');
        values.insert(line.left(equals), line.mid(equals + 1));
    }
    return values;
}

mode_t modeOf(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode;
}

} // namespace

class TestRecordTrash : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    LazyIndex m_db;
    QString m_mount;
    std::unique_ptr<TmpfsMount> m_disk;

    ScreenshotRecord add(const QString &path, const QByteArray &bytes = "png bytes")
    {
        writeFile(path, bytes);
        ScreenshotRecord record;
        record.path = path;
        record.title = QStringLiteral("Receipt");
        record.folder = QStringLiteral("Work");
        record.createdAt = 1700000123.5;
        record.contentHash = QStringLiteral("ab12");
        record.status = ScreenshotStatus::filed;
        record.fileSize = bytes.size();
        record.id = m_db->insertOrUpdate(record.path, record.title, record.folder, record.createdAt,
            QStringLiteral("total 12.50"), record.contentHash, record.status, record.fileSize);
        // As the record list carries it: without the text.
        return record;
    }

    bool mountTmpfs()
    {
        m_mount = m_dir->filePath(QStringLiteral("volume"));
        m_disk = std::make_unique<TmpfsMount>(m_mount, 1 << 20);
        return m_disk->isMounted();
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QDir(SystemFileTrasher::homeTrash()).removeRecursively();
    }

    void cleanup()
    {
        m_disk.reset();
        m_db.reset();
        m_dir.reset();
    }

    void homeTrashWritesAValidTrashInfo()
    {
        const QString path = m_dir->filePath(QStringLiteral("Library/my shot%1 ü.png"));
        writeFile(path, "bytes");
        SystemFileTrasher trasher;
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        const auto trashed = trasher.trash(path);

        const QString home = SystemFileTrasher::homeTrash();
        QVERIFY(home.startsWith(qEnvironmentVariable("XDG_DATA_HOME")));
        QCOMPARE(trashed.value_or(QString()), home + QStringLiteral("/files/my shot%1 ü.png"));
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(readFile(*trashed), QByteArray("bytes"));
        QCOMPARE(modeOf(home) & 0777, mode_t(0700));

        const auto info = trashInfo(*trashed);
        QCOMPARE(info.value(QStringLiteral("Path")),
            QString::fromLatin1(QFile::encodeName(path).toPercentEncoding("/")));
        QVERIFY(info.value(QStringLiteral("Path")).contains(QStringLiteral("my%20shot%251%20")));
        const QDateTime deleted
            = QDateTime::fromString(info.value(QStringLiteral("DeletionDate")), Qt::ISODate);
        QVERIFY(deleted.isValid());
        QVERIFY(info.value(QStringLiteral("DeletionDate"))
                    .contains(QRegularExpression(
                        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d$"))));
        QVERIFY(deleted >= before && deleted <= QDateTime::currentDateTime().addSecs(1));
    }

    void sameNameTwiceKeepsBoth()
    {
        SystemFileTrasher trasher;
        writeFile(m_dir->filePath(QStringLiteral("a/x.png")), "first");
        writeFile(m_dir->filePath(QStringLiteral("b/x.png")), "second");
        const auto first = trasher.trash(m_dir->filePath(QStringLiteral("a/x.png")));
        const auto second = trasher.trash(m_dir->filePath(QStringLiteral("b/x.png")));
        QVERIFY(first && second && *first != *second);
        QCOMPARE(readFile(*first), QByteArray("first"));
        QCOMPARE(readFile(*second), QByteArray("second"));
        QVERIFY(
            trashInfo(*second).value(QStringLiteral("Path")).endsWith(QStringLiteral("/b/x.png")));
    }

    void missingFileIsAnError()
    {
        SystemFileTrasher trasher;
        try {
            trasher.trash(m_dir->filePath(QStringLiteral("gone.png")));
            QFAIL("expected an error");
        } catch (const FileError &error) {
            QVERIFY(error.isNoSuchFile());
        }
        QVERIFY(QDir(SystemFileTrasher::homeTrash() + QStringLiteral("/info")).isEmpty());
    }

    void otherFileSystemsUseTheirTopDirectoryTrash_data()
    {
        QTest::addColumn<QString>("shared"); // "", "sticky", "plain", "link"
        QTest::addColumn<QString>("expectedTrash");
        const QString uid = QString::number(::getuid());
        QTest::newRow("no .Trash") << ""
                                   << ".Trash-" + uid;
        QTest::newRow("sticky .Trash") << "sticky"
                                       << ".Trash/" + uid;
        QTest::newRow(".Trash without sticky bit") << "plain"
                                                   << ".Trash-" + uid;
        QTest::newRow(".Trash is a link") << "link"
                                          << ".Trash-" + uid;
    }

    void otherFileSystemsUseTheirTopDirectoryTrash()
    {
        QFETCH(QString, shared);
        QFETCH(QString, expectedTrash);
        if (!mountTmpfs())
            QSKIP("Needs root to mount a tmpfs for a second file system");
        const QString sharedPath = m_mount + QStringLiteral("/.Trash");
        if (shared == QLatin1String("sticky") || shared == QLatin1String("plain")) {
            QVERIFY(QDir().mkdir(sharedPath));
            QCOMPARE(::chmod(QFile::encodeName(sharedPath).constData(),
                         shared == QLatin1String("sticky") ? 01777 : 0777),
                0);
        } else if (shared == QLatin1String("link")) {
            const QString elsewhere = m_mount + QStringLiteral("/elsewhere");
            QVERIFY(QDir().mkdir(elsewhere));
            QCOMPARE(::chmod(QFile::encodeName(elsewhere).constData(), 01777), 0);
            QVERIFY(QFile::link(elsewhere, sharedPath));
        }
        const QString path = m_mount + QStringLiteral("/Shots/a b.png");
        writeFile(path, "on the volume");

        SystemFileTrasher trasher;
        const auto trashed = trasher.trash(path);
        QCOMPARE(trashed.value_or(QString()),
            m_mount + u'/' + expectedTrash + QStringLiteral("/files/a b.png"));
        QCOMPARE(readFile(*trashed), QByteArray("on the volume"));
        QCOMPARE(
            trashInfo(*trashed).value(QStringLiteral("Path")), QStringLiteral("Shots/a%20b.png"));
        QCOMPARE(modeOf(m_mount + u'/' + expectedTrash) & 0777, mode_t(0700));
        QVERIFY(
            !QFileInfo::exists(SystemFileTrasher::homeTrash() + QStringLiteral("/files/a b.png")));
    }

    void trashThenUndoRecreatesAnInboxRecord()
    {
        const QString path = m_dir->filePath(QStringLiteral("Library/Work/Receipt.png"));
        const ScreenshotRecord record = add(path, "receipt bytes");
        SystemFileTrasher trasher;

        const auto outcome = RecordTrashService::trash(record, *m_db, trasher);
        QCOMPARE(outcome.kind, Kind::trashed);
        QVERIFY(outcome.undo);
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!m_db->record(record.id));
        const PendingUndo &undo = *outcome.undo;
        QCOMPARE(undo.originalPath, path);
        QCOMPARE(undo.title, record.title);
        QCOMPARE(undo.createdAt, record.createdAt);
        QCOMPARE(undo.ocrText, QStringLiteral("total 12.50")); // read from the index
        QCOMPARE(undo.contentHash, record.contentHash);

        const ScreenshotRecord restored = RecordTrashService::restore(undo, *m_db);
        QCOMPARE(restored.path, path);
        QCOMPARE(restored.title, record.title);
        QCOMPARE(readFile(path), QByteArray("receipt bytes"));
        // Its old id: whatever still refers to the record finds it again.
        QCOMPARE(restored.id, record.id);
        QCOMPARE(restored.status, ScreenshotStatus::inbox);
        QCOMPARE(restored.folder, QString());
        QCOMPARE(restored.fileSize, 0);
        const auto rows = m_db->allRecords();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first(), restored);
        // The file manager must not list a ghost entry afterwards.
        QVERIFY(QDir(SystemFileTrasher::homeTrash() + QStringLiteral("/info")).isEmpty());
        QVERIFY(QDir(SystemFileTrasher::homeTrash() + QStringLiteral("/files")).isEmpty());
    }

    void undoToATakenPathUsesTheNextFreeName()
    {
        const QString path = m_dir->filePath(QStringLiteral("a.png"));
        const ScreenshotRecord record = add(path, "original");
        SystemFileTrasher trasher;
        const auto outcome = RecordTrashService::trash(record, *m_db, trasher);
        QVERIFY(outcome.undo);
        writeFile(path, "newcomer");
        writeFile(m_dir->filePath(QStringLiteral("a 2.png")), "also here");

        const auto restored = RecordTrashService::restore(*outcome.undo, *m_db);
        QCOMPARE(restored.path, m_dir->filePath(QStringLiteral("a 3.png")));
        QCOMPARE(readFile(restored.path), QByteArray("original"));
        QCOMPARE(readFile(path), QByteArray("newcomer"));
        QCOMPARE(readFile(m_dir->filePath(QStringLiteral("a 2.png"))), QByteArray("also here"));
    }

    void failedRestoreThrowsAndAddsNoRow()
    {
        const QString path = m_dir->filePath(QStringLiteral("a.png"));
        const auto record = add(path);
        SystemFileTrasher trasher;
        const auto outcome = RecordTrashService::trash(record, *m_db, trasher);
        QVERIFY(outcome.undo);
        QVERIFY(QFile::remove(outcome.undo->trashedURL));
        QVERIFY_THROWS_EXCEPTION(FileError, RecordTrashService::restore(*outcome.undo, *m_db));
        QVERIFY(m_db->allRecords().isEmpty());
        QVERIFY(!QFileInfo::exists(path));
    }

    void missingFileDropsTheRecord()
    {
        const auto record = add(m_dir->filePath(QStringLiteral("a.png")));
        QVERIFY(QFile::remove(record.path));
        SystemFileTrasher trasher;
        QCOMPARE(RecordTrashService::trash(record, *m_db, trasher).kind, Kind::fileAlreadyMissing);
        QVERIFY(m_db->allRecords().isEmpty());
    }

    void refusedTrashKeepsFileAndRecord()
    {
        const auto record = add(m_dir->filePath(QStringLiteral("a.png")));
        FolderTrasher trasher;
        trasher.refuse = true;
        const auto outcome = RecordTrashService::trash(record, *m_db, trasher);
        QCOMPARE(outcome.kind, Kind::failed);
        QVERIFY(outcome.errorDescription().contains(QStringLiteral("a.png")));
        QVERIFY_THROWS_EXCEPTION(FileError, outcome.rethrow());
        QVERIFY(QFileInfo::exists(record.path));
        QVERIFY(m_db->record(record.id));
    }

    void refusalThatLostTheFileCountsAsMissing()
    {
        const auto record = add(m_dir->filePath(QStringLiteral("a.png")));
        FolderTrasher trasher;
        trasher.refuse = trasher.loseFileFirst = true;
        QCOMPARE(RecordTrashService::trash(record, *m_db, trasher).kind, Kind::fileAlreadyMissing);
        QVERIFY(!m_db->record(record.id));
    }

    void trashWithoutALocationHasNoUndo()
    {
        const auto record = add(m_dir->filePath(QStringLiteral("a.png")));
        FolderTrasher trasher;
        trasher.silent = true;
        trasher.folder = m_dir->filePath(QStringLiteral("bin"));
        QDir().mkpath(trasher.folder);
        const auto outcome = RecordTrashService::trash(record, *m_db, trasher);
        QCOMPARE(outcome.kind, Kind::trashed);
        QVERIFY(!outcome.undo);
        QVERIFY(!m_db->record(record.id));
    }

    void deletePermanently()
    {
        const auto record = add(m_dir->filePath(QStringLiteral("a.png")));
        RecordTrashService::deletePermanently(record, *m_db);
        QVERIFY(!QFileInfo::exists(record.path));
        QVERIFY(m_db->allRecords().isEmpty());

        const auto gone = add(m_dir->filePath(QStringLiteral("b.png")));
        QVERIFY(QFile::remove(gone.path));
        RecordTrashService::deletePermanently(gone, *m_db);
        QVERIFY(m_db->allRecords().isEmpty());
    }

    void deletePermanentlyThrowsAndKeepsTheRowWhenTheFileStays()
    {
        // A non-empty directory at the path cannot be removed, even by root.
        const QString path = m_dir->filePath(QStringLiteral("odd.png"));
        const auto record = add(m_dir->filePath(QStringLiteral("placeholder.png")));
        QVERIFY(QDir().mkpath(path + QStringLiteral("/inner")));
        ScreenshotRecord atDirectory = record;
        atDirectory.path = path;
        QVERIFY_THROWS_EXCEPTION(
            FileError, RecordTrashService::deletePermanently(atDirectory, *m_db));
        QVERIFY(m_db->record(record.id));

        m_db->failNthStatementForTesting(1);
        QVERIFY_THROWS_EXCEPTION(SQLiteError, RecordTrashService::deletePermanently(record, *m_db));
    }
};

MARLOX_TEST_MAIN(TestRecordTrash)
#include "tst_recordtrash.moc"
