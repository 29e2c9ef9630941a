#pragma once

#include "platform/dialogs.h"

namespace marlox {

// The real panels and alerts: QFileDialog and QMessageBox, modal.
class WidgetDialogs : public Dialogs
{
public:
    std::optional<QString> chooseFolder(const FolderPanel &panel) override;
    std::optional<QString> chooseNewFolder(const SavePanel &panel) override;
    int runAlert(const Alert &alert) override;
};

} // namespace marlox
