#include "filing/libraryfileservice.h"

#include <cerrno>

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextBoundaryFinder>

#include "filing/foldermanagementservice.h"
#include "filing/libraryrootguard.h"
#include "platform/filemoves.h"
#include "platform/log.h"

namespace marlox::LibraryFileService {

namespace {

QString trimmedTitle(const QString &title)
{
    return title.trimmed();
}

bool isTrimmedFromName(QChar c)
{
    return c.isSpace() || c == u'.';
}

QString extensionOf(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    return dot > 0 ? fileName.mid(dot + 1) : QString();
}

QString baseOf(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    return dot > 0 ? fileName.left(dot) : fileName;
}

// The longest start of base, cut between characters, that leaves room for
// `reserved` more bytes within the name limit.
QString fitBase(const QString &base, qsizetype reserved)
{
    const qsizetype budget = maxFileNameBytes - reserved;
    if (base.toUtf8().size() <= budget)
        return base;
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, base);
    qsizetype cut = 0;
    qsizetype bytes = 0;
    qsizetype previous = 0;
    for (qsizetype next = characters.toNextBoundary(); next > 0;
         next = characters.toNextBoundary()) {
        bytes += base.mid(previous, next - previous).toUtf8().size();
        if (bytes > budget)
            break;
        cut = next;
        previous = next;
    }
    QString fitted = base.left(cut);
    while (!fitted.isEmpty() && isTrimmedFromName(fitted.back()))
        fitted.chop(1);
    return fitted;
}

qsizetype utf8Size(const QString &text)
{
    return text.toUtf8().size();
}

// Like mkdir -p, but reports the errno the way every other service error does.
void makeDirectories(const QString &path)
{
    const QStringList parts = path.split(u'/');
    QString current;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0)
            current += u'/';
        current += parts[i];
        if (parts[i].isEmpty())
            continue;
        const QByteArray encoded = QFile::encodeName(current);
        if (::mkdir(encoded.constData(), 0777) == 0)
            continue;
        const int code = errno;
        struct stat info;
        if (code == EEXIST && ::stat(encoded.constData(), &info) == 0 && S_ISDIR(info.st_mode))
            continue;
        throw FileError(code == EEXIST ? ENOTDIR : code, current, QStringLiteral("create"));
    }
}

} // namespace

void moveBack(const QString &movedTo, const QString &original, const std::exception &cause)
{
    try {
        FileMoves::moveFile(movedTo, original);
        qCWarning(lcAppState, "Index update failed (%s); moved %s back",
            qUtf8Printable(describe(cause)), qUtf8Printable(original));
    } catch (const std::exception &e) {
        qCCritical(lcAppState, "Index update failed (%s) and %s couldn't be moved back to %s: %s",
            qUtf8Printable(describe(cause)), qUtf8Printable(movedTo), qUtf8Printable(original),
            qUtf8Printable(describe(e)));
    }
}

QString ServiceError::description() const
{
    switch (m_kind) {
    case Kind::emptyTitle:
        return QStringLiteral("Title can't be empty.");
    case Kind::invalidFolderName:
        return QStringLiteral("Folder names can't contain “/” or begin with “.”.");
    case Kind::captureGone:
        return QStringLiteral("The screenshot's file is gone: it was moved or deleted outside "
                              "Marlox.");
    }
    return {};
}

QString libraryFileName(const QString &title, const QString &extension)
{
    QString name = title;
    for (QChar &c : name) {
        if (c == u'/' || c == u':' || c == u'\\')
            c = u' ';
    }
    qsizetype begin = 0;
    qsizetype end = name.size();
    while (begin < end && isTrimmedFromName(name[begin]))
        ++begin;
    while (end > begin && isTrimmedFromName(name[end - 1]))
        --end;
    name = name.mid(begin, end - begin);
    name.replace(QStringLiteral("  "), QStringLiteral(" "));
    if (name.isEmpty())
        name = QStringLiteral("Screenshot");
    return fitBase(name, 1 + utf8Size(extension)) + u'.' + extension;
}

