#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "filing/legacymigration.h"
#include "support/templibrary.h"
#include "support/testmain.h"

using namespace marlox;

namespace { } // namespace

class TestLegacyMigration : public QObject
{
    Q_OBJECT

private:
    std::optional<test::TempLibrary> m_lib;

    qint64 index(const QString &path, const QString &title, const QString &folder)
    {
        return m_lib->db->insertOrUpdate(
            path, title, folder, 1, QStringLiteral("text"), {}, ScreenshotStatus::filed, 1);
    }

private Q_SLOTS:
    void init() { m_lib.emplace(); }
    void cleanup() { m_lib.reset(); }

    void unfiledFolderMovesIntoGeneral()
    {
        const QString a = m_lib->put(QStringLiteral("Unfiled/a.png"), "new a");
        const QString b = m_lib->put(QStringLiteral("Unfiled/b.png"), "b");
        m_lib->put(QStringLiteral("General/a.png"), "old a");
        const qint64 ida = index(a, QStringLiteral("Alpha"), QStringLiteral("Unfiled"));
        const qint64 idb = index(b, QStringLiteral("Beta"), QStringLiteral("Unfiled"));
        // A record that names the old folder but whose file lies elsewhere.
        const qint64 idc = index(m_lib->dir.filePath(QStringLiteral("elsewhere/c.png")),
            QStringLiteral("C"), QStringLiteral("Unfiled"));
        const qint64 idw = index(QDir(m_lib->root).filePath(QStringLiteral("Work/w.png")),
            QStringLiteral("W"), QStringLiteral("Work"));

        LegacyMigration::migrateUnfiledFolder(m_lib->root, *m_lib->db);

        const QDir general(QDir(m_lib->root).filePath(QStringLiteral("General")));
        QCOMPARE(test::readFile(general.filePath(QStringLiteral("a.png"))), QByteArray("old a"));
        QCOMPARE(test::readFile(general.filePath(QStringLiteral("a 2.png"))), QByteArray("new a"));
        QCOMPARE(test::readFile(general.filePath(QStringLiteral("b.png"))), QByteArray("b"));
        QVERIFY(!QFileInfo::exists(QDir(m_lib->root).filePath(QStringLiteral("Unfiled"))));

        QCOMPARE(m_lib->db->record(ida)->path, general.filePath(QStringLiteral("a 2.png")));
        QCOMPARE(m_lib->db->record(ida)->title, QStringLiteral("Alpha"));
        QCOMPARE(m_lib->db->record(ida)->folder, QStringLiteral("General"));
        QCOMPARE(m_lib->db->ocrText(ida), std::optional<QString>(QStringLiteral("text")));
        QCOMPARE(m_lib->db->record(idb)->path, general.filePath(QStringLiteral("b.png")));
        QCOMPARE(m_lib->db->record(idc)->folder, QStringLiteral("General"));
        QCOMPARE(m_lib->db->record(idw)->folder, QStringLiteral("Work"));
    }

    void withoutUnfiledDirectoryOnlyTheIndexIsRenamed()
    {
        const qint64 id = index(QDir(m_lib->root).filePath(QStringLiteral("Unfiled/a.png")),
            QStringLiteral("A"), QStringLiteral("Unfiled"));
        LegacyMigration::migrateUnfiledFolder(m_lib->root, *m_lib->db);
        QCOMPARE(m_lib->db->record(id)->folder, QStringLiteral("General"));
        QCOMPARE(m_lib->db->record(id)->path,
            QDir(m_lib->root).filePath(QStringLiteral("Unfiled/a.png")));
        QVERIFY(!QFileInfo::exists(QDir(m_lib->root).filePath(QStringLiteral("General"))));
    }

    void folderWithHiddenItemsStays()
    {
        m_lib->put(QStringLiteral("Unfiled/a.png"), "a");
        m_lib->put(QStringLiteral("Unfiled/.directory"), "[Desktop Entry]");
        LegacyMigration::migrateUnfiledFolder(m_lib->root, *m_lib->db);
        QVERIFY(QFileInfo::exists(QDir(m_lib->root).filePath(QStringLiteral("General/a.png"))));
        QVERIFY(
            QFileInfo::exists(QDir(m_lib->root).filePath(QStringLiteral("Unfiled/.directory"))));
    }

    void failureIsThrownAndFinishesOnTheNextRun()
    {
        m_lib->put(QStringLiteral("Unfiled/a.png"), "a");
        const qint64 id = index(QDir(m_lib->root).filePath(QStringLiteral("Unfiled/a.png")),
            QStringLiteral("A"), QStringLiteral("Unfiled"));
        // Something that is not a folder where "General" has to be.
        const QString blocker = m_lib->put(QStringLiteral("General"), "a file");
        QVERIFY_THROWS_EXCEPTION(
            FileError, LegacyMigration::migrateUnfiledFolder(m_lib->root, *m_lib->db));
        QCOMPARE(m_lib->db->record(id)->folder, QStringLiteral("Unfiled"));

        QFile::remove(blocker);
        LegacyMigration::migrateUnfiledFolder(m_lib->root, *m_lib->db);
        QCOMPARE(m_lib->db->record(id)->folder, QStringLiteral("General"));
        QCOMPARE(m_lib->db->record(id)->path,
            QDir(m_lib->root).filePath(QStringLiteral("General/a.png")));
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
