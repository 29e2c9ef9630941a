#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "platform/errors.h"
#include "storage/screenshotdatabase.h"

namespace marlox::FolderManagementService {

class ServiceError : public Error
{
public:
    enum class Kind { emptyName, alreadyExists, invalidName };
    explicit ServiceError(Kind kind) : m_kind(kind) { }
    Kind kind() const { return m_kind; }
    QString description() const override;

private:
    Kind m_kind;
};

// False for names that would leave the library root or be hidden: containing
// "/" or NUL, "." or "..", or starting with ".". Empty names are not judged here.
bool isAcceptableName(const QString &name);

// Creates root/<trimmed name>; throws emptyName, invalidName, alreadyExists or FileError.
void createFolderDirectory(const QString &name, const QString &root);
// Never throws: listing and database failures count as empty.
bool folderIsEmpty(const QString &name, const QString &root, ScreenshotDatabase &database);
// Moves every visible entry of root/source into root/target (collision rule),
// re-tags the records, and returns how many entries were moved.
int mergeFolder(const QString &source, const QString &target, const QString &root,
    ScreenshotDatabase &database);
// Removes root/name and everything inside; nothing there is fine.
void removeFolderDirectory(const QString &name, const QString &root);

struct FolderSuggestion
{
    enum class Kind { existing, createNew };
    Kind kind = Kind::existing;
    QString name;

    static FolderSuggestion existing(const QString &name) { return { Kind::existing, name }; }
    static FolderSuggestion createNew(const QString &name) { return { Kind::createNew, name }; }
    bool operator==(const FolderSuggestion &) const = default;
};

// Prefix matches, then in-order character matches, at most `limit`, and a
// creation offer last unless the query names a folder already.
QList<FolderSuggestion> folderSuggestions(
    const QString &query, const QStringList &folders, int limit);

// "General", the visible directories of root (empty root: none) and the
// given record folders, without names that isAcceptableName refuses, sorted.
QStringList folderNames(const QString &root, const QStringList &recordFolders);

} // namespace marlox::FolderManagementService
