#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "filing/foldermanagementservice.h"
#include "support/templibrary.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;
using namespace marlox::FolderManagementService;
using Suggestions = QList<FolderSuggestion>;

Q_DECLARE_METATYPE(Suggestions)

namespace QTest {
template <> char *toString(const FolderSuggestion &suggestion)
{
    const QString text
        = (suggestion.kind == FolderSuggestion::Kind::existing ? QStringLiteral("existing(%1)")
                                                               : QStringLiteral("createNew(%1)"))
              .arg(suggestion.name);
    return qstrdup(text.toUtf8().constData());
}
} // namespace QTest

namespace {

// 0 = no error, else 1 + the ServiceError kind, or -1 for a file error.
template <typename F> int errorOf(F &&operation)
{
    try {
        operation();
    } catch (const ServiceError &error) {
        return 1 + int(error.kind());
    } catch (const FileError &) {
        return -1;
    }
    return 0;
}

constexpr int emptyName = 1 + int(ServiceError::Kind::emptyName);
constexpr int alreadyExists = 1 + int(ServiceError::Kind::alreadyExists);
constexpr int invalidName = 1 + int(ServiceError::Kind::invalidName);

} // namespace

class TestFolderManagement : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TempLibrary> m_lib;
    QString m_root;

    qint64 addRecord(const QString &path, const QString &folder,
        ScreenshotStatus status = ScreenshotStatus::filed)
    {
        return m_lib->db->insertOrUpdate(
            path, QFileInfo(path).baseName(), folder, 1000, {}, {}, status, 5);
    }

