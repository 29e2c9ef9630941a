#include "shell/folderfieldrules.h"

#include <algorithm>

namespace marlox::FolderFieldRules {

using FolderManagementService::FolderSuggestion;

namespace {
// Longest file name most Linux file systems take, in bytes of the encoded name.
constexpr qsizetype nameByteLimit = 255;
} // namespace

std::optional<QString> refusal(const QString &typed)
{
    const QString name = typed.trimmed();
    if (name.isEmpty())
        return std::nullopt;
    if (!FolderManagementService::isAcceptableName(name)) {
        return FolderManagementService::ServiceError(
            FolderManagementService::ServiceError::Kind::invalidName)
            .description();
    }
    if (name.toUtf8().size() > nameByteLimit)
        return QStringLiteral("Folder names can be at most 255 bytes long.");
    return std::nullopt;
}

QList<FolderSuggestion> suggestions(const QString &typed, const QStringList &folders, int limit)
{
    QList<FolderSuggestion> list
        = FolderManagementService::folderSuggestions(typed, folders, limit);
    if (refusal(typed)) {
        list.erase(std::remove_if(list.begin(), list.end(),
                       [](const FolderSuggestion &suggestion) {
                           return suggestion.kind == FolderSuggestion::Kind::createNew;
                       }),
            list.end());
    }
    return list;
}

bool changesText(const FolderSuggestion &suggestion, const QString &typed)
{
    return suggestion.name != typed;
}

} // namespace marlox::FolderFieldRules
