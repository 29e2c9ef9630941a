// marlox-test-labels: fault slow
// marlox-test-timeout: 300
#include <csignal>

#include <sqlite3.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include "app/preferences.h"
#include "storage/bookmarkstore.h"
#include "storage/screenshotdatabase.h"
#include "support/appstatescene.h"
#include "support/filecensus.h"
#include "support/logcapture.h"
#include "support/marloxprocess.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

// Recognition that waits until the test lets it go: a capture stays "being
// filed" for as long as the test needs.
class HeldRecognizer : public TextRecognizer
{
public:
    QSemaphore entered;
    QSemaphore release;
    QString recognizeText(const QImage &) override
    {
        entered.release();
        release.acquire();
        return QStringLiteral("held");
    }
};

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
// instance, a crashed one, signals and the end of the session.
class TestLifecycle : public QObject
{
    Q_OBJECT

    QString m_binary;
    QString m_output;
    QTemporaryDir m_dir;

    QString databasePath() const { return dataFile(QStringLiteral("library.sqlite3")); }

    void start(QProcess &process)
    {
        m_output.clear();
        QVERIFY2(startOffscreen(process, m_binary), qPrintable(process.errorString()));
    }

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

    bool waitForLog(QProcess &process, const QString &text, int timeoutMs)
    {
        return waitForOutput(process, m_output, text, timeoutMs);
    }

    void configure(const QString &shots, const QString &library)
    {
        QVERIFY(QDir().mkpath(shots) && QDir().mkpath(library));
        QFile::remove(Preferences::filePath());
        Preferences::setValue(Preferences::autoSaveEnabled, true);
        Preferences::setValue(Preferences::onboardingCompleted, true);
        BookmarkStore().save(shots, Preferences::screenshotFolderBookmark);
        BookmarkStore().save(library, Preferences::libraryRootBookmark);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_binary = marloxBinary();
        QVERIFY2(QFileInfo(m_binary).isExecutable(), qPrintable(m_binary));
    }

    // A new user's first launch: nothing configured yet.
    void launchCreatesTheIndex()
    {
        QProcess first;
        start(first);
        auto stop = qScopeGuard([&first] {
            first.kill();
            first.waitForFinished();
        });

        std::optional<Schema> schema;
        QTRY_VERIFY_WITH_TIMEOUT((schema = readSchema(databasePath())) && !schema->entries.isEmpty()
                && schema->sql.contains("screenshots_trigram_au"),
            30000);
        QCOMPARE(schema->journalMode, QString("wal"));

        const Entries expected = {
            { "index", "screenshots_list" },
            { "index", "sqlite_autoindex_index_state_1" },
            { "index", "sqlite_autoindex_screenshots_1" },
            { "table", "index_state" },
            { "table", "pending_recognition" },
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
            { "trigger", "screenshots_ad" },
            { "trigger", "screenshots_ai" },
            { "trigger", "screenshots_au" },
            { "trigger", "screenshots_trigram_ad" },
            { "trigger", "screenshots_trigram_ai" },
            { "trigger", "screenshots_trigram_au" },
        };
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
        QVERIFY(!first.waitForFinished(1500));
        QCOMPARE(first.state(), QProcess::Running);
    }

