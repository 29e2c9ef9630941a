#include "app/folderlocations.h"

#include <cerrno>

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>

#include "platform/errors.h"
#include "platform/log.h"
#include "platform/screenshotlocation.h"
#include "storage/preferences.h"

namespace marlox {

FolderLocations::FolderLocations(std::shared_ptr<Dialogs> dialogs, QObject *parent)
    : QObject(parent), m_dialogs(std::move(dialogs))
{ }

FolderLocations::Launch FolderLocations::resolveAtLaunch()
{
    Launch launch { resolveScreenshotFolder(),
        m_bookmarkStore.resolve(Preferences::libraryRootBookmark) };
    if (launch.screenshotFolder.isResolved())
        m_screenshotFolder = launch.screenshotFolder.location;
    if (launch.libraryRoot.isResolved())
        m_libraryRoot = launch.libraryRoot.location;
    return launch;
}

BookmarkStore::Resolution FolderLocations::resolveScreenshotFolder()
{
    return m_bookmarkStore.resolve(Preferences::screenshotFolderBookmark);
}

void FolderLocations::setScreenshotFolderValue(const QString &folder)
{
    if (folder == m_screenshotFolder)
        return;
    m_screenshotFolder = folder;
    Q_EMIT screenshotFolderChanged();
}

void FolderLocations::relocateScreenshotFolder(const QString &location)
{
    setScreenshotFolderValue(location);
}

void FolderLocations::setLibraryRootValue(const QString &root)
{
    if (root == m_libraryRoot)
        return;
    m_libraryRoot = root;
    Q_EMIT libraryRootChanged();
}

void FolderLocations::showFolderAlert(FolderRelation relation)
{
    Dialogs::Alert alert;
    alert.style = Dialogs::AlertStyle::warning;
    alert.message = QStringLiteral("Can't use that folder");
    alert.informativeText = relation == FolderRelation::inside
        ? QStringLiteral("Your screenshot folder can't be inside your library folder.")
        : QStringLiteral("Your library can't be the same folder as your screenshot folder. Pick "
                         "or create a folder inside it, or somewhere else like ~/Pictures/Marlox.");
    m_dialogs->runAlert(alert);
}

void FolderLocations::chooseScreenshotFolder(
    const std::optional<QString> &message, const std::optional<QString> &startingLocation)
{
    Dialogs::FolderPanel panel;
    panel.message = message.value_or(QString());
    panel.startDirectory = startingLocation.value_or(ScreenshotLocation::systemScreenshotFolder());
    panel.canCreateDirectories = false;
    QPointer<FolderLocations> weak(this);
    const auto chosen = m_dialogs->chooseFolder(panel);
    if (chosen && weak)
        setScreenshotFolder(*chosen);
}

void FolderLocations::setScreenshotFolder(const QString &location)
{
    if (!m_libraryRoot.isEmpty()) {
        const FolderRelation relation = FolderPaths::relation(m_libraryRoot, location);
        if (relation != FolderRelation::separate) {
            showFolderAlert(relation);
            return;
        }
    }
    try {
        m_bookmarkStore.save(location, Preferences::screenshotFolderBookmark);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Failed to save screenshot folder bookmark: %s",
            qUtf8Printable(describe(e)));
    }
    setScreenshotFolderValue(QDir::cleanPath(location));
    Q_EMIT screenshotFolderChosen();
}

void FolderLocations::chooseLibraryRoot(const std::optional<QString> &message)
{
    Dialogs::FolderPanel panel;
    panel.message = message.value_or(QString());
    panel.startDirectory
        = m_libraryRoot.isEmpty() ? FolderPaths::defaultLibraryParent() : m_libraryRoot;
    panel.canCreateDirectories = true;
    QPointer<FolderLocations> weak(this);
    const auto chosen = m_dialogs->chooseFolder(panel);
    if (chosen && weak)
        setLibraryRoot(*chosen, true);
}

void FolderLocations::createLibraryRoot(const std::optional<QString> &message)
{
    Dialogs::SavePanel panel;
    panel.message = message.value_or(QString());
    panel.startDirectory = FolderPaths::defaultLibraryParent();
    panel.proposedName = QStringLiteral("Marlox");
    panel.confirmTitle = QStringLiteral("Create");
    QPointer<FolderLocations> weak(this);
    const auto chosen = m_dialogs->chooseNewFolder(panel);
    if (chosen && weak)
        setLibraryRoot(*chosen, true);
}

void FolderLocations::setLibraryRoot(const QString &location, bool create)
{
    if (!m_screenshotFolder.isEmpty()) {
        const FolderRelation relation = FolderPaths::relation(location, m_screenshotFolder);
        if (relation != FolderRelation::separate) {
            showFolderAlert(relation);
            return;
        }
    }
    if (create) {
        errno = 0;
        if (!QDir().mkpath(location)) {
            const int code = errno ? errno : EACCES;
            qCWarning(lcAppState, "Failed to create library root directory at %s: %s",
                qUtf8Printable(location), qUtf8Printable(FileError(code, location).description()));
        }
    }
    try {
        m_bookmarkStore.save(location, Preferences::libraryRootBookmark);
    } catch (const std::exception &e) {
        qCWarning(
            lcAppState, "Failed to save library root bookmark: %s", qUtf8Printable(describe(e)));
    }
    setLibraryRootValue(QDir::cleanPath(location));
    Q_EMIT libraryRootChosen();
}

} // namespace marlox
