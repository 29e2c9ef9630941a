#pragma once

#include <memory>

#include "platform/dialogs.h"

class QMessageBox;

namespace marlox {

// The real panels and alerts: QFileDialog and QMessageBox, modal.
class WidgetDialogs : public Dialogs
{
public:
    std::optional<QString> chooseFolder(const FolderPanel &panel) override;
    std::optional<QString> chooseNewFolder(const SavePanel &panel) override;
    int runAlert(const Alert &alert) override;

    // The box runAlert shows, built but not shown.
    static std::unique_ptr<QMessageBox> makeAlertBox(const Alert &alert);
};

namespace MessageBoxText {
// A button title shown as written: "&" is a character, not a mnemonic.
QString literalButtonTitle(const QString &title);
// Makes the box draw its texts as written (no markup, no mnemonics) and wide
// enough that no word, a path above all, is broken across lines.
void showAsWritten(QMessageBox &box);
} // namespace MessageBoxText

} // namespace marlox
