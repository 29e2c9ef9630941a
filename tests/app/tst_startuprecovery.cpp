// marlox-test-timeout: 180

#include <sqlite3.h>

#include <QColor>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include "app/appstate.h"
#include "filing/ocrengine.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/imagebytes.h"
#include "support/indexcheck.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;

namespace {

void writeImage(const QString &path, const QColor &colour)
{
    QDir().mkpath(QFileInfo(path).path());
    QVERIFY(test::filledImage({ 32, 24 }, colour).save(path));
}

const QString kGarbage = QStringLiteral("this is no database, just text that got in the way\n");

} // namespace

class TestStartupRecovery : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<test::AppStateScene> m_scene;
    std::shared_ptr<test::ScriptedDialogs> m_dialogs;
    std::shared_ptr<test::FakeRecognizer> m_ocr;

    QString dbPath() const { return m_scene->databasePath; }
    QString root() const { return m_scene->library; }

    AppStateDependencies deps() const
    {
        AppStateDependencies d = m_scene->dependencies();
        d.ocr = m_ocr;
        return d;
    }
    void setLibraryRoot() { m_scene->rememberLibrary(); }
    QStringList movedAside() const
    {
        return QDir(QFileInfo(dbPath()).path())
            .entryList({ QStringLiteral("library.sqlite3.corrupt-*") }, QDir::Files);
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<test::AppStateScene>();
        m_dialogs = m_scene->dialogs;
        // "text <colour>" for each image, so a test can tell which file it saw.
        m_ocr = test::FakeRecognizer::answering();
        m_ocr->reading = [](const QImage &image) {
            return QStringLiteral("text %1").arg(image.pixelColor(0, 0).name().mid(1));
        };
    }
    void cleanup() { m_scene.reset(); }

    void garbageIndexWithoutLibraryRoot()
    {
        test::writeFile(dbPath(), kGarbage.toUtf8());
        test::LogCapture log;
        AppState state(deps());

        QCOMPARE(movedAside().size(), 1);
        const QString moved = QFileInfo(dbPath()).path() + QLatin1Char('/') + movedAside().first();
        QCOMPARE(log.countStartingWith(QStringLiteral("Database couldn't be opened (")), 1);
        QVERIFY(log.messages()
                    .filter(QStringLiteral("; moved it to ") + moved
                        + QStringLiteral(" and started a fresh one"))
                    .size()
            == 1);
        QVERIFY(log.contains(
            QStringLiteral("Fresh database but no library folder yet; nothing to rebuild")));
        QVERIFY(!state.isDatabaseDegraded());
        QVERIFY(state.records().isEmpty());
        QVERIFY(m_dialogs->alerts.isEmpty());
        QFile garbage(moved);
        QVERIFY(garbage.open(QIODevice::ReadOnly));
        QCOMPARE(garbage.readAll(), kGarbage.toUtf8());
    }

    void garbageIndexIsRebuiltFromTheLibrary()
    {
        setLibraryRoot();
        writeImage(root() + QStringLiteral("/General/a.png"), QColor(0xff, 0, 0));
        writeImage(root() + QStringLiteral("/Work/2024/b.png"), QColor(0, 0, 0xff));
        test::writeFile(
            root() + QStringLiteral("/Work/cut.jpg"), QByteArray("\xFF\xD8\xFF\xE0 cut short"));
        test::writeFile(root() + QStringLiteral("/Work/notes.txt"), "notes");
        test::writeFile(dbPath(), kGarbage.toUtf8());
        test::LogCapture log;

        AppState state(deps());
        QSignalSpy progress(&state, &AppState::rebuildProgressChanged);
        QStringList shown;
        connect(&state, &AppState::rebuildProgressChanged, this,
            [&] { shown.append(state.rebuildProgress()); });

        QTRY_VERIFY_WITH_TIMEOUT(
            log.contains(QStringLiteral("OCR re-run done for 3 rebuilt screenshots")), 60000);
        QVERIFY(log.contains(QStringLiteral("Rebuilt index from library: 3 screenshots")));
        QTRY_COMPARE_WITH_TIMEOUT(state.records().size(), 3, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(state.rebuildProgress(), QString(), 30000);
        QVERIFY(shown.contains(QStringLiteral("Rebuilding index… 3 of 3")));
        QCOMPARE(shown.last(), QString());

        QHash<QString, ScreenshotRecord> byTitle;
        for (const ScreenshotRecord &r : state.records())
            byTitle.insert(r.title, r);
        QCOMPARE(byTitle.value(QStringLiteral("a")).folder, QStringLiteral("General"));
        QCOMPARE(byTitle.value(QStringLiteral("b")).folder, QStringLiteral("Work"));
        QCOMPARE(byTitle.value(QStringLiteral("b")).status, ScreenshotStatus::filed);

        // Both images recognised; the JPEG that does not decode was skipped.
        QCOMPARE(m_ocr->calls.load(), 2);
        const auto hits = state.database().search(QStringLiteral("ff0000"), LibrarySection {}, 50);
        QCOMPARE(hits.size(), 1);
        QCOMPARE(hits.first().record.title, QStringLiteral("a"));
        QCOMPARE(state.database().ocrText(byTitle.value(QStringLiteral("b")).id),
            std::optional<QString>(QStringLiteral("text 0000ff")));
        QCOMPARE(state.database().ocrText(byTitle.value(QStringLiteral("cut")).id),
            std::optional<QString>(QString()));
    }

    // What leaves an index without the library's rows, and the next launch
    // that must bring them back, text included.
    void wantingIndexIsRebuiltAtLaunch_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("index deleted") << "deleted";
        QTest::newRow("index of 0 bytes") << "empty";
        QTest::newRow("recent rows lost with the log") << "lost rows";
        QTest::newRow("killed during the rebuild") << "killed in rebuild";
        QTest::newRow("quit before the text was read") << "quit in recognition";
        QTest::newRow("moved aside while the library was empty") << "library was empty";
    }

    void wantingIndexIsRebuiltAtLaunch()
    {
        QFETCH(QString, damage);
        setLibraryRoot();
        const QStringList files { root() + QStringLiteral("/General/a.png"),
            root() + QStringLiteral("/Work/b.png"), root() + QStringLiteral("/Work/c.png") };
        const QList<QColor> colours { QColor(0xff, 0, 0), QColor(0, 0xff, 0), QColor(0, 0, 0xff) };
        if (damage == QLatin1String("library was empty")) {
            test::writeFile(dbPath(), kGarbage.toUtf8());
            AppState state(deps());
            QCOMPARE(movedAside().size(), 1);
            QTRY_COMPARE_WITH_TIMEOUT(state.database().stateValue(QStringLiteral("rebuildOwed")),
                std::optional<QString>(QStringLiteral("1")), 10000);
        }
        for (int i = 0; i < files.size(); ++i)
            writeImage(files[i], colours[i]);
        if (damage == QLatin1String("empty")) {
            test::writeFile(dbPath(), {});
        } else if (damage != QLatin1String("deleted")
            && damage != QLatin1String("library was empty")) {
            ScreenshotDatabase db(dbPath());
            // The first file made it into the index, the others did not.
            const QList<qint64> ids = db.insertNewFiles({ { files[0], QStringLiteral("a"),
                QStringLiteral("General"), 1, QStringLiteral("h"), ScreenshotStatus::filed, 1 } });
            if (damage == QLatin1String("killed in rebuild"))
                db.setStateValue(QStringLiteral("rebuildOwed"), QStringLiteral("1"));
            if (damage == QLatin1String("quit in recognition")) {
                db.insertNewFiles({ { files[1], QStringLiteral("b"), QStringLiteral("Work"), 1,
                                        QStringLiteral("h"), ScreenshotStatus::filed, 1 },
                    { files[2], QStringLiteral("c"), QStringLiteral("Work"), 1, QStringLiteral("h"),
                        ScreenshotStatus::filed, 1 } });
            } else if (damage == QLatin1String("lost rows")) {
                db.clearPendingRecognition(ids.first());
                db.updateOCR(ids.first(), QStringLiteral("text ff0000"), QStringLiteral("h"), 1);
            }
        }

        AppState state(deps());
        QTRY_COMPARE_WITH_TIMEOUT(state.records().size(), 3, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(state.database().pendingRecognition().isEmpty(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(state.rebuildProgress(), QString(), 30000);
        for (int i = 0; i < files.size(); ++i) {
            const auto id = state.database().idForPath(files[i]);
            QVERIFY2(id, qPrintable(files[i]));
            QCOMPARE(state.database().ocrText(*id),
                std::optional<QString>(QStringLiteral("text ") + colours[i].name().mid(1)));
        }
        QCOMPARE(state.database().stateValue(QStringLiteral("rebuildOwed")), std::nullopt);
    }

    void choosingALibraryTheIndexDoesNotKnowIndexesIt()
    {
        writeImage(root() + QStringLiteral("/Old/x.png"), QColor(0x12, 0x34, 0x56));
        AppState state(deps());
        QVERIFY(state.records().isEmpty());
        state.setLibraryRoot(root(), false);
        QTRY_COMPARE_WITH_TIMEOUT(state.records().size(), 1, 30000);
        QCOMPARE(state.records().first().folder, QStringLiteral("Old"));
        QTRY_COMPARE_WITH_TIMEOUT(state.database().ocrText(state.records().first().id),
            std::optional<QString>(QStringLiteral("text 123456")), 30000);
    }

    void migrationFailuresAreLoggedAndStartUpGoesOn()
    {
        setLibraryRoot();
        // An index from before statuses, with a trigger that refuses every update.
        QCOMPARE(
            test::sqliteExec(dbPath(),
                test::firstSchema
                    + "INSERT INTO screenshots(path, title, folder, created_at) VALUES "
                      "('/elsewhere/a.png', 'a', 'Unfiled', 1), ('/elsewhere/b.png', 'b', '', 2);"
                      "CREATE TRIGGER refuse BEFORE UPDATE ON screenshots "
                      "BEGIN SELECT RAISE(ABORT, 'refused'); END;"),
            SQLITE_OK);
        test::LogCapture log;

        AppState state(deps());

        QVERIFY(log.contains(
            QStringLiteral("Failed to migrate legacy Unfiled records to Inbox: refused")));
        QVERIFY(log.contains(
            QStringLiteral("Failed to migrate legacy \"Unfiled\" folder to \"General\": refused")));
        QVERIFY(!Preferences::boolValue(Preferences::didMigrateUnfiledFolderToGeneral, false));
        QVERIFY(movedAside().isEmpty());
        QCOMPARE(state.records().size(), 2);
        QCOMPARE(state.watchStatus(),
            WatchStatus::notWatching(QStringLiteral("No screenshot folder is set.")));
    }

    void legacyFolderMigrationRunsOnceThereIsALibraryRoot()
    {
        Preferences::setValue(
            Preferences::recentFolders, QStringList { "Unfiled", "General", "Work" });
        {
            AppState state(deps());
            QCOMPARE(state.recentFolders(), (QStringList { "General", "Work" }));
            QVERIFY(!Preferences::boolValue(Preferences::didMigrateUnfiledFolderToGeneral, false));
        }
        QCOMPARE(Preferences::stringList(Preferences::recentFolders),
            (QStringList { "General", "Work" }));

        setLibraryRoot();
        test::writeFile(root() + QStringLiteral("/Unfiled/a.png"), "a");
        {
            AppState state(deps());
            QVERIFY(Preferences::boolValue(Preferences::didMigrateUnfiledFolderToGeneral, false));
        }
        QVERIFY(QFileInfo::exists(root() + QStringLiteral("/General/a.png")));

        // Done once: a new "Unfiled" folder is the user's own.
        test::writeFile(root() + QStringLiteral("/Unfiled/b.png"), "b");
        AppState again(deps());
        QVERIFY(QFileInfo::exists(root() + QStringLiteral("/Unfiled/b.png")));
    }

    void reconcileRelinksInTheBackground()
    {
        setLibraryRoot();
        const QByteArray bytes = "bytes of a";
        const QString from = root() + QStringLiteral("/Work/a.png");
        const QString to = root() + QStringLiteral("/Home/a.png");
        test::writeFile(from, bytes);
        AppState state(deps());
        state.database().insertOrUpdate(from, QStringLiteral("Kept title"), QStringLiteral("Work"),
            1, {},
            QString::fromLatin1(
                QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()),
            ScreenshotStatus::filed, bytes.size());
        state.reloadRecords();
        QTRY_COMPARE(state.records().size(), 1);

        QDir().mkpath(QFileInfo(to).path());
        QVERIFY(QFile::rename(from, to));
        state.reconcileLibrary();
        QTRY_COMPARE(state.records().value(0).path, to);
        QCOMPARE(state.records().first().title, QStringLiteral("Kept title"));
        QCOMPARE(state.records().first().folder, QStringLiteral("Home"));
    }
};

MARLOX_TEST_MAIN(TestStartupRecovery)
#include "tst_startuprecovery.moc"
