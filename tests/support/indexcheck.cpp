#include "support/indexcheck.h"

#include <sqlite3.h>

#include <QFileInfo>
#include <QTest>

#include "support/filecensus.h"

namespace marlox::test {

int sqliteExec(const QString &path, const QByteArray &sql)
{
    sqlite3 *db = nullptr;
    int rc = sqlite3_open(QFile::encodeName(path).constData(), &db);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc;
}

QSet<QString> verifyRowsOnTheirFiles(
    ScreenshotDatabase &database, const QString &root, const QString &context)
{
    QSet<QString> paths;
    for (const ScreenshotRecord &record : database.allRecords()) {
        const QString where = context + record.path;
        if (!QTest::qVerify(QFileInfo(record.path).isFile(), "row on a file", qPrintable(where),
                __FILE__, __LINE__)
            || !QTest::qVerify(!paths.contains(record.path), "one row per file", qPrintable(where),
                __FILE__, __LINE__))
            return paths;
        paths.insert(record.path);
    }
    if (root.isEmpty())
        return paths;
    for (const QString &file : regularFilesBelow({ root })) {
        const QString where = context + QStringLiteral("no row for ") + file;
        if (!QTest::qVerify(
                paths.contains(file), "file has a row", qPrintable(where), __FILE__, __LINE__))
            break;
    }
    return paths;
}

} // namespace marlox::test
