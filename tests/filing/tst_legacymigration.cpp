#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "filing/legacymigration.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;

namespace {

QString put(const QString &root, const QString &relative, const QByteArray &bytes)
{
    const QString path = QDir(root).filePath(relative);
    test::writeFile(path, bytes);
    return path;
}

} // namespace

class TestLegacyMigration : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScreenshotDatabase> m_db;
    QString m_root;

    qint64 index(const QString &path, const QString &title, const QString &folder)
    {
        return m_db->insertOrUpdate(
            path, title, folder, 1, QStringLiteral("text"), {}, ScreenshotStatus::filed, 1);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_root = m_dir->filePath(QStringLiteral("Library"));
        QDir().mkpath(m_root);
        m_db = std::make_unique<ScreenshotDatabase>(m_dir->filePath(QStringLiteral("i.sqlite3")));
    }
    void cleanup()
    {
        m_db.reset();
        m_dir.reset();
    }

    void unfiledFolderMovesIntoGeneral()
    {
        const QString a = put(m_root, QStringLiteral("Unfiled/a.png"), "new a");
        const QString b = put(m_root, QStringLiteral("Unfiled/b.png"), "b");
        put(m_root, QStringLiteral("General/a.png"), "old a");
        const qint64 ida = index(a, QStringLiteral("Alpha"), QStringLiteral("Unfiled"));
        const qint64 idb = index(b, QStringLiteral("Beta"), QStringLiteral("Unfiled"));
        // A record that names the old folder but whose file lies elsewhere.
        const qint64 idc = index(m_dir->filePath(QStringLiteral("elsewhere/c.png")),
            QStringLiteral("C"), QStringLiteral("Unfiled"));
        const qint64 idw = index(QDir(m_root).filePath(QStringLiteral("Work/w.png")),
            QStringLiteral("W"), QStringLiteral("Work"));

        LegacyMigration::migrateUnfiledFolder(m_root, *m_db);

        const QDir general(QDir(m_root).filePath(QStringLiteral("General")));
        QCOMPARE(test::readFile(general.filePath(QStringLiteral("a.png"))), QByteArray("old a"));
        QCOMPARE(test::readFile(general.filePath(QStringLiteral("a 2.png"))), QByteArray("new a"));
        QCOMPARE(test::readFile(general.filePath(QStringLiteral("b.png"))), QByteArray("b"));
        QVERIFY(!QFileInfo::exists(QDir(m_root).filePath(QStringLiteral("Unfiled"))));

        QCOMPARE(m_db->record(ida)->path, general.filePath(QStringLiteral("a 2.png")));
        QCOMPARE(m_db->record(ida)->title, QStringLiteral("Alpha"));
        QCOMPARE(m_db->record(ida)->folder, QStringLiteral("General"));
        QCOMPARE(m_db->ocrText(ida), std::optional<QString>(QStringLiteral("text")));
        QCOMPARE(m_db->record(idb)->path, general.filePath(QStringLiteral("b.png")));
        QCOMPARE(m_db->record(idc)->folder, QStringLiteral("General"));
        QCOMPARE(m_db->record(idw)->folder, QStringLiteral("Work"));
    }

    void withoutUnfiledDirectoryOnlyTheIndexIsRenamed()
    {
        const qint64 id = index(QDir(m_root).filePath(QStringLiteral("Unfiled/a.png")),
            QStringLiteral("A"), QStringLiteral("Unfiled"));
        LegacyMigration::migrateUnfiledFolder(m_root, *m_db);
        QCOMPARE(m_db->record(id)->folder, QStringLiteral("General"));
        QCOMPARE(m_db->record(id)->path, QDir(m_root).filePath(QStringLiteral("Unfiled/a.png")));
        QVERIFY(!QFileInfo::exists(QDir(m_root).filePath(QStringLiteral("General"))));
    }

    void folderWithHiddenItemsStays()
    {
        put(m_root, QStringLiteral("Unfiled/a.png"), "a");
        put(m_root, QStringLiteral("Unfiled/.directory"), "[Desktop Entry]");
        LegacyMigration::migrateUnfiledFolder(m_root, *m_db);
        QVERIFY(QFileInfo::exists(QDir(m_root).filePath(QStringLiteral("General/a.png"))));
        QVERIFY(QFileInfo::exists(QDir(m_root).filePath(QStringLiteral("Unfiled/.directory"))));
    }

    void failureIsThrownAndFinishesOnTheNextRun()
    {
        put(m_root, QStringLiteral("Unfiled/a.png"), "a");
        const qint64 id = index(QDir(m_root).filePath(QStringLiteral("Unfiled/a.png")),
            QStringLiteral("A"), QStringLiteral("Unfiled"));
        // Something that is not a folder where "General" has to be.
        const QString blocker = put(m_root, QStringLiteral("General"), "a file");
        QVERIFY_THROWS_EXCEPTION(FileError, LegacyMigration::migrateUnfiledFolder(m_root, *m_db));
        QCOMPARE(m_db->record(id)->folder, QStringLiteral("Unfiled"));

        QFile::remove(blocker);
        LegacyMigration::migrateUnfiledFolder(m_root, *m_db);
        QCOMPARE(m_db->record(id)->folder, QStringLiteral("General"));
        QCOMPARE(m_db->record(id)->path, QDir(m_root).filePath(QStringLiteral("General/a.png")));
    }

    void recentFolders_data()
    {
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QStringList>("migrated");
        QTest::newRow("legacy in the middle")
            << QStringList { "Work", "Unfiled", "General" } << QStringList { "Work", "General" };
        QTest::newRow("legacy first wins its place")
            << QStringList { "Unfiled", "General", "Work" } << QStringList { "General", "Work" };
        QTest::newRow("nothing to do")
            << QStringList { "Work", "General" } << QStringList { "Work", "General" };
        QTest::newRow("only exact names")
            << QStringList { "unfiled", "Unfiled 2" } << QStringList { "unfiled", "Unfiled 2" };
        QTest::newRow("repeated") << QStringList { "Unfiled", "Unfiled", "Work", "Work" }
                                  << QStringList { "General", "Work" };
        QTest::newRow("empty") << QStringList {} << QStringList {};
    }

    void recentFolders()
    {
        QFETCH(QStringList, stored);
        QFETCH(QStringList, migrated);
        QCOMPARE(LegacyMigration::migrateRecentFolders(stored), migrated);
    }
};

MARLOX_TEST_MAIN(TestLegacyMigration)
#include "tst_legacymigration.moc"