private Q_SLOTS:
    void init()
    {
        m_lib = std::make_unique<TempLibrary>();
        m_root = m_lib->root;
    }

    void cleanup() { m_lib.reset(); }

    void createFolderDirectory_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("error");
        QTest::addColumn<QStringList>("expectedTree");
        const QStringList existing { "Notes.txt", "Work" };
        QTest::newRow("trimmed") << " Photos \n"
                                 << 0 << QStringList { "Notes.txt", "Photos", "Work" };
        QTest::newRow("blank") << " \t" << emptyName << existing;
        QTest::newRow("existing folder") << "Work" << alreadyExists << existing;
        QTest::newRow("existing plain file") << "Notes.txt" << alreadyExists << existing;
        QTest::newRow("slash") << "a/b" << invalidName << existing;
        QTest::newRow("climbs out") << "../Outside" << invalidName << existing;
        QTest::newRow("parent") << ".." << invalidName << existing;
        QTest::newRow("itself") << "." << invalidName << existing;
        QTest::newRow("hidden") << ".cache" << invalidName << existing;
        QTest::newRow("hidden after trimming") << "  .cache" << invalidName << existing;
        QTest::newRow("NUL") << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b"))
                             << invalidName << existing;
    }

    void createFolderDirectory()
    {
        QFETCH(QString, name);
        QFETCH(int, error);
        QFETCH(QStringList, expectedTree);
        writeFile(m_root + QStringLiteral("/Notes.txt"));
        QVERIFY(QDir(m_root).mkdir(QStringLiteral("Work")));
        const QStringList outside = tree(m_lib->dir.path());
        QCOMPARE(
            errorOf([&] { FolderManagementService::createFolderDirectory(name, m_root); }), error);
        QCOMPARE(tree(m_root), expectedTree);
        if (error != 0)
            QCOMPARE(tree(m_lib->dir.path()), outside);
    }

    void everyOperationNeedsARoot()
    {
        const QStringList before = tree(m_lib->dir.path());
        QCOMPARE(errorOf([&] {
            FolderManagementService::createFolderDirectory(QStringLiteral("W"), {});
        }),
            -1);
        QCOMPARE(
            errorOf([&] { mergeFolder(QStringLiteral("A"), QStringLiteral("B"), {}, *m_lib->db); }),
            -1);
        QCOMPARE(errorOf([&] {
            FolderManagementService::removeFolderDirectory(QStringLiteral("A"), {});
        }),
            -1);
        QCOMPARE(tree(m_lib->dir.path()), before);
    }

    void folderIsEmpty_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("recordFolder");
        QTest::addColumn<bool>("expected");
        QTest::newRow("no directory, no records") << QStringList {} << "" << true;
        QTest::newRow("empty directory") << QStringList { "Work/" } << "" << true;
        QTest::newRow("only a hidden file") << QStringList { "Work/.DS_Store" } << "" << false;
        QTest::newRow("a screenshot") << QStringList { "Work/a.png" } << "" << false;
        QTest::newRow("a record without a directory") << QStringList {} << "Work" << false;
        QTest::newRow("records compare case-sensitively") << QStringList {} << "work" << true;
    }

    void folderIsEmpty()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, recordFolder);
        QFETCH(bool, expected);
        for (const QString &file : files) {
            if (file.endsWith(u'/'))
                QVERIFY(QDir(m_root).mkpath(file));
            else
                writeFile(m_root + u'/' + file);
        }
        if (!recordFolder.isEmpty())
            addRecord(QStringLiteral("/elsewhere/x.png"), recordFolder);
        QCOMPARE(FolderManagementService::folderIsEmpty(QStringLiteral("Work"), m_root, *m_lib->db),
            expected);
    }

    void folderIsEmptyNeverLooksOutsideTheRoot()
    {
        // The root's parent has entries; ".." must not make it look full.
        QVERIFY(FolderManagementService::folderIsEmpty(QStringLiteral(".."), m_root, *m_lib->db));
        m_lib->db->failNthStatementForTesting(1);
        QVERIFY(FolderManagementService::folderIsEmpty(QStringLiteral("Work"), m_root, *m_lib->db));
    }

    void mergeMovesWithTheCollisionRuleAndRetagsRecords()
    {
        writeFile(m_root + QStringLiteral("/Work/a.png"), "work a");
        writeFile(m_root + QStringLiteral("/Work/b.png"), "work b");
        writeFile(m_root + QStringLiteral("/Work/.hidden"), "hidden");
        writeFile(m_root + QStringLiteral("/General/a.png"), "general a");
        const qint64 a = addRecord(m_root + QStringLiteral("/Work/a.png"), QStringLiteral("Work"));
        const qint64 inbox = addRecord(m_root + QStringLiteral("/Work/b.png"),
            QStringLiteral("Work"), ScreenshotStatus::inbox);
        const qint64 fileless = addRecord(QStringLiteral("/gone/c.png"), QStringLiteral("Work"));
        const qint64 other
            = addRecord(m_root + QStringLiteral("/General/a.png"), QStringLiteral("General"));

        const int moved
            = mergeFolder(QStringLiteral("Work"), QStringLiteral("General"), m_root, *m_lib->db);
        QCOMPARE(moved, 2);
        // The hidden file is not moved, so the source directory stays.
        QCOMPARE(tree(m_root),
            (QStringList { "General", "General/a 2.png", "General/a.png", "General/b.png", "Work",
                "Work/.hidden" }));
        QCOMPARE(readFile(m_root + QStringLiteral("/General/a.png")), QByteArray("general a"));
        QCOMPARE(readFile(m_root + QStringLiteral("/General/a 2.png")), QByteArray("work a"));

        const auto recordA = m_lib->db->record(a);
        QCOMPARE(recordA->path, m_root + QStringLiteral("/General/a 2.png"));
        QCOMPARE(recordA->folder, QStringLiteral("General"));
        QCOMPARE(recordA->status, ScreenshotStatus::filed);
        QCOMPARE(m_lib->db->record(inbox)->status, ScreenshotStatus::inbox);
        QCOMPARE(m_lib->db->record(inbox)->folder, QStringLiteral("General"));
        QCOMPARE(m_lib->db->record(fileless)->folder, QStringLiteral("General"));
        QCOMPARE(m_lib->db->record(fileless)->path, QStringLiteral("/gone/c.png"));
        QCOMPARE(m_lib->db->record(other)->path, m_root + QStringLiteral("/General/a.png"));
    }

    void mergeRemovesTheEmptiedSourceAndCreatesTheTarget()
    {
        writeFile(m_root + QStringLiteral("/Work/a.png"));
        QCOMPARE(
            mergeFolder(QStringLiteral("Work"), QStringLiteral("Projects"), m_root, *m_lib->db), 1);
        QCOMPARE(tree(m_root), (QStringList { "Projects", "Projects/a.png" }));
        QCOMPARE(
            mergeFolder(QStringLiteral("Missing"), QStringLiteral("Target"), m_root, *m_lib->db),
            0);
        QVERIFY(QFileInfo(m_root + QStringLiteral("/Target")).isDir());
    }

    void mergeStopsAtTheFirstDatabaseFailure()
    {
        writeFile(m_root + QStringLiteral("/Work/a.png"));
        const qint64 id = addRecord(m_root + QStringLiteral("/Work/a.png"), QStringLiteral("Work"));
        const qint64 fileless = addRecord(QStringLiteral("/gone/c.png"), QStringLiteral("Work"));
        m_lib->db->failNthStatementForTesting(2); // allRecords passes, the update fails
        QVERIFY_THROWS_EXCEPTION(SQLiteError,
            mergeFolder(QStringLiteral("Work"), QStringLiteral("General"), m_root, *m_lib->db));
        // The file whose row could not follow is back where the row says.
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/General/a.png")));
        QVERIFY(QFileInfo::exists(m_root + QStringLiteral("/Work/a.png")));
        QCOMPARE(m_lib->db->record(id)->folder, QStringLiteral("Work"));
        // The final re-tag did not run.
        QCOMPARE(m_lib->db->record(fileless)->folder, QStringLiteral("Work"));
    }

    void unsafeNamesAreRefusedBeforeAnythingMoves_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("error");
        // clang-format off
        QTest::newRow("source is the parent") << ".." << "General" << invalidName;
        QTest::newRow("target climbs out") << "Work" << "../Outside" << invalidName;
        QTest::newRow("target is the root") << "Work" << "." << invalidName;
        QTest::newRow("hidden target") << "Work" << ".Work" << invalidName;
        QTest::newRow("empty source is the root") << "" << "General" << emptyName;
        QTest::newRow("blank target") << "Work" << "  " << emptyName;
        // clang-format on
    }

    void unsafeNamesAreRefusedBeforeAnythingMoves()
    {
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(int, error);
        writeFile(m_root + QStringLiteral("/Work/a.png"));
        writeFile(m_root + QStringLiteral("/loose.png"));
        const QStringList before = tree(m_lib->dir.path());
        QCOMPARE(errorOf([&] { mergeFolder(source, target, m_root, *m_lib->db); }), error);
        QCOMPARE(tree(m_lib->dir.path()), before);
    }

    void removeFolderDirectory_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("error");
        QTest::newRow("parent") << ".." << invalidName;
        QTest::newRow("root") << "." << invalidName;
        QTest::newRow("empty is the root") << "" << emptyName;
        QTest::newRow("nested path") << "Work/Sub" << invalidName;
        QTest::newRow("missing folder is fine") << "Nothing" << 0;
    }

    void removeFolderDirectory()
    {
        QFETCH(QString, name);
        QFETCH(int, error);
        writeFile(m_root + QStringLiteral("/Work/Sub/a.png"));
        const QStringList before = tree(m_lib->dir.path());
        QCOMPARE(
            errorOf([&] { FolderManagementService::removeFolderDirectory(name, m_root); }), error);
        QCOMPARE(tree(m_lib->dir.path()), before);
    }

    void removeTakesHiddenContentsButNeverFollowsLinks()
    {
        const QString outside = m_lib->dir.filePath(QStringLiteral("keep"));
        writeFile(outside + QStringLiteral("/precious.png"), "precious");
        writeFile(m_root + QStringLiteral("/Work/.hidden/x"), "x");
        QVERIFY(QFile::link(outside, m_root + QStringLiteral("/Work/link")));
        FolderManagementService::removeFolderDirectory(QStringLiteral("Work"), m_root);
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/Work")));
        QCOMPARE(readFile(outside + QStringLiteral("/precious.png")), QByteArray("precious"));
    }

    void folderNames_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("recordFolders");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("fresh library")
            << QStringList {} << QStringList {} << QStringList { "General" };
        QTest::newRow("directories, not files, not hidden")
            << QStringList { "Work/", "notes.txt", ".Trash/", "Archive/" } << QStringList {}
            << QStringList { "Archive", "General", "Work" };
        QTest::newRow("record folders without a directory")
            << QStringList {} << QStringList { "Receipts", "", "General" }
            << QStringList { "General", "Receipts" };
        QTest::newRow("unsafe record folders are not offered")
            << QStringList {} << QStringList { ".secret", "a/b", "..", "Fine" }
            << QStringList { "Fine", "General" };
        QTest::newRow("case-sensitive code-point order")
            << QStringList { "alpha/", "Zeta/", "Émile/", "beta/" } << QStringList {}
            << QStringList { "General", "Zeta", "alpha", "beta", "Émile" };
        QTest::newRow("each name once") << QStringList { "Work/" } << QStringList { "Work" }
                                        << QStringList { "General", "Work" };
    }

    void folderNames()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, recordFolders);
        QFETCH(QStringList, expected);
        for (const QString &entry : entries) {
            if (entry.endsWith(u'/'))
                QVERIFY(QDir(m_root).mkpath(entry));
            else
                writeFile(m_root + u'/' + entry);
        }
        QCOMPARE(FolderManagementService::folderNames(m_root, recordFolders), expected);
    }

    void folderNamesWithoutARootComeFromRecords()
    {
        QCOMPARE(FolderManagementService::folderNames({}, { QStringLiteral("Work") }),
            (QStringList { "General", "Work" }));
        QCOMPARE(FolderManagementService::folderNames(
                     m_lib->dir.filePath(QStringLiteral("missing")), {}),
            QStringList { "General" });
    }

    void folderSuggestions_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("limit");
        QTest::addColumn<Suggestions>("expected");
        using S = FolderSuggestion;
        QTest::newRow("prefix matches")
            << "wo" << 4
            << Suggestions { S::existing("Work"), S::existing("Workshop"), S::createNew("wo") };
        QTest::newRow("prefix first, then in-order")
            << "p" << 4
            << Suggestions { S::existing("Personal"), S::existing("Receipts"),
                   S::existing("Workshop"), S::createNew("p") };
        QTest::newRow("scattered letters")
            << "wsp" << 4 << Suggestions { S::existing("Workshop"), S::createNew("wsp") };
        QTest::newRow("exact match in any case: no offer")
            << "work" << 4 << Suggestions { S::existing("Work"), S::existing("Workshop") };
        QTest::newRow("no prefix, in-order only")
            << "e" << 4
            << Suggestions { S::existing("General"), S::existing("Personal"),
                   S::existing("Receipts"), S::createNew("e") };
        QTest::newRow("blank query lists the first folders")
            << " \t " << 4
            << Suggestions { S::existing("General"), S::existing("Personal"),
                   S::existing("Receipts"), S::existing("Work") };
        QTest::newRow("spaces trimmed, typed case kept")
            << "  Tax  " << 4 << Suggestions { S::createNew("Tax") };
        QTest::newRow("limit counts only existing")
            << "r" << 2
            << Suggestions { S::existing("Receipts"), S::existing("General"), S::createNew("r") };
        QTest::newRow("line breaks are not trimmed")
            << "\nwork" << 4 << Suggestions { S::createNew("\nwork") };
    }

    void folderSuggestions()
    {
        QFETCH(QString, query);
        QFETCH(int, limit);
        QFETCH(Suggestions, expected);
        const QStringList folders { "General", "Personal", "Receipts", "Work", "Workshop" };
        QCOMPARE(FolderManagementService::folderSuggestions(query, folders, limit), expected);
    }
};

MARLOX_TEST_MAIN(TestFolderManagement)
#include "tst_foldermanagement.moc"
