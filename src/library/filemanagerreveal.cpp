#include "library/filemanagerreveal.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QPointer>

#include "app/recordactions.h"
#include "platform/dialogs.h"
#include "platform/homedirectory.h"
#include "platform/log.h"

namespace marlox {

namespace {

void openParentFolder(
    const QString &path, const QPointer<RecordActions> &actions, const FolderOpener &open)
{
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
    if (open ? open(folder) : QDesktopServices::openUrl(folder))
        return;
    qCWarning(lcShell, "Couldn't open the folder %s", qUtf8Printable(folder.toLocalFile()));
    if (!actions)
        return;
    Dialogs::Alert alert;
    alert.style = Dialogs::AlertStyle::warning;
    alert.message = QStringLiteral("Couldn't show the screenshot");
    alert.informativeText
        = QStringLiteral("No file manager could open the folder. The screenshot is in %1.")
              .arg(displayPath(folder.toLocalFile()));
    actions->dialogs().runAlert(alert);
}

} // namespace

void showInFileManager(const QString &path, RecordActions *actions, FolderOpener open)
{
    const QPointer<RecordActions> weak(actions);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openParentFolder(path, weak, open);
        return;
    }
    QDBusMessage call
        = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
            QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList { QUrl::fromLocalFile(path).toString() } << QString();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 3000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
        [path, weak, open = std::move(open)](QDBusPendingCallWatcher *finished) {
            if (finished->isError()) {
                qCInfo(lcShell, "No file manager answered (%s); opening the folder",
                    qUtf8Printable(finished->error().message()));
                openParentFolder(path, weak, open);
            }
            finished->deleteLater();
        });
}

} // namespace marlox
