#include <sqlite3.h>

#include "storage/databaserows.h"
#include "storage/screenshotdatabase.h"
#include "storage/searchquery.h"

namespace marlox {

using namespace DatabaseRows;

namespace {

const char *const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS screenshots (\n    id INTEGER PRIMARY KEY AUTOINCREMENT,\n    path "
    "TEXT NOT NULL UNIQUE,\n    title TEXT NOT NULL DEFAULT '',\n    folder TEXT NOT NULL DEFAULT "
    "'',\n    created_at REAL NOT NULL,\n    ocr_text TEXT NOT NULL DEFAULT '',\n    content_hash "
    "TEXT NOT NULL DEFAULT '',\n    status TEXT NOT NULL DEFAULT 'filed',\n    file_size INTEGER "
    "NOT NULL DEFAULT 0\n);",
    "ALTER TABLE screenshots ADD COLUMN content_hash TEXT NOT NULL DEFAULT '';",
    "ALTER TABLE screenshots ADD COLUMN status TEXT NOT NULL DEFAULT 'filed';",
    "ALTER TABLE screenshots ADD COLUMN file_size INTEGER NOT NULL DEFAULT 0;",
    "CREATE VIRTUAL TABLE IF NOT EXISTS screenshots_fts USING fts5(\n    title, ocr_text, "
    "content='screenshots', content_rowid='id'\n);",
    "CREATE TRIGGER IF NOT EXISTS screenshots_ai AFTER INSERT ON screenshots BEGIN\n    INSERT "
    "INTO "
    "screenshots_fts(rowid, title, ocr_text) VALUES (new.id, new.title, new.ocr_text);\nEND;",
    "CREATE TRIGGER IF NOT EXISTS screenshots_ad AFTER DELETE ON screenshots BEGIN\n    INSERT "
    "INTO "
    "screenshots_fts(screenshots_fts, rowid, title, ocr_text) VALUES('delete', old.id, old.title, "
    "old.ocr_text);\nEND;",
    "CREATE TRIGGER IF NOT EXISTS screenshots_au AFTER UPDATE ON screenshots BEGIN\n    INSERT "
    "INTO "
    "screenshots_fts(screenshots_fts, rowid, title, ocr_text) VALUES('delete', old.id, old.title, "
    "old.ocr_text);\n    INSERT INTO screenshots_fts(rowid, title, ocr_text) VALUES (new.id, "
    "new.title, new.ocr_text);\nEND;",
};

// Beyond the table and its word index: a covering index for the record list
// (the list is read without stepping over each row's recognised text, which
// sits before the listed columns), and a trigram index for scripts written
// without spaces, kept in step by its own triggers.
const char *const kListIndex
    = "CREATE INDEX IF NOT EXISTS screenshots_list ON screenshots(created_at DESC, id, path, "
      "title, folder, content_hash, status, file_size);";
// Only rows holding such text go into the trigram index: it is several times
// the size of the word index, and no other row can match a piece that
// needs it. Deletes test the old values the same way, so every 'delete'
// names exactly what was inserted.

QList<QByteArray> trigramSchema()
{
    const QString holds = QStringLiteral("(%1.title || %1.ocr_text) GLOB '")
        + SearchQuery::noSpaceScriptGlob() + QLatin1Char('\'');
    const QString insertNew = QStringLiteral(
        "INSERT INTO screenshots_trigram(rowid, title, ocr_text) SELECT new.id, new.title, "
        "new.ocr_text WHERE %1;")
                                  .arg(holds.arg(QLatin1String("new")));
    const QString deleteOld
        = QStringLiteral("INSERT INTO screenshots_trigram(screenshots_trigram, rowid, title, "
                         "ocr_text) SELECT 'delete', old.id, old.title, old.ocr_text WHERE %1;")
              .arg(holds.arg(QLatin1String("old")));
    return {
        QByteArrayLiteral("CREATE VIRTUAL TABLE IF NOT EXISTS screenshots_trigram USING fts5(\n"
                          "    title, ocr_text, content='screenshots', content_rowid='id', "
                          "tokenize='trigram'\n);"),
        (QStringLiteral("CREATE TRIGGER IF NOT EXISTS screenshots_trigram_ai AFTER INSERT ON "
                        "screenshots BEGIN\n    ")
            + insertNew + QStringLiteral("\nEND;"))
            .toUtf8(),
        (QStringLiteral("CREATE TRIGGER IF NOT EXISTS screenshots_trigram_ad AFTER DELETE ON "
                        "screenshots BEGIN\n    ")
            + deleteOld + QStringLiteral("\nEND;"))
            .toUtf8(),
        (QStringLiteral("CREATE TRIGGER IF NOT EXISTS screenshots_trigram_au AFTER UPDATE OF "
                        "title, ocr_text ON screenshots BEGIN\n    ")
            + deleteOld + QStringLiteral("\n    ") + insertNew + QStringLiteral("\nEND;"))
            .toUtf8(),
    };
}

// Fills the trigram index from rows that existed before it.
QByteArray trigramFill()
{
    return (QStringLiteral("INSERT INTO screenshots_trigram(rowid, title, ocr_text) SELECT id, "
                           "title, ocr_text FROM screenshots WHERE (title || ocr_text) GLOB '")
        + SearchQuery::noSpaceScriptGlob() + QStringLiteral("';"))
        .toUtf8();
}

// What must survive a kill of the process: work owed to the index itself.
const char *const kUpkeepSchema
    = "CREATE TABLE IF NOT EXISTS index_state (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE IF NOT EXISTS pending_recognition (id INTEGER PRIMARY KEY);";

// Each record's word boxes for the detail view, apart from the row so that
// neither the list nor the search reads them. Boxes belong to the text they
// were read with: a new text drops them.
const char *const kWordsSchema[] = {
    "CREATE TABLE IF NOT EXISTS screenshot_words (\n    screenshot_id INTEGER PRIMARY KEY,\n"
    "    boxes BLOB NOT NULL\n);",
    "CREATE TRIGGER IF NOT EXISTS screenshot_words_ad AFTER DELETE ON screenshots BEGIN\n"
    "    DELETE FROM screenshot_words WHERE screenshot_id = old.id;\nEND;",
    "CREATE TRIGGER IF NOT EXISTS screenshot_words_au AFTER UPDATE OF ocr_text ON screenshots "
    "WHEN old.ocr_text IS NOT new.ocr_text BEGIN\n"
    "    DELETE FROM screenshot_words WHERE screenshot_id = old.id;\nEND;",
};

// QR codes and barcodes found in each record's image. Their text has an index
// of its own, so the main index and its rows stay as they were; secrets
// (one-time-password set-ups) never enter it.
const char *const kCodesSchema[] = {
    "CREATE TABLE IF NOT EXISTS screenshot_codes (\n    id INTEGER PRIMARY KEY,\n"
    "    screenshot_id INTEGER NOT NULL,\n    format TEXT NOT NULL,\n    text TEXT NOT NULL,\n"
    "    secret INTEGER NOT NULL DEFAULT 0,\n    x1 INTEGER NOT NULL, y1 INTEGER NOT NULL,\n"
    "    x2 INTEGER NOT NULL, y2 INTEGER NOT NULL,\n    x3 INTEGER NOT NULL, y3 INTEGER NOT NULL,\n"
    "    x4 INTEGER NOT NULL, y4 INTEGER NOT NULL\n);",
    "CREATE INDEX IF NOT EXISTS screenshot_codes_record ON screenshot_codes(screenshot_id);",
    "CREATE VIRTUAL TABLE IF NOT EXISTS screenshot_codes_fts USING fts5(text, screenshot_id "
    "UNINDEXED);",
    "CREATE TRIGGER IF NOT EXISTS screenshot_codes_ai AFTER INSERT ON screenshot_codes "
    "WHEN new.secret = 0 BEGIN\n    INSERT INTO screenshot_codes_fts(rowid, text, screenshot_id) "
    "VALUES (new.id, new.text, new.screenshot_id);\nEND;",
    "CREATE TRIGGER IF NOT EXISTS screenshot_codes_ad AFTER DELETE ON screenshot_codes BEGIN\n"
    "    DELETE FROM screenshot_codes_fts WHERE rowid = old.id;\nEND;",
    "CREATE TRIGGER IF NOT EXISTS screenshot_codes_record_ad AFTER DELETE ON screenshots BEGIN\n"
    "    DELETE FROM screenshot_codes WHERE screenshot_id = old.id;\nEND;",
};

// Per connection, so it adds nothing to the file.
const char *const kVocabulary = "CREATE VIRTUAL TABLE IF NOT EXISTS temp.screenshots_vocab USING "
                                "fts5vocab(main, screenshots_fts, row);";

} // namespace

void ScreenshotDatabase::createSchema()
{
    exec(kSchema[0]);
    if (!hasColumn(QStringLiteral("content_hash"), QStringLiteral("screenshots")))
        exec(kSchema[1]);
    if (!hasColumn(QStringLiteral("status"), QStringLiteral("screenshots"))) {
        exec(kSchema[2]);
        m_needsStatusMigration = true;
    }
    if (!hasColumn(QStringLiteral("file_size"), QStringLiteral("screenshots")))
        exec(kSchema[3]);
    // An index created over rows that already exist must be filled, or the
    // triggers' deletes of never-indexed rows corrupt it.
    const bool hadIndex = hasTable(QStringLiteral("screenshots_fts"));
    for (int i = 4; i < 8; ++i)
        exec(kSchema[i]);
    if (!hadIndex)
        exec("INSERT INTO screenshots_fts(screenshots_fts) VALUES('rebuild');");

    exec(kListIndex);
    const bool hadTrigram = hasTable(QStringLiteral("screenshots_trigram"));
    for (const QByteArray &statement : trigramSchema())
        exec(statement.constData());
    if (!hadTrigram)
        exec(trigramFill().constData());
    exec(kUpkeepSchema);
    for (const char *statement : kWordsSchema)
        exec(statement);
    for (const char *statement : kCodesSchema)
        exec(statement);
    createDuplicateSchema();
    exec(kVocabulary);
}

bool ScreenshotDatabase::hasTable(const QString &table)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT 1 FROM sqlite_master WHERE name = ?;", -1, &stmt, nullptr)
        != SQLITE_OK)
        return false;
    const QByteArray name = table.toUtf8();
    sqlite3_bind_text(stmt, 1, name.constData(), int(name.size()), SQLITE_TRANSIENT);
    const bool found = sqlite3_step(stmt) == SQLITE_ROW;
    sqlite3_finalize(stmt);
    return found;
}

bool ScreenshotDatabase::hasColumn(const QString &column, const QString &table)
{
    sqlite3_stmt *stmt = nullptr;
    const QByteArray sql = QStringLiteral("PRAGMA table_info(%1);").arg(table).toUtf8();
    if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &stmt, nullptr) != SQLITE_OK)
        return false;
    bool found = false;
    while (!found && sqlite3_step(stmt) == SQLITE_ROW)
        found = columnText(stmt, 1) == column;
    sqlite3_finalize(stmt);
    return found;
}

} // namespace marlox
