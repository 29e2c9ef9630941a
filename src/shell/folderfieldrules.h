#pragma once

#include <optional>

#include <QList>
#include <QString>
#include <QStringList>

#include "filing/foldermanagementservice.h"

namespace marlox::FolderFieldRules {

// Why a typed folder name could not become a folder, or none when it could.
// Blank names are not judged: the field falls back to its placeholder.
std::optional<QString> refusal(const QString &typed);

// The suggestions the folder field lists: existing folders first, and the
// offer to create the typed name only when that name would be accepted.
QList<FolderManagementService::FolderSuggestion> suggestions(
    const QString &typed, const QStringList &folders, int limit);

// Whether taking `suggestion` would change what is in the field; Tab uses a
// suggestion only then and otherwise moves on.
bool changesText(const FolderManagementService::FolderSuggestion &suggestion, const QString &typed);

} // namespace marlox::FolderFieldRules
