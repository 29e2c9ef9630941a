#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "platform/errors.h"
#include "platform/filemoves.h"
#include "support/testfiles.h"
#include "support/testmain.h"
#include "support/tmpfsmount.h"

using namespace marlox;
using namespace marlox::test;

namespace {

QStringList entries(const QString &directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

QByteArray patternBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 7) & 0xff);
    return bytes;
}

int moveError(const QString &from, const QString &to)
{
    try {
        FileMoves::moveFile(from, to);
    } catch (const FileError &error) {
        return error.code();
    }
    return 0;
}

} // namespace

class TestFileMoves : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_mount;
    std::unique_ptr<TmpfsMount> m_disk;

    // A fresh folder on this file system, or a tmpfs of that size mounted
    // there (which needs root); none when it could not be mounted.
    QString destination(bool across, qint64 sizeBytes)
    {
        m_mount = m_dir->filePath(QStringLiteral("other-fs"));
        if (!across)
            return QDir().mkpath(m_mount) ? m_mount : QString();
        m_disk = std::make_unique<TmpfsMount>(m_mount, sizeBytes);
        return m_disk->isMounted() ? m_mount : QString();
    }

    // Within one file system and onto a tmpfs.
    static void onBothSides()
    {
        QTest::addColumn<bool>("across");
        QTest::newRow("within one file system") << false;
        QTest::newRow("across file systems") << true;
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void cleanup()
    {
        m_disk.reset();
        m_dir.reset();
    }

    void badPathsAreRefused_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("code");
        QTest::newRow("missing source") << "missing.png"
                                        << "b.png" << ENOENT;
        QTest::newRow("missing destination folder") << "a.png"
                                                    << "nowhere/b.png" << ENOENT;
        QTest::newRow("NUL in the destination")
            << "a.png" << QString(QStringLiteral("b") + QChar(0) + QStringLiteral("/../x.png"))
            << EINVAL;
    }

    void badPathsAreRefused()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(int, code);
        writeFile(m_dir->filePath(QStringLiteral("a.png")), "a");
        QCOMPARE(moveError(m_dir->filePath(from), m_dir->filePath(to)), code);
        QCOMPARE(readFile(m_dir->filePath(QStringLiteral("a.png"))), QByteArray("a"));
    }

    void movesAFileWithItsBytesAndMode_data() { onBothSides(); }
    void movesAFileWithItsBytesAndMode()
    {
        QFETCH(bool, across);
        const QString target = destination(across, 16 << 20);
        if (target.isEmpty())
            QSKIP("Needs root to mount a tmpfs for a second file system");
        const QString from = m_dir->filePath(QStringLiteral("big.png"));
        const QByteArray bytes = patternBytes(3 * 1024 * 1024 + 17);
        writeFile(from, bytes);
        QVERIFY(::chmod(QFile::encodeName(from).constData(), 0640) == 0);

        FileMoves::moveFile(from, target + QStringLiteral("/big.png"));
        QVERIFY(!QFileInfo::exists(from));
        QCOMPARE(readFile(target + QStringLiteral("/big.png")), bytes);
        QCOMPARE(entries(target), QStringList { "big.png" });
        struct stat info;
        QCOMPARE(
            ::stat(QFile::encodeName(target + QStringLiteral("/big.png")).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0640));
    }

    void neverReplaces_data() { onBothSides(); }
    void neverReplaces()
    {
        QFETCH(bool, across);
        const QString target = destination(across, 1 << 20);
        if (target.isEmpty())
            QSKIP("Needs root to mount a tmpfs for a second file system");
        const QString from = m_dir->filePath(QStringLiteral("a.png"));
        writeFile(from, "new");
        writeFile(target + QStringLiteral("/a.png"), "old");
        QCOMPARE(moveError(from, target + QStringLiteral("/a.png")), EEXIST);
        QCOMPARE(readFile(from), QByteArray("new"));
        QCOMPARE(readFile(target + QStringLiteral("/a.png")), QByteArray("old"));
        QCOMPARE(entries(target), QStringList { "a.png" });
    }

    // Moved by a rename; never copied across.
    void directories_data() { onBothSides(); }
    void directories()
    {
        QFETCH(bool, across);
        const QString target = destination(across, 1 << 20);
        if (target.isEmpty())
            QSKIP("Needs root to mount a tmpfs for a second file system");
        const QString from = m_dir->filePath(QStringLiteral("Work"));
        writeFile(from + QStringLiteral("/inner/x.png"), "x");
        QCOMPARE(moveError(from, target + QStringLiteral("/Projects")), across ? EXDEV : 0);
        QCOMPARE(readFile((across ? from : target + QStringLiteral("/Projects"))
                     + QStringLiteral("/inner/x.png")),
            QByteArray("x"));
        QCOMPARE(QFileInfo::exists(from), across);
        QCOMPARE(entries(target), across ? QStringList() : QStringList { "Projects" });
    }

    void failedCopyLeavesTheSourceAndNoPartialFile()
    {
        if (destination(true, 64 << 10).isEmpty())
            QSKIP("Needs root to mount a tmpfs for a second file system");
        const QString from = m_dir->filePath(QStringLiteral("large.png"));
        const QByteArray bytes = patternBytes(512 * 1024);
        writeFile(from, bytes);
        QCOMPARE(moveError(from, m_mount + QStringLiteral("/large.png")), ENOSPC);
        QCOMPARE(readFile(from), bytes);
        QCOMPARE(entries(m_mount), QStringList());
    }

    void sourceWrittenDuringTheCopyStays()
    {
        if (destination(true, 1 << 20).isEmpty())
            QSKIP("Needs root to mount a tmpfs for a second file system");
        const QString from = m_dir->filePath(QStringLiteral("growing.gif"));
        const QByteArray first = patternBytes(32 * 1024);
        const QByteArray whole = first + patternBytes(300 * 1024);
        writeFile(from, first);
        FileMoves::setAfterCopyHookForTesting([&] {
            QFile file(from);
            QVERIFY(file.open(QIODevice::Append));
            file.write(whole.mid(first.size()));
        });
        bool refused = false;
        try {
            FileMoves::moveFile(from, m_mount + QStringLiteral("/growing.gif"));
        } catch (const FileMoves::SourceChanged &) {
            refused = true;
        }
        FileMoves::setAfterCopyHookForTesting({});
        QVERIFY(refused);
        QCOMPARE(readFile(from), whole);
        QCOMPARE(entries(m_mount), QStringList());
    }
};

MARLOX_TEST_MAIN(TestFileMoves)
#include "tst_filemoves.moc"
