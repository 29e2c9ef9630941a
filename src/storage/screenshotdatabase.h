#pragma once

#include <functional>
#include <optional>

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include "platform/errors.h"
#include "storage/librarysection.h"
#include "storage/screenshotcode.h"
#include "storage/screenshotrecord.h"
#include "storage/searchquery.h"
#include "storage/vocabmatcher.h"

struct sqlite3;
struct sqlite3_stmt;

namespace marlox {

// The index of all screenshots: the table `screenshots` and its FTS5 index.
// The only component that speaks SQL. Every operation holds one mutex for its
// statements (the "database queue"), so any thread may call; never call back
// into the database from inside a binder.
class ScreenshotDatabase
{
public:
    static constexpr const char *fullColumns
        = "id, path, title, folder, created_at, ocr_text, content_hash, status, file_size";
    static constexpr const char *listColumns
        = "id, path, title, folder, created_at, '', content_hash, status, file_size";

    // $XDG_DATA_HOME/Marlox/library.sqlite3, creating the folders; throws FileError.
    static QString defaultPath();
    // The same place, without creating anything.
    static QString defaultLocation();

    // Opens (creating if missing) the database at path; ":memory:" is private
    // and in memory. Throws SQLiteError.
    explicit ScreenshotDatabase(const QString &path);
    // An existing index opened to read only: nothing is created, upgraded or
    // written, and it reads alongside a running Marlox (also what is still in
    // the write-ahead log). Throws SQLiteError when there is no index at path
    // or it cannot be read.
    struct ReadOnly
    {
    };
    ScreenshotDatabase(const QString &path, ReadOnly);
    ~ScreenshotDatabase();
    ScreenshotDatabase(const ScreenshotDatabase &) = delete;
    ScreenshotDatabase &operator=(const ScreenshotDatabase &) = delete;

    const QString &path() const { return m_path; }
    bool needsStatusMigration() const { return m_needsStatusMigration; }

    qint64 insertOrUpdate(const QString &path, const QString &title, const QString &folder,
        double createdAt, const QString &ocrText, const QString &contentHash,
        ScreenshotStatus status, qint64 fileSize);
    // The same for a row deleted earlier and now coming back (an undone
    // discard): it gets its old id again, which no other row can have been
    // given since; should one hold it anyway, a new id is used.
    qint64 insertOrUpdateKeepingId(qint64 id, const QString &path, const QString &title,
        const QString &folder, double createdAt, const QString &ocrText, const QString &contentHash,
        ScreenshotStatus status, qint64 fileSize);
    std::optional<qint64> idForPath(const QString &path);
    void updateLocation(qint64 id, const QString &path, const QString &title, const QString &folder,
        ScreenshotStatus status);
    void markInbox(const QList<qint64> &ids);
    void renameFolder(const QString &from, const QString &to);
    void updateOCR(qint64 id, const QString &ocrText, const QString &contentHash,
        std::optional<qint64> fileSize);
    void updateTitle(qint64 id, const QString &title);
    void deleteRow(qint64 id);
    std::optional<QString> ocrText(qint64 id);
    void updateFileSize(qint64 id, qint64 fileSize);
    // A record's recognised words with their boxes, as the recogniser encoded
    // them; none when not stored yet. A change of the record's text drops them.
    std::optional<QByteArray> wordBoxes(qint64 id);
    // Stores them for an existing record (nothing for an unknown id);
    // keepExisting leaves words already stored alone.
    void storeWordBoxes(qint64 id, const QByteArray &boxes, bool keepExisting = false);
    // The QR codes and barcodes read from a record's image, in reading order.
    QList<ScreenshotCode> codes(qint64 id);
    // Replaces them (nothing for an unknown id). Their text becomes
    // searchable, except a secret's.
    void storeCodes(qint64 id, const QList<ScreenshotCode> &codes);

    // A library file no row names yet, as a rebuild or reconcile finds it.
    struct NewFile
    {
        QString path;
        QString title;
        QString folder;
        double createdAt = 0;
        QString contentHash;
        ScreenshotStatus status = ScreenshotStatus::filed;
        qint64 fileSize = 0;
    };
    // Indexes the files without text in one transaction, one statement
    // prepared for all, and marks each new row as owed recognition. A path a
    // row already names is left as it is (the row may be a filing that just
    // happened). Answers the new ids in order; throws SQLiteError, keeping none.
    QList<qint64> insertNewFiles(const QList<NewFile> &files);
    // Rows still owed recognition after a rebuild or adoption, oldest first.
    QList<qint64> pendingRecognition();
    void clearPendingRecognition(qint64 id);
    // Whether any row's path lies below the folder.
    bool hasRowsUnder(const QString &folder);
    // Small facts about the index kept with it (a rebuild still owed, the
    // library's disk); none when unset.
    std::optional<QString> stateValue(const QString &key);
    void setStateValue(const QString &key, const std::optional<QString> &value);

