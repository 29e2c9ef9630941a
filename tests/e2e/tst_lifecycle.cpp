// marlox-test-labels: fault slow
// marlox-test-timeout: 300
#include <csignal>

#include <sqlite3.h>

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "storage/screenshotdatabase.h"
#include "support/appstatescene.h"
#include "support/fakerecognizer.h"
#include "support/filecensus.h"
#include "support/logcapture.h"
#include "support/marloxprocess.h"
#include "support/marloxrun.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

using Entries = QList<QPair<QString, QString>>; // (type, name) of sqlite_master

struct Schema
{
    QString journalMode;
    Entries entries;
    QHash<QString, QString> sql; // name → its CREATE text
};

// Reads the index the way a user's sqlite3 shell would, without changing it.
std::optional<Schema> readSchema(const QString &path)
{
    if (!QFileInfo::exists(path))
        return std::nullopt;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr)
        != SQLITE_OK) {
        sqlite3_close(db);
        return std::nullopt;
    }
    sqlite3_busy_timeout(db, 2000);
    Schema schema;
    const auto query = [db](const char *sql, const std::function<void(sqlite3_stmt *)> &row) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
            return false;
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
            row(statement);
        sqlite3_finalize(statement);
        return rc == SQLITE_DONE;
    };
    const auto text = [](sqlite3_stmt *statement, int column) {
        return QString::fromUtf8(
            reinterpret_cast<const char *>(sqlite3_column_text(statement, column)));
    };
    bool ok = query("PRAGMA journal_mode;",
        [&](sqlite3_stmt *statement) { schema.journalMode = text(statement, 0); });
    ok = ok
        && query(
            "SELECT type, name, sql FROM sqlite_master ORDER BY type, name;", [&](sqlite3_stmt *s) {
                schema.entries.append({ text(s, 0), text(s, 1) });
                schema.sql.insert(text(s, 1), text(s, 2));
            });
    sqlite3_close(db);
    if (!ok)
        return std::nullopt;
    return schema;
}

// The CREATE text SQLite keeps: the statement without "IF NOT EXISTS" and its ";".
QString stored(QString statement)
{
    statement.replace(QLatin1String(" IF NOT EXISTS"), QString());
    if (statement.endsWith(QLatin1Char(';')))
        statement.chop(1);
    return statement;
}

} // namespace

