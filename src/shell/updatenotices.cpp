#include "shell/updatenotices.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>

#include "app/updatecontroller.h"
#include "shell/widgetdialogs.h"

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
            MessageBoxText::showAsWritten(box);
            box.exec();
            if (notes && box.clickedButton() == notes)
                QDesktopServices::openUrl(notesLink);
        });
    QObject::connect(&updates, &UpdateController::upToDate, &updates, [] {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Marlox"),
            QStringLiteral("You're up to date: Marlox %1 is the newest version.")
                .arg(QCoreApplication::applicationVersion()),
            QMessageBox::Ok);
        MessageBoxText::showAsWritten(box);
        box.exec();
    });
    QObject::connect(
        &updates, &UpdateController::checkFailed, &updates, [](const QString &message) {
            QMessageBox box(QMessageBox::Warning, QStringLiteral("Marlox"),
                QStringLiteral("Couldn't check for updates: %1").arg(message), QMessageBox::Ok);
            MessageBoxText::showAsWritten(box);
            box.exec();
        });
}

} // namespace marlox
