#include "shell/widgetdialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace marlox {

std::optional<QString> WidgetDialogs::chooseFolder(const FolderPanel &panel)
{
    QFileDialog dialog(nullptr,
        panel.message.isEmpty() ? QStringLiteral("Choose Folder") : panel.message,
        panel.startDirectory);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setOption(QFileDialog::ReadOnly, !panel.canCreateDirectories);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Open"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

std::optional<QString> WidgetDialogs::chooseNewFolder(const SavePanel &panel)
{
    QFileDialog dialog(nullptr,
        panel.message.isEmpty() ? QStringLiteral("New Folder") : panel.message,
        panel.startDirectory);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.selectFile(panel.proposedName);
    if (!panel.confirmTitle.isEmpty())
        dialog.setLabelText(QFileDialog::Accept, panel.confirmTitle);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

int WidgetDialogs::runAlert(const Alert &alert)
{
    QMessageBox box;
    switch (alert.style) {
    case AlertStyle::informational:
        box.setIcon(QMessageBox::Information);
        break;
    case AlertStyle::warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case AlertStyle::critical:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    box.setWindowTitle(QStringLiteral("Marlox"));
    box.setText(alert.message);
    box.setInformativeText(alert.informativeText);
    const QStringList titles
        = alert.buttons.isEmpty() ? QStringList { QStringLiteral("OK") } : alert.buttons;
    QList<QAbstractButton *> buttons;
    for (int i = 0; i < titles.size(); ++i) {
        const auto role = i == alert.destructiveButton ? QMessageBox::DestructiveRole
            : i == 0                                   ? QMessageBox::AcceptRole
                                                       : QMessageBox::RejectRole;
        QPushButton *button = box.addButton(titles.at(i), role);
        if (i == 0)
            box.setDefaultButton(button);
        buttons.append(button);
    }
    QApplication::setActiveWindow(&box);
    box.exec();
    const int index = int(buttons.indexOf(box.clickedButton()));
    return index < 0 ? 0 : index;
}

} // namespace marlox
