#pragma once

#include <functional>

#include <QString>
#include <QUrl>

namespace marlox {

class RecordActions;

// Opens a folder the desktop's way; true when something took it.
using FolderOpener = std::function<bool(const QUrl &folder)>;

// Asks the file manager to show the file selected; when no file manager
// answers on the session bus, opens the folder that holds it instead, and
// tells the user through the app's alerts when nothing can.
void showInFileManager(
    const QString &path, RecordActions *actions = nullptr, FolderOpener open = {});

} // namespace marlox
