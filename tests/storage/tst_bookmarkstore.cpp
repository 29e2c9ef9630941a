#include <unistd.h>

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "platform/errors.h"
#include "storage/bookmarkstore.h"
#include "storage/preferences.h"
#include "support/logcapture.h"
#include "support/testmain.h"

using namespace marlox;
using Resolution = BookmarkStore::Resolution;

class TestBookmarkStore : public QObject
{
    Q_OBJECT

    const QString m_key = QStringLiteral("com.quorvintesha.Marlox.screenshotFolderBookmark");
    const QString m_category = QStringLiteral("com.quorvintesha.Marlox.BookmarkStore");

private Q_SLOTS:
    void cleanup() { Preferences::remove(m_key); }

    void nothingStoredIsNotSet()
    {
        test::LogCapture log;
        BookmarkStore store;
        QCOMPARE(store.resolve(m_key), Resolution::notSet());
        QCOMPARE(log.messages(m_category), QStringList({ "No bookmark stored for key " + m_key }));
        QCOMPARE(Resolution::notSet().toString(), QString("notSet"));
    }

    void savedFolderResolves()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("Shots");
        QVERIFY(QDir().mkpath(folder));
        test::LogCapture log;
        BookmarkStore store;
        store.save(folder, m_key);
        // Stored as the folder's path in bytes, as documented for the preferences file.
        QCOMPARE(Preferences::value(m_key).toByteArray(), folder.toUtf8());
        QSettings raw(Preferences::filePath(), QSettings::IniFormat);
        QCOMPARE(raw.value(m_key).typeId(), QMetaType::QByteArray);

        const Resolution resolution = store.resolve(m_key);
        QCOMPARE(resolution, Resolution::resolved(folder));
        QCOMPARE(resolution.toString(), "resolved(" + folder + ")");
        QCOMPARE(log.messages(m_category),
            QStringList({ "Saved bookmark for key " + m_key + ": " + folder,
                "Bookmark resolved for key " + m_key + ": " + folder + " (stale: false)",
                "startAccessingSecurityScopedResource succeeded for key " + m_key }));
    }

    void saveReplacesTheEarlierFolder()
    {
        QTemporaryDir first;
        QTemporaryDir second;
        BookmarkStore store;
        store.save(first.path(), m_key);
        store.save(second.path(), m_key);
        QCOMPARE(store.resolve(m_key).location, QDir::cleanPath(second.path()));
    }

    void relativePathCannotBeSaved()
    {
        BookmarkStore store;
        QVERIFY_THROWS_EXCEPTION(FileError, store.save(QStringLiteral("Pictures"), m_key));
        QVERIFY(!Preferences::contains(m_key));
    }

    void missingFolderFails_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder gone") << QByteArray("/nonexistent/marlox/Shots")
                                     << "The folder “/nonexistent/marlox/Shots” doesn't exist.";
        QTest::newRow("not an absolute path")
            << QByteArray("relative/Shots") << "The folder “relative/Shots” doesn't exist.";
    }
    void missingFolderFails()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, reason);
        Preferences::setValue(m_key, stored);
        test::LogCapture log;
        BookmarkStore store;
        const Resolution resolution = store.resolve(m_key);
        QCOMPARE(resolution, Resolution::failed(reason));
        QCOMPARE(resolution.toString(), "failed(" + reason + ")");
        QCOMPARE(log.messages(m_category),
            QStringList({ "Bookmark resolve failed for key " + m_key + ": " + reason }));
        // The stored reference stays for a later attempt.
        QCOMPARE(Preferences::value(m_key).toByteArray(), stored);
    }

    void aFileIsNoFolder()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("note.txt");
        QFile(file).open(QIODevice::WriteOnly);
        BookmarkStore store;
        store.save(file, m_key);
        QCOMPARE(
            store.resolve(m_key), Resolution::failed("The folder “" + file + "” doesn't exist."));
    }

    void unlistableFolderIsDenied()
    {
        if (geteuid() == 0)
            QSKIP("root can list every folder");
        QTemporaryDir dir;
        const QString folder = dir.filePath("Locked");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(folder, QFile::WriteOwner));
        BookmarkStore store;
        store.save(folder, m_key);
        test::LogCapture log;
        QCOMPARE(store.resolve(m_key), Resolution::failed("access to Locked was denied"));
        QVERIFY(log.contains(
            "startAccessingSecurityScopedResource failed for key " + m_key + ": " + folder));
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

MARLOX_TEST_MAIN(TestBookmarkStore)
#include "tst_bookmarkstore.moc"
