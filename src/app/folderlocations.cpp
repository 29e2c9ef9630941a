#include <cerrno>

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "app/appstate.h"
#include "platform/log.h"
#include "platform/screenshotlocation.h"
#include "storage/preferences.h"

namespace marlox {

void AppState::showFolderAlert(FolderRelation relation)
{
    Dialogs::Alert alert;
    alert.style = Dialogs::AlertStyle::warning;
    alert.message = QStringLiteral("Can't use that folder");
    alert.informativeText = relation == FolderRelation::inside
        ? QStringLiteral("Your screenshot folder can't be inside your library folder.")
        : QStringLiteral("Your library can't be the same folder as your screenshot folder. Pick "
                         "or create a folder inside it, or somewhere else like ~/Pictures/Marlox.");
    m_deps.dialogs->runAlert(alert);
}

void AppState::chooseScreenshotFolder(
    const std::optional<QString> &message, const std::optional<QString> &startingLocation)
{
    Dialogs::FolderPanel panel;
    panel.message = message.value_or(QString());
    panel.startDirectory = startingLocation.value_or(ScreenshotLocation::systemScreenshotFolder());
    panel.canCreateDirectories = false;
    QPointer<AppState> weak(this);
    const auto chosen = m_deps.dialogs->chooseFolder(panel);
    if (chosen && weak)
        setScreenshotFolder(*chosen);
}

void AppState::setScreenshotFolder(const QString &location)
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
    startWatching(m_screenshotFolder);
}

void AppState::chooseLibraryRoot(const std::optional<QString> &message)
{
    Dialogs::FolderPanel panel;
    panel.message = message.value_or(QString());
    panel.startDirectory
        = m_libraryRoot.isEmpty() ? FolderPaths::defaultLibraryParent() : m_libraryRoot;
    panel.canCreateDirectories = true;
    QPointer<AppState> weak(this);
    const auto chosen = m_deps.dialogs->chooseFolder(panel);
    if (chosen && weak)
        setLibraryRoot(*chosen, true);
}

void AppState::createLibraryRoot(const std::optional<QString> &message)
{
    Dialogs::SavePanel panel;
    panel.message = message.value_or(QString());
    panel.startDirectory = FolderPaths::defaultLibraryParent();
    panel.proposedName = QStringLiteral("Marlox");
    panel.confirmTitle = QStringLiteral("Create");
    QPointer<AppState> weak(this);
    const auto chosen = m_deps.dialogs->chooseNewFolder(panel);
    if (chosen && weak)
        setLibraryRoot(*chosen, true);
}

void AppState::setLibraryRoot(const QString &location, bool create)
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
    libraryRootChosen();
}

} // namespace marlox
