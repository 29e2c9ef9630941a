#pragma once

#include <memory>
#include <optional>

#include <QObject>
#include <QString>

#include "app/folderpaths.h"
#include "platform/dialogs.h"
#include "storage/bookmarkstore.h"

namespace marlox {

// The two folders the user chose, the screenshot folder and the library,
// kept as stored references so they are found again after a rename or a
// remount, and never one inside the other.
class FolderLocations : public QObject
{
    Q_OBJECT

public:
    explicit FolderLocations(std::shared_ptr<Dialogs> dialogs, QObject *parent = nullptr);

    QString screenshotFolder() const { return m_screenshotFolder; }
    QString libraryRoot() const { return m_libraryRoot; }

    struct Launch
    {
        BookmarkStore::Resolution screenshotFolder;
        BookmarkStore::Resolution libraryRoot;
    };
    // Start-up: both folders from their stored references, without signals.
    Launch resolveAtLaunch();
    BookmarkStore::Resolution resolveScreenshotFolder();

    void chooseScreenshotFolder(
        const std::optional<QString> &message, const std::optional<QString> &startingLocation);
    void setScreenshotFolder(const QString &location);
    void chooseLibraryRoot(const std::optional<QString> &message);
    void createLibraryRoot(const std::optional<QString> &message);
    void setLibraryRoot(const QString &location, bool create);
    // The screenshot folder turned up at another place (not a new choice).
    void relocateScreenshotFolder(const QString &location);

Q_SIGNALS:
    void screenshotFolderChanged();
    void libraryRootChanged();
    // The user chose a folder (and it was accepted).
    void screenshotFolderChosen();
    void libraryRootChosen();

private:
    void setScreenshotFolderValue(const QString &folder);
    void setLibraryRootValue(const QString &root);
    void showFolderAlert(FolderRelation relation);

    std::shared_ptr<Dialogs> m_dialogs;
    BookmarkStore m_bookmarkStore;
    QString m_screenshotFolder;
    QString m_libraryRoot;
};

} // namespace marlox