    void crashedInstanceDoesNotBlockTheNextLaunch()
    {
        QProcess crashed;
        start(crashed);
        // Up once it holds the index open.
        QTRY_VERIFY_WITH_TIMEOUT(readSchema(databasePath()).has_value(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(qEnvironmentVariable("XDG_RUNTIME_DIR")
                                     + QStringLiteral("/com.quorvintesha.Marlox.socket")),
            30000);
        ::kill(pid_t(crashed.processId()), SIGKILL);
        QVERIFY(crashed.waitForFinished(10000));
        QVERIFY(QFileInfo::exists(dataFile(QStringLiteral("marlox.lock"))));

        QProcess next;
        start(next);
        auto stop = qScopeGuard([&next] {
            next.kill();
            next.waitForFinished();
        });
        // It takes the lock over as the primary instead of handing over and ending.
        QTRY_COMPARE_WITH_TIMEOUT(lockOwner(), next.processId(), 30000);
        QCOMPARE(next.state(), QProcess::Running);
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
        configure(shots, library);

        QProcess marlox;
        start(marlox);
        auto reap = qScopeGuard([&marlox] {
            marlox.kill();
            marlox.waitForFinished(10000);
        });
        QVERIFY2(waitForLog(marlox, QStringLiteral("Watching "), 30000), qPrintable(m_output));
        const QByteArray bytes = distinctPng(delayMs + 7, 400, 200);
        QVERIFY(writeWholeFile(shots + QStringLiteral("/Screenshot.png"), bytes));
        QVERIFY2(waitForLog(marlox, QStringLiteral("Detected stable screenshot"), 30000),
            qPrintable(m_output));
        if (delayMs > 0)
            QTest::qSleep(delayMs);
        ::kill(pid_t(marlox.processId()), signal == QLatin1String("TERM") ? SIGTERM : SIGHUP);
        QVERIFY(marlox.waitForFinished(30000));
        m_output += QString::fromUtf8(marlox.readAll());
        reap.dismiss();
        QCOMPARE(marlox.exitStatus(), QProcess::NormalExit);
        QCOMPARE(marlox.exitCode(), 0);
        QVERIFY2(m_output.contains(QStringLiteral("quitting")), qPrintable(m_output));

        const QStringList files = regularFilesBelow({ shots, library });
        QCOMPARE(files.size(), 1);
        QCOMPARE(contentDigest(files.first()),
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        ScreenshotDatabase database(databasePath());
        const auto id = database.idForPath(files.first());
        QVERIFY2(id, qPrintable(QStringLiteral("no row for ") + files.first()));
        const ScreenshotStatus status = database.record(*id)->status;
        QCOMPARE(status,
            files.first().startsWith(library) ? ScreenshotStatus::filed : ScreenshotStatus::inbox);
        qInfo("%s after %d ms: %s", qPrintable(signal), delayMs,
            status == ScreenshotStatus::filed ? "filed" : "kept in the Inbox");
    }

    void signalEndsTheTraylessWindow_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("TERM") << int(SIGTERM);
        QTest::newRow("HUP") << int(SIGHUP);
    }

    // Offscreen there is no tray: the library window carries the menu and
    // only minimises when closed, which must not keep quitting from ending.
    void signalEndsTheTraylessWindow()
    {
        QFETCH(int, signal);
        const QString base = m_dir.filePath(QStringLiteral("trayless"));
        configure(base + QStringLiteral("/Shots"), base + QStringLiteral("/Library"));
        QProcess marlox;
        start(marlox);
        auto reap = qScopeGuard([&marlox] {
            marlox.kill();
            marlox.waitForFinished(10000);
        });
        QVERIFY2(waitForLog(marlox, QStringLiteral("No system tray"), 30000), qPrintable(m_output));
        ::kill(pid_t(marlox.processId()), signal);
        QVERIFY2(marlox.waitForFinished(30000), qPrintable(m_output));
        reap.dismiss();
        QCOMPARE(marlox.exitStatus(), QProcess::NormalExit);
        QCOMPARE(marlox.exitCode(), 0);
    }

    void secondLaunchProcessesNothing()
    {
        const QString base = m_dir.filePath(QStringLiteral("second"));
        configure(base + QStringLiteral("/Shots"), base + QStringLiteral("/Library"));
        QProcess first;
        start(first);
        auto reap = qScopeGuard([&first] {
            first.kill();
            first.waitForFinished(10000);
        });
        QVERIFY2(waitForLog(first, QStringLiteral("Watching "), 30000), qPrintable(m_output));

        QProcess second;
        start(second);
        QVERIFY(second.waitForFinished(30000));
        const QString secondOutput = QString::fromUtf8(second.readAll());
        QCOMPARE(second.exitCode(), 0);
        // It handed over before any index, watch or capture of its own.
        QVERIFY2(
            !secondOutput.contains(QStringLiteral("Starting watch")), qPrintable(secondOutput));
        QVERIFY2(!secondOutput.contains(QStringLiteral("Detected")), qPrintable(secondOutput));
        QCOMPARE(first.state(), QProcess::Running);
        QCOMPARE(lockOwner(), first.processId());

        ::kill(pid_t(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(30000));
        reap.dismiss();
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    }

    // What quitting and the end of the session run: a capture still being
    // recognised lands in the Inbox at once.
    void endingTheSessionKeepsCapturesInFlightInTheInbox()
    {
        const AppStateScene scene;
        const QString &shots = scene.shots;
        configure(shots, scene.library);
        auto ocr = std::make_shared<HeldRecognizer>();
        LogCapture log;
        auto state = scene.makeState([&ocr](AppStateDependencies &deps) {
            deps.ocr = ocr;
            deps.frontmost = std::make_shared<NoFrontmost>();
        });
        auto release = qScopeGuard([&ocr] { ocr->release.release(); });
        // Written after the watcher's first listing, or it counts as old.
        QTRY_VERIFY_WITH_TIMEOUT(log.countStartingWith(QStringLiteral("Watching ")) > 0, 30000);

        const QString path = shots + QStringLiteral("/Screenshot held.png");
        QVERIFY(writeWholeFile(path, distinctPng(99)));
        QTRY_VERIFY_WITH_TIMEOUT(ocr->entered.available() > 0, 30000);
        QCOMPARE(state->database().idForPath(path), std::nullopt);

        state->finishPendingCaptures();
        const auto id = state->database().idForPath(path);
        QVERIFY(id);
        QCOMPARE(state->database().record(*id)->status, ScreenshotStatus::inbox);

        // Recognition finishing afterwards files the same row, not a second one.
        release.dismiss();
        ocr->release.release();
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(path), 30000);
        QCOMPARE(state->database().allRecords().size(), 1);
        QCOMPARE(state->database().allRecords().first().id, *id);
        QCOMPARE(state->database().allRecords().first().status, ScreenshotStatus::filed);
        AppStateScene::finish(state);
    }
};

MARLOX_TEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