// The real binary from its first launch to its end: a fresh profile, a second
// instance, a crashed one, signals and the end of the session; and what
// people and other programs do to the folders behind its back: files written
// slowly, filed screenshots renamed or copied by hand, the index lost while
// Marlox is not running.
class TestLifecycle : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    // Where the hand-edit cases, which build on each other, keep their folders.
    QString m_shots = m_dir.filePath(QStringLiteral("hand/Shots"));
    QString m_library = m_dir.filePath(QStringLiteral("hand/Library"));

    QString dataFile(const QString &name) const
    {
        return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Marlox/") + name;
    }

    qint64 lockOwner() const
    {
        QFile lock(dataFile(QStringLiteral("marlox.lock")));
        if (!lock.open(QIODevice::ReadOnly))
            return -1;
        return lock.readLine().trimmed().toLongLong();
    }

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
    }

    // A new user's first launch: nothing configured yet.
    void launchCreatesTheIndex()
    {
        MarloxRun first;
        QVERIFY(first.started());
        const Entries expected = {
            { "index", "screenshot_codes_record" },
            { "index", "screenshots_content_hash" },
            { "index", "screenshots_list" },
            { "index", "sqlite_autoindex_index_state_1" },
            { "index", "sqlite_autoindex_screenshots_1" },
            { "table", "index_state" },
            { "table", "pending_recognition" },
            { "table", "screenshot_codes" },
            { "table", "screenshot_codes_fts" },
            { "table", "screenshot_codes_fts_config" },
            { "table", "screenshot_codes_fts_content" },
            { "table", "screenshot_codes_fts_data" },
            { "table", "screenshot_codes_fts_docsize" },
            { "table", "screenshot_codes_fts_idx" },
            { "table", "screenshot_phash" },
            { "table", "screenshot_words" },
            { "table", "screenshots" },
            { "table", "screenshots_fts" },
            { "table", "screenshots_fts_config" },
            { "table", "screenshots_fts_data" },
            { "table", "screenshots_fts_docsize" },
            { "table", "screenshots_fts_idx" },
            { "table", "screenshots_trigram" },
            { "table", "screenshots_trigram_config" },
            { "table", "screenshots_trigram_data" },
            { "table", "screenshots_trigram_docsize" },
            { "table", "screenshots_trigram_idx" },
            { "table", "sqlite_sequence" },
            { "trigger", "screenshot_codes_ad" },
            { "trigger", "screenshot_codes_ai" },
            { "trigger", "screenshot_codes_record_ad" },
            { "trigger", "screenshot_phash_ad" },
            { "trigger", "screenshot_phash_au" },
            { "trigger", "screenshot_words_ad" },
            { "trigger", "screenshot_words_au" },
            { "trigger", "screenshots_ad" },
            { "trigger", "screenshots_ai" },
            { "trigger", "screenshots_au" },
            { "trigger", "screenshots_trigram_ad" },
            { "trigger", "screenshots_trigram_ai" },
            { "trigger", "screenshots_trigram_au" },
        };
        // The tables are made one after another: wait for the whole set.
        std::optional<Schema> schema;
        QTRY_VERIFY_WITH_TIMEOUT(
            (schema = readSchema(binaryIndexPath())) && schema->entries == expected, 30000);
        QCOMPARE(schema->journalMode, QString("wal"));
        QCOMPARE(schema->entries, expected);
        QCOMPARE(schema->sql.value("screenshots"),
            stored("CREATE TABLE IF NOT EXISTS screenshots (\n"
                   "    id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                   "    path TEXT NOT NULL UNIQUE,\n"
                   "    title TEXT NOT NULL DEFAULT '',\n"
                   "    folder TEXT NOT NULL DEFAULT '',\n"
                   "    created_at REAL NOT NULL,\n"
                   "    ocr_text TEXT NOT NULL DEFAULT '',\n"
                   "    content_hash TEXT NOT NULL DEFAULT '',\n"
                   "    status TEXT NOT NULL DEFAULT 'filed',\n"
                   "    file_size INTEGER NOT NULL DEFAULT 0\n"
                   ");"));
        QCOMPARE(schema->sql.value("screenshots_fts"),
            stored("CREATE VIRTUAL TABLE IF NOT EXISTS screenshots_fts USING fts5(\n"
                   "    title, ocr_text, content='screenshots', content_rowid='id'\n"
                   ");"));
        // Headless, with no window and no tray, it keeps running.
        QVERIFY(!first.finished(1500));
    }

    void crashedInstanceDoesNotBlockTheNextLaunch()
    {
        MarloxRun crashed;
        // Up once it holds the index open.
        QTRY_VERIFY_WITH_TIMEOUT(readSchema(binaryIndexPath()).has_value(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(qEnvironmentVariable("XDG_RUNTIME_DIR")
                                     + QStringLiteral("/com.quorvintesha.Marlox.socket")),
            30000);
        crashed.signal(SIGKILL);
        QVERIFY(crashed.finished(10000));
        QVERIFY(QFileInfo::exists(dataFile(QStringLiteral("marlox.lock"))));

        MarloxRun next;
        // It takes the lock over as the primary instead of handing over and ending.
        QTRY_COMPARE_WITH_TIMEOUT(lockOwner(), next.pid(), 30000);
        QCOMPARE(next.process().state(), QProcess::Running);
    }

    void sigtermWhileFilingKeepsTheCapture_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<QString>("signal");
        QTest::newRow("at detection") << 0 << "TERM";
        QTest::newRow("while recognising") << 150 << "TERM";
        QTest::newRow("later") << 1500 << "TERM";
        QTest::newRow("hang-up at detection") << 0 << "HUP";
    }

    // The capture is either filed with its row, or still in the screenshot
    // folder with an Inbox row; never unindexed, never gone.
    void sigtermWhileFilingKeepsTheCapture()
    {
        QFETCH(int, delayMs);
        QFETCH(QString, signal);
        const QString base = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        const QString shots = base + QStringLiteral("/Shots");
        const QString library = base + QStringLiteral("/Library");
        configureBinary(shots, library);

        MarloxRun marlox;
        QVERIFY2(marlox.waitFor(QStringLiteral("Watching ")), qPrintable(marlox.output()));
        const QByteArray bytes = distinctPng(delayMs + 7, 400, 200);
        QVERIFY(writeWholeFile(shots + QStringLiteral("/Screenshot.png"), bytes));
        QVERIFY2(marlox.waitFor(QStringLiteral("Detected stable screenshot")),
            qPrintable(marlox.output()));
        if (delayMs > 0)
            QTest::qSleep(delayMs);
        marlox.signal(signal == QLatin1String("TERM") ? SIGTERM : SIGHUP);
        QVERIFY(marlox.finished());
        QCOMPARE(marlox.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(marlox.process().exitCode(), 0);
        QVERIFY2(marlox.output().contains(QStringLiteral("quitting")), qPrintable(marlox.output()));

        const QStringList files = regularFilesBelow({ shots, library });
        QCOMPARE(files.size(), 1);
        QCOMPARE(contentDigest(files.first()),
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        ScreenshotDatabase database(binaryIndexPath());
        const auto id = database.idForPath(files.first());
        QVERIFY2(id, qPrintable(QStringLiteral("no row for ") + files.first()));
        const ScreenshotStatus status = database.record(*id)->status;
        QCOMPARE(status,
            files.first().startsWith(library) ? ScreenshotStatus::filed : ScreenshotStatus::inbox);
        qInfo("%s after %d ms: %s", qPrintable(signal), delayMs,
            status == ScreenshotStatus::filed ? "filed" : "kept in the Inbox");
    }

    void secondLaunchProcessesNothing()
    {
        const QString base = m_dir.filePath(QStringLiteral("second"));
        configureBinary(base + QStringLiteral("/Shots"), base + QStringLiteral("/Library"));
        MarloxRun first;
        QVERIFY2(first.waitFor(QStringLiteral("Watching ")), qPrintable(first.output()));

        MarloxRun second;
        QVERIFY(second.finished());
        const QString secondOutput = second.output();
        QCOMPARE(second.process().exitCode(), 0);
        // It handed over before any index, watch or capture of its own.
        QVERIFY2(
            !secondOutput.contains(QStringLiteral("Starting watch")), qPrintable(secondOutput));
        QVERIFY2(!secondOutput.contains(QStringLiteral("Detected")), qPrintable(secondOutput));
        QCOMPARE(first.process().state(), QProcess::Running);
        QCOMPARE(lockOwner(), first.pid());

        first.signal(SIGTERM);
        QVERIFY(first.finished());
        QCOMPARE(first.process().exitStatus(), QProcess::NormalExit);
    }

    // What quitting and the end of the session run: a capture still being
    // recognised lands in the Inbox at once.
    void endingTheSessionKeepsCapturesInFlightInTheInbox()
    {
        const AppStateScene scene;
        const QString &shots = scene.shots;
        configureBinary(shots, scene.library);
        auto ocr = std::make_shared<FakeRecognizer>(); // holds every capture until opened
        LogCapture log;
        auto state = scene.makeState([&ocr](AppStateDependencies &deps) {
            deps.ocr = ocr;
            deps.frontmost = std::make_shared<NoFrontmost>();
        });
        auto release = qScopeGuard([&ocr] { ocr->open(); });
        // Written after the watcher's first listing, or it counts as old.
        QTRY_VERIFY_WITH_TIMEOUT(log.countStartingWith(QStringLiteral("Watching ")) > 0, 30000);

        const QString path = shots + QStringLiteral("/Screenshot held.png");
        QVERIFY(writeWholeFile(path, distinctPng(99)));
        QTRY_VERIFY_WITH_TIMEOUT(ocr->started.available() > 0, 30000);
        QCOMPARE(state->database().idForPath(path), std::nullopt);

        state->finishPendingCaptures();
        const auto id = state->database().idForPath(path);
        QVERIFY(id);
        QCOMPARE(state->database().record(*id)->status, ScreenshotStatus::inbox);

        // Recognition finishing afterwards files the same row, not a second one.
        release.dismiss();
        ocr->open();
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(path), 30000);
        QCOMPARE(state->database().allRecords().size(), 1);
        QCOMPARE(state->database().allRecords().first().id, *id);
        QCOMPARE(state->database().allRecords().first().status, ScreenshotStatus::filed);
        AppStateScene::finish(state);
    }

    // A screenshot tool that writes in pieces, pausing longer than the
    // stability check waits: the capture is filed only once it is whole.
    void slowlyWrittenCaptureIsFiledWhole()
    {
        // The index holds only what these cases file.
        configureBinary(m_shots, m_library);
        removeBinaryIndex();
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

MARLOX_TEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
