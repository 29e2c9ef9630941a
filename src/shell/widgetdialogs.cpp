#include "shell/widgetdialogs.h"

#include <algorithm>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>

namespace marlox {

namespace MessageBoxText {

QString literalButtonTitle(const QString &title)
{
    QString escaped = title;
    return escaped.replace(u'&', QStringLiteral("&&"));
}

void showAsWritten(QMessageBox &box)
{
    // Room for the longest unbreakable run of text, within reason: paths in
    // folder alerts were broken mid-word in a narrow box.
    constexpr int preferredWidth = 360;
    const QScreen *screen = box.screen() ? box.screen() : QGuiApplication::primaryScreen();
    const int widthLimit = screen ? screen->availableGeometry().width() / 2 : 640;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    for (QLabel *label : box.findChildren<QLabel *>()) {
        if (label->text().isEmpty())
            continue;
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        int wanted = 0;
        for (const QString &word : label->text().split(blanks, Qt::SkipEmptyParts))
            wanted = std::max(wanted, label->fontMetrics().horizontalAdvance(word) + 4);
        const int unwrapped = label->fontMetrics().horizontalAdvance(label->text()) + 4;
        label->setMinimumWidth(
            std::min(std::max({ std::min(preferredWidth, unwrapped), wanted }), widthLimit));
    }
}

} // namespace MessageBoxText

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

std::unique_ptr<QMessageBox> WidgetDialogs::makeAlertBox(const Alert &alert)
{
    auto box = std::make_unique<QMessageBox>();
    switch (alert.style) {
    case AlertStyle::informational:
        box->setIcon(QMessageBox::Information);
        break;
    case AlertStyle::warning:
        box->setIcon(QMessageBox::Warning);
        break;
    case AlertStyle::critical:
        box->setIcon(QMessageBox::Critical);
        break;
    }
    box->setWindowTitle(QStringLiteral("Marlox"));
    box->setText(alert.message);
    box->setInformativeText(alert.informativeText);
    const QStringList titles
        = alert.buttons.isEmpty() ? QStringList { QStringLiteral("OK") } : alert.buttons;
    for (int i = 0; i < titles.size(); ++i) {
        const auto role = i == alert.destructiveButton ? QMessageBox::DestructiveRole
            : i == 0                                   ? QMessageBox::AcceptRole
                                                       : QMessageBox::RejectRole;
        QPushButton *button
            = box->addButton(MessageBoxText::literalButtonTitle(titles.at(i)), role);
        button->setProperty("alertIndex", i);
        if (i == 0)
            box->setDefaultButton(button);
    }
    MessageBoxText::showAsWritten(*box);
    return box;
}

int WidgetDialogs::runAlert(const Alert &alert)
{
    const std::unique_ptr<QMessageBox> box = makeAlertBox(alert);
    QApplication::setActiveWindow(box.get());
    box->exec();
    const QAbstractButton *clicked = box->clickedButton();
    return clicked ? clicked->property("alertIndex").toInt() : 0;
}

} // namespace marlox