    // Runs work (which may call any operation here) as one transaction, so a
    // batch of writes costs one commit; no other thread's statement can slip
    // in between. A throw from work or a failed commit rolls back and rethrows.
    // Inside an open transaction, work just runs as part of it.
    void runInTransaction(const std::function<void()> &work);

    using Binder = std::function<void(sqlite3_stmt *)>;
    QList<ScreenshotRecord> fetchRecords(
        const char *columns, const QString &where = {}, const Binder &bind = {});
    QList<ScreenshotRecord> allRecords();
    QList<ScreenshotRecord> allRecordsForList();
    std::optional<ScreenshotRecord> record(qint64 id);

    // Best match first. Words are prefixes in the word index; pieces in
    // scripts written without spaces are found as substrings. Records found
    // only by the text of a code in their image come after the others.
    QList<SearchResult> search(const QString &text, const LibrarySection &section, int limit);
    // The same search as one plain statement that reads and excerpts every
    // matching row before ranking; search() must return exactly what this
    // does for text in spaced scripts. For tests and benchmarks.
    QList<SearchResult> searchForComparison(
        const QString &text, const LibrarySection &section, int limit);
    // Records whose text holds terms a few edits (or recognition misreadings)
    // away from the typed words, cheapest guesses first, leaving out
    // excludeIds (the exact results).
    QList<SearchResult> similarMatches(const QString &text, const LibrarySection &section,
        int limit, const QList<qint64> &excludeIds);
    // The word index's terms that start with `first`, read again after any
    // change.
    QStringList termsStartingWith(QChar first);
    void migrateStatuses(const QString &libraryRoot);

    // ---- identical and similar files (duplicatequeries.cpp)
    // The oldest filed record (in a library folder, not the Inbox) holding
    // exactly these bytes, other than excludeId; an index seek.
    std::optional<ScreenshotRecord> filedWithContentHash(const QString &hash, qint64 excludeId);
    // Stores a record's perceptual hashes (coarse and fine); none marks a
    // file that could not be decoded, so it is not tried again. Nothing for
    // an unknown id.
    void storePerceptualHash(qint64 id, std::optional<quint64> hash, const QByteArray &detail);
    // Rows with no perceptual hash yet (not even a failed try), oldest id first.
    struct FileToHash
    {
        qint64 id = 0;
        QString path;
    };
    QList<FileToHash> rowsWithoutPerceptualHash(int limit);
    // Every row's id, content hash and perceptual hashes (when known), newest first.
    struct HashRow
    {
        qint64 id = 0;
        QString contentHash;
        std::optional<quint64> perceptualHash;
        QByteArray perceptualDetail;
    };
    QList<HashRow> hashRows();
    // The records with these ids (list columns), newest first.
    QList<ScreenshotRecord> recordsWithIds(const QList<qint64> &ids);

    // The FTS5 match expression for typed text: every typed piece a quoted
    // phrase of the words the index splits it into, its last word a prefix,
    // all of them required; empty when nothing searchable remains.
    static QString matchExpression(const QString &text);

    // Makes the n-th statement from now fail (1 = the next one); 0 turns it off.
    // Counts the calling thread's statements only, unless `anyThread`.
    // For fault-injection tests of the layers above.
    void failNthStatementForTesting(int n, bool anyThread = false);

private:
    // One row by path, inserted or updated; with `id` a new row takes that id.
    void upsert(std::optional<qint64> id, const QString &path, const QString &title,
        const QString &folder, double createdAt, const QString &ocrText, const QString &contentHash,
        ScreenshotStatus status, qint64 fileSize);
    class Statement;
    friend class Statement;

    void open();
    void openReadOnly();
    void createSchema();
    void createDuplicateSchema();
    bool hasColumn(const QString &column, const QString &table);
    bool hasTable(const QString &table);
    void exec(const char *sql);
    [[noreturn]] void throwError();
    QList<SearchResult> rankedSearch(const QString &expression, const LibrarySection &section,
        int limit, const QList<qint64> &exclude = {});
    QList<SearchResult> fetchMatches(
        const QString &table, const QString &expression, const QList<qint64> &ranked);
    QList<SearchResult> searchText(const QString &text, const LibrarySection &section, int limit);
    QList<SearchResult> codeMatches(const QString &expression, const LibrarySection &section,
        int limit, const QList<qint64> &exclude);
    QList<SearchResult> searchNoSpaceScript(
        const QList<SearchQuery::Piece> &pieces, const LibrarySection &section, int limit);
    void injectFault();

    QString m_path;
    sqlite3 *m_db = nullptr;
    // Recursive so that runInTransaction can hold it across the calls of its work.
    QRecursiveMutex m_mutex;
    bool m_needsStatusMigration = false;
    int m_failCountdown = 0;
    const void *m_failThread = nullptr;
    // Slices of the word index's vocabulary by first letter, as of
    // m_vocabularyChanges (the connection's change count), so typing reads
    // each slice once.
    QHash<QChar, QStringList> m_vocabulary;
    qint64 m_vocabularyChanges = -1;
};

} // namespace marlox
