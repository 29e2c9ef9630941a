#include "app/appstate.h"

#include <cerrno>

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "storage/preferences.h"
#include "platform/log.h"

namespace marlox {

FolderRelation AppState::folderRelation(const QString &a, const QString &b)
{
    // Links resolved: a screenshot folder that is a link into the library is
    // inside it. The part of a path that does not exist yet stays as written.
    const auto resolved = [](const QString &path) {
        QString existing = QDir::cleanPath(path);
        QStringList missing;
        for (;;) {
            const QString canonical = QFileInfo(existing).canonicalFilePath();
            if (!canonical.isEmpty()) {
                missing.prepend(canonical);
                return QDir::cleanPath(missing.join(QLatin1Char('/')));
            }
            const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
            if (slash < 0 || existing == QLatin1String("/"))
                return QDir::cleanPath(path);
            missing.prepend(existing.mid(slash + 1));
            existing = slash == 0 ? QStringLiteral("/") : existing.left(slash);
        }
    };
    const QString pa = resolved(a);
    const QString pb = resolved(b);
    if (pa == pb)
        return FolderRelation::same;
    const QString prefix = pa.endsWith(QLatin1Char('/')) ? pa : pa + QLatin1Char('/');
    if (pb.startsWith(prefix))
        return FolderRelation::inside;
    return FolderRelation::separate;
}

QString AppState::defaultLibraryParent()
{
    // The user's own Pictures folder (xdg-user-dirs), localised name and all.
    return QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
}

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
    panel.startDirectory = startingLocation.value_or(systemScreenshotFolder());
    panel.canCreateDirectories = false;
    QPointer<AppState> weak(this);
    const auto chosen = m_deps.dialogs->chooseFolder(panel);
    if (chosen && weak)
        setScreenshotFolder(*chosen);
}

void AppState::setScreenshotFolder(const QString &location)
{
    if (!m_libraryRoot.isEmpty()) {
        const FolderRelation relation = folderRelation(m_libraryRoot, location);
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
    panel.startDirectory = m_libraryRoot.isEmpty() ? defaultLibraryParent() : m_libraryRoot;
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
    panel.startDirectory = defaultLibraryParent();
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
        const FolderRelation relation = folderRelation(location, m_screenshotFolder);
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
