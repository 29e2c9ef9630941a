#include "filing/foldermanagementservice.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include "filing/libraryfileservice.h"
#include "platform/filemoves.h"

namespace marlox::FolderManagementService {

namespace {

const QString generalFolder = QStringLiteral("General");

QString folderPath(const QString &root, const QString &name)
{
    return QDir::cleanPath(root + u'/' + name);
}

// Without a root every folder path would hang off "/".
void checkRoot(const QString &root)
{
    if (root.isEmpty())
        throw FileError::noSuchFile();
}

// Refuses what would escape the root or hide the folder, before anything is touched.
void checkName(const QString &name)
{
    if (name.trimmed().isEmpty())
        throw ServiceError(ServiceError::Kind::emptyName);
    if (!isAcceptableName(name))
        throw ServiceError(ServiceError::Kind::invalidName);
}

bool isHidden(const char *name)
{
    return name[0] == '.';
}

// The names in a directory in the order the file system lists them; throws FileError.
QStringList listDirectory(const QString &path, bool includeHidden)
{
    struct Closer
    {
        void operator()(DIR *dir) const { ::closedir(dir); }
    };
    std::unique_ptr<DIR, Closer> dir(::opendir(QFile::encodeName(path).constData()));
    if (!dir)
        throw FileError(errno, path, QStringLiteral("list"));
    QStringList names;
    errno = 0;
    while (const dirent *entry = ::readdir(dir.get())) {
        const char *name = entry->d_name;
        if (qstrcmp(name, ".") != 0 && qstrcmp(name, "..") != 0
            && (includeHidden || !isHidden(name)))
            names.append(QFile::decodeName(name));
        errno = 0;
    }
    if (errno != 0)
        throw FileError(errno, path, QStringLiteral("list"));
    return names;
}

struct stat entryStatus(const QString &path, bool *exists)
{
    struct stat info
    {
    };
    *exists = ::lstat(QFile::encodeName(path).constData(), &info) == 0;
    return info;
}

void makeDirectories(const QString &path)
{
    if (!QDir().mkpath(path)) {
        bool exists = false;
        const struct stat info = entryStatus(path, &exists);
        throw FileError(
            exists && !S_ISDIR(info.st_mode) ? ENOTDIR : EACCES, path, QStringLiteral("create"));
    }
}

// Removes path and, for a directory, everything below it, never following links.
void removeTree(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    bool exists = false;
    const struct stat info = entryStatus(path, &exists);
    if (!exists)
        return;
    if (S_ISDIR(info.st_mode)) {
        for (const QString &name : listDirectory(path, true))
            removeTree(path + u'/' + name);
        if (::rmdir(encoded.constData()) != 0 && errno != ENOENT)
            throw FileError(errno, path, QStringLiteral("remove"));
    } else if (::unlink(encoded.constData()) != 0 && errno != ENOENT) {
        throw FileError(errno, path, QStringLiteral("remove"));
    }
}

bool isLineBreak(QChar c)
{
    return c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == QChar(0x85)
        || c == QChar(0x2028) || c == QChar(0x2029);
}

QString trimmedSpaces(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto trims = [](QChar c) { return c.isSpace() && !isLineBreak(c); };
    while (begin < end && trims(text[begin]))
        ++begin;
    while (end > begin && trims(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

bool containsInOrder(const QString &name, const QString &query)
{
    qsizetype from = 0;
    for (const QChar c : query) {
        const qsizetype found = name.indexOf(c, from);
        if (found < 0)
            return false;
        from = found + 1;
    }
    return true;
}

} // namespace

QString ServiceError::description() const
{
    switch (m_kind) {
    case Kind::emptyName:
        return QStringLiteral("The folder name is empty.");
    case Kind::alreadyExists:
        return QStringLiteral("A folder with that name already exists.");
    case Kind::invalidName:
        return QStringLiteral("Folder names can't contain “/” or begin with “.”.");
    }
    return {};
}

bool isAcceptableName(const QString &name)
{
    return !name.contains(u'/') && !name.contains(QChar(0)) && !name.startsWith(u'.');
}

void createFolderDirectory(const QString &name, const QString &root)
{
    checkRoot(root);
    const QString trimmed = name.trimmed();
    checkName(trimmed);
    const QString path = folderPath(root, trimmed);
    bool exists = false;
    entryStatus(path, &exists);
    if (exists)
        throw ServiceError(ServiceError::Kind::alreadyExists);
    makeDirectories(root);
    if (::mkdir(QFile::encodeName(path).constData(), 0777) != 0) {
        if (errno == EEXIST)
            throw ServiceError(ServiceError::Kind::alreadyExists);
        throw FileError(errno, path, QStringLiteral("create"));
    }
}

bool folderIsEmpty(const QString &name, const QString &root, ScreenshotDatabase &database)
{
    if (!root.isEmpty() && !name.isEmpty() && isAcceptableName(name)) {
        try {
            if (!listDirectory(folderPath(root, name), true).isEmpty())
                return false;
        } catch (const FileError &) {
            // An unreadable or missing directory holds nothing to keep.
        }
    }
    try {
        const QList<ScreenshotRecord> records = database.allRecords();
        return std::none_of(records.cbegin(), records.cend(),
            [&](const ScreenshotRecord &record) { return record.folder == name; });
    } catch (const Error &) {
        return true;
    }
}

int mergeFolder(
    const QString &source, const QString &target, const QString &root, ScreenshotDatabase &database)
{
    checkRoot(root);
    checkName(source);
    checkName(target);
    const QString targetPath = folderPath(root, target);
    makeDirectories(targetPath);

    int moved = 0;
    const QString sourcePath = folderPath(root, source);
    bool exists = false;
    const struct stat info = entryStatus(sourcePath, &exists);
    if (exists && S_ISDIR(info.st_mode)) {
        QHash<QString, ScreenshotRecord> recordsByPath;
        for (const ScreenshotRecord &record : database.allRecords())
            recordsByPath.insert(QDir::cleanPath(record.path), record);

        const QStringList entries = listDirectory(sourcePath, false);
        for (const QString &entry : entries) {
            const QString from = sourcePath + u'/' + entry;
            // The next free name, again if another process takes it first.
            QString destination;
            for (int attempt = 0;; ++attempt) {
                destination = LibraryFileService::uniqueFileURL(targetPath, entry);
                try {
                    FileMoves::moveFile(from, destination);
                    break;
                } catch (const FileError &error) {
                    if (error.code() != EEXIST || attempt >= 20)
                        throw;
                }
            }
            const auto record = recordsByPath.constFind(from);
            if (record == recordsByPath.cend())
                continue;
            try {
                database.updateLocation(
                    record->id, destination, record->title, target, record->status);
            } catch (const std::exception &error) {
                LibraryFileService::moveBack(destination, from, error);
                throw;
            }
        }
        try {
            if (listDirectory(sourcePath, true).isEmpty())
                ::rmdir(QFile::encodeName(sourcePath).constData());
        } catch (const FileError &) {
            // The folder stays; its contents are already where they belong.
        }
        moved = int(entries.size());
    }
    database.renameFolder(source, target);
    return moved;
}

void removeFolderDirectory(const QString &name, const QString &root)
{
    checkRoot(root);
    checkName(name);
    removeTree(folderPath(root, name));
}

QList<FolderSuggestion> folderSuggestions(
    const QString &query, const QStringList &folders, int limit)
{
    QList<FolderSuggestion> suggestions;
    const QString trimmed = trimmedSpaces(query);
    if (trimmed.isEmpty()) {
        for (const QString &folder : folders.mid(0, std::max(limit, 0)))
            suggestions.append(FolderSuggestion::existing(folder));
        return suggestions;
    }

    const QString lowered = trimmed.toLower();
    QStringList prefixed;
    QStringList scattered;
    for (const QString &folder : folders) {
        const QString name = folder.toLower();
        if (name.startsWith(lowered))
            prefixed.append(folder);
        else if (containsInOrder(name, lowered))
            scattered.append(folder);
    }
    for (const QString &folder : (prefixed + scattered).mid(0, std::max(limit, 0)))
        suggestions.append(FolderSuggestion::existing(folder));

    const bool named = std::any_of(folders.cbegin(), folders.cend(),
        [&](const QString &folder) { return folder.compare(trimmed, Qt::CaseInsensitive) == 0; });
    if (!named)
        suggestions.append(FolderSuggestion::createNew(trimmed));
    return suggestions;
}

QStringList folderNames(const QString &root, const QStringList &recordFolders)
{
    QSet<QString> names { generalFolder };
    if (!root.isEmpty()) {
        try {
            for (const QString &entry : listDirectory(root, false)) {
                bool exists = false;
                const struct stat info = entryStatus(root + u'/' + entry, &exists);
                if (exists && S_ISDIR(info.st_mode))
                    names.insert(entry);
            }
        } catch (const FileError &) {
            // An unreadable root offers only the folders the records know.
        }
    }
    for (const QString &folder : recordFolders) {
        if (!folder.isEmpty())
            names.insert(folder);
    }

    QStringList sorted;
    for (const QString &name : std::as_const(names)) {
        if (isAcceptableName(name))
            sorted.append(name);
    }
    std::sort(sorted.begin(), sorted.end(), [](const QString &a, const QString &b) {
        return a.normalized(QString::NormalizationForm_C).toUcs4()
            < b.normalized(QString::NormalizationForm_C).toUcs4();
    });
    return sorted;
}

} // namespace marlox::FolderManagementService
