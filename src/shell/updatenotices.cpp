#include "shell/updatenotices.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>

#include "app/updatecontroller.h"

namespace marlox {

void showUpdateNotices(UpdateController &updates)
{
    QObject::connect(&updates, &UpdateController::updateAvailable, &updates,
        [](const QString &version, const QUrl &notesLink, const QString &file) {
            QMessageBox box(QMessageBox::Information, QStringLiteral("Marlox"),
                QStringLiteral("Marlox %1 is available").arg(version));
            box.setInformativeText(
                QStringLiteral("Its package was downloaded and its signature checked:\n%1")
                    .arg(file));
            QPushButton *notes = notesLink.isValid()
                ? box.addButton(QStringLiteral("Release Notes"), QMessageBox::ActionRole)
                : nullptr;
            box.addButton(QMessageBox::Ok);
            box.exec();
            if (notes && box.clickedButton() == notes)
                QDesktopServices::openUrl(notesLink);
        });
    QObject::connect(&updates, &UpdateController::upToDate, &updates, [] {
        QMessageBox::information(nullptr, QStringLiteral("Marlox"),
            QStringLiteral("You're up to date: Marlox %1 is the newest version.")
                .arg(QCoreApplication::applicationVersion()));
    });
    QObject::connect(
        &updates, &UpdateController::checkFailed, &updates, [](const QString &message) {
            QMessageBox::warning(nullptr, QStringLiteral("Marlox"),
                QStringLiteral("Couldn't check for updates: %1").arg(message));
        });
}

} // namespace marlox