QString uniqueFileURL(const QString &directory, const QString &fileName,
    const std::function<bool(const QString &path)> &isTaken)
{
    const QDir dir(directory);
    const auto taken = [&](const QString &path) {
        return FileMoves::entryExists(path) || (isTaken && isTaken(path));
    };
    QString candidate = dir.filePath(fileName);
    if (!taken(candidate))
        return candidate;
    const QString base = baseOf(fileName);
    const QString extension = extensionOf(fileName);
    const QString dotExtension = extension.isEmpty() ? QString() : u'.' + extension;
    for (qint64 n = 2;; ++n) {
        const QString suffix = u' ' + QString::number(n) + dotExtension;
        candidate = dir.filePath(fitBase(base, utf8Size(suffix)) + suffix);
        if (!taken(candidate))
            return candidate;
    }
}

std::optional<QString> libraryFolderName(const QString &file, const QString &root)
{
    auto components = [](const QString &path) {
        return QDir::cleanPath(
            QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path))
            .split(u'/', Qt::SkipEmptyParts);
    };
    const QStringList fileParts = components(file);
    const QStringList rootParts = components(root);
    if (fileParts.size() <= rootParts.size() + 1)
        return std::nullopt;
    for (qsizetype i = 0; i < rootParts.size(); ++i) {
        if (fileParts[i] != rootParts[i])
            return std::nullopt;
    }
    return fileParts[rootParts.size()];
}

ScreenshotRecord fileRecord(const ScreenshotRecord &record, const QString &title,
    const QString &folder, const QString &libraryRoot, ScreenshotDatabase &database)
{
    if (libraryRoot.isEmpty())
        throw FileError::noSuchFile();
    const QString trimmed = trimmedTitle(title);
    if (trimmed.isEmpty())
        throw ServiceError(ServiceError::Kind::emptyTitle);
    // An empty folder would file straight into the root, where no folder can find it.
    if (folder.isEmpty() || !FolderManagementService::isAcceptableName(folder))
        throw ServiceError(ServiceError::Kind::invalidFolderName);

    const QString source = QDir::cleanPath(record.path);
    if (!FileMoves::entryExists(source))
        throw ServiceError(ServiceError::Kind::captureGone);
    const QString fileName = libraryFileName(trimmed, extensionOf(QFileInfo(source).fileName()));
    const QString folderDirectory = QDir::cleanPath(libraryRoot + u'/' + folder);
    // Never recreate a library on the bare mount point of a disk that is away.
    LibraryRootGuard::requireReachable(libraryRoot, database);
    makeDirectories(folderDirectory);

    QString destination = folderDirectory + u'/' + fileName;
    const bool moves = destination != source;
    if (moves) {
        // Another process may take the chosen name between the test and the
        // move; the move never replaces, so pick the next free name instead.
        // A name the index still holds (its file renamed or deleted by hand)
        // would be refused by the index after the move.
        const auto heldByAnotherRow = [&](const QString &path) {
            const std::optional<qint64> id = database.idForPath(path);
            return id && *id != record.id;
        };
        for (int attempt = 0;; ++attempt) {
            destination = uniqueFileURL(folderDirectory, fileName, heldByAnotherRow);
            try {
                FileMoves::moveFile(source, destination);
                break;
            } catch (const FileError &error) {
                if (error.code() != EEXIST || attempt >= 20)
                    throw;
            }
        }
    }

    try {
        database.updateLocation(record.id, destination, trimmed, folder, ScreenshotStatus::filed);
    } catch (const std::exception &error) {
        // The row still names the source: put the file back there, or a later
        // reconcile would take the row for a vanished file.
        if (moves)
            moveBack(destination, source, error);
        throw;
    }

    ScreenshotRecord filed = record;
    filed.path = destination;
    filed.title = trimmed;
    filed.folder = folder;
    filed.status = ScreenshotStatus::filed;
    return filed;
}

} // namespace marlox::LibraryFileService
