// marlox-test-labels: slow
#include <csignal>

#include <sqlite3.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "support/marloxprocess.h"
#include "support/testmain.h"

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

// Runs the real binary on a fresh profile, as a new user would.
class TestLaunch : public QObject
{
    Q_OBJECT

    QTemporaryDir m_profile;
    QString m_binary;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString root = m_profile.path();
        env.insert("HOME", root);
        env.insert("XDG_CONFIG_HOME", root + "/.config");
        env.insert("XDG_DATA_HOME", root + "/.local/share");
        env.insert("XDG_CACHE_HOME", root + "/.cache");
        env.insert("XDG_STATE_HOME", root + "/.local/state");
        env.insert("XDG_RUNTIME_DIR", root + "/runtime");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("OMP_THREAD_LIMIT", "1");
        env.remove("XDG_CURRENT_DESKTOP");
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        return env;
    }

    void start(QProcess &process)
    {
        process.setProcessEnvironment(environment());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(m_binary, {});
        QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));
    }

    qint64 lockOwner() const
    {
        QFile lock(m_profile.path() + "/.local/share/Marlox/marlox.lock");
        if (!lock.open(QIODevice::ReadOnly))
            return -1;
        return lock.readLine().trimmed().toLongLong();
    }

    QString databasePath() const
    {
        return m_profile.path() + "/.local/share/Marlox/library.sqlite3";
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_binary = marlox::test::marloxBinary();
        QVERIFY2(QFileInfo(m_binary).isExecutable(), qPrintable(m_binary));
        QVERIFY(m_profile.isValid());
        for (const char *dir : { "/.config", "/.local/share", "/.cache", "/.local/state" })
            QVERIFY(QDir().mkpath(m_profile.path() + dir));
        QVERIFY(QDir().mkpath(m_profile.path() + "/runtime"));
        QFile::setPermissions(m_profile.path() + "/runtime",
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    void launchCreatesTheIndexAndStaysSingle()
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
        QCOMPARE(schema->sql.value("screenshots_ai"),
            stored("CREATE TRIGGER IF NOT EXISTS screenshots_ai AFTER INSERT ON screenshots "
                   "BEGIN\n"
                   "    INSERT INTO screenshots_fts(rowid, title, ocr_text) VALUES (new.id, "
                   "new.title, new.ocr_text);\n"
                   "END;"));
        QCOMPARE(schema->sql.value("screenshots_ad"),
            stored("CREATE TRIGGER IF NOT EXISTS screenshots_ad AFTER DELETE ON screenshots "
                   "BEGIN\n"
                   "    INSERT INTO screenshots_fts(screenshots_fts, rowid, title, ocr_text) "
                   "VALUES('delete', old.id, old.title, old.ocr_text);\n"
                   "END;"));
        QCOMPARE(schema->sql.value("screenshots_au"),
            stored("CREATE TRIGGER IF NOT EXISTS screenshots_au AFTER UPDATE ON screenshots "
                   "BEGIN\n"
                   "    INSERT INTO screenshots_fts(screenshots_fts, rowid, title, ocr_text) "
                   "VALUES('delete', old.id, old.title, old.ocr_text);\n"
                   "    INSERT INTO screenshots_fts(rowid, title, ocr_text) VALUES (new.id, "
                   "new.title, new.ocr_text);\n"
                   "END;"));

        // Headless, with no window and no tray, it keeps running.
        QVERIFY(!first.waitForFinished(1500));
        QCOMPARE(first.state(), QProcess::Running);

        // A second launch on the same profile hands over to the first and ends.
        QProcess second;
        start(second);
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);
        QVERIFY(QFileInfo::exists(m_profile.path() + "/.local/share/Marlox/marlox.lock"));
    }

    void crashedInstanceDoesNotBlockTheNextLaunch()
    {
        QProcess crashed;
        start(crashed);
        // Up once it holds the index open.
        QTRY_VERIFY_WITH_TIMEOUT(readSchema(databasePath()).has_value(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo::exists(m_profile.path() + "/runtime/com.quorvintesha.Marlox.socket"), 30000);
        ::kill(pid_t(crashed.processId()), SIGKILL);
        QVERIFY(crashed.waitForFinished(10000));
        QVERIFY(QFileInfo::exists(m_profile.path() + "/.local/share/Marlox/marlox.lock"));

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
};

MARLOX_TEST_MAIN(TestLaunch)
#include "tst_launch.moc"
